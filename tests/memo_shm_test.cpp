#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "harness.hpp"
#include "refuse.hpp"
#include "trace.hpp"

namespace fs = std::filesystem;

static const std::string waiting = "Waiting Process B update shared memory";
static const std::string greeting("Hello Process B\0", 16);

// An empty tmpfs over /dev/shm, seen by this test process and every program it starts.
static bool fresh_shm(unsigned long flags) {
  return mount("tmpfs", "/dev/shm", "tmpfs", flags, "mode=1777") == 0;
}

// Writes `text` to a file of /proc/self in one write, as the kernel wants for id maps.
static bool put(const char *file, const std::string &text) {
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
static bool private_shm(std::string &why) {
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
    if (!put("/proc/self/setgroups", "deny") ||
        !put("/proc/self/uid_map", uid + " " + uid + " 1") ||
        !put("/proc/self/gid_map", gid + " " + gid + " 1"))
      return refused("writing the new user namespace's id maps");
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !fresh_shm(0))
    return refused("mount");
  return true;
}

// Whether a private /dev/shm can be had, tried in a child so that a namespace half made
// (a user namespace whose mounts are then refused) never becomes this process's.
static bool private_shm_possible(std::string &why) {
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

// The processes that map /dev/shm/OS or hold it open, as far as /proc lets this user see.
static std::string holders() {
  std::string found;
  for (const auto &entry : fs::directory_iterator("/proc")) {
    std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos)
      continue;
    bool holds = false;
    std::ifstream maps(entry.path() / "maps");
    for (std::string line; !holds && std::getline(maps, line);)
      holds = line.ends_with(" /dev/shm/OS");
    std::error_code hidden;  // another user's process, or one that just ended
    for (fs::directory_iterator fd(entry.path() / "fd", hidden), end; !hidden && fd != end;
         fd.increment(hidden))
      holds = holds || fs::read_symlink(fd->path(), hidden) == "/dev/shm/OS";
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
class Memo : public ::testing::Test {
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
                   << (protect == "0" ? "" : ", so another user's opener is refused whatever the mode")
                   << "; " << holders()
                   << ". With no private /dev/shm here (" << why
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

static void make_object(const std::string &bytes) {
  int fd = shm_open("OS", O_CREAT | O_RDWR, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  close(fd);
}

// The whole content of "OS", or nothing when there is no such object.
static std::optional<std::string> object() {
  int fd = shm_open("OS", O_RDONLY, 0);
  if (fd < 0)
    return std::nullopt;
  char bytes[16384];
  ssize_t n = pread(fd, bytes, sizeof bytes, 0);
  close(fd);
  return std::string(bytes, std::max<ssize_t>(n, 0));
}

// Child hook: every shared mapping fails with ENOMEM; the loader's private ones still work.
static void fail_shared_mmap() {
  if (!refuse({{SYS_mmap, MAP_SHARED, 3}}, ENOMEM))
    _exit(125);
}

// Runs the opener on a terminal and, 1.5 s after its start, `meanwhile` beside it.
static Outcome with_opener(const std::function<void()> &meanwhile,
                           const std::function<void(pid_t)> &started = nullptr) {
  Outcome a;
  std::thread opener(
      [&] { a = run({.argv = {"memo_opener"}, .tty = true, .deadline = 20, .started = started}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  meanwhile();
  opener.join();
  return a;
}

// The opener tests the page at once and then once a second, printing a line each time:
// on a terminal line i comes i seconds after the start (plus the start-up).
static void expect_a_line_a_second(const Outcome &o) {
  for (size_t i = 0; i < o.lines.size(); ++i)
    EXPECT_NEAR(o.lines[i].at, i + 0.1, 0.2) << "line " << i;
}

TEST_F(Memo, ExchangeOnTwoTerminals) {
  auto start = std::chrono::steady_clock::now();
  double b_at = 0;  // the replier's start, in the opener's time
  Outcome b;
  Outcome a = with_opener([&] {
    b_at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    b = run({.argv = {"memo_replier"}, .tty = true, .deadline = 20});
  });
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(b.status, 0);
  EXPECT_EQ(a.err + b.err, "");
  ASSERT_EQ(texts(b), (std::vector<std::string>{"Read shared memory: Hello Process B",
                                                "Shared memory updated: Hello Process A"}));
  ASSERT_GE(a.lines.size(), 2u);
  EXPECT_EQ(a.lines.back().text, "Memory updated: Hello Process A");
  for (size_t i = 0; i + 1 < a.lines.size(); ++i)
    EXPECT_EQ(a.lines[i].text, waiting);
  expect_a_line_a_second(a);  // the answer too comes at a poll
  EXPECT_NEAR(a.lines.back().at - (b_at + b.lines[1].at), 0.5, 0.6)
      << "the opener noticed the answer before it was written, or missed a poll";
  EXPECT_NEAR(b.end - b.lines[1].at, 5.15, 0.2) << "the replier sleeps five seconds";
  EXPECT_FALSE(object()) << "the replier removes OS";
}

// Alone, the opener waits until interrupted and leaves its page: a fresh one on a terminal,
// and on a pipe one left by an earlier program, reused with its bytes past the 16 it
// writes and cut to 4096.
TEST_F(Memo, OpenerAloneWaitsUntilInterruptedAndLeavesItsPage) {
  std::string old(8192, '\0');
  for (size_t i = 0; i < old.size(); ++i)
    old[i] = char('a' + i % 26);
  for (bool tty : {true, false}) {
    SCOPED_TRACE(tty ? "terminal" : "pipe");
    std::string before = tty ? std::string(4096, '\0') : old;
    if (!tty)
      make_object(old);
    Outcome o = run({.argv = {"memo_opener"}, .tty = tty, .deadline = 3.5});
    EXPECT_EQ(o.signal, SIGINT);
    EXPECT_EQ(o.tail, "");
    // A line each second on a terminal; on a pipe the lines wait in the buffer and die with it.
    EXPECT_TRUE(tty ? o.lines.size() >= 3 : o.lines.empty()) << o.lines.size() << " lines";
    for (const Line &line : o.lines)
      EXPECT_EQ(line.text, waiting);
    expect_a_line_a_second(o);
    EXPECT_EQ(object(), greeting + before.substr(16, 4080));
  }
}

TEST_F(Memo, PagesWithoutANulArePrintedBoundedByThePage) {
  std::string full(4096, 'x');
  Outcome a = with_opener([&] {
    int fd = shm_open("OS", O_RDWR, 0);
    EXPECT_EQ(pwrite(fd, full.data(), full.size(), 0), 4096);
    close(fd);
  });
  EXPECT_EQ(a.status, 0);
  ASSERT_FALSE(a.lines.empty());
  EXPECT_EQ(a.lines.back().text, "Memory updated: " + full);

  Outcome b = run({.argv = {"memo_replier"}, .deadline = 20});
  EXPECT_EQ(b.status, 0);
  EXPECT_EQ(texts(b), (std::vector<std::string>{"Read shared memory: " + full,
                                                "Shared memory updated: Hello Process A"}));
}

TEST_F(Memo, FailuresAreReportedAndNothingIsTouched) {
  enum { none = -1, read_only = -2, fifo = -3, folder = -4 };  // else an object of that many bytes
  struct {
    const char *program;
    int shm;
    void (*hook)();  // runs in the program's child
    std::string err;
  } const rows[] = {
      {"memo_replier", none, nullptr, "shm_open OS: No such file or directory"},
      {"memo_replier", 0, nullptr, "OS holds 0 bytes, fewer than 4096"},
      {"memo_replier", 100, nullptr, "OS holds 100 bytes, fewer than 4096"},
      {"memo_replier", 4096, fail_shared_mmap, "mmap OS: Cannot allocate memory"},
      {"memo_opener", read_only, nullptr, "shm_open OS: Read-only file system"},
      {"memo_opener", folder, nullptr,
       "shm_open OS: Invalid argument"},  // EISDIR, as glibc says it
      {"memo_opener", fifo, nullptr, "ftruncate OS: Invalid argument"},
      {"memo_opener", none, fail_shared_mmap, "mmap OS: Cannot allocate memory"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.err);
    if (shared && row.shm == read_only)
      continue;  // the machine's /dev/shm cannot be made read-only; a folder refuses shm_open too
    ASSERT_TRUE(clear(row.shm == read_only));
    if (row.shm >= 0)
      make_object(std::string(row.shm, 'x'));
    if (row.shm == fifo)
      mkfifo("/dev/shm/OS", 0666);
    if (row.shm == folder)
      mkdir("/dev/shm/OS", 0777);
    bool replier = row.program == std::string("memo_replier");
    auto before = replier ? object() : std::nullopt;
    Outcome o = run({.argv = {row.program}, .before_exec = row.hook});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.signal, 0);
    EXPECT_EQ(o.err, row.program + (": " + row.err + "\n"));
    EXPECT_EQ(texts(o).size() + o.tail.size(), 0u) << "nothing on stdout";
    if (replier) {
      EXPECT_EQ(object(), before) << "the object is left as it was";
    }
  }
}

TEST_F(Memo, BothProcessesMapTheSamePage) {
  // Read while both live: the replier's first line comes right after its mmap, and the
  // opener, which last polled half a second before, has not yet seen the answer.
  std::atomic<pid_t> opener{0}, replier{0};
  std::vector<watcher::Mapping> pages;
  Outcome b;
  Outcome a = with_opener(
      [&] {
        b = run({.argv = {"memo_replier"},
                 .tty = true,
                 .stop_when =
                     [&](auto &) {
                       for (pid_t pid : {pid_t(opener), pid_t(replier)})
                         for (const watcher::Mapping &m : watcher::maps(pid))
                           if (m.path == "/dev/shm/OS" && pages.size() < 2)
                             pages.push_back(m);
                       return false;
                     },
                 .started = [&](pid_t pid) { replier = pid; }});
      },
      [&](pid_t pid) { opener = pid; });
  EXPECT_EQ(a.status + b.status, 0);
  ASSERT_EQ(pages.size(), 2u) << "both processes map /dev/shm/OS";
  for (const watcher::Mapping &m : pages)
    EXPECT_EQ(m.perms + " " + std::to_string(m.end - m.start), "rw-s 4096") << "shared, one page";
  EXPECT_EQ(pages[0].device, pages[1].device);
  EXPECT_EQ(pages[0].inode, pages[1].inode) << "two objects, not one";
}

// With namespaces refused, a run of the suite that finds an "OS" it did not make leaves it
// as it was and skips, naming its owner and the process that holds it.
TEST_F(Memo, AnObjectMadeElsewhereIsLeftAloneAndNamed) {
  make_object("made elsewhere");
  struct stat made;
  ASSERT_EQ(stat("/dev/shm/OS", &made), 0);
  // The holder is a program of its own (in a user namespace of the test's own, a process
  // that has not exec'd keeps capabilities that hide its /proc entries from the other run).
  int held = open("/dev/shm/OS", O_RDONLY);
  pid_t holder = fork();
  if (holder == 0) {
    execlp("sleep", "sleep", "60", nullptr);
    _exit(127);
  }
  close(held);
  std::string comm;
  for (int i = 0; i < 200 && comm != "sleep"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::getline(std::ifstream("/proc/" + std::to_string(holder) + "/comm"), comm);
  }
  std::string self = fs::read_symlink("/proc/self/exe");
  // On the machine's /dev/shm this test gives up its turn while the other run looks.
  if (shared)
    flock(lock, LOCK_UN);
  Outcome o = run({.argv = {NO_NAMESPACES, self, "--gtest_filter=Memo.ExchangeOnTwoTerminals"}});
  if (shared)
    flock(lock, LOCK_EX);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);

  std::string said;  // the reason given, without gtest's marker of a skip
  for (const std::string &line : texts(o))
    if (line.starts_with("/dev/shm/OS "))
      said = line;
  passwd *me = getpwuid(geteuid());
  ASSERT_NE(me, nullptr);
  std::string owner = "/dev/shm/OS (owner " + std::string(me->pw_name) + ", uid " +
                      std::to_string(geteuid()) + ") was made outside these tests; ";
  EXPECT_EQ(said.substr(0, owner.size()), owner);
  EXPECT_NE(said.find("held open by " + std::to_string(holder) + " (sleep)"), std::string::npos)
      << said;
  EXPECT_NE(said.find("rm /dev/shm/OS"), std::string::npos) << "what to change is said";
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(object(), "made elsewhere");
  struct stat after;
  EXPECT_EQ(stat("/dev/shm/OS", &after), 0);
  EXPECT_EQ(after.st_ino, made.st_ino) << "replaced by another object";
}
