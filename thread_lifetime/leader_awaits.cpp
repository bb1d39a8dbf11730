// leader_awaits — joining each worker right after creating it runs the workers one by one.
//
// Run:   ./leader_awaits         (ends by itself after about 14 s)
// Watch: main's line for #0 and worker 0's greeting; 7 s later main's line for #1 and
// worker 1's greeting; 7 s after that the program ends with status 0. Worker 1 is not
// even created until worker 0 has finished. Piped (./leader_awaits | cat) the same four
// lines come all at once at the end: stdout then fills a buffer written out at exit.

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

const long num_threads = 2;

void *thread_print(void *arg) {
  long t = reinterpret_cast<intptr_t>(arg);  // the number is the pointer itself, not behind it
  printf("Hello QM104! I’m Thread #%ld ^_^!!!\n", t);
  sleep(7);
  return nullptr;
}

int main() {
  pthread_t threads[num_threads];
  for (long t = 0; t < num_threads; t++) {
    printf("I’m Main Thread: create Thread: #%ld\n", t);
    void *number = reinterpret_cast<void *>(intptr_t{t});  // t itself, not its address
    if (pthread_create(&threads[t], nullptr, thread_print, number) != 0) {
      printf("ERROR!!! I’m Main Thread, I can’t create Thread #%ld ", t);
      exit(-1);  // ends every thread, writes out what stdout still holds; status 255
    }
    pthread_join(threads[t], nullptr);  // main waits here the 7 s worker t sleeps
  }
  // Both workers are finished: this is the last thread, and its end is the process's,
  // with status 0 and buffered output written out.
  pthread_exit(nullptr);
}
