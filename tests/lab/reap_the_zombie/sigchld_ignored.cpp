// A wrong attempt at reap_the_zombie: the parent ignores SIGCHLD. The kernel then reaps the
// child as it ends, so it is never a zombie, and the parent's wait, two seconds later,
// finds no child at all (ECHILD) and no status.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  signal(SIGCHLD, SIG_IGN);
  pid_t pid = fork();
  if (pid == 0) {
    printf("Child process, pid=%d\n", pid);
    exit(3);
  }
  sleep(2);
  int status = 0;
  wait(&status);
  printf("Parent Proces, pid=%d\n", pid);
  printf("Child's exit status: %d\n", WEXITSTATUS(status));
  exit(0);
}
