// The labs' judges are not flaky: a correct solution passes every check on repeated runs,
// on every CPU and pinned to one; and the runs that take long by design (workers joined
// one by one, 14 s each) fail with the right reason.
#include <gtest/gtest.h>
#include <sched.h>

#include <regex>

#include "harness.hpp"

static Outcome lab(std::vector<std::string> args, bool pinned) {
  watcher::Run r = {.argv = {BUILD_DIR "/tools/lab"}, .deadline = 90};
  r.argv.insert(r.argv.end(), args.begin(), args.end());
  if (pinned)
    r.before_exec = [] {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(0, &one);
      sched_setaffinity(0, sizeof one, &one);  // as taskset -c 0: the lab and all it starts
    };
  return watcher::watch(r);
}

static std::string all(const Outcome &o) {
  std::string text;
  for (const std::string &line : texts(o))
    text += line + "\n";
  return text;
}

static std::string attempt(const std::string &lab, const std::string &name) {
  return SOURCE_DIR "/tests/lab/" + lab + "/" + name + ".cpp";
}

TEST(LabSlow, SolutionsPassEveryCheckOnEveryRunPinnedOrNot) {
  for (const char *name : {"reap_the_zombie", "join_the_workers"})
    for (bool pinned : {false, true, false, true}) {
      Outcome o = lab({name, "--file", attempt(name, "solution")}, pinned);
      EXPECT_EQ(o.status, 0) << name << (pinned ? " pinned to CPU 0\n" : "\n") << all(o);
      EXPECT_TRUE(std::regex_search(all(o), std::regex("\n3 of 3 checks passed"))) << all(o);
    }
}

TEST(LabSlow, WorkersJoinedOneByOneFailForTheirOrderAndTime) {
  for (const std::string &file :
       {attempt("join_the_workers", "one_by_one"), std::string(SOURCE_DIR "/thread_lifetime/leader_awaits.cpp")}) {
    Outcome o = lab({"join_the_workers", "--file", file}, false);
    std::string text = std::regex_replace(all(o), std::regex("\n    "), " ");
    EXPECT_EQ(o.status, 1) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("FAILED +created_first .*one after the other")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("FAILED +one_worker_time .*did not overlap")))
        << text;
    bool returns = file.find("one_by_one") != std::string::npos;  // the starting code prints none
    EXPECT_TRUE(std::regex_search(text, std::regex(returns ? "passed +returned" : "FAILED +returned")))
        << text;
  }
}
