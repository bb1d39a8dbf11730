// A correct answer of another shape: the parent sleeps in two one-second steps, reaps its
// child with waitid, and prints the status from the siginfo_t in words of its own.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main() {
  pid_t pid = fork();
  if (pid == 0) {
    printf("Child process, pid=%d\n", pid);
    exit(42);
  }
  sleep(1);
  sleep(1);
  siginfo_t info = {};
  waitid(P_PID, pid, &info, WEXITED);
  printf("Parent Proces, pid=%d\n", pid);
  if (info.si_code == CLD_EXITED)
    printf("the child ended with status %d\n", info.si_status);
  exit(0);
}
