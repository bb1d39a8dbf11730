// A wrong attempt at reap_the_zombie: the parent sleeps two seconds before its wait, but the
// child sleeps three before it ends, so it is still running while its parent sleeps and is
// reaped the moment it ends: never a zombie while the parent slept.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  pid_t pid = fork();
  if (pid == 0) {
    printf("Child process, pid=%d\n", pid);
    sleep(3);
    exit(3);
  }
  sleep(2);
  int status = 0;
  wait(&status);
  printf("Parent Proces, pid=%d\n", pid);
  printf("Child's exit status: %d\n", WEXITSTATUS(status));
  exit(0);
}
