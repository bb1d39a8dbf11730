// The labs' judges are not flaky: a correct solution passes every check on repeated runs,
// on every CPU and pinned to one, and so is each mistake judged the same way every time;
// and the runs that take long by design (workers joined one by one, 14 s each) fail with
// the right reason.
#include <gtest/gtest.h>

#include <regex>

#include "harness.hpp"
#include "lab_judged.hpp"

TEST(LabSlow, SolutionsPassEveryCheckOnEveryRunPinnedOrNot) {
  for (const char *name : {"reap_the_zombie", "join_the_workers"})
    for (bool pinned : {false, true, false, true}) {
      std::string file = source_of(name + std::string("/solution.cpp"));
      Judged j = run_lab({name, "--file", file}, {}, pinned);
      EXPECT_EQ(j.status, 0) << name << (pinned ? " pinned to one CPU\n" : "\n") << j.output;
      EXPECT_TRUE(std::regex_search(j.text, std::regex("\n3 of 3 checks passed"))) << j.text;
    }
}

TEST(LabSlow, WorkersJoinedOneByOneFailForTheirOrderAndTime) {
  for (const std::string &file : {source_of("join_the_workers/one_by_one.cpp"),
                                  source_of("thread_lifetime/leader_awaits.cpp")}) {
    Judged j = run_lab({"join_the_workers", "--file", file});
    std::string text = unfolded(j.text);
    EXPECT_EQ(j.status, 1) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("FAILED +created_first .*one after the other")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("FAILED +one_worker_time .*did not overlap")))
        << text;
    bool returns = file.find("one_by_one") != std::string::npos;  // the starting code prints none
    EXPECT_TRUE(
        std::regex_search(text, std::regex(returns ? "passed +returned" : "FAILED +returned")))
        << text;
  }
}

// Each mistake judged on every CPU and pinned to one, the same checks failed both times;
// workers whose lines a buffered stdout wrote out together leave "returned" not judged
// both times.
TEST(LabSlow, MistakesAreJudgedTheSameOnEveryRunPinnedOrNot) {
  const Attempt mistakes[] = {
      {"reap_the_zombie", {"reap_the_zombie/raw_status_line.cpp"}, {"printed"}},
      {"reap_the_zombie", {"reap_the_zombie/prints_nothing.cpp"}, {"printed"}},
      {"reap_the_zombie", {"reap_the_zombie/sigchld_ignored.cpp"}, {"zombie", "reaped", "printed"}},
      {"join_the_workers", {"join_the_workers/wrong_value.cpp"}, {"returned"}},
      {"join_the_workers", {"join_the_workers/workers_print.cpp"}, {"returned"}},
      {"join_the_workers", {"join_the_workers/buffered_workers.cpp"}, {}, {"returned"}},
  };
  for (const Attempt &a : mistakes)
    for (int run = 0; run < 2; ++run) {
      bool pinned = run % 2;
      SCOPED_TRACE(std::string(a.files[0]) + (pinned ? " pinned" : " free"));
      Judged j = judge_lab(a.lab, sources(a), {}, pinned);
      if (a.either.empty()) {
        expect_verdicts(a, j);
      } else {
        EXPECT_EQ(j.checks["join_the_workers.returned"], "not_judged") << j.output;
        EXPECT_EQ(j.checks["join_the_workers.created_first"], "passed") << j.output;
      }
    }
}
