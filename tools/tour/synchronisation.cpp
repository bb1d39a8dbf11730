// Synchronisation: tally_racy and tally_locked (a shared counter without and with a
// mutex) and stock_gate (a producer and a seller and a semaphore).
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "engine.hpp"
#include "stops.hpp"

namespace tour {

// What a tally run's printed values establish: the breaks in 1, 2, ..., 19, 0, 1, ...
struct Tally {
  size_t lines = 0, breaks = 0, high = 0;  // high: values of 20 or more
  int top = 0;
  size_t first = 0;  // the line of the first break
};

static Tally tally(const Outcome &o) {
  Tally f;
  f.lines = o.lines.size();
  int previous = 0;
  for (size_t i = 0; i < o.lines.size(); ++i) {
    int value = atoi(o.lines[i].text.c_str() + std::min<size_t>(10, o.lines[i].text.size()));
    if (i > 0 && value != (previous == 19 ? 0 : previous + 1) && !f.breaks++)
      f.first = i;
    f.high += value >= 20;
    f.top = std::max(f.top, value);
    previous = value;
  }
  return f;
}

static void show_tally(const Tally &f, const Outcome &o) {
  evidence("tally.result", {{"lines", std::to_string(f.lines)},
                            {"breaks", std::to_string(f.breaks)},
                            {"high", std::to_string(f.high)},
                            {"top", std::to_string(f.top)}});
  if (!f.breaks)
    return;
  evidence("tally.first_break", {{"line", std::to_string(f.first + 1)}});
  for (size_t i = f.first >= 2 ? f.first - 2 : 0; i <= f.first + 1 && i < o.lines.size(); ++i)
    out("   " + o.lines[i].text);
}

// What a traced half second of a flood program established: its threads, its writes, and
// its futex words named: its own global `own` (if any), stdout's lock in the C library,
// the threads' id words.
struct Contention {
  Traced t;
  std::map<uintptr_t, std::string> named;
  uintptr_t own = 0, stdout_word = 0;
  Futexes futexes;
  Writes writes;
  std::vector<pid_t> threads;  // in the order they were made
  int unknown = 0;             // futex words neither named nor a thread's
};

static Contention contention(const std::string &name, const std::string &own) {
  Contention c;
  // The words' addresses are read from the running process: where its executable and the
  // C library were mapped this time, and where stdout keeps its lock.
  std::string exe = program("synchronisation", name);
  c.t = trace({.argv = {exe},
               .deadline = 0.5,
               .started =
                   [&](pid_t pid) {
                     if ((c.stdout_word = stdout_lock(pid)))
                       c.named[c.stdout_word] = line("futex.stdout");
                     if ((c.own = own.empty() ? 0 : symbol_address(pid, exe, own)))
                       c.named[c.own] = line("futex.own", {{"name", own}});
                   }},
              "?clone,?clone3,?futex,?futex_time64,write,exit,exit_group");
  c.futexes = count_futexes(c.t);
  c.writes = count_writes(c.t);
  for (const Event *e : all(c.t, is_thread))
    c.threads.push_back(e->value);
  return c;
}

static void show_contention(Contention &c, const std::string &name) {
  std::vector<Said> said;
  for (const Event *e : all(c.t, is_thread))
    said.push_back({e, "thread.clone", {{"tid", std::to_string(e->value)}, {"call", e->name}}});
  in_order(said);
  if (c.writes.calls)
    evidence("flood.writes", {{"writes", std::to_string(c.writes.calls)},
                              {"lines", std::to_string(c.t.out.lines.size())},
                              {"per", std::to_string(c.writes.bytes / c.writes.calls)}});
  c.unknown = futex_table(c.t, c.futexes, c.named);
  note(c.unknown == 0 ? name + ".futex" : "futex.unknown");
}

void stop_tally_racy() {
  title("tally_racy");
  Outcome o = flood({.argv = {program("synchronisation", "tally_racy")}});
  show_tally(tally(o), o);
  if (!hood("tally_racy"))
    return;
  Contention c = contention("tally_racy", "");
  show_contention(c, "tally_racy");
}

void stop_tally_locked() {
  title("tally_locked");
  Outcome o = flood({.argv = {program("synchronisation", "tally_locked")}});
  show_tally(tally(o), o);
  if (!hood("tally_locked"))
    return;
  Contention c = contention("tally_locked", "lock");
  show_contention(c, "tally_locked");
}

// What a run of stock_gate established.
struct StockGate {
  int top = 0;  // the largest unsold stock its lines showed
};

void stop_stock_gate() {
  title("stock_gate");
  StockGate f;
  Outcome o = flood({.argv = {program("synchronisation", "stock_gate")}});
  int made = 0, sold = 0;
  size_t every = o.lines.size() / 8 + 1;
  for (size_t i = 0; i < o.lines.size(); ++i) {
    const std::string &line = o.lines[i].text;
    (line.starts_with("products") ? made : sold) = atoi(line.c_str() + line.find('=') + 2);
    f.top = std::max(f.top, made - sold);
    if ((i + 1) % every == 0) {
      char row[64];
      snprintf(row, sizeof row, "   line %8zu: unsold %4d ", i + 1, made - sold);
      out(row + std::string(std::max(0, (made - sold) / 40), '#'));
    }
  }
  evidence("stock_gate.result", {{"top", std::to_string(f.top)}});
  if (!hood("stock_gate"))
    return;
  Contention c = contention("stock_gate", "sem");
  show_contention(c, "stock_gate");
}

}  // namespace tour
