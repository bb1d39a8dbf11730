// lab — a learner changes one of the programs, and the kernel's record of a run judges the
// change. `lab` lists the labs; `lab NAME` the first time copies the lab's starting code to
// a file of the learner's own and prints the task, every later time builds that file,
// runs it under limits and judges it check by check. The words are in the words folder.
//
// Run:  ./lab [NAME [--file PATH]... [--json PATH] [--html PATH] [--trace-events PATH]
//              [--restart]] [--help]
// --html draws each traced run of the judgement on one page, each check beside its run.
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

#include "album.hpp"
#include "lab.hpp"

#ifndef LAB_WORDS
#define LAB_WORDS "words"
#endif
#ifndef LAB_CXX
#define LAB_CXX "c++"
#endif
#ifndef PAGE_WORDS
#define PAGE_WORDS "page-words"
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

// Says on stderr what went wrong, and after a command the lab cannot take, how to use it.
static void complain(const std::string &name, const Vars &vars = {}, bool usage = true) {
  for (const std::string &line : words::text(name, vars, 79))
    fprintf(stderr, "%s\n", line.c_str());
  for (const std::string &line : usage ? words::text("lab.usage") : std::vector<std::string>{})
    fprintf(stderr, "%s\n", line.c_str());
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
  return joined(all);
}

static void list() {
  say("lab.list");
  size_t longest = 0;
  for (const Lab &lab : labs())
    longest = std::max(longest, lab.name.size());
  for (const Lab &lab : labs())
    out("  " + lab.name + std::string(longest + 2 - lab.name.size(), ' ') +
        words::text(lab.name)[0]);  // the task's first line is its summary
  out("");
  say("lab.list_after");
}

// A name beside `copy` that nothing has yet: FILE.old, else FILE.old.2, FILE.old.3 ...
static fs::path unused_old(const fs::path &copy) {
  fs::path old = copy.string() + ".old";
  for (int n = 2; fs::exists(fs::symlink_status(old)); ++n)
    old = copy.string() + ".old." + std::to_string(n);
  return old;
}

// The learner's copies of a lab's starting code, with the ones missing copied now. A copy
// once made is the learner's: it is never overwritten, and the starting code is only read.
// A restart moves each copy to a name of its own, so that no restart loses a file.
static int hand_out(const Lab &lab, bool restart) {
  std::vector<fs::path> copied, kept;
  fs::create_directories(mine(lab));
  for (const std::string &file : lab.starts) {
    fs::path copy = mine(lab) / file;
    if (restart && fs::exists(fs::symlink_status(copy))) {
      fs::path old = unused_old(copy);
      fs::rename(copy, old);
      kept.push_back(old);
    }
    if (!fs::exists(copy)) {
      fs::copy_file(start(lab, file), copy);
      copied.push_back(copy);
    }
  }
  Vars vars = {{"name", lab.name},
               {"files", listed(copied)},
               {"old", listed(kept)},
               {"kept", std::to_string(kept.size())}};
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

static void print(const Scored &s, const std::string &lab) {
  const Check &c = s.check;
  std::string name = c.name.starts_with(lab + ".") ? c.name.substr(lab.size() + 1) : c.name;
  size_t room = 0;
  for (const char *v : {"passed", "failed", "not_judged"})
    room = std::max(room, words::line("lab." + std::string(v)).size());
  std::string label = words::line("lab." + verdict_word(c.verdict));
  out(label + std::string(room + 2 - std::min(room, label.size()), ' ') + name);
  std::vector<std::string> lines = check_words(c, width - 5);
  if (!s.unscored.empty()) {
    std::vector<std::string> note = words::fill({s.unscored}, {}, width - 5);
    lines.insert(lines.begin(), note.begin(), note.end());
  }
  for (const std::string &line : lines)
    out(line.empty() ? line : "    " + line);
}

// Says why the lab cannot judge what it was given and, asked for a results file, writes
// one all the same, with the tests a judged submission of the lab would have, each 0.
static int refuse(const std::string &name, const Vars &vars, const Lab *lab,
                  const std::string &asked, const std::string &json) {
  complain(name, vars);
  if (!json.empty() && !write_results(json, unjudged_results(lab, asked, words::line(name, vars))))
    complain("lab.no_json", {{"path", json}}, false);
  return 2;
}

static void interrupted(int) {
  cancel();
}

static std::string html, trace_events;  // where to write the page of the runs, if asked

// From here on the traced runs are kept for the page, under the lab's title and task.
static void start_page(const Lab &lab) {
  album::keep_runs(PAGE_WORDS);
  album::kept().title = words::line("page.title.lab", {{"name", lab.name}});
  album::kept().intro = {words::line("page.intro")};
  album::part(words::text(lab.name)[0]);
}

// Writes the page of what was kept, the checks beside their runs, and says so if it cannot.
static void write_page(const Lab &lab, const std::vector<Scored> &checks) {
  std::string failed;
  draw_checks(lab, checks);
  if (!album::write(html, trace_events, failed))
    complain("page.no_page", {{"path", failed}}, false);
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
  bool paged = !html.empty() || !trace_events.empty();
  if (!built.ok) {
    say("lab.build_failed");
    std::string why = words::line("lab.does_not_build") + "\n" + built.messages;
    if (!json.empty() && !write_results(json, unjudged_results(&lab, "", why)))
      complain("lab.no_json", {{"path", json}}, false);
    if (paged) {  // a page all the same: the compiler's messages, each check not judged
      start_page(lab);
      album::note(why);
      std::vector<Check> none;
      for (const std::string &check : lab.checks)
        none.push_back(unjudged(lab.name + "." + check, words::line("lab.build_failed")));
      write_page(lab, scored(lab, none));
    }
    return 2;
  }
  say("lab.judging", {{"name", lab.name}, {"seconds", fixed(lab.seconds, 0)}});
  out("");
  if (paged)
    start_page(lab);
  auto began = std::chrono::steady_clock::now();
  std::vector<Check> checks = judge(lab, built);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  if (cancelled()) {
    say("lab.interrupted");
    if (paged) {  // the runs made before the interruption, and that nothing was judged
      album::note(words::line("lab.interrupted"));
      write_page(lab, {});
    }
    return 130;
  }
  std::vector<Scored> all = scored(lab, checks);
  if (paged)
    write_page(lab, all);
  int counts[3] = {0, 0, 0}, score = 0;
  for (const Scored &s : all) {
    print(s, lab.name);
    counts[static_cast<int>(s.check.verdict)]++;
    score += s.scores;
  }
  out("");
  Vars totals = {
      {"checks", std::to_string(checks.size())}, {"passed", std::to_string(counts[0])},
      {"failed", std::to_string(counts[1])},     {"not_judged", std::to_string(counts[2])},
      {"score", std::to_string(score)},          {"seconds", fixed(took, 1)}};
  say("lab.totals", totals);
  if (counts[1] > 0 && words::has(lab.name + ".hints")) {
    out("");
    say("lab.hints");
    say(lab.name + ".hints", {}, "  ");
  }
  if (!json.empty() && !write_results(json, results(all))) {
    complain("lab.no_json", {{"path", json}}, false);
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
  std::string json, asked;  // asked: the lab's name as given
  bool restart = false;
  // The first thing refused, once the whole command line is read: --json may come after it.
  std::string refusal;
  Vars why;
  auto refused = [&](const std::string &name, const Vars &vars) {
    if (refusal.empty())
      refusal = name, why = vars;
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    auto found =
        std::find_if(labs().begin(), labs().end(), [&](const Lab &l) { return l.name == arg; });
    if (arg == "--help" || arg == "-h") {
      for (const std::string &line : words::text("lab.usage_full"))
        out(line);
      return 0;
    } else if ((arg == "--file" || arg == "--json" || arg == "--html" || arg == "--trace-events") &&
               !has_value) {
      refused("lab.needs_value", {{"arg", arg}});
    } else if (arg == "--file") {
      files.push_back(argv[++i]);
    } else if (arg == "--json") {
      json = argv[++i];
    } else if (arg == "--html" || arg == "--trace-events") {
      (arg == "--html" ? html : trace_events) = argv[++i];
    } else if (arg == "--restart") {
      restart = true;
    } else if (found != labs().end() && asked.empty()) {
      lab = &*found;
      asked = arg;
    } else if (arg.starts_with("-") || !asked.empty()) {
      refused("lab.unknown_option", {{"arg", arg}});
    } else {
      std::vector<std::string> known;
      for (const Lab &l : labs())
        known.push_back(l.name);
      asked = arg;
      refused("lab.unknown_lab", {{"arg", arg}, {"labs", joined(known)}});
    }
  }
  if (!refusal.empty())
    return refuse(refusal, why, lab, asked, json);
  if (!lab) {
    if (!files.empty() || restart || !json.empty())
      return refuse("lab.needs_lab", {}, nullptr, "", json);
    list();
    return 0;
  }
  if (restart)
    return files.empty() ? hand_out(*lab, true) : refuse("lab.restart_file", {}, lab, "", json);
  if (files.empty()) {
    for (const std::string &file : lab->starts)
      files.push_back(mine(*lab) / file);
    if (!std::all_of(files.begin(), files.end(), [](const fs::path &f) { return fs::exists(f); }))
      return hand_out(*lab, false);
  }
  if (files.size() != lab->starts.size())
    return refuse("lab.file_count",
                  {{"name", lab->name},
                   {"count", std::to_string(lab->starts.size())},
                   {"files", joined(lab->starts)}},
                  lab, "", json);
  for (const fs::path &f : files)
    if (!fs::is_regular_file(f))
      return refuse("lab.no_file", {{"path", f.string()}}, lab, "", json);
  struct sigaction action = {};
  action.sa_handler = interrupted;
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return judge_files(*lab, files, json);
}
