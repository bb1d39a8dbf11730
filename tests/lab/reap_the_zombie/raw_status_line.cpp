// A wrong attempt at reap_the_zombie: the parent's line comes first, as in the starting
// code, and the whole status word (768 for exit status 3) follows on a line of its own.
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
  sleep(2);
  int status = 0;
  wait(&status);
  printf("Parent Proces, pid=%d\n", pid);
  printf("Child's exit status: %d\n", status);
  exit(0);
}
