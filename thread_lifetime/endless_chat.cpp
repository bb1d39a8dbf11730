// endless_chat — one thread creation, and from then on two threads run side by side.
//
// Run:   ./endless_chat          (never ends; stop it with Ctrl-C)
// Watch: "Hello, How are you?" comes from the created thread, "I’m fine, and you?" from
// main. Each line stays whole. Which comes next is decided by which thread takes stdout's
// lock next, and that lock is not handed over in turn: the thread that releases it mostly
// takes it again before the woken one runs. So even with the two threads running at once
// on two CPUs the lines come in runs of one kind: hundreds to thousands of lines long into
// a pipe, tens to hundreds on a terminal, where each line is a write of its own. Pinned to one CPU
// (taskset -c 0 ./endless_chat) a run ends only where the scheduler switches threads.

#include <pthread.h>

#include <cstdio>
#include <cstring>

// puts writes each line under the stream's lock, so the two threads never mix within a
// line; they only take turns between lines.
void *thread_print(void *) {
  for (;;)
    puts("Hello, How are you?");
}

int main() {
  pthread_t thread;  // never joined: main never stops answering
  int error = pthread_create(&thread, nullptr, thread_print, nullptr);
  if (error != 0) {
    // Without the second thread there is no chat, only main talking to itself.
    fprintf(stderr, "endless_chat: pthread_create: %s\n", strerror(error));
    return 1;
  }
  for (;;)
    puts("I’m fine, and you?");
}
