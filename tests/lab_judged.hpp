// Runs ./lab's binary on files and reads back each check's status from the results file
// it writes, the way a course's grader does: for the tests of the synchronisation and
// shared memory labs.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.hpp"

struct Judged {
  int status = -1;     // the lab's exit status
  std::string output;  // what it printed, for failure messages
  std::map<std::string, std::string> checks;   // "lock_the_tally.lock" -> "passed", "failed", "not_judged"
  std::map<std::string, std::string> outputs;  // each check's words, as the results file has them
  double seconds = 0;                          // the whole run, the build included
};

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

// Pins a process (and all it starts) to the first CPU it may use.
inline void pin_to_one_cpu() {
  cpu_set_t mine, one;
  CPU_ZERO(&one);
  if (sched_getaffinity(0, sizeof mine, &mine) != 0)
    return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &mine)) {
      CPU_SET(cpu, &one);
      break;
    }
  sched_setaffinity(0, sizeof one, &one);
}

inline std::string unquoted(const std::string &json) {
  std::string text;
  for (size_t i = 0; i < json.size(); ++i)
    if (json[i] != '\\' || i + 1 == json.size())
      text += json[i];
    else
      text += json[++i] == 'n' ? '\n' : json[i];
  return text;
}

inline Judged judge_lab(const std::string &lab, const std::vector<std::string> &files,
                        const std::vector<std::string> &env = {}, bool pinned = false) {
  std::string results = std::filesystem::temp_directory_path() /
                         ("lab_results." + std::to_string(getpid()) + ".json");
  std::vector<std::string> argv = {BUILD_DIR "/tools/lab", lab};
  for (const std::string &file : files)
    argv.insert(argv.end(), {"--file", file});
  argv.insert(argv.end(), {"--json", results});
  Outcome o = run({.argv = argv,
                   .env = env,
                   .before_exec = pinned ? pin_to_one_cpu : std::function<void()>(),
                   .deadline = 120});
  Judged j;
  j.status = o.status;
  j.seconds = o.end;
  for (const Line &line : o.lines)
    j.output += line.text + "\n";
  j.output += o.err;
  std::ifstream file(results);
  std::stringstream text;
  text << file.rdbuf();
  std::string json = text.str();
  std::regex test(
      R"re(\{"name": "([^"]*)", "score": \d+, "max_score": \d+, "status": "(\w+)", "output": "((?:[^"\\]|\\.)*)"\})re");
  for (std::sregex_iterator m(json.begin(), json.end(), test), end; m != end; ++m) {
    std::string said = unquoted((*m)[3]);
    j.checks[(*m)[1]] = said.starts_with("not judged:") ? "not_judged" : (*m)[2].str();
    j.outputs[(*m)[1]] = said;
  }
  std::filesystem::remove(results);
  return j;
}

// A file judged by a lab, and the checks its mistake must fail; every other check must
// pass, except those in `either`, which a run may decide either way.
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

inline void expect_verdicts(const Attempt &a, const Judged &j) {
  ASSERT_FALSE(j.checks.empty()) << j.output;
  for (const auto &[name, status] : j.checks) {
    std::string check = name.substr(name.find('.') + 1);
    if (!a.either.count(check)) {
      EXPECT_EQ(status, a.failed.count(check) ? "failed" : "passed")
          << a.files[0] << ": " << name << "\n" << j.output;
    }
  }
  for (const std::string &check : a.failed)
    EXPECT_TRUE(j.checks.count(std::string(a.lab) + "." + check)) << check << " not judged";
  EXPECT_EQ(j.status, a.failed.empty() ? 0 : 1) << j.output;
}
