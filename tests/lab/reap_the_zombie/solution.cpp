// reap_the_zombie solved: the child ends with status 3, the parent sleeps two seconds
// (the ended child a zombie meanwhile), reaps it and prints the status it got.
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
  if (WIFEXITED(status))
    printf("Child's exit status: %d\n", WEXITSTATUS(status));
  exit(0);
}
