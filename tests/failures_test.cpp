// What every program does when the system refuses it something, or its reader goes away.
#include <gtest/gtest.h>
#include <signal.h>

#include "harness.hpp"

TEST(Failures, ThreadThatCannotBeCreatedIsReportedWithStatus1) {
  if (!sanitizer().empty())
    GTEST_SKIP() << "a sanitizer's runtime cannot start in a small address space";
  for (const char *name :
       {"stock_gate", "tally_racy", "tally_locked", "endless_chat", "record_pass"}) {
    SCOPED_TRACE(name);
    Outcome o = run({.argv = {name}, .before_exec = fail_thread_creation});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, std::string(name) + ": pthread_create: Resource temporarily unavailable\n");
    EXPECT_TRUE(o.lines.empty()) << "it went on without its thread";
    EXPECT_EQ(o.tail, "");
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
