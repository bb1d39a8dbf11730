// A /dev/shm of the test's own for the wake_the_opener lab's tests, the way
// memo_shm_test gets one: a mount namespace with an empty tmpfs on /dev/shm (with a user
// namespace, for an ordinary user), seen by the lab and the programs it starts. Where the
// kernel refuses namespaces, the machine's /dev/shm under an exclusive lock on the
// directory, and a test skips when an "OS" not its own is there.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

inline bool write_file(const char *file, const std::string &text) {
  int fd = open(file, O_WRONLY | O_CLOEXEC);
  bool done = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
  if (fd >= 0)
    close(fd);
  return done;
}

inline bool private_shm() {
  if (unshare(CLONE_NEWNS) != 0) {
    std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    if (errno != EPERM || unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 ||
        !write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", uid + " " + uid + " 1") ||
        !write_file("/proc/self/gid_map", gid + " " + gid + " 1"))
      return false;
  }
  return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") == 0;
}

// Tried in a child first, so that a namespace half made never becomes the test's.
inline bool private_shm_possible() {
  pid_t child = fork();
  if (child == 0)
    _exit(private_shm() ? 0 : 1);
  int status = 1;
  waitpid(child, &status, 0);
  return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class PrivateShm : public ::testing::Test {
 protected:
  int lock = -1;  // on the machine's /dev/shm: the lock on it, and "OS" is ours to remove

  void SetUp() override {
    if (private_shm_possible()) {
      ASSERT_TRUE(private_shm());
      return;
    }
    int fd = open("/dev/shm", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "/dev/shm: " << strerror(errno);
    ASSERT_EQ(flock(fd, LOCK_EX), 0) << strerror(errno);
    struct stat found;
    if (lstat("/dev/shm/OS", &found) == 0) {
      close(fd);
      GTEST_SKIP() << "/dev/shm/OS (uid " << found.st_uid << ") was made outside these tests, "
                   << "and without namespaces they use the machine's /dev/shm: remove it once "
                   << "its program is done (rm /dev/shm/OS)";
    }
    lock = fd;
  }

  void TearDown() override {
    if (lock >= 0) {
      unlink("/dev/shm/OS");
      close(lock);
    }
  }
};
