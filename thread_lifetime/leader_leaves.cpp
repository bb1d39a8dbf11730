// leader_leaves — the main thread leaves with pthread_exit; its workers and the process live on.
//
// Run:   ./leader_leaves         (ends by itself about 100 s later)
// Watch: main's first line and each greeting start with "Thread ID N | ", the kernel's
// id of the thread that printed it: main's N is the process id, each worker has its own.
// Main is gone at once: in a second terminal `ps -L -o pid,lwp,stat,cmd -p N` shows main
// `Zl+` as `[leader_leaves] <defunct>` beside the two workers' `Sl+`. Without -L,
// `ps -o pid,stat,cmd -p N` and the State line of /proc/N/status show the whole process
// as a zombie (Z), for they report the main thread's state; /proc/N/status still counts
// Threads: 3. The process stays until the workers return, then ends with status 0. The
// threads print at once into one stdout buffer, so a worker's "Thread ID N | " may land in
// front of main's line for #1 or of the other worker's greeting. Piped
// (./leader_leaves | cat) nothing shows until the end, and nothing at all if it is stopped
// with Ctrl-C: stdout is then a buffer, written out only when the process exits.

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

const long num_threads = 2;

void *thread_print(void *arg) {
  long t = reinterpret_cast<intptr_t>(arg);  // the number is the pointer itself, not behind it
  // gettid, not pthread_self: the kernel's id is what ps and /proc show, and main's is the pid.
  printf("Thread ID %d | ", static_cast<int>(syscall(SYS_gettid)));
  printf("Hello QM104! I’m Thread #%ld ^_^!!!\n", t);
  sleep(100);
  return nullptr;
}

int main() {
  pthread_t threads[num_threads];
  // No newline: main's first line continues with its line for #0.
  printf("Thread ID %d | ", static_cast<int>(syscall(SYS_gettid)));
  for (long t = 0; t < num_threads; t++) {
    printf("I’m Main Thread: create Thread: #%ld\n", t);
    void *number = reinterpret_cast<void *>(intptr_t{t});  // t itself, not its address
    if (pthread_create(&threads[t], nullptr, thread_print, number) != 0) {
      printf("ERROR!!! I’m Main Thread, I can’t create Thread #%ld ", t);
      exit(-1);  // ends every thread, writes out what stdout still holds; status 255
    }
  }
  // Returning from main would call exit and end the workers with it; pthread_exit ends
  // only this thread, and the last worker to return ends the process with status 0.
  pthread_exit(nullptr);
}
