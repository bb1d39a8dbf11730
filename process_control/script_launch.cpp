// script_launch — a child replaces itself with a script while its parent waits.
//
// Run:   ./script_launch [arguments...]   (from a folder holding an executable count.sh,
//        such as build/process_control; elsewhere the child cannot start the script)
// Watch: the parent's ids, and its argument count when there are two or more; then the
//        script counting 1 to 10, or, when it cannot start, the child's ids (its PPID is
//        the parent's PID) and the arguments it inherited, one a line.
// A successful execl never returns: the child keeps its pid and its open files (so the
// script writes to the same terminal), all but those marked close-on-exec, while its
// memory, stdio's buffers included, is replaced by the new program's.

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[]) {
  // Nothing is printed before fork, so no buffered line can be copied into the child.
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "script_launch: fork: %s\n", strerror(errno));
    exit(1);
  }
  if (pid > 0) {
    printf("PARENTS | PID = %ld | PPID = %ld\n", long{getpid()}, long{getppid()});
    if (argc > 2)
      printf("PARENTS | There are %d arguments\n", argc - 1);
    wait(nullptr);  // the script's status is not looked at: the parent exits 0 either way
    exit(0);
  }
  // A path with a slash: no search of PATH. execl runs only a real executable; a file
  // without an interpreter line fails with ENOEXEC instead of being handed to a shell.
  execl("./count.sh", "./count.sh", "10", static_cast<char *>(nullptr));
  // Still here: the replacement failed, and the child goes on in this program.
  printf("CHILDREN | PID = %ld | PPID = %ld\n", long{getpid()}, long{getppid()});
  puts("CHILDREN | List of arguments: ");
  // puts, not printf: an argument holding % is text, never a format.
  for (int i = 1; i < argc; ++i)
    puts(argv[i]);
  exit(0);
}
