// workers_quit — each worker ends itself with pthread_exit while the main thread carries on.
//
// Run:   ./workers_quit          (ends by itself about 100 s later)
// Watch: four lines at once, main's "create" line before each worker's greeting; then
// silence for 100 s while `ps -L -o pid,lwp,stat,cmd -p N` (N from `pgrep workers_quit`)
// shows main alone, sleeping (`S+`); then status 0. The ended workers are gone from the
// kernel's thread list, but never joined, each keeps its stack mapped (8 MiB and a guard
// page in /proc/N/maps). A join or a detach would not unmap it either: it makes the stack
// free, and the C library keeps freed stacks mapped, cached for its next thread. Piped
// (./workers_quit | cat) nothing shows until the end, and nothing at all if it is stopped
// with Ctrl-C: stdout is then a buffer, written out only when the process exits.

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

const long num_threads = 2;

void *thread_print(void *arg) {
  long t = reinterpret_cast<intptr_t>(arg);  // the number is the pointer itself, not behind it
  printf("Hello QM104! I’m Thread #%ld ^_^!!!\n", t);
  // Ends this thread alone, here and now, as a return would: the process goes on.
  pthread_exit(nullptr);
}

int main() {
  pthread_t threads[num_threads];
  for (long t = 0; t < num_threads; t++) {
    printf("I’m Main Thread: create Thread: #%ld\n", t);
    void *number = reinterpret_cast<void *>(intptr_t{t});  // t itself, not its address
    if (pthread_create(&threads[t], nullptr, thread_print, number) != 0) {
      printf("ERROR!!! I’m Main Thread, can’t create Thread #%ld ", t);
      exit(-1);  // ends every thread, writes out what stdout still holds; status 255
    }
  }
  sleep(100);  // nobody joins: the workers are long gone, this keeps the process alive
  // The last thread to end ends the process with status 0, writing out buffered output.
  pthread_exit(nullptr);
}
