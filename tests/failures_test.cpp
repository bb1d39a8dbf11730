// What every program does when the system refuses it something, or its reader goes away.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>

#include "harness.hpp"

// A refused thread or fork: the programs that check it report it on stderr with status 1;
// the numbered workers print their own message after main's first line and end with 255.
TEST(Failures, RefusedThreadOrForkIsReported) {
  if (!sanitizer().empty())
    GTEST_SKIP() << "a sanitizer's runtime needs a large address space and clone itself";
  void (*no_thread)() = fail_thread_creation, (*no_fork)() = fail_fork;
  const std::string made = "I’m Main Thread: create Thread: #0", cannot = "can’t create Thread #0 ";
  struct Row {
    std::string program;
    void (*hook)();
    int status;
    std::vector<std::string> lines;
    std::string tail, err;  // err: the call that failed, for the programs that report it
  };
  std::vector<Row> rows = {
      {"leader_leaves", no_thread, 255, {made}, "ERROR!!! I’m Main Thread, I " + cannot},
      {"workers_quit", no_thread, 255, {made}, "ERROR!!! I’m Main Thread, " + cannot},
      {"leader_awaits", no_thread, 255, {made}, "ERROR!!! I’m Main Thread, I " + cannot},
      {"parent_child", no_fork, 1, {"Parent Proces, pid=-1"}, "", "fork"},
      {"script_launch", no_fork, 1, {}, "", "fork"}};
  for (const char *name :
       {"stock_gate", "tally_racy", "tally_locked", "endless_chat", "record_pass"})
    rows.push_back({name, no_thread, 1, {}, "", "pthread_create"});
  for (Row &row : rows) {
    SCOPED_TRACE(row.program);
    pid_t pid = 0;
    Outcome o =
        run({.argv = {row.program, "a", "b"}, .before_exec = row.hook, .started = [&](pid_t p) {
               pid = p;
             }});
    if (row.program == "leader_leaves")  // main's id, the process id, comes first
      row.lines[0] = "Thread ID " + std::to_string(pid) + " | " + row.lines[0];
    if (!row.err.empty())
      row.err = row.program + ": " + row.err + ": " + strerror(EAGAIN) + "\n";
    EXPECT_EQ(o.status, row.status);
    EXPECT_EQ(texts(o), row.lines) << "it went on without its thread or child";
    EXPECT_EQ(o.tail, row.tail);
    EXPECT_EQ(o.err, row.err);
  }
}

TEST(Failures, FloodEndsWhenItsReaderGoesAway) {
  // Like `| head -n 5`: the next write after the pipe is gone ends the program.
  for (const char *name : {"stock_gate", "tally_racy", "tally_locked", "endless_chat"}) {
    SCOPED_TRACE(name);
    Outcome o = run({.argv = {name}, .deadline = 20, .hang_up_after = 5});
    EXPECT_FALSE(o.interrupted) << "still running " << o.end << " s after its reader left";
    EXPECT_EQ(o.signal, SIGPIPE);
  }
}

// A program that writes without ever ending a line is stopped, its first MiB kept, instead
// of growing the watcher's buffer until the deadline.
TEST(Failures, OutputWithoutANewlineIsStoppedAtAMiB) {
  Outcome o = watcher::watch({.argv = {"sh", "-c", "exec tr -d '\\n' < /dev/zero"}, .deadline = 20});
  EXPECT_TRUE(o.interrupted);
  EXPECT_LT(o.end, 10) << "stopped only by the deadline";
  EXPECT_TRUE(o.lines.empty());
  EXPECT_EQ(o.tail.size(), 4096u);
}
