// A right attempt at join_the_workers whose main stays on a CPU for 2 s after it has joined
// both workers and printed their ids, as a traced program short of a CPU can end late: the
// workers' 1-s sleeps overlapped all the same.
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

const long num_threads = 2;

void *thread_print(void *arg) {
  long t = reinterpret_cast<intptr_t>(arg);
  printf("Hello QM104! I’m Thread #%ld ^_^!!!\n", t);
  sleep(1);
  pthread_exit(reinterpret_cast<void *>(intptr_t{gettid()}));
}

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
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
    void *result = nullptr;
    pthread_join(threads[t], &result);
    printf("Thread #%ld returned %ld\n", t, static_cast<long>(reinterpret_cast<intptr_t>(result)));
  }
  for (double start = now(); now() - start < 2;) {
  }
  pthread_exit(nullptr);
}
