// The wake_the_opener lab at length: the correct pair, a replier that posts before it
// writes and an opener that re-reads the page on a CPU, each judged again and again on
// every CPU and pinned to one; and an opener whose semaphore is private to it.
#include <gtest/gtest.h>

#include <filesystem>

#include "harness.hpp"
#include "lab_judged.hpp"
#include "private_shm.hpp"

static const Attempt solution = {
    "wake_the_opener",
    {"wake_the_opener/solution_opener.cpp", "wake_the_opener/solution_replier.cpp"},
    {}};

class MemoLabRepeated : public PrivateShm, public ::testing::WithParamInterface<bool> {};

TEST_P(MemoLabRepeated, SolutionPassesEveryRun) {
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("run " + std::to_string(i + 1));
    Judged j = expect_judged(solution, GetParam());
    // The replier sleeps five seconds by design: judging takes that and at most 10 s more,
    // the build of both programs on top.
    EXPECT_LT(j.seconds, 40) << j.output;
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/OS"));
  }
}

// The race is provoked, not hoped for: the replier that posts first fails every run, and
// the opener that never sleeps is never said to be woken.
TEST_P(MemoLabRepeated, WrongPairsFailEveryRun) {
  const Attempt wrong[] = {
      {"wake_the_opener",
       {"wake_the_opener/solution_opener.cpp", "wake_the_opener/post_before_write_replier.cpp"},
       {"greetings"}},
      {"wake_the_opener",
       {"wake_the_opener/busy_opener.cpp", "wake_the_opener/solution_replier.cpp"},
       {"soon", "wait"}},
  };
  for (const Attempt &a : wrong)
    for (int i = 0; i < 2; ++i) {
      SCOPED_TRACE(std::string(a.files[1]) + " run " + std::to_string(i + 1));
      Judged j = expect_judged(a, GetParam());
      if (a.failed.count("greetings")) {
        EXPECT_HAS(j.outputs["wake_the_opener.greetings"], "Hello Process B\", not");
      }
      EXPECT_FALSE(std::filesystem::exists("/dev/shm/OS"));
    }
}

INSTANTIATE_TEST_SUITE_P(Lab, MemoLabRepeated, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "pinned" : "free"; });

using MemoLabPrivate = PrivateShm;

// Set up with a pshared of 0, the semaphore is in the object but its futex is private:
// the replier's post never wakes the opener, which the lab ends at its deadline.
TEST_F(MemoLabPrivate, PrivateSemaphoreFailsTheWait) {
  Attempt a = {"wake_the_opener",
               {"wake_the_opener/private_opener.cpp", "wake_the_opener/solution_replier.cpp"},
               {"greetings", "soon", "wait"}};
  Judged j = expect_judged(a);
  EXPECT_NE(j.outputs["wake_the_opener.wait"].find("private"), std::string::npos) << j.output;
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/OS"));
}
