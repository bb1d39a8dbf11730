// The lab as a learner and a grader meet it: the listing, a learner's own copy and the way
// back to the starting code, a file that does not build, the results file, and the process
// control and thread lifetime labs judging solutions, starting code and wrong attempts by
// their runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include "harness.hpp"
#include "lab_judged.hpp"

namespace fs = std::filesystem;

TEST(Lab, ListsEveryLabWithWhatItAsks) {
  Judged j = run_lab({});
  EXPECT_EQ(j.status, 0);
  for (const char *name : {"reap_the_zombie", "join_the_workers", "lock_the_tally",
                           "sleeping_producer", "wake_the_opener"})
    EXPECT_TRUE(std::regex_search(j.text, std::regex(std::string("\n  ") + name + " +[a-z]+")))
        << name << " missing from:\n"
        << j.text;
  EXPECT_EQ(j.text.find("missing from the words"), std::string::npos) << j.text;
  // The README names each listed lab, and the program it starts from, which exists.
  std::string readme = contents(SOURCE_DIR "/README.md");
  readme = readme.substr(readme.find("## Labs"));
  readme = readme.substr(0, readme.find("\n## ", 1));
  std::regex listed("\n  ([a-z_]+) +[a-z]");
  size_t labs = 0;
  for (std::sregex_iterator m(j.text.begin(), j.text.end(), listed), end; m != end; ++m, ++labs) {
    std::smatch from;
    std::string name = (*m)[1];
    ASSERT_TRUE(std::regex_search(readme, from, std::regex("`" + name + "` \\(from `([a-z_]+)`")))
        << name << " is not in the README's labs section";
    std::vector<std::string> all = programs();
    EXPECT_EQ(std::count(all.begin(), all.end(), from[1]), 1) << from[1] << " is not a program";
  }
  EXPECT_EQ(labs, 5u);
}

TEST(Lab, RefusesWhatItCannotJudge) {
  struct Case {
    std::vector<std::string> args;
    const char *says;
  } cases[] = {
      {{"no_such_lab"}, "no lab named"},
      {{"reap_the_zombie", "--file"}, "needs a value"},
      {{"reap_the_zombie", "--file", "/nonexistent.cpp"}, "no file"},
      {{"wake_the_opener", "--file", source_of("reap_the_zombie/solution.cpp")}, "2 files"},
      {{"--json", "/dev/null"}, "need a lab"},
  };
  for (const Case &c : cases) {
    Judged j = run_lab(c.args);
    EXPECT_EQ(j.status, 2) << c.args[0];
    EXPECT_HAS(j.err, c.says);
  }
}

TEST(Lab, AFileThatDoesNotBuildShowsTheCompilersErrorsAndRunsNothing) {
  fs::path dir = fs::temp_directory_path() / ("lab-test-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "broken.cpp") << "int main() {\n  return undeclared_name;\n}\n";
  Judged j = judge_lab("reap_the_zombie", {(dir / "broken.cpp").string()});
  EXPECT_EQ(j.status, 2);
  EXPECT_HAS(j.text, "broken.cpp:2");
  EXPECT_HAS(j.text, "undeclared_name");
  EXPECT_EQ(verdict(j, "zombie"), "missing");
  EXPECT_HAS(j.results, "\"score\": 0");
  EXPECT_HAS(j.results, "\"output\": \"not judged:");
  fs::remove_all(dir);
}

// The first ./lab NAME hands out a copy, later ones judge it, --restart puts the starting
// code back and keeps the learner's file.
TEST(Lab, ALearnersCopyIsTheirsUntilTheyRestart) {
  fs::path dir = fs::temp_directory_path() / ("my-labs-" + std::to_string(getpid()));
  std::vector<std::string> env = {"MY_LABS=" + dir.string()};
  fs::path copy = dir / "reap_the_zombie/parent_child.cpp";
  std::string start = contents(source_of("process_control/parent_child.cpp"));

  Judged first = run_lab({"reap_the_zombie"}, env);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(contents(copy), start);
  EXPECT_HAS(first.text, "parent_child.cpp");
  EXPECT_EQ(verdict(first, "zombie"), "missing");  // nothing judged yet

  std::string solution = source_of("reap_the_zombie/solution.cpp");
  fs::copy_file(solution, copy, fs::copy_options::overwrite_existing);
  Judged second = run_lab({"reap_the_zombie"}, env);
  EXPECT_EQ(second.status, 0) << second.text;
  EXPECT_EQ(contents(copy), contents(solution));  // judged, not replaced

  Judged back = run_lab({"reap_the_zombie", "--restart"}, env);
  EXPECT_EQ(back.status, 0);
  EXPECT_EQ(contents(copy), start);
  EXPECT_EQ(contents(copy.string() + ".old"), contents(solution));
  fs::remove_all(dir);
}

TEST(Lab, ReapTheZombieJudgesTheRun) {
  struct Case {
    const char *file;
    const char *zombie, *reaped, *printed, *says;
  } cases[] = {
      {"solution", "passed", "passed", "passed", "exit status 3"},
      // The child may end just before its parent's wait, or while the parent already
      // waits: the zombie is then seen for a moment or not at all, and the verdict names
      // the parent's missing sleep either way.
      {"no_sleep", "FAILED", "passed", "passed", "before its wait"},
      {"raw_status", "passed", "passed", "FAILED", "768"},
  };
  for (const Case &c : cases) {
    std::string file = source_of("reap_the_zombie/" + std::string(c.file) + ".cpp");
    Judged j = run_lab({"reap_the_zombie", "--file", file});
    EXPECT_EQ(verdict(j, "zombie"), c.zombie) << c.file << "\n" << j.text;
    EXPECT_EQ(verdict(j, "reaped"), c.reaped) << c.file << "\n" << j.text;
    EXPECT_EQ(verdict(j, "printed"), c.printed) << c.file << "\n" << j.text;
    EXPECT_HAS(unfolded(j.text.substr(0, j.text.find("\nHints:"))), c.says);
    EXPECT_EQ(j.status, std::string(c.file) == "solution" ? 0 : 1) << c.file;
  }
  // The starting code: nothing left a zombie, the child reaped with no place for a status.
  Judged start =
      run_lab({"reap_the_zombie", "--file", source_of("process_control/parent_child.cpp")});
  EXPECT_EQ(start.status, 1);
  EXPECT_EQ(verdict(start, "zombie"), "FAILED") << start.text;
  EXPECT_EQ(verdict(start, "reaped"), "FAILED") << start.text;
}

TEST(Lab, JoinTheWorkersJudgesTheRunAndWritesResults) {
  Judged good = judge_lab("join_the_workers", {source_of("join_the_workers/solution.cpp")});
  EXPECT_EQ(good.status, 0) << good.text;
  for (const char *c : {"created_first", "one_worker_time", "returned"})
    EXPECT_EQ(verdict(good, c), "passed") << good.text;
  const std::string &results = good.results;
  EXPECT_HAS(results, "\"score\": 3");
  EXPECT_HAS(results, "\"max_score\": 3");
  EXPECT_EQ(std::count(results.begin(), results.end(), '{'), 4) << results;  // the file and 3 tests
  EXPECT_EQ(
      std::regex_search(results, std::regex("\"status\": \"passed\", \"output\": \"main created")),
      true)
      << results;
}
