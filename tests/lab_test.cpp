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
  std::string words;  // every lab's words, for the first line of each task
  for (const auto &file : fs::directory_iterator(SOURCE_DIR "/tools/lab/words"))
    words += contents(file.path());
  for (const char *name : {"reap_the_zombie", "join_the_workers", "lock_the_tally",
                           "sleeping_producer", "wake_the_opener"}) {
    std::smatch listed, task;
    EXPECT_TRUE(
        std::regex_search(j.text, listed, std::regex(std::string("\n  ") + name + " +(.*)")))
        << name << " missing from:\n"
        << j.text;
    // One line each: the task's first line, not the task.
    ASSERT_TRUE(
        std::regex_search(words, task, std::regex("\n\\[" + std::string(name) + "\\]\n(.*)")));
    EXPECT_EQ(listed[1], task[1]) << name;
  }
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

// The tests of a results file, in order, and its total: "name=score/max_score,...".
static std::string tests_of(const Judged &j) {
  std::string all;
  if (!j.parsed.is_object())
    return "no results file: " + j.results;
  for (const auto &t : j.parsed["tests"])
    all += t["name"].get<std::string>() + "=" + std::to_string(t["score"].get<int>()) + "/" +
           std::to_string(t["max_score"].get<int>()) + ",";
  return all + " total " + std::to_string(j.parsed["score"].get<int>()) + "/" +
         std::to_string(j.parsed["max_score"].get<int>());
}

// Whatever a grader's loop hands the lab, it says why it cannot judge it (exit 2) and, with
// --json, writes the results file all the same, with the tests and the highest score of a
// judged submission of that lab, each scored 0.
TEST(Lab, RefusesWhatItCannotJudgeWithTheSameTestsAsAJudgedRun) {
  std::string start = source_of("process_control/parent_child.cpp");
  Judged judged = judge_lab("reap_the_zombie", {start});  // the starting code: 0 of 3
  ASSERT_EQ(judged.status, 1) << judged.output;
  const std::string reap = tests_of(judged);
  EXPECT_EQ(reap,
            "reap_the_zombie.zombie=0/1,reap_the_zombie.reaped=0/1,reap_the_zombie.printed=0/1, "
            "total 0/3");
  std::string json = fs::temp_directory_path() / ("refused." + std::to_string(getpid()) + ".json");
  struct Case {
    std::vector<std::string> args;
    const char *says, *tests;  // on standard error; the results file's tests ("": none)
  } cases[] = {
      {{"no_such_lab", "--json", json}, "no lab named", "no_such_lab=0/1, total 0/1"},
      {{"reap_the_zombie", "--json", json, "--file"}, "needs a value", reap.c_str()},
      {{"reap_the_zombie", "--file", "/nonexistent.cpp", "--json", json}, "no file", reap.c_str()},
      {{"reap_the_zombie", "--file", start, "--file", start, "--json", json},
       "1 file (parent_child.cpp)",
       reap.c_str()},
      {{"wake_the_opener", "--file", start}, "2 files (memo_opener.cpp and memo_replier.cpp)", ""},
      {{"reap_the_zombie", "--frobnicate", "--json", json}, "not something", reap.c_str()},
      {{"--json", json}, "need a lab", "lab=0/1, total 0/1"},
  };
  for (const Case &c : cases) {
    fs::remove(json);
    Judged j = run_lab(c.args);
    EXPECT_EQ(j.status, 2) << c.args[0];
    EXPECT_HAS(j.err, c.says);
    EXPECT_HAS(j.err, "usage: ./lab");
    j.results = contents(json);
    j.parsed = nlohmann::json::parse(j.results, nullptr, false);
    EXPECT_EQ(*c.tests ? tests_of(j) : j.results, c.tests) << c.says;
    if (*c.tests) {
      // Each test says why: the complaint itself, after "not judged:".
      std::string output = j.parsed["tests"][0]["output"];
      EXPECT_TRUE(output.starts_with("not judged: ")) << output;
      EXPECT_HAS(output, c.says);
      EXPECT_EQ(j.parsed["tests"][0]["status"], "failed");
    }
  }
  fs::remove(json);
}

// A file that does not build: nothing run, and each of the lab's checks in the results
// file, 0 of 1, with the compiler's messages.
TEST(Lab, AFileThatDoesNotBuildShowsTheCompilersErrorsAndRunsNothing) {
  fs::path dir = fs::temp_directory_path() / ("lab-test-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "broken.cpp") << "int main() {\n  return undeclared_name;\n}\n";
  Judged j = judge_lab("reap_the_zombie", {(dir / "broken.cpp").string()});
  EXPECT_EQ(j.status, 2);
  EXPECT_HAS(j.text, "broken.cpp:2");
  EXPECT_HAS(j.text, "undeclared_name");
  EXPECT_EQ(verdict(j, "zombie"), "missing");
  EXPECT_EQ(tests_of(j),
            "reap_the_zombie.zombie=0/1,reap_the_zombie.reaped=0/1,reap_the_zombie.printed=0/1, "
            "total 0/3");
  for (const auto &[name, status] : j.checks) {
    EXPECT_EQ(status, "not_judged") << name;
    EXPECT_HAS(j.outputs[name], "does not build");
    EXPECT_HAS(j.outputs[name], "broken.cpp:2");
  }
  // A results file that cannot be written is said, with no usage: the command was right.
  Judged unwritten = run_lab({"reap_the_zombie", "--file", (dir / "broken.cpp").string(), "--json",
                              (dir / "no" / "such" / "folder.json").string()});
  EXPECT_EQ(unwritten.status, 2);
  EXPECT_HAS(unwritten.err, "results file");
  EXPECT_EQ(unwritten.err.find("usage:"), std::string::npos) << unwritten.err;
  fs::remove_all(dir);
}

// A program that prints bytes that are not UTF-8, which its verdict quotes: the results
// file is still JSON, the bytes replaced by U+FFFD and the rest of the line kept.
TEST(Lab, OutputThatIsNotUtf8LeavesAResultsFileThatParses) {
  Judged j = judge_lab("reap_the_zombie", {source_of("reap_the_zombie/not_utf8.cpp")});
  ASSERT_TRUE(j.parsed.is_object()) << j.results;
  EXPECT_EQ(j.checks["reap_the_zombie.printed"], "passed") << j.output;
  const std::string &quoted = j.outputs["reap_the_zombie.printed"];
  EXPECT_HAS(quoted, "\xEF\xBF\xBD\xEF\xBF\xBD Child's exit status: 3 \xEF\xBF\xBD");
  EXPECT_EQ(j.results.find('\xff'), std::string::npos);
  EXPECT_EQ(j.status, 0) << j.output;
}

// The first ./lab NAME hands out a copy, later ones judge it, --restart puts the starting
// code back and keeps the learner's file under a name of its own, however often.
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
  EXPECT_TRUE(
      std::regex_search(back.text, std::regex("kept as\\s+\\S*/parent_child\\.cpp\\.old\\.\\s")))
      << back.text;

  // A second edit and a second restart: the first edit stays where it was kept.
  const std::string edit = start + "// a second attempt\n";
  std::ofstream(copy) << edit;
  Judged again = run_lab({"reap_the_zombie", "--restart"}, env);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(contents(copy), start);
  EXPECT_EQ(contents(copy.string() + ".old"), contents(solution));
  EXPECT_EQ(contents(copy.string() + ".old.2"), edit);
  EXPECT_TRUE(std::regex_search(again.text,
                                std::regex("kept as\\s+\\S*/parent_child\\.cpp\\.old\\.2\\.\\s")))
      << again.text;
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
      // Correct in other shapes: waitid and its siginfo_t, two sleeps of a second; waitpid
      // after nanosleep, a child that flushes and ends with _exit.
      {"waitid_status", "passed", "passed", "passed", "the status 42 that the kernel"},
      {"waitpid_nanosleep", "passed", "passed", "passed", "the status 200 that the kernel"},
  };
  for (const Case &c : cases) {
    std::string file = source_of("reap_the_zombie/" + std::string(c.file) + ".cpp");
    Judged j = run_lab({"reap_the_zombie", "--file", file});
    EXPECT_EQ(verdict(j, "zombie"), c.zombie) << c.file << "\n" << j.text;
    EXPECT_EQ(verdict(j, "reaped"), c.reaped) << c.file << "\n" << j.text;
    EXPECT_EQ(verdict(j, "printed"), c.printed) << c.file << "\n" << j.text;
    EXPECT_HAS(unfolded(j.text.substr(0, j.text.find("\nHints:"))), c.says);
    bool right = c.zombie == std::string("passed") && c.printed == std::string("passed");
    EXPECT_EQ(j.status, right ? 0 : 1) << c.file;
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
  EXPECT_EQ(tests_of(good),
            "join_the_workers.created_first=1/1,join_the_workers.one_worker_time=1/1,"
            "join_the_workers.returned=1/1, total 3/3");
  EXPECT_TRUE(good.outputs["join_the_workers.created_first"].starts_with("main created"))
      << good.results;
}
