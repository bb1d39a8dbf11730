// Synchronisation: tally_racy and tally_locked (a shared counter without and with a
// mutex) and stock_gate (a producer and a seller and a semaphore).
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "cpus.hpp"
#include "engine.hpp"
#include "stops.hpp"

namespace tour {

static Vars tally_facts(const Tally &f) {
  return {{"lines", std::to_string(f.lines)}, {"breaks", std::to_string(f.breaks)}};
}

static double per_million(const Tally &f) {
  return f.lines ? 1e6 * f.breaks / f.lines : 0;
}

// What a break proves, said once a tour, under the first run that showed one.
static void explain_breaks(const Tally &f) {
  static bool explained = false;
  if (f.breaks && !explained)
    evidence("tally.meaning");
  explained = explained || f.breaks;
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
  explain_breaks(f);
}

// The same program pinned to one CPU, against the free run. Breaks per million lines
// differ between the two by more than either way from run to run on two CPUs, since free
// the threads mostly take stdout's lock in turn as well; that breaks still come, pinned,
// holds on every machine.
static void pinned(const Tally &free) {
  int cpu = 0, n = cpus(&cpu);
  gap();
  evidence("tally.experiment", {{"cpu", std::to_string(cpu)}});
  if (n < 2)
    evidence("tally.one_cpu");
  Asked a = ask("tally_racy.pinned");
  Outcome o = watch({.argv = {program("synchronisation", "tally_racy")},
                     .before_exec = pinned_to(cpu),
                     .deadline = 1});
  Tally p = tally(o.lines);
  Vars compared = {
      {"pinned", fixed(per_million(p), 1)},         {"free", fixed(per_million(free), 1)},
      {"pinned_breaks", std::to_string(p.breaks)},  {"pinned_lines", std::to_string(p.lines)},
      {"free_breaks", std::to_string(free.breaks)}, {"free_lines", std::to_string(free.lines)},
      {"cpus", std::to_string(n)}};
  evidence("tally.compare", compared);
  if (p.breaks)
    evidence("tally.pinned_breaks");
  explain_breaks(p);
  judge(a, p.lines == 0 ? "" : p.breaks ? "b" : "a", compared);
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
              traced(clone_calls) + "," + traced(futex_calls) + ",write,exit,exit_group");
  c.futexes = count_futexes(c.t);
  c.writes = count_writes(c.t);
  for (const Event *e : all(c.t, is_thread))
    c.threads.push_back(e->value);
  return c;
}

// The futex words of a traced run, each named by what it is, with its waits, the waits
// that slept and its wakes; returns how many words it could not name.
static int futex_sleeps(const Contention &c) {
  std::map<uintptr_t, std::string> joins;
  for (const Event *e : all(c.t, is_thread))
    joins[strtoul(child_tid(*e).c_str(), nullptr, 16)] =
        line("futex.join", {{"tid", std::to_string(e->value)}});
  evidence(c.futexes.words.empty() ? "futex.none" : "futex.traced");
  if (!c.futexes.words.empty())
    out("   " + line("futex.columns"));
  int unknown = 0;
  for (const auto &[word, n] : c.futexes.words) {
    unknown += !c.named.count(word) && !joins.count(word);
    std::string what = c.named.count(word) ? c.named.at(word)
                       : joins.count(word) ? joins[word]
                                           : line("futex.other");
    char row[256];
    char address[32];
    snprintf(address, sizeof address, "0x%lx", static_cast<unsigned long>(word));
    snprintf(row, sizeof row, "   %-16s %6d %6d %6d  %s", address, n.waits, n.sleeps, n.wakes,
             what.c_str());
    out(row);
  }
  return unknown;
}

static void show_contention(Contention &c, const std::string &name) {
  in_order(clones(c.t));
  if (c.writes.calls)
    show_writes(c.writes, c.t.out.lines.size());
  c.unknown = futex_sleeps(c);
  note(c.unknown == 0 ? name + ".futex" : "futex.unknown");
}

void stop_tally_racy() {
  title("tally_racy");
  Asked breaks = ask("tally_racy.breaks");
  Outcome o = flood({.argv = {program("synchronisation", "tally_racy")}});
  Tally f = tally(o.lines);
  show_tally(f, o);
  if (hood("tally_racy")) {
    Contention c = contention("tally_racy", "");
    show_contention(c, "tally_racy");
  }
  judge(breaks, f.breaks ? "a" : "b", tally_facts(f));
  pinned(f);
}

void stop_tally_locked() {
  title("tally_locked");
  Asked breaks = ask("tally_locked.breaks"), waits = ask("tally_locked.waits");
  Outcome o = flood({.argv = {program("synchronisation", "tally_locked")}});
  Tally f = tally(o.lines);
  show_tally(f, o);
  judge(breaks, f.breaks ? "a" : "b", tally_facts(f));
  if (!hood("tally_locked"))
    return judge_unseen(waits, line("predict.no_trace"));
  Contention c = contention("tally_locked", "lock");
  show_contention(c, "tally_locked");
  if (!c.own)
    return judge_unseen(waits, line("futex.not_found", {{"name", "lock"}}));
  const Futexes::Word &lock = c.futexes.words[c.own];
  judge(waits, lock.sleeps ? "a" : "b",
        {{"sleeps", std::to_string(lock.sleeps)}, {"waits", std::to_string(lock.waits)}});
}

// stock_gate.cpp's digits: the most items its producer lets stand unsold.
const int stock_bound = 1168;

// What a run of stock_gate established: its lines, its threads' CPU time on the CPUs it
// had, and in the traced twin who waited on which futex word.
struct StockGate {
  int top = 0;  // the largest unsold stock its lines showed
  pid_t pid = 0;
  int cpus = 0;
  double seconds = 0;                         // when the CPU times were read
  std::vector<std::pair<pid_t, double>> cpu;  // main, the seller, the producer
  bool reached() const {  // a sale's line can lag its sale by one
    return top >= stock_bound;
  }
  // The producer's CPU time against the seller's: a producer that only printed and
  // posted would use about what the seller uses to take and print the same items. To a
  // tenth, as the words show it.
  double ratio() const {
    return cpu.size() == 3 && cpu[1].second > 0 ? tenths(cpu[2].second / cpu[1].second) : 0;
  }
  bool spun() const {
    return reached() && ratio() >= 1.5;
  }
  pid_t seller = 0, producer = 0;  // in the traced twin
  int seller_sem = 0, producer_sem = 0, producer_stdout = 0;  // sleeps
};

// The stock as the lines showed it, a row every eighth of the run, and the largest.
static void stock(StockGate &f, const Outcome &o) {
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
  evidence("stock_gate.result", {{"top", std::to_string(f.top)},
                                 {"bound", std::to_string(stock_bound)}});
}

static void cpu_shares(const StockGate &f) {
  double share = f.seconds > 0 ? 100 * f.cpu[2].second / f.seconds : 0;
  Vars vars = {{"seconds", fixed(f.seconds, 2)},
               {"pid", std::to_string(f.pid)},
               {"cpus", std::to_string(f.cpus)},
               {"seller", std::to_string(f.cpu[1].first)},
               {"seller_cpu", fixed(f.cpu[1].second, 2)},
               {"producer", std::to_string(f.cpu[2].first)},
               {"producer_cpu", fixed(f.cpu[2].second, 2)},
               {"share", fixed(share, 0)},
               {"ratio", fixed(f.ratio(), 1)}};
  evidence("stock_gate.cpu", vars);
  evidence(f.spun()       ? "stock_gate.spun"
           : f.reached() ? "stock_gate.not_spun"
                         : "stock_gate.not_full",
           vars);
  if (f.spun())
    evidence(f.cpus < 2 ? "stock_gate.one_cpu" : "stock_gate.cpus", vars);
}

void stop_stock_gate() {
  title("stock_gate");
  Asked ahead = ask("stock_gate.ahead"), producer = ask("stock_gate.producer");
  StockGate f;
  f.cpus = cpus();
  auto start = std::chrono::steady_clock::now();
  auto since = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  // Read every 20 ms while it runs, on a thread of its own rather than as lines arrive: on
  // a busy machine the tour may read the pipe only once the run is stopped and its threads
  // are gone. The last reading is from just before the stop.
  std::atomic<bool> running{false};
  std::thread reader;
  Outcome o = flood({.argv = {program("synchronisation", "stock_gate")},
                     .started =
                         [&](pid_t pid) {
                           f.pid = pid;
                           start = std::chrono::steady_clock::now();
                           running = true;
                           reader = std::thread([&f, &running, since, pid] {
                             for (; running; std::this_thread::sleep_for(
                                      std::chrono::milliseconds(20)))
                               if (auto now = cpu_times(pid); now.size() == 3)
                                 f.cpu = now, f.seconds = since();
                           });
                         }});
  running = false;
  if (reader.joinable())
    reader.join();
  stock(f, o);
  if (f.cpu.size() == 3)
    cpu_shares(f);
  evidence("stock_gate.second", {{"bound", std::to_string(stock_bound)}});
  Vars top = {{"top", std::to_string(f.top)}, {"bound", std::to_string(stock_bound)}};
  if (!f.reached())
    judge_unseen(ahead, line("stock_gate.bound_unseen", top));
  else  // the bound itself; a stock over it by more than a lagging line breaks the program
    judge(ahead, f.top > stock_bound + 1 ? f.top : stock_bound, top);
  Vars spin = {{"top", std::to_string(f.top)},
               {"bound", std::to_string(stock_bound)},
               {"ratio", fixed(f.ratio(), 1)}};
  if (hood("stock_gate")) {
    Contention c = contention("stock_gate", "sem");
    show_contention(c, "stock_gate");
    if (c.threads.size() == 2 && c.own) {
      f.seller = c.threads[0];  // made first
      f.producer = c.threads[1];
      f.seller_sem = c.futexes.sleeps_on(c.own, f.seller);
      f.producer_sem = c.futexes.sleeps_on(c.own, f.producer);
      f.producer_stdout = c.futexes.sleeps_on(c.stdout_word, f.producer);
      Vars slept = {{"seller", std::to_string(f.seller)},
                    {"producer", std::to_string(f.producer)},
                    {"seller_sem", std::to_string(f.seller_sem)},
                    {"producer_sem", std::to_string(f.producer_sem)},
                    {"producer_stdout", std::to_string(f.producer_stdout)}};
      evidence("stock_gate.waits", slept);
      evidence(f.producer_sem == 0 ? "stock_gate.never" : "stock_gate.producer_waited", slept);
      if (f.producer_sem && !f.spun())  // asleep on the semaphore, as the run shows it
        return judge(producer, "a", slept);
    }
  }
  if (f.cpu.size() != 3)
    return judge_unseen(producer, line("stock_gate.no_cpu"));
  if (!f.spun())
    return judge_unseen(producer,
                        line(f.reached() ? "stock_gate.spin_unseen" : "stock_gate.bound_unseen",
                             spin));
  judge(producer, "b", spin);
}

}  // namespace tour
