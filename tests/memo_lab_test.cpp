// The wake_the_opener lab judged end to end, each test on a /dev/shm of its own: the
// correct pair passes every check, the starting pair and openers that poll faster or never
// sleep fail the checks their polling should fail, a post before the write fails in the run
// arranged to show it, files given in the wrong order are not judged, an "OS" already there
// is left alone and nothing judged, and an "OS" the learner's pair leaves behind is removed
// and named.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "harness.hpp"
#include "lab_judged.hpp"
#include "private_shm.hpp"

class MemoLab : public PrivateShm, public ::testing::WithParamInterface<Attempt> {};

TEST_P(MemoLab, FailsExactlyTheChecksItsMistakeBreaks) {
  expect_judged(GetParam());
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/OS"));
}

INSTANTIATE_TEST_SUITE_P(
    Lab, MemoLab,
    ::testing::Values(
        Attempt{"wake_the_opener",
                {"wake_the_opener/solution_opener.cpp", "wake_the_opener/solution_replier.cpp"},
                {}},
        // The semaphore in the page's last bytes, waited on with sem_timedwait.
        Attempt{"wake_the_opener",
                {"wake_the_opener/last_bytes_opener.cpp", "wake_the_opener/last_bytes_replier.cpp"},
                {}},
        Attempt{"wake_the_opener",
                {"shared_memory/memo_opener.cpp", "shared_memory/memo_replier.cpp"},
                {"soon", "wait"}},
        // Polling every 2 ms answers in time, but no post woke it and it never waits.
        Attempt{"wake_the_opener",
                {"wake_the_opener/fast_poll_opener.cpp", "shared_memory/memo_replier.cpp"},
                {"soon", "wait"}}),
    attempt_test_name);

// A replier that posts before it writes: the woken opener reads its own greeting.
INSTANTIATE_TEST_SUITE_P(Race, MemoLab,
                         ::testing::Values(Attempt{
                             "wake_the_opener",
                             {"wake_the_opener/solution_opener.cpp",
                              "wake_the_opener/post_before_write_replier.cpp"},
                             {"greetings"}}),
                         [](const auto &) { return std::string("post_before_write"); });

// What each verdict says must be what its run showed: the run it comes from, the stale
// text the opener printed, and no post or sleep claimed where the traces show none.
using MemoLabVerdicts = PrivateShm;

TEST_F(MemoLabVerdicts, SayWhatTheirRunShowed) {
  struct Case {
    std::vector<const char *> files;
    std::map<std::string, std::vector<std::string>> says;  // check -> words its output holds
  } cases[] = {
      {{"wake_the_opener/solution_opener.cpp", "wake_the_opener/post_before_write_replier.cpp"},
       {{"greetings", {"in the pinned run", "\"Memory updated: Hello Process B\"", "held back"}},
        {"soon", {"in the traced run", "FUTEX_WAKE", "offset 64"}}}},
      // Re-reading the page on a CPU: the replier posts nothing and the opener never sleeps.
      {{"wake_the_opener/busy_opener.cpp", "shared_memory/memo_replier.cpp"},
       {{"soon", {"no post of the replier woke it", "no shared FUTEX_WAKE"}},
        {"wait", {"never slept while it waited"}}}},
      {{"wake_the_opener/fast_poll_opener.cpp", "wake_the_opener/solution_replier.cpp"},
       {{"soon", {"nobody slept on its semaphore"}}, {"wait", {"by the clock", "calls: "}}}},
  };
  for (const Case &c : cases) {
    Judged j = judge_lab("wake_the_opener", sources({"wake_the_opener", c.files, {}}));
    for (const auto &[check, says] : c.says)
      for (const std::string &words : says)
        EXPECT_HAS(j.outputs["wake_the_opener." + check], words) << c.files[0] << " " << c.files[1];
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/OS"));
  }
}

// The replier given first: nothing runs, and every check says how to give the files.
TEST_F(MemoLabVerdicts, FilesGivenTheOtherWayRoundAreNotJudged) {
  Judged j = judge_lab(
      "wake_the_opener",
      sources({"wake_the_opener",
               {"wake_the_opener/solution_replier.cpp", "wake_the_opener/solution_opener.cpp"},
               {}}));
  EXPECT_EQ(j.status, 2) << j.output;
  EXPECT_EQ(j.checks.size(), 4u) << j.output;
  for (const auto &[name, status] : j.checks) {
    EXPECT_EQ(status, "not_judged") << name << "\n" << j.output;
    EXPECT_HAS(j.outputs[name], "--file OPENER --file REPLIER");
  }
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/OS"));
}

using MemoLabObject = PrivateShm;

// Someone else's "OS": nothing judged, nothing touched, and the lab says what to do.
TEST_F(MemoLabObject, ObjectInTheWayIsLeftAloneAndNothingJudged) {
  const std::string theirs = "someone else's memo";
  int fd = open("/dev/shm/OS", O_CREAT | O_EXCL | O_WRONLY, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  ASSERT_EQ(write(fd, theirs.data(), theirs.size()), ssize_t(theirs.size()));
  close(fd);
  Judged j = judge_lab(
      "wake_the_opener",
      sources({"wake_the_opener",
               {"wake_the_opener/solution_opener.cpp", "wake_the_opener/solution_replier.cpp"},
               {}}));
  EXPECT_EQ(j.status, 2) << j.output;
  EXPECT_EQ(j.checks.size(), 4u) << j.output;
  for (const auto &[name, status] : j.checks) {
    EXPECT_EQ(status, "not_judged") << name << "\n" << j.output;
    EXPECT_NE(j.outputs[name].find("rm /dev/shm/OS"), std::string::npos) << j.outputs[name];
  }
  std::ifstream kept("/dev/shm/OS");
  std::string now((std::istreambuf_iterator<char>(kept)), {});
  EXPECT_EQ(now, theirs);
}

// A replier that never removes "OS": the one check fails, and the lab removes it.
TEST_F(MemoLabObject, ObjectLeftBehindIsRemovedAndNamed) {
  Attempt a = {"wake_the_opener",
               {"wake_the_opener/solution_opener.cpp", "wake_the_opener/keeps_object_replier.cpp"},
               {"removed"}};
  expect_judged(a);
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/OS"));
}
