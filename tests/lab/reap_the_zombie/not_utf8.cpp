// reap_the_zombie solved, with bytes that are not UTF-8 around the status it prints
// (0xff, 0xfe, and 0xc3 whose continuation never comes): the verdict quotes that line,
// and the results file must still be JSON.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  pid_t pid = fork();
  if (pid == 0)
    exit(3);
  sleep(2);
  int status = 0;
  wait(&status);
  if (WIFEXITED(status))
    printf("\xff\xfe Child's exit status: %d \xc3\n", WEXITSTATUS(status));
  exit(0);
}
