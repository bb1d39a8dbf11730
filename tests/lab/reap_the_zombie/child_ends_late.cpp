// A wrong attempt at reap_the_zombie: the parent sleeps two seconds before its wait, but the
// child sleeps one and a half before it ends, so it is a zombie for only the last half
// second of its parent's sleep.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  pid_t pid = fork();
  if (pid == 0) {
    printf("Child process, pid=%d\n", pid);
    usleep(1500000);
    exit(3);
  }
  sleep(2);
  int status = 0;
  wait(&status);
  printf("Parent Proces, pid=%d\n", pid);
  printf("Child's exit status: %d\n", WEXITSTATUS(status));
  exit(0);
}
