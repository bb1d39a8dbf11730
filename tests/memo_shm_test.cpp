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
#include <iostream>
#include <optional>
#include <thread>

#include "harness.hpp"
#include "private_shm.hpp"
#include "refuse.hpp"
#include "trace.hpp"

namespace fs = std::filesystem;

static const std::string waiting = "Waiting Process B update shared memory";
static const std::string greeting("Hello Process B\0", 16);

// Each test on a /dev/shm of its own (see private_shm.hpp); `shared` and `lock` say when it
// is the machine's, under the lock, and clear() empties it.
using Memo = PrivateShm;

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

// Who holds "OS" is known by the object, not by its path: a process that holds or maps an
// object the name no longer names (replaced since), or an "OS" of its own on the /dev/shm
// of a mount namespace of its own, is no holder of this one, while one that holds or maps
// this one is named either way.
TEST_F(Memo, HoldersAreKnownByTheObjectNotByItsPath) {
  enum Where { replaced, here, elsewhere };
  struct Row {
    Where where;
    bool mapped;
    pid_t pid = 0;
  } rows[] = {{replaced, false}, {replaced, true}, {here, false},
              {here, true},      {elsewhere, false}, {elsewhere, true}};
  make_object("old!");
  std::string refused;
  for (Row &row : rows) {
    if (row.where == here && !row.mapped) {  // the name now names another object
      int fd = open("/dev/shm/OS.next", O_CREAT | O_EXCL | O_RDWR, 0600);
      ASSERT_GE(fd, 0) << strerror(errno);
      ASSERT_EQ(write(fd, "ours", 4), 4);
      close(fd);
      ASSERT_EQ(rename("/dev/shm/OS.next", "/dev/shm/OS"), 0) << strerror(errno);
    }
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    row.pid = fork();
    if (row.pid == 0) {
      std::string why;
      if (row.where == elsewhere && !private_shm(why))
        _exit(1);
      int fd = shm_open("OS", O_CREAT | O_RDWR, 0600);  // elsewhere a new one, else ours
      if (fd < 0 || ftruncate(fd, 4096) != 0)
        _exit(1);
      if (row.mapped) {
        if (mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0) == MAP_FAILED)
          _exit(1);
        close(fd);  // held by the mapping alone
      }
      if (write(ready[1], "", 1) != 1)
        _exit(1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char up;
    if (read(ready[0], &up, 1) != 1) {
      EXPECT_EQ(row.where, elsewhere) << "a holder of an object here could not be made";
      refused = "no mount namespace could be had for a holder elsewhere";
      waitpid(row.pid, nullptr, 0);
      row.pid = 0;
    }
    close(ready[0]);
  }
  struct stat ours;
  ASSERT_EQ(stat("/dev/shm/OS", &ours), 0);
  std::string said = holders(ours);
  for (Row &row : rows) {
    if (!row.pid)
      continue;
    std::string p = std::to_string(row.pid);
    bool named = said.find("by " + p + " (") != std::string::npos ||
                 said.find(", " + p + " (") != std::string::npos;
    EXPECT_EQ(named, row.where == here)
        << (row.where == here ? "here, " : row.where == replaced ? "replaced, " : "elsewhere, ")
        << (row.mapped ? "mapped: " : "open: ") << said;
    kill(row.pid, SIGKILL);
    waitpid(row.pid, nullptr, 0);
  }
  EXPECT_EQ(object()->substr(0, 4), "ours") << "the holders elsewhere made their own";
  // Where namespaces are refused the rows elsewhere cannot be made; the others still judge.
  if (!refused.empty())
    std::cout << "holders elsewhere not tried: " << refused << "\n";
}
