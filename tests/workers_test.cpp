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
static const bool never_exits = sanitizer() == "thread";

// Joined one after the other, the workers run 7 s each. On a terminal main's line for #0
// and worker 0's greeting come at once, #1's two lines 7 s later, the exit 7 s after that;
// on a pipe the same four lines come all at the exit.
TEST(LeaderAwaits, RunsTheWorkersOneAfterTheOther) {
  for (bool tty : {true, false}) {
    SCOPED_TRACE(tty ? "terminal" : "pipe");
    if (never_exits && !tty)
      continue;  // under ThreadSanitizer it never exits to write the pipe out
    Outcome o = run({.argv = {"leader_awaits"}, .tty = tty, .deadline = never_exits ? 20.0 : 40});
    ASSERT_EQ(texts(o),
              (std::vector<std::string>{created(0), greeting(0), created(1), greeting(1)}));
    EXPECT_EQ(o.tail, "");
    const double printed[] = {0, 0, 7, 7};  // seconds from the start, plus the start-up
    for (size_t i = 0; i < 4; ++i)
      EXPECT_NEAR(o.lines[i].at, tty ? printed[i] + 0.2 : o.end, 0.3) << "line " << i;
    if (never_exits)
      continue;
    EXPECT_EQ(o.status, 0);
    EXPECT_NEAR(o.end, 14.2, 0.3) << "the process ends when worker 1 finishes";
  }
}
