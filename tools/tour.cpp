// tour — a guided tour of the twelve programs. For each: what it shows, the program
// itself on your terminal, evidence measured from that run, and under the hood the
// kernel's record of a second run, traced with strace. The words are in tour.txt.
//
// Run:  ./tour [--full] [--no-trace] [--list] [NAME...]   (the script builds, then starts this)
// Ctrl-C ends the tour at once; it never leaves a program running or /dev/shm/OS behind.

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "trace.hpp"
#include "watch.hpp"

using namespace watcher;
namespace fs = std::filesystem;
using Vars = std::map<std::string, std::string>;

static fs::path build;        // the folder the programs were built in
static bool full = false;     // let the 100-second programs finish
static bool tracing = true;   // show the under-the-hood sections
static std::string no_trace;  // why strace cannot show them here, or ""
static int width = 100;       // of the terminal
static std::map<std::string, std::vector<std::string>> words;  // tour.txt, by name
static bool made_shm = false;  // the tour's opener made /dev/shm/OS and nobody removed it yet

static std::string path(const std::string &topic, const std::string &name) {
  return (build / topic / name).string();
}

static void load_words() {
  std::ifstream file(NARRATION);
  std::vector<std::string> *text = nullptr;
  for (std::string line; std::getline(file, line);) {
    if (line.starts_with("#"))
      continue;
    if (line.starts_with("[") && line.ends_with("]"))
      text = &words[line.substr(1, line.size() - 2)];
    else if (text)
      text->push_back(line);
  }
  for (auto &[name, lines] : words)
    while (!lines.empty() && lines.back().empty())
      lines.pop_back();
}

// Lines with each {word} filled in from vars, then filled anew to `room` columns (an
// empty line keeps paragraphs apart); as they are when room is 0.
static std::vector<std::string> fill(std::vector<std::string> lines, const Vars &vars,
                                     size_t room) {
  for (std::string &line : lines)
    for (const auto &[word, value] : vars)
      for (size_t at = 0; (at = line.find("{" + word + "}", at)) != std::string::npos;
           at += value.size())  // a value is never filled in again
        line.replace(at, word.size() + 2, value);
  if (room == 0)
    return lines;
  std::vector<std::string> filled = {""};
  for (const std::string &line : lines) {
    if (line.empty()) {
      filled.push_back("");
      filled.push_back("");
      continue;
    }
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      if (!filled.back().empty() && filled.back().size() + 1 + word.size() > room)
        filled.push_back("");
      filled.back() += (filled.back().empty() ? "" : " ") + word;
    }
  }
  return filled;
}

// The text called `name` in tour.txt, filled.
static std::vector<std::string> text(const std::string &name, const Vars &vars = {},
                                     size_t room = 0) {
  auto found = words.find(name);
  return found == words.end() ? std::vector<std::string>{"(" + name + " is missing from tour.txt)"}
                              : fill(found->second, vars, room);
}

static void out(const std::string &line) {
  printf("%s\n", line.c_str());
}

// A heading, in bold on a terminal.
static std::string strong(const std::string &line) {
  return isatty(STDOUT_FILENO) ? "\033[1m" + line + "\033[0m" : line;
}

static void title(const std::string &name) {
  std::vector<std::string> lines = text(name);
  out("\n" + strong("== " + lines[0]));
  for (const std::string &line : fill({lines.begin() + 1, lines.end()}, {}, width - 4))
    out("   " + line);
  out("");
  fflush(stdout);
}

// The first line of a text: a label, or a line of evidence.
static std::string line(const std::string &name, const Vars &vars = {}) {
  return text(name, vars)[0];
}

// A text of evidence: "=> " before its first line.
static void evidence(const std::string &name, const Vars &vars = {}) {
  std::vector<std::string> lines = text(name, vars, width - 4);
  for (size_t i = 0; i < lines.size(); ++i)
    out((i == 0 ? "=> " : "   ") + lines[i]);
}

static std::string fixed(double value, int decimals) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

// ---- running programs --------------------------------------------------------------

// On a terminal of its own, its bytes copied to ours as they come.
static Outcome shown(Run r) {
  fflush(stdout);
  r.tty = true;
  r.echo = STDOUT_FILENO;
  return watch(r);
}

// A program that prints millions of lines a second runs into a pipe for a second, or until
// the watcher's 2 million lines.
static Outcome flood(const std::string &program) {
  Outcome o = watch({.argv = {program}, .deadline = 1});
  evidence("flood", {{"lines", std::to_string(o.lines.size())}, {"seconds", fixed(o.end, 1)}});
  for (size_t i = 0; i < 6 && i < o.lines.size(); ++i)
    out("   " + o.lines[i].text);
  return o;
}

// ---- under the hood ----------------------------------------------------------------

static bool hood(const std::string &program) {
  if (!tracing)
    return false;
  out("");
  if (!no_trace.empty()) {
    bool missing = no_trace.starts_with("strace is not installed");
    out("-- " + text(missing ? "no_hood.missing" : "no_hood.refused", {{"why", no_trace}})[0]);
    return false;
  }
  out(strong("-- " + line("hood", {{"program", program}})));
  return true;
}

// A time short enough to read: milliseconds below a second.
static std::string when(double seconds) {
  return seconds < 1 ? fixed(seconds * 1000, 1) + " ms" : fixed(seconds, 2) + " s";
}

// A call as strace printed it, after its thread and time, folded to the terminal's width.
// Past three lines it loses the middle of its arguments, never its
// name, its start or its result.
static void quote(const Event &e) {
  std::string head = "   " + std::to_string(e.tid) + " " + fixed(e.at, 3) + " s  ";
  std::string call = e.text;
  if (e.done - e.at >= 0.0005 && e.name != "+++")
    call += "   " + line("quote.returned", {{"after", when(e.done - e.at)}});
  size_t room = std::max(40, width - static_cast<int>(head.size()));
  if (call.size() > 3 * room) {
    size_t result = call.rfind(") = ");
    std::string tail = result == std::string::npos ? "" : call.substr(result).substr(0, room);
    call = call.substr(0, 3 * room - tail.size() - 10) + "..." + tail;
  }
  std::string indent(head.size() + 2, ' ');
  while (call.size() > room) {
    size_t cut = room;  // after a comma or a "|", or before " = result"
    for (size_t i = room - 1; i > room / 2; --i)
      if (call[i] == ',' || call[i] == '|' || call.compare(i, 3, " = ") == 0) {
        cut = i + 1;
        break;
      }
    out(head + call.substr(0, cut));
    call.erase(0, cut);
    call.erase(0, call.find_first_not_of(' '));
    head = indent;
    room = std::max(40, width - static_cast<int>(indent.size()));
  }
  out(head + call);
}

static void note(const std::string &name, const Vars &vars = {}) {
  for (const std::string &line : text(name, vars, width - 7))
    out("      " + line);
}

static const Event *find(const Traced &t, const std::function<bool(const Event &)> &match) {
  for (const Event &e : t.events)
    if (match(e))
      return &e;
  return nullptr;
}

static std::vector<const Event *> all(const Traced &t,
                                      const std::function<bool(const Event &)> &match) {
  std::vector<const Event *> found;
  for (const Event &e : t.events)
    if (match(e))
      found.push_back(&e);
  return found;
}

static bool is_thread(const Event &e) {
  return e.name == "clone3" && e.ok() && has_flag(e.arg(0), "CLONE_VM") &&
         has_flag(e.arg(0), "CLONE_THREAD");
}

// The word a thread's clone3 asks the kernel to clear when the thread ends, as printed.
static std::string child_tid(const Event &clone) {
  size_t at = clone.arg(0).find("child_tid=");
  std::string word = at == std::string::npos ? "" : clone.arg(0).substr(at + 10);
  return word.substr(0, word.find_first_of(",}"));
}

// The life of each thread, from its creation to its end, drawn to the terminal's width.
static void timeline(const Traced &t) {
  struct Life {
    std::string label;
    pid_t tid;
    double from, to = -1;
    std::string how;
  };
  std::vector<Life> lives = {{"main", t.pid, 0}};
  for (const Event *e : all(t, is_thread))
    lives.push_back(
        {"thread", static_cast<pid_t>(e->value), e->at});  // may run before clone3 returns
  double last = t.events.empty() ? 0 : t.events.back().at;
  for (Life &life : lives)
    for (const Event &e : t.events) {
      bool own = e.tid == life.tid && (e.name == "exit" || e.name == "exit_group");
      bool whole = e.name == "exit_group" && e.tid != life.tid;
      bool end = e.tid == life.tid && e.name == "+++";
      if (e.at >= life.from && (own || whole || end)) {
        life.to = e.at;
        life.how = own     ? e.name
                   : whole ? line("timeline.others", {{"tid", std::to_string(e.tid)}})
                   : e.result.starts_with("killed") && t.out.interrupted ? line("timeline.stopped")
                                                                         : e.result;
        break;
      }
    }
  size_t longest = 0;
  for (Life &life : lives) {
    life.how = life.to < 0 ? line("timeline.running")
                           : line("timeline.end", {{"how", life.how}, {"at", when(life.to)}});
    longest = std::max(longest, life.how.size());
  }
  int bar = std::max(20, width - 21 - static_cast<int>(longest));
  double scale = std::max(last, 0.001);
  out("");
  evidence("timeline");
  for (const Life &life : lives) {
    double to = life.to < 0 ? last : life.to;
    int a = static_cast<int>(life.from / scale * bar), b = static_cast<int>(to / scale * bar);
    std::string cells;
    for (int i = 0; i < bar; ++i)
      cells += i >= a && i <= std::max(a, b) ? "█" : " ";
    std::string label = life.label + " " + std::to_string(life.tid);
    label.resize(14, ' ');
    out("   " + label + "|" + cells + "| " + life.how);
  }
  std::string axis(bar + 2, ' ');
  std::string end = when(last);
  axis.replace(0, 3, "0 s");
  axis.replace(axis.size() - end.size(), end.size(), end);
  out("   " + std::string(14, ' ') + axis);
}

// Each thread's clone3, with what it shows.
static void threads(const Traced &t) {
  for (const Event *e : all(t, is_thread)) {
    quote(*e);
    note("thread.clone3", {{"tid", std::to_string(e->value)}});
  }
}

// How the threads of a traced run ended, in one line of evidence each.
static void endings(const Traced &t) {
  for (const Event *e :
       all(t, [](const Event &e) { return e.name == "exit" || e.name == "exit_group"; })) {
    quote(*e);
    note("thread." + e->name);
  }
}

// Futex calls counted by the word they wait or wake on, each word named by what it is.
// Returns how many words it could not name.
static int futexes(const Traced &t, const std::map<uintptr_t, std::string> &named) {
  std::map<uintptr_t, std::pair<int, int>> counts;  // word -> waits, wakes
  for (const Event *e : all(t, [](const Event &e) { return e.name == "futex"; })) {
    uintptr_t word = strtoul(e->arg(0).c_str(), nullptr, 16);
    (e->arg(1).find("WAKE") != std::string::npos ? counts[word].second : counts[word].first)++;
  }
  std::map<uintptr_t, std::string> joins;
  for (const Event *e : all(t, is_thread))
    joins[strtoul(child_tid(*e).c_str(), nullptr, 16)] =
        line("futex.join", {{"tid", std::to_string(e->value)}});
  evidence(counts.empty() ? "futex.none" : "futex.table");
  int unknown = 0;
  for (const auto &[word, n] : counts) {
    unknown += !named.count(word) && !joins.count(word);
    std::string what = named.count(word)   ? named.at(word)
                       : joins.count(word) ? joins[word]
                                           : line("futex.other");
    char line[256];
    snprintf(line, sizeof line, "   0x%lx  %6d waits %6d wakes  %s",
             static_cast<unsigned long>(word), n.first, n.second, what.c_str());
    out(line);
  }
  return unknown;
}

static void writes(const Traced &t) {
  auto calls = all(t, [](const Event &e) { return e.name == "write" && e.arg(0) == "1"; });
  long bytes = 0;
  for (const Event *e : calls)
    bytes += std::max(0L, e->value);
  if (calls.empty())
    return;
  evidence("flood.writes", {{"writes", std::to_string(calls.size())},
                            {"lines", std::to_string(t.out.lines.size())},
                            {"per", std::to_string(bytes / static_cast<long>(calls.size()))}});
}

// ---- the stops -----------------------------------------------------------------------

static void stop_parent_child() {
  title("parent_child");
  Outcome o = shown({.argv = {path("process_control", "parent_child")}});
  evidence("parent_child.result", {{"status", std::to_string(o.status)},
                                   {"first", o.lines.empty() ? "" : o.lines[0].text}});
  if (!hood("parent_child"))
    return;
  Traced t =
      trace({.argv = {path("process_control", "parent_child")}}, "clone,clone3,wait4,exit_group");
  const Event *fork = find(t, [&](const Event &e) { return e.name == "clone" && e.tid == t.pid; });
  if (!fork)
    return evidence("missing", {{"call", "clone"}});
  quote(*fork);
  if (!has_flag(fork->arg(1), "CLONE_VM") && has_flag(fork->arg(1), "SIGCHLD"))
    note("parent_child.clone", {{"pid", std::to_string(fork->value)},
                                {"printed", t.out.lines.size() > 1 ? t.out.lines[1].text : ""}});
  const Event *wait = find(t, [&](const Event &e) { return e.name == "wait4"; });
  const Event *exit = find(t, [&](const Event &e) {
    return e.name == "exit_group" && e.tid == static_cast<pid_t>(fork->value);
  });
  if (wait && exit) {
    bool waited = wait->at <= exit->at;  // else the child was gone before the parent asked
    quote(*(waited ? wait : exit));
    quote(*(waited ? exit : wait));
    note(waited ? "parent_child.wait" : "parent_child.reaped",
         {{"blocked", when(wait->done - wait->at)},
          {"pid", std::to_string(exit->tid)},
          {"exit", fixed(exit->at, 3)}});
  }
}

static void stop_script_launch() {
  title("script_launch");
  std::string folder = path("process_control", "");
  Outcome o = shown({.argv = {"./script_launch"}, .cwd = folder});
  int numbers = 0;
  for (const Line &line : o.lines)
    numbers += !line.text.empty() && line.text.find_first_not_of("0123456789") == std::string::npos;
  evidence("script_launch.result", {{"numbers", std::to_string(numbers)}});
  if (hood("script_launch")) {
    Traced t = trace({.argv = {"./script_launch"}, .cwd = folder}, "clone,openat,wait4,exit_group");
    const Event *exec =
        find(t, [&](const Event &e) { return e.name == "execve" && e.tid != t.pid; });
    if (exec) {
      std::string shebang;
      std::getline(std::ifstream(folder + "/count.sh"), shebang);
      quote(*exec);
      if (exec->ok())
        note("script_launch.execve", {{"pid", std::to_string(exec->tid)}, {"shebang", shebang}});
      const Event *read = find(t, [&](const Event &e) {
        return e.name == "openat" && e.tid == exec->tid && e.arg(1) == "\"./count.sh\"";
      });
      if (read && exec->ok()) {
        quote(*read);
        note("script_launch.openat");
      }
    }
  }

  title("script_launch.fallback");
  char temporary[] = "/tmp/tour.XXXXXX";
  std::string empty = mkdtemp(temporary) ? temporary : "/";
  Run elsewhere = {.argv = {path("process_control", "script_launch"), "a", "b"}, .cwd = empty};
  o = shown(elsewhere);
  long parent = 0, child_parent = -1, ignored;
  for (const Line &line : o.lines) {
    if (sscanf(line.text.c_str(), "PARENTS | PID = %ld", &parent) == 1)
      evidence("script_launch.parent", {{"line", line.text}});
    if (sscanf(line.text.c_str(), "CHILDREN | PID = %ld | PPID = %ld", &ignored, &child_parent) ==
        2)
      evidence(child_parent == parent ? "script_launch.child" : "script_launch.child_elsewhere",
               {{"line", line.text}});
  }
  if (hood("script_launch a b")) {
    Traced t = trace(elsewhere, "clone,write,exit_group");
    const Event *exec =
        find(t, [&](const Event &e) { return e.name == "execve" && e.tid != t.pid; });
    if (exec) {
      quote(*exec);
      if (!exec->ok())
        note("script_launch.failed", {{"error", exec->error}});
      const Event *write =
          find(t, [&](const Event &e) { return e.name == "write" && e.tid == exec->tid; });
      if (write) {
        quote(*write);
        note("script_launch.write", {{"pid", std::to_string(exec->tid)}});
      }
    }
  }
  rmdir(empty.c_str());
}

static void stop_endless_chat() {
  title("endless_chat");
  Outcome o = flood(path("thread_lifetime", "endless_chat"));
  size_t asks = 0, answers = 0, runs = 0;
  for (size_t i = 0; i < o.lines.size(); ++i) {
    asks += o.lines[i].text == "Hello, How are you?";
    answers += o.lines[i].text == "I’m fine, and you?";
    runs += i == 0 || o.lines[i].text != o.lines[i - 1].text;
  }
  evidence("endless_chat.result", {{"asks", std::to_string(asks)},
                                   {"answers", std::to_string(answers)},
                                   {"runs", std::to_string(runs)}});
  if (!hood("endless_chat"))
    return;
  Traced t = trace({.argv = {path("thread_lifetime", "endless_chat")}, .deadline = 0.3},
                   "clone3,write,exit,exit_group");
  threads(t);
  writes(t);
  timeline(t);
}

// The kernel's id, state and name of every thread of a process.
static void thread_table(pid_t pid) {
  std::error_code gone;
  std::vector<std::string> rows;
  for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone)) {
    std::string stat;
    std::getline(std::ifstream(task.path() / "stat"), stat);
    size_t name_end = stat.rfind(')');
    std::string id = task.path().filename();
    if (name_end != std::string::npos && name_end + 2 < stat.size())
      rows.push_back("   thread " + id + (id == std::to_string(pid) ? " (main)" : "") + ": state " +
                     stat.substr(name_end + 2, 1));
  }
  std::sort(rows.begin(), rows.end());
  for (const std::string &row : rows)
    out(row);
}

// A numbered-workers program on the terminal with its thread table a second in, and
// beside it, at the same time, the traced run.
static void lifetime(const std::string &name, double seconds, const std::string &calls,
                     const std::function<void(const Traced &)> &explain) {
  Traced t;
  std::thread traced;
  if (tracing && no_trace.empty())
    traced = std::thread([&] {
      t = trace({.argv = {path("thread_lifetime", name)}, .tty = true, .deadline = seconds}, calls);
    });
  std::thread table;
  pid_t pid = 0;
  Outcome o = shown({.argv = {path("thread_lifetime", name)},
                     .deadline = full ? 110 : seconds,
                     .started = [&](pid_t started) {
                       pid = started;
                       table = std::thread([&] {
                         pause(1);
                         if (!cancelled()) {
                           evidence("lifetime.table", {{"pid", std::to_string(pid)}});
                           thread_table(pid);
                           fflush(stdout);
                         }
                       });
                     }});
  if (table.joinable())
    table.join();
  if (traced.joinable())
    traced.join();
  if (cancelled())
    return;
  evidence(o.interrupted ? "lifetime.stopped" : "lifetime.ended",
           {{"seconds", fixed(o.end, 1)}, {"status", std::to_string(o.status)}, {"name", name}});
  if (hood(name))
    explain(t);
}

static void stop_leader_leaves() {
  title("leader_leaves");
  lifetime("leader_leaves", 2, "clone3,exit,exit_group", [](const Traced &t) {
    threads(t);
    std::vector<int> kernel = {t.pid}, printed;  // main's id, then the workers'
    for (const Event *e : all(t, is_thread))
      kernel.push_back(e->value);
    for (const Line &line : t.out.lines)
      for (size_t at = 0; (at = line.text.find("Thread ID ", at)) != std::string::npos; at += 10)
        printed.push_back(atoi(line.text.c_str() + at + 10));
    auto list = [](std::vector<int> ids) {
      std::string all;
      for (int id : ids)
        all += (all.empty() ? "" : ", ") + std::to_string(id);
      return all;
    };
    Vars vars = {{"tids", list({kernel.begin() + 1, kernel.end()})},
                 {"printed", list(printed)},
                 {"pid", std::to_string(t.pid)}};
    // The workers may print in either order; main prints first.
    if (printed.size() > 1)
      std::sort(printed.begin() + 1, printed.end());
    evidence(printed == kernel ? "leader_leaves.ids" : "leader_leaves.other_ids", vars);
    if (const Event *exit =
            find(t, [&](const Event &e) { return e.name == "exit" && e.tid == t.pid; })) {
      quote(*exit);
      note("leader_leaves.main", {{"at", fixed(exit->at, 3)}});
    }
    timeline(t);
  });
}

static void stop_workers_quit() {
  title("workers_quit");
  lifetime("workers_quit", 2, "clone3,exit,exit_group", [](const Traced &t) {
    threads(t);
    endings(t);
    timeline(t);
  });
}

// The joins of a traced run: each futex wait on a thread's id word.
static void joins(const Traced &t) {
  for (const Event *clone : all(t, is_thread)) {
    std::string word = child_tid(*clone);
    // A later thread may get the same stack, and so the same word: look after its clone3.
    const Event *wait = find(t, [&](const Event &e) {
      return &e > clone && e.name == "futex" && e.tid == t.pid && e.arg(0) == word &&
             e.arg(2) == std::to_string(clone->value);  // waits while the word holds its id
    });
    Vars vars = {{"tid", std::to_string(clone->value)}, {"word", word}};
    if (wait) {
      quote(*wait);
      vars["waited"] = when(wait->done - wait->at);
      note("join.futex", vars);
    } else {
      note("join.none", vars);
    }
  }
}

static void stop_leader_awaits() {
  title("leader_awaits");
  lifetime("leader_awaits", 20, "clone3,futex,exit,exit_group", [](const Traced &t) {
    threads(t);
    joins(t);
    endings(t);
    timeline(t);
  });
}

static void stop_record_pass() {
  title("record_pass");
  Outcome o = shown({.argv = {path("thread_lifetime", "record_pass")}});
  auto xs =
      std::count_if(o.lines.begin(), o.lines.end(), [](const Line &l) { return l.text == "X"; });
  evidence("record_pass.result",
           {{"status", std::to_string(o.status)}, {"xs", std::to_string(xs)}});
  if (!hood("record_pass"))
    return;
  Traced t = trace({.argv = {path("thread_lifetime", "record_pass")}},
                   "clone3,futex,write,exit,exit_group");
  threads(t);
  joins(t);
  auto writes = all(t, [](const Event &e) { return e.name == "write"; });
  for (const Event *write : writes)
    quote(*write);
  if (writes.size() == 1 && writes[0]->tid == t.pid && writes[0]->value == 10) {
    note("record_pass.write");
  }
  endings(t);
  timeline(t);
}

// Breaks in the 1, 2, ..., 19, 0, 1, ... sequence: lost or repeated updates.
static void tally(const Outcome &o) {
  size_t breaks = 0, high = 0, first = 0;
  int previous = 0, top = 0;
  for (size_t i = 0; i < o.lines.size(); ++i) {
    int value = atoi(o.lines[i].text.c_str() + std::min<size_t>(10, o.lines[i].text.size()));
    if (i > 0 && value != (previous == 19 ? 0 : previous + 1) && !breaks++)
      first = i;
    high += value >= 20;
    top = std::max(top, value);
    previous = value;
  }
  evidence("tally.result", {{"lines", std::to_string(o.lines.size())},
                            {"breaks", std::to_string(breaks)},
                            {"high", std::to_string(high)},
                            {"top", std::to_string(top)}});
  if (breaks) {
    evidence("tally.first_break", {{"line", std::to_string(first + 1)}});
    for (size_t i = first >= 2 ? first - 2 : 0; i <= first + 1 && i < o.lines.size(); ++i)
      out("   " + o.lines[i].text);
  }
}

// A traced half second of a flood program, with its futex words named: its own global
// `own` (if any), stdout's lock in the C library, the threads' id words.
static void contention(const std::string &program, const std::string &own) {
  if (!hood(program))
    return;
  // The words' addresses are read from the running process: where its executable and the
  // C library were mapped this time, and where stdout keeps its lock.
  std::map<uintptr_t, std::string> named;
  std::string exe = path("synchronisation", program);
  Traced t = trace({.argv = {exe},
                    .deadline = 0.5,
                    .started =
                        [&](pid_t pid) {
                          if (uintptr_t word = stdout_lock(pid))
                            named[word] = line("futex.stdout");
                          if (uintptr_t word = own.empty() ? 0 : symbol_address(pid, exe, own))
                            named[word] = line("futex.own", {{"name", own}});
                        }},
                   "clone3,futex,write,exit,exit_group");
  threads(t);
  writes(t);
  note(futexes(t, named) == 0 ? program + ".futex" : "futex.unknown");
}

static void stop_tally_racy() {
  title("tally_racy");
  tally(flood(path("synchronisation", "tally_racy")));
  contention("tally_racy", "");
}

static void stop_tally_locked() {
  title("tally_locked");
  tally(flood(path("synchronisation", "tally_locked")));
  contention("tally_locked", "lock");
}

static void stop_stock_gate() {
  title("stock_gate");
  Outcome o = flood(path("synchronisation", "stock_gate"));
  int made = 0, sold = 0, top = 0;
  size_t every = o.lines.size() / 8 + 1;
  for (size_t i = 0; i < o.lines.size(); ++i) {
    const std::string &line = o.lines[i].text;
    (line.starts_with("products") ? made : sold) = atoi(line.c_str() + line.find('=') + 2);
    top = std::max(top, made - sold);
    if ((i + 1) % every == 0) {
      char row[64];
      snprintf(row, sizeof row, "   line %8zu: unsold %4d ", i + 1, made - sold);
      std::string bar(std::max(0, (made - sold) / 40), '#');
      out(row + bar);
    }
  }
  evidence("stock_gate.result", {{"top", std::to_string(top)}});
  contention("stock_gate", "sem");
}

// The pair again, each under strace; the replier starts just after one of the opener's
// polls, so that for most of a second both processes have the page mapped.
static void memo_hood() {
  made_shm = true;
  std::atomic<pid_t> opener_pid{0}, replier_pid{0};
  std::atomic<bool> polled{false}, ended{false};
  Traced a, b;
  std::thread opener([&] {
    a = trace({.argv = {path("shared_memory", "memo_opener")},
               .tty = true,
               .deadline = 20,
               .stop_when =
                   [&](auto &) {
                     polled = true;  // its first line: a poll has just been made
                     return false;
                   },
               .started = [&](pid_t pid) { opener_pid = pid; }},
              "openat,ftruncate,mmap,munmap,unlink");
    ended = true;
  });
  while (!polled && !ended && !cancelled())  // an opener that fails prints nothing
    pause(0.01);
  pause(0.1);
  std::vector<std::pair<pid_t, Mapping>> pages;  // "/dev/shm/OS" in each process's maps
  b = trace({.argv = {path("shared_memory", "memo_replier")},
             .tty = true,
             .deadline = 20,
             .stop_when =
                 [&](auto &) {
                   if (pages.empty())  // the first line: the replier has mapped the page
                     for (pid_t pid : {pid_t(opener_pid), pid_t(replier_pid)})
                       for (const Mapping &m : maps(pid))
                         if (m.path == "/dev/shm/OS")
                           pages.push_back({pid, m});
                   return false;
                 },
             .started = [&](pid_t pid) { replier_pid = pid; }},
            "openat,newfstatat,fstat,mmap,munmap,unlink");
  opener.join();
  made_shm = fs::exists("/dev/shm/OS");
  auto shm = [](const Event &e) { return e.text.find("/dev/shm/OS") != std::string::npos; };
  const Event *create = find(a, [&](const Event &e) { return e.name == "openat" && shm(e); });
  if (!create)
    return evidence("missing", {{"call", "openat of /dev/shm/OS"}});
  quote(*create);
  if (create->ok() && has_flag(create->arg(2), "O_CREAT"))
    note("memo.create");
  // The descriptor's number was used before, for the loader's files: look after the open.
  auto on_fd = [](const Traced &t, const std::string &name, size_t arg, const Event *open) {
    return find(t, [&](const Event &e) {
      return &e > open && e.name == name && e.arg(arg) == std::to_string(open->value);
    });
  };
  if (const Event *size = on_fd(a, "ftruncate", 0, create)) {
    quote(*size);
    if (size->ok())
      note("memo.size", {{"size", size->arg(1)}});
  }
  if (const Event *map = on_fd(a, "mmap", 4, create)) {
    quote(*map);
    if (map->ok() && has_flag(map->arg(3), "MAP_SHARED"))
      note("memo.map");
  }
  const Event *open = find(b, [&](const Event &e) { return e.name == "openat" && shm(e); });
  if (!open)
    return;
  quote(*open);
  if (open->ok() && !has_flag(open->arg(2), "O_CREAT"))
    note("memo.open");
  const Event *stat = on_fd(b, "newfstatat", 0, open);
  if (!stat)
    stat = on_fd(b, "fstat", 0, open);
  if (stat) {
    quote(*stat);
    size_t at = stat->text.find("st_size=");
    note("memo.stat",
         {{"size",
           at == std::string::npos ? "?" : std::to_string(atol(stat->text.c_str() + at + 8))}});
  }
  if (const Event *map = on_fd(b, "mmap", 4, open))
    quote(*map);
  for (const auto &[pid, m] : pages) {
    char line[256];
    snprintf(line, sizeof line, "   /proc/%d/maps: %lx-%lx %s %s %lu %s", pid,
             static_cast<unsigned long>(m.start), static_cast<unsigned long>(m.end),
             m.perms.c_str(), m.device.c_str(), m.inode, m.path.c_str());
    out(line);
  }
  if (pages.size() == 2 && pages[0].first != pages[1].first &&
      pages[0].second.start != pages[1].second.start &&
      pages[0].second.device == pages[1].second.device &&
      pages[0].second.inode == pages[1].second.inode)
    note("memo.maps",
         {{"inode", pages[0].second.device + " " + std::to_string(pages[0].second.inode)}});
  if (const Event *unlink = find(b, [&](const Event &e) { return e.name == "unlink" && shm(e); })) {
    quote(*unlink);
    if (unlink->ok())
      note("memo.unlink");
  }
}

static void stop_memo_opener() {
  title("memo_opener");
  if (fs::exists("/dev/shm/OS"))
    return evidence("memo.skipped");
  auto start = std::chrono::steady_clock::now();
  made_shm = true;
  Outcome a, b;
  std::thread opener(
      [&] { a = shown({.argv = {path("shared_memory", "memo_opener")}, .deadline = 20}); });
  pause(2.5);
  b = shown({.argv = {path("shared_memory", "memo_replier")}, .deadline = 20});
  opener.join();
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  made_shm = fs::exists("/dev/shm/OS");
  evidence("memo.result", {{"opener", std::to_string(a.status)},
                           {"replier", std::to_string(b.status)},
                           {"seconds", fixed(took.count(), 1)},
                           {"after", line(made_shm ? "memo.left" : "memo.gone")}});
  if (!made_shm && hood("memo_opener and memo_replier"))
    memo_hood();
}

// ---- the tour ------------------------------------------------------------------------

static const std::vector<std::pair<std::string, void (*)()>> stops = {
    {"parent_child", stop_parent_child}, {"script_launch", stop_script_launch},
    {"endless_chat", stop_endless_chat}, {"leader_leaves", stop_leader_leaves},
    {"workers_quit", stop_workers_quit}, {"leader_awaits", stop_leader_awaits},
    {"record_pass", stop_record_pass},   {"tally_racy", stop_tally_racy},
    {"tally_locked", stop_tally_locked}, {"stock_gate", stop_stock_gate},
    {"memo_opener", stop_memo_opener},
};

static void interrupted(int) {
  cancel();
}

static int finish(int status) {
  if (made_shm)
    unlink("/dev/shm/OS");
  if (status == 130)
    out("\n" + line("interrupted"));
  else
    out("\n" + line("end", {{"build", build.string()}}));
  return status;
}

int main(int argc, char **argv) {
  build = fs::canonical("/proc/self/exe").parent_path().parent_path();
  winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 60)
    width = size.ws_col;
  else if (const char *columns = getenv("COLUMNS"); columns && atoi(columns) >= 60)
    width = atoi(columns);
  std::vector<void (*)()> chosen;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i] == std::string("memo_replier") ? "memo_opener" : argv[i];
    auto stop = std::find_if(stops.begin(), stops.end(), [&](auto &s) { return s.first == arg; });
    if (arg == "--list") {
      for (const auto &s : stops)
        out(s.first);
      out("memo_replier (the same stop as memo_opener)");
      return 0;
    } else if (arg == "--full") {
      full = true;
    } else if (arg == "--no-trace") {
      tracing = false;
    } else if (stop != stops.end()) {
      chosen.push_back(stop->second);
    } else {
      fprintf(stderr, "usage: ./tour [--full] [--no-trace] [--list] [NAME...]\n");
      return 2;
    }
  }
  if (chosen.empty())
    for (const auto &s : stops)
      chosen.push_back(s.second);

  struct sigaction action = {};
  action.sa_handler = interrupted;
  // Ctrl-C, kill, a closed terminal and Ctrl-backslash all end the tour the same way.
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  load_words();
  if (tracing)
    no_trace = tracing_refused();
  for (const std::string &line : text("intro", {}, width - 1))
    out(line);
  for (auto stop : chosen) {
    stop();
    fflush(stdout);
    if (cancelled())
      return finish(130);
  }
  return finish(0);
}
