// A wrong attempt at reap_the_zombie: the status is chosen and printed, but the parent
// waits at once, so the ended child is never left a zombie.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  pid_t pid = fork();
  if (pid == 0) {
    printf("Child process, pid=%d\n", pid);
    exit(3);
  }
  int status = 0;
  wait(&status);
  printf("Parent Proces, pid=%d, child's exit status %d\n", pid, WEXITSTATUS(status));
  exit(0);
}
