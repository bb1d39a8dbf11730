// A wrong attempt at reap_the_zombie: the child is left a zombie and reaped with its
// status, but the parent prints nothing after its wait.
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
  exit(0);
}
