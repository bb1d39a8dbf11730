// Runs ./lab's binary as a learner or a grader does: on the words of its command line, its
// standard output read line by line; or on files, with each check's status read back from
// the results file it writes, the way a course's grader reads it.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cpus.hpp"
#include "harness.hpp"

struct Judged {
  pid_t pid = 0;          // the lab's own process
  int status = -1;        // the lab's exit status
  std::string text;       // what it printed on its standard output, one line after another
  std::string err;        // and on its standard error
  std::string output;     // both, for failure messages
  double seconds = 0;     // the whole run, the build included
  std::string results;    // the results file, when judge_lab asked for one
  nlohmann::json parsed;  // and as JSON: null when it is none, or not JSON
  // Each check's verdict, as the run showed it: "lock_the_tally.lock" -> "passed", "failed",
  // "not_judged". A pass that carries no score yet is "passed" here, "failed" in the file.
  std::map<std::string, std::string> checks;
  std::map<std::string, std::string> outputs;  // each check's words, as the results file has them
};

// The verdict line of a check: "passed  zombie", "FAILED  reaped".
inline std::string verdict(const Judged &j, const std::string &check) {
  std::smatch m;
  std::regex line("(^|\n)(passed|FAILED|not judged) +" + check + "[ \n]");
  return std::regex_search(j.text, m, line) ? m[2].str() : "missing";
}

// A solution or wrong attempt in tests/lab/, or a file of the source tree ("synchronisation/
// tally_racy.cpp": the starting code).
inline std::string source_of(const std::string &file) {
  std::string attempt = SOURCE_DIR "/tests/lab/" + file;
  return std::filesystem::exists(attempt) ? attempt : SOURCE_DIR "/" + file;
}

// "lock_the_tally", "lock_the_tally/print_only_lock.cpp" -> "lock_the_tally_print_only_lock".
inline std::string attempt_name(const std::string &lab, const std::string &file) {
  std::string stem = std::filesystem::path(file).stem().string(), name = lab + "_" + stem;
  for (char &c : name)
    c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

// ./lab with these words, `env` added to its environment, and if `pinned` on one CPU.
inline Judged run_lab(const std::vector<std::string> &args,
                      const std::vector<std::string> &env = {}, bool pinned = false) {
  Judged j;
  std::vector<std::string> argv = {BUILD_DIR "/tools/lab"};
  argv.insert(argv.end(), args.begin(), args.end());
  Outcome o = run({.argv = argv,
                   .env = env,
                   .before_exec = pinned ? watcher::pinned_to_first() : std::function<void()>(),
                   .deadline = 120,
                   .started = [&](pid_t pid) { j.pid = pid; }});
  j.status = o.status;
  j.seconds = o.end;
  j.text = joined(o);
  j.err = o.err;
  j.output = j.text + j.err;
  return j;
}

// ./lab judging `files`, and the status of each check as its results file gives it.
inline Judged judge_lab(const std::string &lab, const std::vector<std::string> &files,
                        const std::vector<std::string> &env = {}, bool pinned = false) {
  std::string results = std::filesystem::temp_directory_path() /
                        ("lab_results." + std::to_string(getpid()) + ".json");
  std::vector<std::string> args = {lab};
  for (const std::string &file : files)
    args.insert(args.end(), {"--file", file});
  args.insert(args.end(), {"--json", results});
  Judged j = run_lab(args, env, pinned);
  j.results = contents(results);
  std::filesystem::remove(results);
  j.parsed = nlohmann::json::parse(j.results, nullptr, false);
  if (!j.parsed.is_object() || !j.parsed.contains("tests") || !j.parsed["tests"].is_array())
    return j;
  for (const nlohmann::json &test : j.parsed["tests"]) {
    std::string name = test.value("name", ""), said = test.value("output", "");
    std::string status = test.value("status", "");
    j.checks[name] = said.starts_with("not judged:")   ? "not_judged"
                     : said.starts_with("not scored:") ? "passed"
                                                       : status;
    j.outputs[name] = said;
  }
  return j;
}

// A file judged by a lab, and the checks its mistake must fail; every other check must
// pass, except those in `either`, which a run may decide either way. A correct answer's
// `either` checks may be left not judged by a run that cannot tell, but never failed.
struct Attempt {
  const char *lab;
  std::vector<const char *> files;
  std::set<std::string> failed, either = {};
};

// How GoogleTest names an attempt in a test's parameters: by its lab and first file.
inline void PrintTo(const Attempt &a, std::ostream *os) {
  *os << a.lab << " " << a.files[0];
}

inline std::vector<std::string> sources(const Attempt &a) {
  std::vector<std::string> paths;
  for (const char *file : a.files)
    paths.push_back(source_of(file));
  return paths;
}

// A check left not judged because the machine was too busy for its run to show the fact
// (a traced run too slow, a CPU too contended): no verdict, so never a wrong one.
inline bool too_busy(const Judged &j, const std::string &name) {
  auto said = j.outputs.find(name);
  return j.checks.at(name) == "not_judged" && said != j.outputs.end() &&
         said->second.find("too busy") != std::string::npos;
}

// Expects the attempt's verdicts; returns how many checks the machine was too busy to judge.
inline int expect_verdicts(const Attempt &a, const Judged &j) {
  EXPECT_FALSE(j.checks.empty()) << j.output;
  bool undecided = false;
  int busy = 0;
  for (const auto &[name, status] : j.checks) {
    std::string check = name.substr(name.find('.') + 1);
    if (too_busy(j, name)) {
      ++busy;
    } else if (!a.either.count(check)) {
      EXPECT_EQ(status, a.failed.count(check) ? "failed" : "passed")
          << a.files[0] << ": " << name << "\n"
          << j.output;
    } else if (a.failed.empty()) {
      EXPECT_NE(status, "failed") << a.files[0] << ": " << name << "\n" << j.output;
      undecided = undecided || status == "not_judged";
    }
  }
  for (const std::string &check : a.failed)
    EXPECT_TRUE(j.checks.count(std::string(a.lab) + "." + check)) << check << " not judged";
  // A wrong attempt whose every failing check the machine was too busy to judge ends 2.
  bool wrong = std::any_of(j.checks.begin(), j.checks.end(), [&](const auto &c) {
    return c.second == "failed";
  });
  EXPECT_EQ(j.status, wrong ? 1 : undecided || busy ? 2 : 0) << j.output;
  if (!a.failed.empty()) {
    EXPECT_TRUE(wrong || busy) << a.files[0] << ": no check failed\n" << j.output;
  }
  return busy;
}

// Judges the attempt's files (on one CPU if `pinned`) and expects its verdicts; the run is
// returned for checks of its own.
inline Judged expect_judged(const Attempt &a, bool pinned = false, int *busy = nullptr) {
  Judged j = judge_lab(a.lab, sources(a), {}, pinned);
  int n = expect_verdicts(a, j);
  if (busy)
    *busy += n;
  return j;
}

// The name of a test that takes an Attempt as its parameter.
inline std::string attempt_test_name(const ::testing::TestParamInfo<Attempt> &info) {
  return attempt_name(info.param.lab, info.param.files[0]);
}
