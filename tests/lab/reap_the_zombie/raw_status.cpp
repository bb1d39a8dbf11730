// A wrong attempt at reap_the_zombie: the parent prints the whole status word wait filled
// in (768 for exit status 3), not the exit status taken out of it.
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
  printf("Parent Proces, pid=%d, child's status %d\n", pid, status);
  exit(0);
}
