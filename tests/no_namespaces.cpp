// no_namespaces — runs a command on a machine that refuses namespaces, the way a default
// container's seccomp profile or a kernel restricting unprivileged user namespaces does.
//
// Run: no_namespaces COMMAND [ARG...]     e.g. build/tests/no_namespaces ctest --preset quick
// Watch: in the command and everything it starts, unshare, setns, mount and umount2 fail
// with EPERM, and so does a clone that asks for a new namespace; every other call works.
//
// clone3 is let through: its flags lie behind a pointer, where a seccomp filter cannot
// read them, and the C library makes every thread with it. Nothing the tests run makes a
// namespace with clone3.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "refuse.hpp"

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: no_namespaces COMMAND [ARG...]\n");
    return 125;
  }
  const unsigned new_namespace = CLONE_NEWNS | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET |
                                 CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWCGROUP;
  if (!refuse({{SYS_unshare}, {SYS_setns}, {SYS_mount}, {SYS_umount2}, {SYS_clone, new_namespace}},
              EPERM)) {
    fprintf(stderr, "no_namespaces: no seccomp filter here: %s\n", strerror(errno));
    return 125;
  }
  execvp(argv[1], argv + 1);
  fprintf(stderr, "no_namespaces: %s: %s\n", argv[1], strerror(errno));
  return 127;
}
