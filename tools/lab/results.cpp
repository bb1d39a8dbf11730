// What a judgement counts for: which passes score, and the results file that course
// autograding platforms read. Every submission of a lab gets the same tests in the same
// order, each worth one point, whether it was judged, did not build or was never found,
// and the file is valid JSON whatever bytes the learner's program printed.
#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "lab.hpp"

namespace lab {

std::string verdict_word(Verdict v) {
  return v == Verdict::passed ? "passed" : v == Verdict::failed ? "failed" : "not_judged";
}

std::vector<std::string> check_words(const Check &c, size_t room) {
  std::string name = c.name + "." + verdict_word(c.verdict);
  // A check the judge never returned has no words of its own: its reason says it all.
  if (!words::has(name) && c.verdict == Verdict::not_judged)
    name = "lab.why";
  return words::text(name, c.facts, room);
}

std::vector<Scored> scored(const Lab &lab, const std::vector<Check> &checks) {
  auto given = [&](const std::string &check) {
    return std::any_of(lab.given.begin(), lab.given.end(),
                       [&](const std::string &g) { return check == lab.name + "." + g; });
  };
  bool change_seen = std::any_of(checks.begin(), checks.end(), [&](const Check &c) {
    return c.verdict == Verdict::passed && !given(c.name);
  });
  std::vector<std::string> others;
  for (const std::string &check : lab.checks)
    if (!given(lab.name + "." + check))
      others.push_back(check);
  std::vector<Scored> all;
  for (const Check &c : checks) {
    Scored s = {c, c.verdict == Verdict::passed, ""};
    if (s.scores && given(c.name) && !change_seen) {
      s.scores = false;
      s.unscored = words::line("lab.unscored", {{"others", joined(others)}});
    }
    all.push_back(s);
  }
  return all;
}

// A check's words in one paragraph per line, as the results file gives them.
static std::string told(const Scored &s) {
  std::string all;
  for (const std::string &line : check_words(s.check))
    all += (all.empty() || line.empty() ? "" : " ") + line + (line.empty() ? "\n" : "");
  if (s.check.verdict == Verdict::not_judged)
    return words::line("lab.not_judged_json") + " " + all;
  return s.unscored.empty() ? all : s.unscored + " " + all;
}

std::vector<Result> results(const std::vector<Scored> &checks) {
  std::vector<Result> tests;
  for (const Scored &s : checks)
    tests.push_back({s.check.name, s.scores ? "passed" : "failed", told(s), s.scores ? 1 : 0, 1});
  return tests;
}

std::vector<Result> unjudged_results(const Lab *lab, const std::string &asked,
                                     const std::string &why) {
  std::string output = words::line("lab.not_judged_json") + " " + why;
  // A name that is no lab's has no checks to list: one test, failed, worth one point, so
  // that a grader's total reads 0 of 1 and not 0 of 0, which some platforms show as full
  // marks.
  if (!lab)
    return {{asked.empty() ? "lab" : asked, "failed", output, 0, 1}};
  std::vector<Result> tests;
  for (const std::string &check : lab->checks)
    tests.push_back({lab->name + "." + check, "failed", output, 0, 1});
  return tests;
}

bool write_results(const std::string &path, const std::vector<Result> &tests) {
  using json = nlohmann::ordered_json;
  json list = json::array();
  int score = 0, max_score = 0;
  for (const Result &t : tests) {
    list.push_back({{"name", t.name},
                    {"score", t.score},
                    {"max_score", t.max_score},
                    {"status", t.status},
                    {"output", t.output}});
    score += t.score;
    max_score += t.max_score;
  }
  json file = {{"score", score}, {"max_score", max_score}, {"tests", list}};
  std::ofstream out(path);
  // The learner's program may print any bytes, and verdicts quote its lines: bytes that
  // are not UTF-8 become U+FFFD instead of making the file one that JSON readers reject.
  out << file.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
  return static_cast<bool>(out.flush());
}

}  // namespace lab
