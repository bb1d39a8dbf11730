// A /dev/shm of the test's own, for the tests that meet the shared memory object "OS"
// (the memo programs' and the wake_the_opener lab's): a fixture whose SetUp gives the test
// process, and every program it starts, an empty tmpfs on /dev/shm, or failing that the
// machine's /dev/shm under an exclusive lock.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// An empty tmpfs over /dev/shm, seen by this test process and every program it starts.
inline bool fresh_shm(unsigned long flags) {
  return mount("tmpfs", "/dev/shm", "tmpfs", flags, "mode=1777") == 0;
}

// Writes `text` to a file of /proc/self in one write, as the kernel wants for id maps.
inline bool write_proc_file(const char *file, const std::string &text) {
  int fd = open(file, O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool done = write(fd, text.data(), text.size()) == ssize_t(text.size());
  int error = errno;
  close(fd);
  errno = error;
  return done;
}

// A private /dev/shm: a mount namespace of this process's own with an empty tmpfs on
// /dev/shm. Root (or any holder of CAP_SYS_ADMIN) gets the namespace directly. An ordinary
// user gets it the way unprivileged tools do: together with a new user namespace, in which
// the process holds every capability until it next calls exec. Mapping its own uid and gid
// to themselves (setgroups denied first, as the kernel requires of an unprivileged map)
// leaves the files it makes and the programs it starts with the user's own ids, and those
// programs, once exec'd, have no capabilities at all. The kernel creates a user namespace
// only for a single-threaded process: SetUp runs before the test body starts any thread.
// On failure, `why` names the call the kernel refused.
inline bool private_shm(std::string &why) {
  auto refused = [&](const std::string &call) {
    why = call + ": " + strerror(errno);
    return false;
  };
  if (unshare(CLONE_NEWNS) != 0) {
    if (errno != EPERM)
      return refused("unshare(CLONE_NEWNS)");
    std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
      return refused("unshare(CLONE_NEWUSER|CLONE_NEWNS)");
    if (!write_proc_file("/proc/self/setgroups", "deny") ||
        !write_proc_file("/proc/self/uid_map", uid + " " + uid + " 1") ||
        !write_proc_file("/proc/self/gid_map", gid + " " + gid + " 1"))
      return refused("writing the new user namespace's id maps");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !fresh_shm(0))
    return refused("mount");
  return true;
}

// Whether a private /dev/shm can be had, tried in a child so that a namespace half made
// (a user namespace whose mounts are then refused) never becomes this process's.
inline bool private_shm_possible(std::string &why) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0)
    return false;
  pid_t child = fork();
  if (child == 0) {
    close(pipe_ends[0]);
    std::string reason;
    bool ok = private_shm(reason);
    if (!ok && write(pipe_ends[1], reason.data(), reason.size()) < 0)
      _exit(2);
    _exit(ok ? 0 : 1);
  }
  close(pipe_ends[1]);
  char text[512];
  ssize_t n = read(pipe_ends[0], text, sizeof text);
  close(pipe_ends[0]);
  int status = 1;
  waitpid(child, &status, 0);
  why.assign(text, std::max<ssize_t>(n, 0));
  return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The processes that map the object `os` (the stat of /dev/shm/OS) or hold it open, as
// far as /proc lets this user see. Known by device and inode, not by path: a process in
// another mount namespace may hold an "OS" of its own at the same path.
inline std::string holders(const struct stat &os) {
  std::string found;
  char device[32];  // as /proc/PID/maps writes it
  snprintf(device, sizeof device, "%02x:%02x", major(os.st_dev), minor(os.st_dev));
  std::string inode = std::to_string(os.st_ino);
  for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
    std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos)
      continue;
    bool holds = false;
    std::ifstream maps(entry.path() / "maps");
    for (std::string line; !holds && std::getline(maps, line);) {
      std::istringstream fields(line);
      std::string range, perms, offset, dev, ino;
      fields >> range >> perms >> offset >> dev >> ino;
      holds = dev == device && ino == inode;
    }
    std::error_code hidden;  // another user's process, or one that just ended
    for (std::filesystem::directory_iterator fd(entry.path() / "fd", hidden), end;
         !hidden && fd != end; fd.increment(hidden)) {
      struct stat held;
      holds = holds || (stat(fd->path().c_str(), &held) == 0 && held.st_dev == os.st_dev &&
                        held.st_ino == os.st_ino);
    }
    std::string name;
    std::getline(std::ifstream(entry.path() / "comm"), name);
    if (holds)
      found += (found.empty() ? "" : ", ") + pid + " (" + name + ")";
  }
  return found.empty() ? "/proc shows no process of this user's that maps it or holds it open"
                       : "mapped or held open by " + found;
}

// Each test meets "OS" on a /dev/shm of its own, so it never meets the machine's "OS" nor
// another test's; threads started by the test body share it. Where the kernel refuses the
// namespaces that takes, the test uses the machine's /dev/shm, and every run of the suite,
// whichever user and build it comes from, first takes an exclusive lock on that directory
// itself: a lock that needs no file of its own, so nothing is left behind and no sticky
// /tmp stands between users. An "OS" found there belongs to someone else and stays
// untouched: the test then skips, naming it.
class PrivateShm : public ::testing::Test {
 protected:
  bool shared = false;  // on the machine's /dev/shm, under the lock
  int lock = -1;
  bool ours = false;  // "OS" was absent when the lock was taken: whatever is there is ours

  void SetUp() override {
    std::string why;
    if (private_shm_possible(why)) {
      ASSERT_TRUE(private_shm(why)) << why;
      return;
    }
    shared = true;
    lock = open("/dev/shm", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(lock, 0) << "/dev/shm: " << strerror(errno);
    ASSERT_EQ(flock(lock, LOCK_EX), 0) << strerror(errno);
    struct stat found;
    if (lstat("/dev/shm/OS", &found) == 0) {
      passwd *owner = getpwuid(found.st_uid);
      // Who else may use it depends on its mode (the creator's umask), and an opener of
      // another user is refused by fs.protected_regular whatever the mode.
      char mode[8];
      snprintf(mode, sizeof mode, "%04o", unsigned(found.st_mode & 07777));
      std::string protect = "0";
      std::getline(std::ifstream("/proc/sys/fs/protected_regular"), protect);
      std::string others = found.st_mode & S_IWOTH   ? "lets any user's replier write it"
                           : found.st_mode & S_IWGRP ? "lets its group's repliers write it"
                                                     : "lets only its owner write it";
      GTEST_SKIP() << "/dev/shm/OS (owner " << (owner ? owner->pw_name : "unknown") << ", uid "
                   << found.st_uid << ") was made outside these tests; its mode " << mode << " "
                   << others << ", and fs.protected_regular is " << protect
                   << (protect == "0" ? ""
                                      : ", so another user's opener is refused whatever the mode")
                   << "; " << holders(found) << ". With no private /dev/shm here (" << why
                   << "), these tests use the machine's and leave that one alone: remove it "
                      "once its program is done (rm /dev/shm/OS), or allow unprivileged user "
                      "namespaces with mounts (on Ubuntu 24.04: sudo sysctl "
                      "kernel.apparmor_restrict_unprivileged_userns=0)";
    }
    ours = true;
  }

  void TearDown() override {
    if (ours)
      clear();
    if (lock >= 0)
      close(lock);
  }

  // An empty /dev/shm: a fresh tmpfs (read-only if asked) where it is private; the
  // machine's with this test's "OS" removed otherwise.
  bool clear(bool read_only = false) const {
    if (!shared)
      return fresh_shm(read_only ? MS_RDONLY : 0);
    return (unlink("/dev/shm/OS") == 0 || errno == ENOENT ||
            (errno == EISDIR && rmdir("/dev/shm/OS") == 0)) &&
           !read_only;
  }
};
