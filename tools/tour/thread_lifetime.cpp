// Thread lifetime: endless_chat, the three numbered-workers programs (leader_leaves,
// workers_quit, leader_awaits) and record_pass.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "cpus.hpp"
#include "engine.hpp"
#include "stops.hpp"

namespace tour {

namespace fs = std::filesystem;

// How the threads of a traced run ended.
static std::vector<Said> endings(const Traced &t) {
  std::vector<Said> said;
  for (const Event *e : all(t, [](const Event &e) { return called(e, {"exit", "exit_group"}); }))
    said.push_back({e, "thread." + e->name});
  return said;
}

// The joins of a traced run: each futex wait on a thread's id word.
static std::vector<Said> joins(const Traced &t) {
  std::vector<Said> said;
  for (const Event *clone : all(t, is_thread)) {
    std::string word = child_tid(*clone);
    // A later thread may get the same stack, and so the same word: look after its clone.
    const Event *wait = find(t, [&](const Event &e) {
      return &e > clone && is_futex(e) && e.tid == t.pid && e.arg(0) == word &&
             e.arg(2) == std::to_string(clone->value);  // waits while the word holds its id
    });
    Vars vars = {{"tid", std::to_string(clone->value)}, {"word", word}, {"call", clone->name}};
    if (wait) {
      vars["waited"] = when(wait->done - wait->at);
      said.push_back({wait, "join.futex", vars});
    } else {
      said.push_back({clone, "join.none", vars, false});  // said under its clone
    }
  }
  return said;
}

static std::vector<Said> operator+(std::vector<Said> a, const std::vector<Said> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Lines of endless_chat and the runs of one kind they came in.
struct Chat {
  size_t lines = 0, asks = 0, answers = 0, runs = 0;
  double per() const {  // lines a run, to a tenth, as the words show it
    return runs ? tenths(static_cast<double>(lines) / runs) : 0;
  }
};

static Chat chat(const Outcome &o) {
  Chat c;
  c.lines = o.lines.size();
  for (size_t i = 0; i < o.lines.size(); ++i) {
    c.asks += o.lines[i].text == "Hello, How are you?";
    c.answers += o.lines[i].text == "I’m fine, and you?";
    c.runs += i == 0 || o.lines[i].text != o.lines[i - 1].text;
  }
  return c;
}

// Below this many lines a run on average the lines alternate; from the second on they come
// in long runs; between the two the run answers neither.
const double alternating = 1.5, long_runs = 10;

void stop_endless_chat() {
  title("endless_chat");
  Asked runs = ask("endless_chat.runs");
  std::string exe = program("thread_lifetime", "endless_chat");
  Chat free = chat(flood({.argv = {exe}}));
  Vars vars = {{"asks", std::to_string(free.asks)},
               {"answers", std::to_string(free.answers)},
               {"runs", std::to_string(free.runs)},
               {"lines", std::to_string(free.lines)},
               {"per", fixed(free.per(), 1)}};
  // Each line's end releases stdout's lock; all but the last line of a run were followed by
  // a line of the same thread, which took the lock again.
  if (free.lines)
    vars["retook"] = fixed(100.0 * (free.lines - free.runs) / free.lines, 2);
  evidence("endless_chat.result", vars);
  // The same into a pipe on one CPU, where only the scheduler can switch the threads.
  int cpu = 0, n = cpus(&cpu);
  Outcome o = watch({.argv = {exe}, .before_exec = pinned_to(cpu), .deadline = 0.3});
  Chat pinned = chat(o);
  vars.insert({{"cpu", std::to_string(cpu)},
               {"cpus", std::to_string(n)},
               {"seconds", fixed(o.end, 1)},
               {"pinned_lines", std::to_string(pinned.lines)},
               {"pinned_runs", std::to_string(pinned.runs)},
               {"pinned_per", fixed(pinned.per(), 1)},
               {"longer", pinned.per() > free.per() ? "1" : "0"}});
  gap();
  evidence("endless_chat.pinned", vars);
  if (free.runs && pinned.runs)
    evidence(n < 2                          ? "endless_chat.one_cpu"
             : pinned.per() > 2 * free.per() ? "endless_chat.lock"
                                             : "endless_chat.lock_only",
             vars);
  if (hood("endless_chat")) {
    Traced t = trace({.argv = {exe}, .deadline = 0.3},
                     traced(clone_calls) + ",write,exit,exit_group");
    in_order(clones(t));
    if (Writes w = count_writes(t); w.calls)
      show_writes(w, t.out.lines.size());
    timeline(t);
  }
  if (free.runs && free.per() >= alternating && free.per() < long_runs)
    return judge_unseen(runs, line("endless_chat.between", vars));
  judge(runs,
        free.runs == 0              ? ""
        : free.per() >= long_runs ? "b"
                                    : "a",
        vars);
}

// What a numbered-workers run established: its thread table a second in, what ps and
// /proc/PID/status said of the whole process then, how it ended, and what the traced
// twin printed, called and still had mapped a second in.
struct Workers {
  pid_t pid = 0;
  std::vector<std::pair<pid_t, char>> table;  // thread, state; main first
  bool main_listed = false;
  char main_state = '?';
  char process_state = 0;  // /proc/PID/stat's, which ps -o stat -p PID shows without -L
  int status_threads = 0;  // /proc/PID/status's "Threads:"
  double seconds = 0;
  int status = -1;
  bool stopped = false;
  std::vector<Mapping> traced_maps;                  // the traced twin's, a second in
  std::vector<std::pair<pid_t, char>> traced_table;  // and its threads then
};

// The "Threads:" count of /proc/PID/status, or 0.
static int status_threads(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("Threads:"))
      return atoi(line.c_str() + 8);
  return 0;
}

// A numbered-workers program on the terminal with its thread table a second in, and
// beside it, at the same time, the traced run.
static Workers lifetime(const std::string &name, double seconds, const std::string &calls,
                        const std::function<void(const Traced &, const Workers &)> &explain) {
  Workers f;
  Traced t;
  std::atomic<pid_t> twin = 0;
  std::thread traced;
  if (can_trace())
    traced = std::thread([&] {
      t = trace({.argv = {program("thread_lifetime", name)},
                 .tty = true,
                 .deadline = seconds,
                 .started = [&](pid_t pid) { twin = pid; }},
                calls);
    });
  std::thread table;
  Outcome o = shown({.argv = {program("thread_lifetime", name)},
                     .deadline = settings.full ? 110 : seconds,
                     .started = [&](pid_t started) {
                       f.pid = started;
                       table = std::thread([&] {
                         pause(1);
                         if (cancelled())
                           return;
                         f.table = thread_table(f.pid);
                         f.process_state = state(f.pid);
                         f.status_threads = status_threads(f.pid);
                         if (twin)
                           f.traced_maps = maps(twin), f.traced_table = thread_table(twin);
                         evidence("lifetime.table", {{"pid", std::to_string(f.pid)}});
                         for (auto [tid, state] : f.table) {
                           bool main = tid == f.pid;
                           f.main_listed = f.main_listed || main;
                           f.main_state = main ? state : f.main_state;
                           out("   " + line(main ? "lifetime.main" : "lifetime.thread",
                                            {{"tid", std::to_string(tid)}, {"state", {state}}}));
                         }
                         // ps without -L shows the process by its main thread's state.
                         if (f.process_state == 'Z' && f.status_threads > 1)
                           evidence("lifetime.looks_dead",
                                    {{"pid", std::to_string(f.pid)},
                                     {"threads", std::to_string(f.status_threads)}});
                         fflush(stdout);
                       });
                     }});
  if (table.joinable())
    table.join();
  if (traced.joinable())
    traced.join();
  if (cancelled())
    return f;
  f.seconds = o.end;
  f.status = o.status;
  f.stopped = o.interrupted;
  evidence(
      f.stopped ? "lifetime.stopped" : "lifetime.ended",
      {{"seconds", fixed(f.seconds, 1)}, {"status", std::to_string(f.status)}, {"name", name}});
  if (hood(name))
    explain(t, f);
  return f;
}

// The stacks of ended threads that the traced twin still had mapped a second in, each
// said under the clone that made it: clone3 gives a stack's lowest address, clone its top.
static std::vector<Said> stacks(const Traced &t, const Workers &f) {
  std::vector<Said> said;
  for (const Event *clone : all(t, is_thread)) {
    size_t at = clone->text.find("stack=");
    pid_t tid = clone->value;
    bool living = std::any_of(f.traced_table.begin(), f.traced_table.end(),
                              [&](auto &row) { return row.first == tid; });
    if (at == std::string::npos || f.traced_table.empty() || living)
      continue;
    // clone3 gives the lowest address and the size, its guard page included; clone only
    // the top, the mapping below it.
    uintptr_t stack = strtoul(clone->text.c_str() + at + 6, nullptr, 16), low = stack - 1,
              high = stack;
    if (size_t size = clone->text.find("stack_size="); size != std::string::npos)
      low = stack, high = stack + strtoul(clone->text.c_str() + size + 11, nullptr, 16);
    bool whole = high == stack && low == stack - 1;
    uintptr_t mapped = 0, start = 0;
    for (const Mapping &m : f.traced_maps)
      if (m.start < high && low < m.end) {
        mapped += whole ? m.end - m.start : std::min(m.end, high) - std::max(m.start, low);
        start = start ? start : std::max(m.start, whole ? m.start : low);
      }
    if (!mapped)
      continue;
    char from[32];
    snprintf(from, sizeof from, "0x%lx", static_cast<unsigned long>(start));
    said.push_back({clone,
                    "workers_quit.stack",
                    {{"tid", std::to_string(tid)},
                     {"start", from},
                     {"mib", fixed(mapped / 1048576.0, 1)},
                     {"pid", std::to_string(t.pid)}},
                    false});
  }
  return said;
}

// The thread count and main's state one second in, as the table showed them.
static Vars table_facts(const Workers &f) {
  return {{"pid", std::to_string(f.pid)},
          {"threads", std::to_string(f.table.size())},
          {"state", f.main_listed ? std::string(1, f.main_state) : line("lifetime.unlisted")}};
}

void stop_leader_leaves() {
  title("leader_leaves");
  Asked threads = ask("leader_leaves.threads"), main = ask("leader_leaves.main");
  Workers f =
      lifetime("leader_leaves", 2, traced(clone_calls) + ",exit,exit_group",
               [](const Traced &t, const Workers &) {
        in_order(clones(t));
        std::vector<long> kernel = {t.pid}, printed;  // main's id, then the workers'
        std::string call = "clone3";
        for (const Event *e : all(t, is_thread))
          kernel.push_back(e->value), call = e->name;
        for (const Line &line : t.out.lines)
          for (size_t at = 0; (at = line.text.find("Thread ID ", at)) != std::string::npos;
               at += 10)
            printed.push_back(atol(line.text.c_str() + at + 10));
        Vars vars = {{"tids", list({kernel.begin() + 1, kernel.end()})},
                     {"printed", list(printed)},
                     {"pid", std::to_string(t.pid)},
                     {"call", call}};
        // The workers may print in either order; main prints first.
        if (printed.size() > 1)
          std::sort(printed.begin() + 1, printed.end());
        evidence(printed == kernel ? "leader_leaves.ids" : "leader_leaves.other_ids", vars);
        if (const Event *exit =
                find(t, [&](const Event &e) { return e.name == "exit" && e.tid == t.pid; }))
          in_order({{exit, "leader_leaves.main", {{"at", fixed(exit->at, 3)}}}});
        timeline(t);
      });
  if (f.table.empty())
    return judge_unseen(threads, line("lifetime.no_table")),
           judge_unseen(main, line("lifetime.no_table"));
  judge(threads, f.table.size(), table_facts(f));
  judge(main, !f.main_listed ? "c" : f.main_state == 'Z' ? "b" : "a", table_facts(f));
}

void stop_workers_quit() {
  title("workers_quit");
  Asked threads = ask("workers_quit.threads");
  Workers f =
      lifetime("workers_quit", 2, traced(clone_calls) + ",exit,exit_group",
               [](const Traced &t, const Workers &f) {
                 std::vector<Said> kept = stacks(t, f);
                 in_order(clones(t) + kept + endings(t));
                 if (kept.empty())
                   evidence("workers_quit.no_stacks");
        timeline(t);
      });
  if (f.table.empty())
    return judge_unseen(threads, line("lifetime.no_table"));
  judge(threads, f.table.size(), table_facts(f));
}

void stop_leader_awaits() {
  title("leader_awaits");
  Asked seconds = ask("leader_awaits.seconds");
  Workers f = lifetime("leader_awaits", 20,
                       traced(clone_calls) + "," + traced(futex_calls) + ",exit,exit_group",
                       [](const Traced &t, const Workers &) {
                         in_order(clones(t) + joins(t) + endings(t));
                         timeline(t);
                       });
  if (f.stopped || f.status < 0)
    return judge_unseen(seconds, line("lifetime.not_ended"));
  judge(seconds, std::round(f.seconds * 10) / 10,
        {{"seconds", fixed(f.seconds, 1)}, {"status", std::to_string(f.status)}});
}

struct RecordPass {
  int status = -1;
  long xs = 0;
  Traced t, tty;        // traced into a pipe, and on a terminal
  Writes pipe, on_tty;  // their writes to stdout
};

void stop_record_pass() {
  title("record_pass");
  Asked writes = ask("record_pass.writes");
  RecordPass f;
  std::string exe = program("thread_lifetime", "record_pass");
  Outcome o = shown({.argv = {exe}});
  f.status = o.status;
  f.xs = std::count_if(o.lines.begin(), o.lines.end(), [](const Line &l) { return l.text == "X"; });
  evidence("record_pass.result",
           {{"status", std::to_string(f.status)}, {"xs", std::to_string(f.xs)}});
  std::string calls = traced(clone_calls) + "," + traced(futex_calls) + ",write,exit,exit_group";
  if (!hood("record_pass")) {
    if (settings.predict)
      evidence("record_pass.no_experiment");
    return judge_unseen(writes, line("predict.no_trace"));
  }
  f.t = trace({.argv = {exe}}, calls);
  const Traced &t = f.t;
  f.pipe = count_writes(t);
  auto all_writes = all(t, [](const Event &e) { return e.name == "write"; });
  std::vector<Said> said = clones(t) + joins(t) + endings(t);
  for (const Event *write : all_writes)
    said.push_back({write,
                    all_writes.size() == 1 && write->tid == t.pid && write->value == 10
                        ? "record_pass.write"
                        : "",
                    {{"bytes", std::to_string(write->value)}}});
  in_order(said);
  timeline(t);
  judge(writes, f.pipe.calls, {{"writes", std::to_string(f.pipe.calls)}});

  gap();
  evidence("record_pass.experiment");
  Asked terminal = ask("record_pass.terminal");
  f.tty = trace({.argv = {exe}, .tty = true}, calls);
  f.on_tty = count_writes(f.tty);
  for (const Event *write : all(f.tty, [](const Event &e) { return e.name == "write"; }))
    quote(*write);
  auto per = [](const Writes &w) { return std::to_string(w.calls ? w.bytes / w.calls : 0); };
  Vars compared = {{"pipe", std::to_string(f.pipe.calls)},
                   {"pipe_bytes", per(f.pipe)},
                   {"tty", std::to_string(f.on_tty.calls)},
                   {"tty_bytes", per(f.on_tty)}};
  evidence("record_pass.compare", compared);
  if (f.on_tty.calls > f.pipe.calls && f.on_tty.calls == f.xs)
    evidence("record_pass.line_buffered", compared);
  judge(terminal, f.on_tty.calls, compared);
}

}  // namespace tour
