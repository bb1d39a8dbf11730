// parent_child — what fork returns on each side, and a parent waiting for its child.
//
// Run:   ./parent_child
// Watch: "Child process, pid=0" always comes first, also piped into a file: the parent
// prints only after wait returns, and by then the exiting child has written its line.
// The parent's line carries the number fork gave it: the child's process id. From its
// exit until the parent's wait collects its status the ended child is a zombie (state Z
// in ps or /proc/PID/stat); here that lasts only a moment, as the parent is already waiting.

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
  // Nothing is printed before this point: on a pipe, a line still waiting in the stdio
  // buffer would be copied into the child and written out twice.
  pid_t pid = fork();
  if (pid == 0) {
    printf("Child process, pid=%d\n", pid);
    exit(0);  // exit, not _exit: the buffered line is written before the parent wakes
  }
  int error = errno;  // wait below overwrites it when there is no child
  wait(nullptr);      // returns at once when fork failed
  printf("Parent Proces, pid=%d\n", pid);
  if (pid < 0) {
    // The line above still shows what fork returned; the failure itself goes to stderr.
    fprintf(stderr, "parent_child: fork: %s\n", strerror(error));
    exit(1);
  }
  exit(0);
}
