// A wrong attempt at join_the_workers: the values are handed back and printed, but each
// worker is still joined right after its creation, so the two run one after the other.
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

void *thread_print(void *arg) {
  printf("Hello QM104! I'm Thread #%ld\n", static_cast<long>(reinterpret_cast<intptr_t>(arg)));
  sleep(7);
  pthread_exit(reinterpret_cast<void *>(intptr_t{gettid()}));
}

int main() {
  for (long t = 0; t < 2; t++) {
    pthread_t thread;
    pthread_create(&thread, nullptr, thread_print, reinterpret_cast<void *>(intptr_t{t}));
    void *result = nullptr;
    pthread_join(thread, &result);
    printf("Thread #%ld returned %ld\n", t, static_cast<long>(reinterpret_cast<intptr_t>(result)));
  }
  pthread_exit(nullptr);
}
