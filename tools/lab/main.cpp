// lab — a learner changes one of the programs, and the kernel's record of a run judges the
// change. `lab` lists the labs; `lab NAME` the first time copies the lab's starting code to
// a file of the learner's own and prints the task, every later time builds that file,
// runs it under limits and judges it check by check. The words are in the words folder.
//
// Run:  ./lab [NAME [--file PATH]... [--json PATH] [--restart]] [--help]
// Exit status: 0 every check passed, 1 one failed, 2 the lab could not be judged (it does
// not build, bad arguments, or a check could not be made here and none failed).

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "lab.hpp"

#ifndef LAB_WORDS
#define LAB_WORDS "words"
#endif
#ifndef LAB_CXX
#define LAB_CXX "c++"
#endif
#ifndef SOURCE_DIR
#define SOURCE_DIR "."
#endif

namespace fs = std::filesystem;
using namespace lab;

namespace lab {

const std::vector<Lab> &labs() {
  static const std::vector<Lab> all = {reap_the_zombie, join_the_workers, lock_the_tally,
                                       sleeping_producer, wake_the_opener};
  return all;
}

}  // namespace lab

static size_t width = 80;

static void out(const std::string &line) {
  printf("%s\n", line.c_str());
}

// A text from the words, filled in and folded to the terminal, each line indented.
static void say(const std::string &name, const Vars &vars = {}, const std::string &indent = "") {
  for (const std::string &line : words::text(name, vars, width - 1 - indent.size()))
    out(line.empty() ? line : indent + line);
}

static void complain(const std::string &name, const Vars &vars = {}) {
  for (const std::string &line : words::text(name, vars, 79))
    fprintf(stderr, "%s\n", line.c_str());
  fprintf(stderr, "%s\n", words::line("lab.usage").c_str());
}

// Where a learner's own copies of the starting code live: my-labs/ in the project, or
// the folder $MY_LABS names.
static fs::path mine(const Lab &lab) {
  const char *folder = getenv("MY_LABS");
  return fs::path(folder && *folder ? folder : SOURCE_DIR "/my-labs") / lab.name;
}

static fs::path start(const Lab &lab, const std::string &file) {
  return fs::path(SOURCE_DIR) / lab.topic / file;
}

static std::string shown(const fs::path &path) {
  std::error_code far;
  fs::path relative = fs::relative(path, fs::current_path(), far);
  return far || relative.empty() || relative.string().starts_with("../..") ? path.string()
                                                                           : relative.string();
}

static std::string listed(const std::vector<fs::path> &paths) {
  std::vector<std::string> all;
  for (const fs::path &p : paths)
    all.push_back(shown(p));
  return watcher::names(all);
}

static void list() {
  say("lab.list");
  size_t longest = 0;
  for (const Lab &lab : labs())
    longest = std::max(longest, lab.name.size());
  for (const Lab &lab : labs())
    out("  " + lab.name + std::string(longest + 2 - lab.name.size(), ' ') + words::line(lab.name));
  out("");
  say("lab.list_after");
}

// The learner's copies of a lab's starting code, with the ones missing copied now. A copy
// once made is the learner's: it is never overwritten, and the starting code is only read.
static int hand_out(const Lab &lab, bool restart) {
  std::vector<fs::path> copied, kept;
  fs::create_directories(mine(lab));
  for (const std::string &file : lab.starts) {
    fs::path copy = mine(lab) / file;
    if (restart && fs::exists(copy)) {
      fs::path old = copy.string() + ".old";
      fs::rename(copy, old);
      kept.push_back(old);
    }
    if (!fs::exists(copy)) {
      fs::copy_file(start(lab, file), copy);
      copied.push_back(copy);
    }
  }
  Vars vars = {{"name", lab.name}, {"files", listed(copied)}, {"old", listed(kept)}};
  if (restart) {
    say(kept.empty() ? "lab.restarted" : "lab.restarted_kept", vars);
    return 0;
  }
  std::vector<std::string> task = words::text(lab.name);
  task.erase(task.begin());  // the listing's summary
  for (const std::string &line : words::fill(task, {}, width - 1))
    out(line);
  out("");
  say("lab.copied", vars);
  return 0;
}

static std::string status_word(Verdict v) {
  return v == Verdict::passed ? "passed" : v == Verdict::failed ? "failed" : "not_judged";
}

// What a check's words say, in one paragraph per line, for the results file.
static std::string told(const Check &c) {
  std::string all;
  for (const std::string &line : words::text(c.name + "." + status_word(c.verdict), c.facts))
    all += (all.empty() || line.empty() ? "" : " ") + line + (line.empty() ? "\n" : "");
  return c.verdict == Verdict::not_judged ? words::line("lab.not_judged_json") + " " + all : all;
}

static std::string quoted(const std::string &text) {
  std::string q = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\')
      q += std::string("\\") + static_cast<char>(c);
    else if (c == '\n')
      q += "\\n";
    else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      q += escaped;
    } else
      q += static_cast<char>(c);
  }
  return q + "\"";
}

// The results file that course autograding platforms read: each check a test worth one
// point, a check not judged scored 0.
static bool write_json(const std::string &path, const std::vector<Check> &checks) {
  int score = 0;
  std::string tests;
  for (const Check &c : checks) {
    bool passed = c.verdict == Verdict::passed;
    score += passed;
    tests += std::string(tests.empty() ? "" : ",\n") + "    {\"name\": " + quoted(c.name) +
             ", \"score\": " + (passed ? "1" : "0") +
             ", \"max_score\": 1, \"status\": " + (passed ? "\"passed\"" : "\"failed\"") +
             ", \"output\": " + quoted(told(c)) + "}";
  }
  std::ofstream file(path);
  file << "{\n  \"score\": " << score << ",\n  \"max_score\": " << checks.size()
       << ",\n  \"tests\": [\n"
       << tests << "\n  ]\n}\n";
  return static_cast<bool>(file.flush());
}

static void print(const Check &c, const std::string &lab) {
  std::string name = c.name.starts_with(lab + ".") ? c.name.substr(lab.size() + 1) : c.name;
  size_t room = 0;
  for (const char *v : {"passed", "failed", "not_judged"})
    room = std::max(room, words::line("lab." + std::string(v)).size());
  std::string label = words::line("lab." + status_word(c.verdict));
  out(label + std::string(room + 2 - std::min(room, label.size()), ' ') + name);
  say(c.name + "." + status_word(c.verdict), c.facts, "    ");
}

static void interrupted(int) {
  cancel();
}

static int judge_files(const Lab &lab, const std::vector<fs::path> &files,
                       const std::string &json) {
  std::vector<std::string> sources;
  for (const fs::path &f : files)
    sources.push_back(fs::absolute(f).string());
  say("lab.building", {{"files", listed(files)}, {"compiler", LAB_CXX}});
  Built built = build(lab, sources);
  if (!built.messages.empty()) {
    out("");
    printf("%s\n", built.messages.c_str());
  }
  if (!built.ok) {
    say("lab.build_failed");
    Check failed = unjudged("build", built.messages);
    if (!json.empty())
      write_json(json, {failed});
    return 2;
  }
  say("lab.judging", {{"name", lab.name}, {"seconds", fixed(lab.seconds, 0)}});
  out("");
  auto began = std::chrono::steady_clock::now();
  std::vector<Check> checks = judge(lab, built);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  if (cancelled()) {
    say("lab.interrupted");
    return 130;
  }
  int counts[3] = {0, 0, 0};
  for (const Check &c : checks) {
    print(c, lab.name);
    counts[static_cast<int>(c.verdict)]++;
  }
  out("");
  Vars totals = {{"checks", std::to_string(checks.size())},
                 {"passed", std::to_string(counts[0])},
                 {"failed", std::to_string(counts[1])},
                 {"not_judged", std::to_string(counts[2])},
                 {"seconds", fixed(took, 1)}};
  say("lab.totals", totals);
  if (counts[1] > 0 && words::has(lab.name + ".hints")) {
    out("");
    say("lab.hints");
    say(lab.name + ".hints", {}, "  ");
  }
  if (!json.empty() && !write_json(json, checks)) {
    complain("lab.no_json", {{"path", json}});
    return 2;
  }
  if (checks.empty())
    return 2;
  return counts[1] > 0 ? 1 : counts[2] > 0 ? 2 : 0;
}

int main(int argc, char **argv) {
  if (!words::load(LAB_WORDS))
    fprintf(stderr, "lab: no words found in %s; the lab goes on with their names\n", LAB_WORDS);
  winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 60)
    width = size.ws_col;
  else if (const char *columns = getenv("COLUMNS"); columns && atoi(columns) >= 60)
    width = atoi(columns);
  const Lab *lab = nullptr;
  std::vector<fs::path> files;
  std::string json;
  bool restart = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    auto found =
        std::find_if(labs().begin(), labs().end(), [&](const Lab &l) { return l.name == arg; });
    if (arg == "--help" || arg == "-h") {
      for (const std::string &line : words::text("lab.usage_full"))
        out(line);
      return 0;
    } else if ((arg == "--file" || arg == "--json") && !has_value) {
      complain("lab.needs_value", {{"arg", arg}});
      return 2;
    } else if (arg == "--file") {
      files.push_back(argv[++i]);
    } else if (arg == "--json") {
      json = argv[++i];
    } else if (arg == "--restart") {
      restart = true;
    } else if (found != labs().end() && !lab) {
      lab = &*found;
    } else {
      std::vector<std::string> known;
      for (const Lab &l : labs())
        known.push_back(l.name);
      complain(arg.starts_with("-") || lab ? "lab.unknown_option" : "lab.unknown_lab",
               {{"arg", arg}, {"labs", watcher::names(known)}});
      return 2;
    }
  }
  if (!lab) {
    if (!files.empty() || restart || !json.empty()) {
      complain("lab.needs_lab");
      return 2;
    }
    list();
    return 0;
  }
  if (restart)
    return files.empty() ? hand_out(*lab, true) : (complain("lab.restart_file"), 2);
  if (files.empty()) {
    for (const std::string &file : lab->starts)
      files.push_back(mine(*lab) / file);
    if (!std::all_of(files.begin(), files.end(), [](const fs::path &f) { return fs::exists(f); }))
      return hand_out(*lab, false);
  }
  if (files.size() != lab->starts.size()) {
    complain("lab.file_count", {{"name", lab->name},
                                {"count", std::to_string(lab->starts.size())},
                                {"files", watcher::names(lab->starts)}});
    return 2;
  }
  for (const fs::path &f : files)
    if (!fs::is_regular_file(f)) {
      complain("lab.no_file", {{"path", f.string()}});
      return 2;
    }
  struct sigaction action = {};
  action.sa_handler = interrupted;
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return judge_files(*lab, files, json);
}
