// The kernel's side of the programs, as the tour shows it: strace's record read back, and
// checked against what the programs themselves print.
#include "trace.hpp"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "harness.hpp"

using watcher::Event;
using watcher::has_flag;
using watcher::Mapping;

TEST(TraceReader, JoinsTheHalvesOfInterleavedCalls) {
  std::istringstream recorded(
      "100  50.000100 clone3({flags=CLONE_VM|CLONE_THREAD, child_tid=0x7f10} => "
      "{parent_tid=[101]}, 88) = 101\n"
      "100  50.000200 futex(0x7f10, FUTEX_WAIT_BITSET|FUTEX_CLOCK_REALTIME, 101, NULL "
      "<unfinished ...>\n"
      "[pid   101] 50.000300 write(1, \"a, b) = 9\\n\", 9 <unfinished ...>\n"
      "100  50.000400 --- SIGCHLD {si_signo=SIGCHLD} ---\n"
      "101  50.000500 <... write resumed>) = 9\n"
      "101  50.000600 execve(\"./x\", [\"./x\"], 0x1 /* 3 vars */) = -1 ENOENT (No such file)\n"
      "101  50.000700 exit(0)                 = ?\n"
      "101  50.000800 +++ exited with 0 +++\n"
      "100  50.700200 <... futex resumed>) = 0\n");
  std::vector<Event> e = watcher::read_trace(recorded);
  ASSERT_EQ(e.size(), 7u);
  EXPECT_EQ(e[0].name, "clone3");
  EXPECT_EQ(e[0].value, 101);
  EXPECT_TRUE(has_flag(e[0].arg(0), "CLONE_THREAD"));
  EXPECT_FALSE(has_flag(e[0].arg(0), "CLONE_V"));
  // The futex began before the write and ended after everything else: it keeps its place,
  // its thread, its start and its whole argument list.
  EXPECT_EQ(e[1].tid, 100);
  EXPECT_EQ(e[1].text, "futex(0x7f10, FUTEX_WAIT_BITSET|FUTEX_CLOCK_REALTIME, 101, NULL) = 0");
  EXPECT_EQ(e[1].args.size(), 4u);
  EXPECT_NEAR(e[1].at, 0.0001, 1e-9);
  EXPECT_NEAR(e[1].done, 0.7001, 1e-9);
  EXPECT_EQ(e[2].tid, 101);  // the other prefix strace uses
  EXPECT_EQ(e[2].args, (std::vector<std::string>{"1", "\"a, b) = 9\\n\"", "9"}));
  EXPECT_EQ(e[2].value, 9) << "a \") = \" inside a string is not the result";
  EXPECT_EQ(e[3].name, "---");
  EXPECT_EQ(e[4].error, "ENOENT");
  EXPECT_EQ(e[4].value, -1);
  EXPECT_EQ(e[5].name, "exit");
  EXPECT_EQ(e[6].result, "exited with 0");
}

// The plain build, as the tour shows it: a sanitizer's runtime makes clones of its own
// (ThreadSanitizer a thread at start, LeakSanitizer a helper at exit).
class Kernel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sanitizer().empty())
      GTEST_SKIP() << "a sanitizer's runtime makes clones of its own";
    if (std::string why = watcher::tracing_refused(); !why.empty())
      GTEST_SKIP() << why;
  }
};

// Traced for 1.5 s: long enough for every thread to start, or a short program to end.
static watcher::Traced traced(const std::string &name, const std::string &calls, bool tty = false,
                              std::string cwd = "") {
  return watcher::trace({.argv = {program(name)}, .tty = tty, .cwd = cwd, .deadline = 1.5}, calls);
}

static std::vector<const Event *> calls(const watcher::Traced &t, const std::string &name) {
  std::vector<const Event *> found;
  for (const Event &e : t.events)
    if (e.name == name)
      found.push_back(&e);
  return found;
}

TEST_F(Kernel, ForkIsACloneWithoutSharedMemoryReturningThePrintedPid) {
  auto t = traced("parent_child", "clone,clone3,wait4");
  auto clones = calls(t, "clone");
  ASSERT_EQ(clones.size(), 1u);
  EXPECT_FALSE(has_flag(clones[0]->arg(1), "CLONE_VM"));
  EXPECT_TRUE(has_flag(clones[0]->arg(1), "SIGCHLD"));
  ASSERT_EQ(t.out.lines.size(), 2u);
  EXPECT_EQ(t.out.lines[1].text, "Parent Proces, pid=" + std::to_string(clones[0]->value));
  auto waits = calls(t, "wait4");
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_EQ(waits[0]->value, clones[0]->value);
}

TEST_F(Kernel, EveryThreadIsAClone3SharingTheMemory) {
  struct Row {
    const char *program;
    size_t threads;
  };
  for (Row row : {Row{"endless_chat", 1}, Row{"record_pass", 1}, Row{"leader_awaits", 1},
                  Row{"leader_leaves", 2}, Row{"workers_quit", 2}, Row{"tally_racy", 2},
                  Row{"tally_locked", 2}, Row{"stock_gate", 2}}) {
    SCOPED_TRACE(row.program);
    auto t = traced(row.program, "clone,clone3");  // 1.5 s: one worker of leader_awaits
    auto clones = calls(t, "clone3");
    EXPECT_EQ(clones.size(), row.threads);
    EXPECT_TRUE(calls(t, "clone").empty());
    for (const Event *e : clones) {
      EXPECT_TRUE(has_flag(e->arg(0), "CLONE_VM") && has_flag(e->arg(0), "CLONE_THREAD"))
          << e->text;
      EXPECT_EQ(e->tid, t.pid) << "created by main";
    }
  }
}

TEST_F(Kernel, LeaderLeavesPrintsTheIdsTheKernelGaveItsThreads) {
  auto t = traced("leader_leaves", "clone3,exit", true);
  std::vector<int> printed;
  for (const Line &line : t.out.lines)
    for (size_t at = 0; (at = line.text.find("Thread ID ", at)) != std::string::npos; ++at)
      printed.push_back(std::stoi(line.text.substr(at + 10)));
  std::vector<int> kernel = {t.pid};
  for (const Event *e : calls(t, "clone3"))
    kernel.push_back(e->value);
  ASSERT_EQ(printed.size(), 3u);
  std::sort(printed.begin() + 1, printed.end());  // the workers may print in either order
  EXPECT_EQ(printed, kernel);
  auto exits = calls(t, "exit");
  ASSERT_EQ(exits.size(), 1u) << "main alone leaves, with exit, not exit_group";
  EXPECT_EQ(exits[0]->tid, t.pid);
}

TEST_F(Kernel, ScriptReplacesTheChildOnlyBesideCountSh) {
  std::string folder = std::filesystem::path(program("script_launch")).parent_path();
  for (const std::string &cwd : {folder, std::string("/")}) {
    SCOPED_TRACE(cwd);
    auto t = traced("script_launch", "clone", false, cwd);
    auto execs = calls(t, "execve");
    ASSERT_EQ(execs.size(), 2u);
    EXPECT_NE(execs[1]->tid, t.pid) << "the child's, not the parent's";
    EXPECT_EQ(execs[1]->arg(0), "\"./count.sh\"");
    EXPECT_EQ(execs[1]->arg(1), "[\"./count.sh\", \"10\"]");
    EXPECT_EQ(execs[1]->error, cwd == folder ? "" : "ENOENT");
  }
}

TEST_F(Kernel, OnlyTallyLockedWaitsOnAWordOfItsOwn) {
  for (const char *name : {"tally_locked", "tally_racy"}) {
    SCOPED_TRACE(name);
    std::vector<Mapping> own;
    uintptr_t lock = 0, out = 0;
    auto t = watcher::trace({.argv = {program(name)},
                             .deadline = 0.5,
                             .started =
                                 [&](pid_t pid) {
                                   for (const Mapping &m : watcher::maps(pid))
                                     if (m.path == program(name))
                                       own.push_back(m);
                                   lock = watcher::symbol_address(pid, program(name), "lock");
                                   out = watcher::stdout_lock(pid);
                                 }},
                            "futex");
    size_t on_lock = 0, on_stdout = 0;
    for (const Event *e : calls(t, "futex")) {
      uintptr_t word = std::stoul(e->arg(0), nullptr, 16);
      on_lock += word == lock;
      on_stdout += word == out;
      bool inside = false;
      for (const Mapping &m : own)
        inside = inside || (word >= m.start && word < m.end);
      EXPECT_EQ(inside, word == lock && lock != 0) << e->text;
    }
    ASSERT_FALSE(own.empty());
    EXPECT_NE(out, 0u);
    if (name == std::string("tally_locked")) {
      EXPECT_GT(on_lock, 0u) << "two threads never met at the mutex";
    } else {
      EXPECT_EQ(lock, 0u) << "tally_racy has no lock";
      EXPECT_GT(on_stdout, 0u) << "the threads never met at stdout's lock";
    }
  }
}

// Child hook: ptrace fails as it does where a container forbids it.
static void refuse_ptrace() {
  sock_filter code[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ptrace, 0, 1),
                        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  sock_fprog filter = {sizeof code / sizeof code[0], code};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
    _exit(125);
}

TEST(Tour, WithoutTracingSaysWhyInOneLineAndGoesOn) {
  struct Row {
    const char *why;
    std::vector<std::string> env;
    void (*hook)();
  };
  for (const Row &row : {Row{"strace is not installed", {"PATH=/nowhere"}, nullptr},
                         Row{"strace cannot trace here", {}, refuse_ptrace}}) {
    SCOPED_TRACE(row.why);
    Outcome o = run({.argv = {BUILD_DIR "/tools/tour", "parent_child"},
                     .env = row.env,
                     .before_exec = row.hook});
    EXPECT_EQ(o.status, 0) << o.err;
    auto lines = texts(o);
    auto hood = std::find_if(lines.begin(), lines.end(),
                             [](auto &l) { return l.starts_with("-- under the hood"); });
    ASSERT_NE(hood, lines.end());
    EXPECT_NE(hood->find(row.why), std::string::npos) << *hood;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Child process, pid=0"), 1);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](auto &l) { return l.find("clone(") != std::string::npos; }),
              0);
  }
}
