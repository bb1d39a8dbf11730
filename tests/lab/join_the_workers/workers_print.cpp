// A wrong attempt at join_the_workers: each worker prints its own kernel thread id and main
// prints nothing; on the lab's terminal each worker's line is its own write.
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

const long num_threads = 2;

void *thread_print(void *arg) {
  long t = reinterpret_cast<intptr_t>(arg);
  printf("Hello QM104! I’m Thread #%ld ^_^!!!\n", t);
  sleep(7);
  printf("Thread #%ld returned %ld\n", t, static_cast<long>(gettid()));
  pthread_exit(reinterpret_cast<void *>(intptr_t{gettid()}));
}

int main() {
  pthread_t threads[num_threads];
  for (long t = 0; t < num_threads; t++) {
    printf("I’m Main Thread: create Thread: #%ld\n", t);
    void *number = reinterpret_cast<void *>(intptr_t{t});
    if (pthread_create(&threads[t], nullptr, thread_print, number) != 0) {
      printf("ERROR!!! I’m Main Thread, I can’t create Thread #%ld ", t);
      exit(-1);
    }
  }
  for (long t = 0; t < num_threads; t++) {
    pthread_join(threads[t], nullptr);
  }
  pthread_exit(nullptr);
}
