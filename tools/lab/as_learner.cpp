// Linked into every program the lab builds from a learner's file. Root's processes are
// never held to RLIMIT_NPROC, so a fork loop run as root would fill the machine. When the
// lab runs as root it names a user id of the learner's own in LAB_UID, and the program
// takes that id (real, effective and saved, and its group) before anything of the
// learner's runs: from then on the limit holds for it and for every process it starts.
// strace, still root, goes on tracing it. Run by hand, without LAB_UID, it does nothing.
#include <grp.h>
#include <unistd.h>

#include <cstdlib>

__attribute__((constructor(101))) static void as_learner() {
  const char *uid = getenv("LAB_UID");
  if (!uid || geteuid() != 0)
    return;
  uid_t id = static_cast<uid_t>(strtoul(uid, nullptr, 10));
  if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0)
    _exit(126);  // never run the learner's code as root
}
