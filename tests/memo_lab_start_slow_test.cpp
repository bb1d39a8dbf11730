// No lab scores the unchanged starting code: each lab's starting code, judged once, scores
// 0 of the lab's checks, though it passes the checks it passes by construction; those
// passes carry no score and say why, until a change of the learner's is seen, as in a
// solution, which scores them all. On a /dev/shm of the test's own, for wake_the_opener.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "harness.hpp"
#include "lab_judged.hpp"
#include "private_shm.hpp"

using StartingCode = PrivateShm;

TEST_F(StartingCode, ScoresNothingInAnyLabAndSaysWhyItsPassesDoNotCount) {
  struct Case {
    const char *lab;
    std::vector<const char *> files;
    size_t checks;
    std::set<std::string> passes;  // what the run shows it passes, with no score for it
  } cases[] = {
      {"reap_the_zombie", {"process_control/parent_child.cpp"}, 3, {}},
      {"join_the_workers", {"thread_lifetime/leader_awaits.cpp"}, 3, {}},
      {"lock_the_tally", {"synchronisation/tally_racy.cpp"}, 4, {"races"}},
      {"sleeping_producer", {"synchronisation/stock_gate.cpp"}, 4, {"invariants", "bound"}},
      {"wake_the_opener",
       {"shared_memory/memo_opener.cpp", "shared_memory/memo_replier.cpp"},
       4,
       {"greetings", "removed"}},
  };
  for (const Case &c : cases) {
    Judged j = judge_lab(c.lab, sources({c.lab, c.files, {}}));
    ASSERT_TRUE(j.parsed.is_object()) << c.lab << "\n" << j.output;
    EXPECT_EQ(j.parsed["score"], 0) << c.lab << "\n" << j.results;
    EXPECT_EQ(j.parsed["max_score"], c.checks) << c.lab << "\n" << j.results;
    EXPECT_EQ(j.parsed["tests"].size(), c.checks) << c.lab;
    EXPECT_EQ(j.status, 1) << c.lab << "\n" << j.output;
    for (const auto &test : j.parsed["tests"]) {
      std::string name = test["name"], check = name.substr(name.find('.') + 1);
      EXPECT_EQ(test["score"], 0) << name;
      EXPECT_EQ(test["status"], "failed") << name;
      if (!c.passes.count(check))
        continue;
      // Passed as the run showed, in the terminal and for the harness, but not scored.
      EXPECT_EQ(j.checks[name], "passed") << name << "\n" << j.output;
      EXPECT_EQ(verdict(j, check), "passed") << name;
      std::string output = test["output"];
      EXPECT_TRUE(output.starts_with("not scored: the starting code passes this too")) << output;
      EXPECT_HAS(unfolded(j.text), "not scored: the starting code passes this too");
    }
  }
}

// The same checks score beside a change: a solution gets every point.
TEST_F(StartingCode, ASolutionScoresTheChecksTheStartingCodePassesToo) {
  Judged j = judge_lab("sleeping_producer", {source_of("sleeping_producer/solution.cpp")});
  ASSERT_TRUE(j.parsed.is_object()) << j.output;
  EXPECT_EQ(j.parsed["score"], 4) << j.results;
  EXPECT_EQ(j.parsed["max_score"], 4) << j.results;
  EXPECT_EQ(j.output.find("not scored"), std::string::npos) << j.output;
}
