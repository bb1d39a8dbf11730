// The synchronisation labs. lock_the_tally: tally_racy's passes made whole with a mutex,
// judged by the values it prints, by which futex word its threads wait on, and by
// ThreadSanitizer. sleeping_producer: stock_gate's producer held back by a semaphore of
// free places, judged by the lines it prints, the word its producer sleeps on, and the
// CPU time its threads use.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "lab.hpp"

namespace lab {

namespace {

std::string executable(const Learner &l) {
  std::error_code unknown;
  std::filesystem::path exe = std::filesystem::weakly_canonical(l.programs[0], unknown);
  return unknown ? l.programs[0] : exe.string();
}

// How a run that should have gone on until stopped ended.
std::string ending(const Outcome &o) {
  if (o.interrupted)
    return words::line("synchronisation.stopped");
  if (o.signal)
    return words::line("synchronisation.signal", {{"signal", std::to_string(o.signal)}});
  return words::line("synchronisation.exited", {{"status", std::to_string(o.status)}});
}

// A traced run of the learner's program with its futex words named: the program's own
// global `own` (if it has one), stdout's lock in the C library, and the words the kernel
// clears as each thread ends (what a join waits on). The maps are read once lines come,
// when the program's heap exists.
struct Waits {
  Traced t;
  Futexes futexes;
  std::vector<Mapping> maps;
  std::vector<pid_t> threads;  // in the order they were made
  std::vector<uintptr_t> ends;
  uintptr_t own = 0, stdout_word = 0;
  std::string exe;

  // A word of the program's own data that is neither stdout's lock nor a thread's end.
  bool mine(uintptr_t word) const {
    return word != stdout_word && std::find(ends.begin(), ends.end(), word) == ends.end() &&
           own_data(maps, exe, word);
  }
};

// `enough`, if given, may end the run before its deadline.
Waits traced_waits(const Learner &l, const std::string &own, double seconds,
                   const std::function<bool(const std::vector<Line> &)> &enough = {}) {
  Waits w;
  w.exe = executable(l);
  pid_t pid = 0;
  w.t = trace(limited(l, {.argv = {l.programs[0]},
                          .deadline = seconds,
                          .stop_when =
                              [&](auto &lines) {
                                if (w.maps.empty() && pid)
                                  w.maps = maps(pid);
                                return enough && enough(lines);
                              },
                          .started =
                              [&](pid_t started) {
                                pid = started;
                                w.stdout_word = stdout_lock(pid);
                                w.own = own.empty() ? 0 : symbol_address(pid, w.exe, own);
                              }}),
              traced(clone_calls) + "," + traced(futex_calls));
  w.futexes = count_futexes(w.t);
  for (const Event *e : all(w.t, is_thread)) {
    w.threads.push_back(e->value);
    w.ends.push_back(strtoul(child_tid(*e).c_str(), nullptr, 16));
  }
  return w;
}

// ---- lock_the_tally --------------------------------------------------------------------

// The most lines a flood run keeps: a few seconds of a tally on a pipe.
const size_t flood = 4'000'000;

// Judged only when the run printed a second or more of lines: fewer prove nothing.
Check sequence(const Outcome &o, const Tally &t, const std::string &name, bool whole) {
  double seconds = o.lines.empty() ? 0 : o.lines.back().at - o.lines.front().at;
  Vars facts = {{"lines", std::to_string(t.lines)},   {"seconds", fixed(seconds, 1)},
                {"breaks", std::to_string(t.breaks)}, {"high", std::to_string(t.high)},
                {"top", std::to_string(t.top)},       {"ending", ending(o)}};
  bool enough = (seconds >= 1 || t.lines >= flood) && t.lines >= 1000;
  if (t.breaks && whole) {
    facts["line"] = std::to_string(t.first + 1);
    facts["before"] = o.lines[t.first - 1].text;
    facts["at"] = o.lines[t.first].text;
  }
  facts["why"] = words::line(!enough ? "lock_the_tally.short" : name + ".why", facts);
  return check(name, enough && (whole ? t.breaks == 0 : t.high == 0), facts);
}

Check tally_lock(const Learner &l) {
  const std::string name = "lock_the_tally.lock";
  if (std::string why = cannot_trace(); !why.empty())
    return unjudged(name, why);
  Waits w = traced_waits(l, "lock", 1);
  int own = 0, slept = 0, on_stdout = 0;
  uintptr_t word = 0;
  for (pid_t tid : w.threads) {
    on_stdout += w.futexes.waits_on(w.stdout_word, tid);
    for (const auto &[key, n] : w.futexes.by_thread)
      if (key.second == tid && w.mine(key.first)) {
        own += n.waits;
        slept += n.sleeps;
        if (!word || key.first == w.own)
          word = key.first;
      }
  }
  Vars facts = {{"threads", std::to_string(w.threads.size())},
                {"waits", std::to_string(own)},
                {"sleeps", std::to_string(slept)},
                {"word", hex(word)},
                {"stdout", std::to_string(on_stdout)},
                {"stdout_word", hex(w.stdout_word)}};
  facts["what"] = words::line(word && word == w.own ? "lock_the_tally.lock.named"
                                                    : "lock_the_tally.lock.unnamed");
  facts["meaning"] =
      words::line(on_stdout ? "lock_the_tally.lock.stdout_only" : "lock_the_tally.lock.never");
  return check(name, own > 0, facts);
}

// ThreadSanitizer proves one thing only: no two threads touched one variable with nothing
// ordering them. Relaxed atomics pass it while their passes still overlap.
Check tally_races(const Learner &l) {
  const std::string name = "lock_the_tally.races";
  if (l.tsan.empty())
    return unjudged(name, l.tsan_why);
  Outcome o = watch(limited(l, {.argv = {l.tsan}, .deadline = 1.5, .max_lines = flood}));
  const std::string race = "WARNING: ThreadSanitizer: data race";
  size_t at = o.err.find(race);
  if (at == std::string::npos) {
    // A sanitizer that cannot run here says so on stderr and ends the program at once.
    if (!o.interrupted && o.lines.empty() && o.err.find("ThreadSanitizer") != std::string::npos) {
      std::string said = o.err.substr(o.err.find("ThreadSanitizer"));
      return unjudged(name, words::line("lock_the_tally.races.no_run",
                                        {{"said", said.substr(0, said.find('\n'))}}));
    }
    return check(name, true,
                 {{"lines", std::to_string(o.lines.size())}, {"seconds", fixed(o.end, 1)}});
  }
  // The report's next lines: the access ("Write of size 4 at ... by thread T2:"), then
  // where it was made ("#0 count(void*) tally.cpp:14").
  auto next = [&](size_t from) {
    size_t start = o.err.find_first_not_of(" \n", o.err.find('\n', from));
    return start == std::string::npos ? std::string()
                                      : o.err.substr(start, o.err.find('\n', start) - start);
  };
  std::string access = next(at), where = next(o.err.find(access, at) + 1);
  size_t races = 0;
  for (size_t from = 0; (from = o.err.find(race, from)) != std::string::npos; from += race.size())
    ++races;
  return check(name, false,
               {{"access", access}, {"where", where}, {"races", std::to_string(races)}});
}

std::vector<Check> judge_tally(const Learner &l) {
  // A second and a little of lines, counted from the first: a slow start costs no lines.
  auto enough = [](const std::vector<Line> &lines) {
    return !lines.empty() && lines.back().at - lines.front().at >= 1.2;
  };
  Outcome o = watch(limited(
      l, {.argv = {l.programs[0]}, .deadline = 4, .stop_when = enough, .max_lines = flood}));
  Tally t = tally(o.lines);
  return {sequence(o, t, "lock_the_tally.sequence", true),
          sequence(o, t, "lock_the_tally.twenty", false), tally_lock(l), tally_races(l)};
}

// ---- sleeping_producer -----------------------------------------------------------------

const int bound = 1168;  // the most items the task lets stand unsold

// What the lines of a stock run establish: the first line that breaks a rule, and the
// most items unsold that the lines show.
struct Stock {
  int made = 0, sold = 0, top = 0;
  size_t broken = 0;  // the line (from 1) of the first broken rule, or 0
  std::string rule;   // its words
};

// Counts one more line of a stock run, or returns the rule it breaks (and counts nothing).
std::string count_line(Stock &s, const std::string &text) {
  const std::string products = "products = ", sells = "sells = ";
  bool made = text.starts_with(products), sold = text.starts_with(sells);
  if (!made && !sold)
    return "sleeping_producer.invariants.other";
  int value = atoi(text.c_str() + (made ? products : sells).size());
  if (value != (made ? s.made : s.sold) + 1)
    return made ? "sleeping_producer.invariants.products" : "sleeping_producer.invariants.sells";
  if (sold && value > s.made)
    return "sleeping_producer.invariants.early";
  (made ? s.made : s.sold) = value;
  s.top = std::max(s.top, s.made - s.sold);
  return "";
}

Stock stock(const std::vector<Line> &lines) {
  Stock s;
  for (size_t i = 0; i < lines.size() && !s.broken; ++i)
    if (s.rule = count_line(s, lines[i].text); !s.rule.empty())
      s.broken = i + 1;
  return s;
}

// The producer's sleeps in futex on a word of the program's own data other than the
// seller's semaphore `sem`, in a traced run.
Check producer_sleeps(const Learner &l) {
  const std::string name = "sleeping_producer.sleeps";
  if (std::string why = cannot_trace(); !why.empty())
    return unjudged(name, why);
  // A producer waits only once the stock is full, which under strace (and on one CPU) may
  // take a while: the traced run goes on until the lines show a full stock and a thousand
  // lines more, for at most eight seconds.
  Stock seen;       // the traced run's lines so far; a line that breaks a rule is skipped
  size_t read = 0;  // how many of them are read: once full, up to the line where it filled
  auto full = [&](const std::vector<Line> &lines) {
    for (; read < lines.size() && seen.top < bound; ++read)
      count_line(seen, lines[read].text);
    return seen.top >= bound && lines.size() >= read + 1000;
  };
  Waits w = traced_waits(l, "sem", 8, full);
  Vars facts = {{"threads", std::to_string(w.threads.size())}};
  if (seen.top < bound)
    return unjudged(name, words::line("sleeping_producer.sleeps.never_full",
                                      {{"lines", std::to_string(w.t.out.lines.size())},
                                       {"bound", std::to_string(bound)}}));
  if (w.threads.size() != 2) {
    facts["why"] = words::line("sleeping_producer.threads", facts);
    return check(name, false, facts);
  }
  pid_t producer = w.threads[1];  // the second thread made, as in stock_gate
  auto on_sem = [&](uintptr_t word) { return w.own && word >= w.own && word < w.own + 32; };
  int slept = 0;
  uintptr_t word = 0;
  for (const auto &[key, n] : w.futexes.by_thread)
    if (key.second == producer && w.mine(key.first) && !on_sem(key.first) && n.sleeps) {
      slept += n.sleeps;
      word = word ? word : key.first;
    }
  facts.insert({{"producer", std::to_string(producer)},
                {"sleeps", std::to_string(slept)},
                {"word", hex(word)},
                {"on_sem", std::to_string(w.own ? w.futexes.sleeps_on(w.own, producer) : 0)},
                {"on_stdout", std::to_string(w.futexes.sleeps_on(w.stdout_word, producer))},
                {"all", std::to_string(w.futexes.sleeps_of(producer))}});
  facts["why"] = words::line("sleeping_producer.sleeps.why", facts);
  return check(name, slept > 0, facts);
}

// Both workers' CPU time, read while the program runs: the last reading before the stop.
Check cpu_shares(const std::vector<std::pair<pid_t, double>> &cpu, double seconds, const Stock &s,
                 size_t lines) {
  Vars facts = {{"threads", std::to_string(cpu.empty() ? 0 : cpu.size() - 1)}};
  if (cpu.size() != 3) {
    facts["why"] = words::line("sleeping_producer.threads", facts);
    return check("sleeping_producer.cpu", false, facts);
  }
  double seller = cpu[1].second, producer = cpu[2].second;
  facts.insert({{"seconds", fixed(seconds, 1)},
                {"producer", std::to_string(cpu[2].first)},
                {"seller", std::to_string(cpu[1].first)},
                {"producer_cpu", fixed(producer, 2)},
                {"seller_cpu", fixed(seller, 2)},
                {"ratio", fixed(seller > 0 ? producer / seller : 0, 1)}});
  facts["why"] = words::line("sleeping_producer.cpu.why", facts);
  // A producer that spins uses its CPU whole while the stock is full; one that sleeps uses
  // about what the seller does: the same print, and a wait and a post. Until the stock is
  // full it has no reason to wait, so a modest share proves nothing before then.
  bool modest = producer < 1.5 * seller + 0.05;
  if (modest && s.top < bound)
    return unjudged("sleeping_producer.cpu", words::line("sleeping_producer.cpu.never_full",
                                                         {{"lines", std::to_string(lines)},
                                                          {"top", std::to_string(s.top)},
                                                          {"bound", std::to_string(bound)}}));
  return check("sleeping_producer.cpu", modest, facts);
}

std::vector<Check> judge_stock(const Learner &l) {
  std::vector<std::pair<pid_t, double>> cpu;
  double read_at = 0;
  pid_t pid = 0;
  auto start = std::chrono::steady_clock::now();
  auto since = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  Outcome o = watch(limited(l, {.argv = {l.programs[0]},
                                .deadline = 1.5,
                                .stop_when =
                                    [&](auto &) {
                                      if (pid && since() - read_at >= 0.02)
                                        if (auto now = cpu_times(pid); now.size() == 3)
                                          cpu = now, read_at = since();
                                      return false;
                                    },
                                .started =
                                    [&](pid_t started) {
                                      pid = started;
                                      start = std::chrono::steady_clock::now();
                                    }}));
  Stock s = stock(o.lines);
  Vars facts = {{"lines", std::to_string(o.lines.size())},
                {"made", std::to_string(s.made)},
                {"sold", std::to_string(s.sold)},
                {"top", std::to_string(s.top)},
                {"bound", std::to_string(bound)},
                {"printed", std::to_string(bound + 1)},
                {"ending", ending(o)}};
  if (s.broken) {
    facts["line"] = std::to_string(s.broken);
    facts["text"] = o.lines[s.broken - 1].text;
  }
  // Past a full stock, or the seller's sales never gave the producer room again.
  facts["why"] = words::line(s.broken ? s.rule : "sleeping_producer.invariants.stuck", facts);
  return {check("sleeping_producer.invariants", !s.broken && s.made > bound, facts),
          check("sleeping_producer.bound", s.top <= bound + 1, facts), producer_sleeps(l),
          cpu_shares(cpu, read_at, s, o.lines.size())};
}

}  // namespace

const Lab lock_the_tally = {"lock_the_tally", "synchronisation", {"tally_racy.cpp"}, 10, true,
                            judge_tally, {"sequence", "twenty", "lock", "races"},
                            {"twenty", "races"}};
const Lab sleeping_producer = {"sleeping_producer", "synchronisation", {"stock_gate.cpp"}, 10,
                               false, judge_stock, {"invariants", "bound", "sleeps", "cpu"},
                               {"invariants", "bound"}};

}  // namespace lab
