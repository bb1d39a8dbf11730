#include <gtest/gtest.h>

#include <string>

#include "harness.hpp"

static std::string created(int t) {
  return "I’m Main Thread: create Thread: #" + std::to_string(t);
}
static std::string greeting(int t) {
  return "Hello QM104! I’m Thread #" + std::to_string(t) + " ^_^!!!";
}

// ThreadSanitizer's runtime keeps a thread of its own that blocks every signal and never
// ends, so once main leaves with pthread_exit the process never exits (SIGKILL ends it).
static bool never_exits() {
  return sanitizer() == "thread";
}

TEST(LeaderAwaits, TerminalRunsTheWorkersOneAfterTheOther) {
  Outcome o = run({.argv = {"leader_awaits"}, .tty = true, .deadline = never_exits() ? 20.0 : 40});
  ASSERT_EQ(texts(o), (std::vector<std::string>{created(0), greeting(0), created(1), greeting(1)}));
  EXPECT_EQ(o.tail, "");
  EXPECT_LT(o.lines[1].at, 3.0);
  EXPECT_GT(o.lines[2].at - o.lines[1].at, 6.5) << "#1 created before worker 0 finished";
  EXPECT_LT(o.lines[2].at - o.lines[1].at, 10.0);
  EXPECT_LT(o.lines[3].at - o.lines[2].at, 2.0);
  if (never_exits())
    return;
  EXPECT_EQ(o.status, 0);
  EXPECT_GT(o.end - o.lines[3].at, 6.5) << "ended before worker 1 finished";
  EXPECT_LT(o.end, 20.0);
}

TEST(LeaderAwaits, PipeGetsTheSameLinesAllAtExit) {
  if (never_exits())
    GTEST_SKIP() << "under ThreadSanitizer it never exits to write them out";
  Outcome o = run({.argv = {"leader_awaits"}, .deadline = 40});
  EXPECT_EQ(texts(o), (std::vector<std::string>{created(0), greeting(0), created(1), greeting(1)}));
  EXPECT_EQ(o.tail, "");
  EXPECT_EQ(o.status, 0);
  for (const Line &line : o.lines)
    EXPECT_GE(line.at, 13.5) << "came before the exit: " << line.text;
}

TEST(NumberedWorkers, FailedCreationPrintsItsOwnMessageAndEndsWith255) {
  if (!sanitizer().empty())
    GTEST_SKIP() << "a sanitizer's runtime cannot start in a small address space";
  struct Row {
    const char *program;
    std::string error;
  };
  for (const Row &row :
       {Row{"leader_leaves", "ERROR!!! I’m Main Thread, I can’t create Thread #0 "},
        Row{"workers_quit", "ERROR!!! I’m Main Thread, can’t create Thread #0 "},
        Row{"leader_awaits", "ERROR!!! I’m Main Thread, I can’t create Thread #0 "}}) {
    SCOPED_TRACE(row.program);
    Outcome o = run({.argv = {row.program}, .before_exec = fail_thread_creation});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(o.tail, row.error);
    ASSERT_EQ(o.lines.size(), 1u);
    std::string first = created(0);
    if (row.program == std::string("leader_leaves")) {  // main's id comes first
      int id = 0;
      sscanf(o.lines[0].text.c_str(), "Thread ID %d", &id);
      first = "Thread ID " + std::to_string(id) + " | " + first;
    }
    EXPECT_EQ(o.lines[0].text, first);
    EXPECT_EQ(o.err, "");
  }
}
