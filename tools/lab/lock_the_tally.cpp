// lock_the_tally: tally_racy's passes made whole with a mutex, judged by the values it
// prints on a pipe, by whose lines a traced run on a terminal shows and which futex word
// each thread slept on while the other printed, and by ThreadSanitizer.
#include <algorithm>
#include <map>

#include "synchronisation.hpp"

namespace lab {

namespace {

// The most lines a flood run keeps: a few seconds of a tally on a pipe.
const size_t flood = 4'000'000;

// The first line (from 1) that is not "Thread A: N" or "Thread B: N", or 0.
size_t other_form(const std::vector<Line> &lines) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string &s = lines[i].text;
    bool form = s.size() > 10 && s.starts_with("Thread ") && (s[7] == 'A' || s[7] == 'B') &&
                s.compare(8, 2, ": ") == 0;
    size_t digits = s.find_first_not_of('-', 10);
    form = form && digits < s.size() && s.find_first_not_of("0123456789", digits) == s.npos &&
           digits <= 11;
    if (!form)
      return i + 1;
  }
  return 0;
}

// What a traced run on a terminal showed of the two threads' turns: on a terminal each
// line is one write, made by the thread that printed it.
struct Turns {
  std::string why_not;        // why it could not be traced, or ""
  std::vector<pid_t> workers;  // the first two threads made
  std::map<pid_t, long> lines;
  long changes = 0;  // how often the writer of a line was not the writer of the line before
  // A word of the program's own that each worker slept on while the other was in the write
  // of a line: a lock held across the print, taken by both.
  uintptr_t shared = 0;
  std::map<pid_t, int> during;  // on `shared`
  int own = 0, on_stdout = 0;   // sleeps of the workers on words of their own, on stdout's lock
  uintptr_t own_word = 0;       // the own word slept on most
  std::string shared_where, own_where;
  size_t printed = 0;  // the traced run's lines, over
  double seconds = 0;  // this long
};

// A traced run that printed fewer lines than this ran on a machine too busy to judge a
// lock by its sleeps: under strace each wait for a lock stops the waiter before the kernel
// sees it, and on a busy CPU the holder lets go before the waiter's call gets there, so
// the wait comes back at once instead of sleeping. Untraced and unhurried, a traced
// second prints tens of thousands.
const size_t busy_lines = 2000;

Turns turns(const Learner &l) {
  Turns u;
  if (u.why_not = cannot_trace(); !u.why_not.empty())
    return u;
  Waits w;
  // A second and a few thousand lines, for at most three seconds: a busy machine's slow
  // run gets more of its lines, and with them more chances to be seen waiting.
  auto enough = [](const std::vector<Line> &lines) {
    return lines.size() >= 3000 && lines.back().at - lines.front().at >= 1;
  };
  traced_waits(w, l,
               {.argv = {l.programs[0]},
                .tty = true,
                .deadline = 3,
                .stop_when = enough,
                .max_lines = 400'000},
               "write");
  const std::vector<Line> &printed = w.t.out.lines;
  u.printed = printed.size();
  u.seconds = printed.empty() ? 0 : printed.back().at - printed.front().at;
  u.workers.assign(w.threads.begin(), w.threads.begin() + std::min<size_t>(2, w.threads.size()));
  std::map<pid_t, std::vector<std::pair<double, double>>> writing;
  pid_t last = 0;
  for (const Said &s : watcher::said(w.t)) {
    u.lines[s.tid] += std::count(s.text.begin(), s.text.end(), '\n');
    u.changes += last && s.tid != last;
    last = s.tid;
  }
  for (const Event *e : all(w.t, [](const Event &e) { return e.name == "write" && e.arg(0) == "1"; }))
    writing[e->tid].push_back({e->at, e->done});
  // Whether `tid` was inside the write of a line at `at`.
  auto in_write = [&](pid_t tid, double at) {
    const auto &calls = writing[tid];
    auto next = std::upper_bound(calls.begin(), calls.end(), std::pair{at, 1e300});
    return next != calls.begin() && std::prev(next)->second >= at;
  };
  std::map<uintptr_t, std::map<pid_t, int>> during;
  std::map<uintptr_t, int> asleep;
  for (const Event *e : all(w.t, [](const Event &e) { return slept(e); })) {
    uintptr_t word = futex_word(*e);
    bool worker = std::find(u.workers.begin(), u.workers.end(), e->tid) != u.workers.end();
    if (!worker)
      continue;
    u.on_stdout += word == w.stdout_word;
    if (!w.mine(word))
      continue;
    u.own++, asleep[word]++;
    for (pid_t other : u.workers)
      if (other != e->tid && in_write(other, e->at))
        during[word][e->tid]++;
  }
  for (const auto &[word, n] : asleep)
    if (!u.own_word || n > asleep[u.own_word])
      u.own_word = word;
  for (const auto &[word, by] : during)
    if (u.workers.size() == 2 && by.count(u.workers[0]) && by.count(u.workers[1]) &&
        (!u.shared || by.at(u.workers[0]) + by.at(u.workers[1]) >
                          u.during[u.workers[0]] + u.during[u.workers[1]]))
      u.shared = word, u.during = by;
  u.shared_where = u.shared ? w.where(u.shared) : "";
  u.own_where = u.own_word ? w.where(u.own_word) : "";
  return u;
}

bool took_turns(const Turns &u) {
  return u.workers.size() == 2 && u.lines.count(u.workers[0]) && u.lines.count(u.workers[1]) &&
         u.lines.at(u.workers[0]) > 0 && u.lines.at(u.workers[1]) > 0 && u.changes >= 2;
}

// Judged only when the run printed a second or more of lines: fewer prove nothing.
Check sequence(const Outcome &o, const Tally &t, size_t form, const Turns &u,
               const std::string &name, bool whole) {
  double seconds = o.lines.empty() ? 0 : o.lines.back().at - o.lines.front().at;
  Vars facts = {{"lines", std::to_string(t.lines)},   {"seconds", fixed(seconds, 1)},
                {"breaks", std::to_string(t.breaks)}, {"high", std::to_string(t.high)},
                {"top", std::to_string(t.top)},       {"ending", ending(o)}};
  bool enough = (seconds >= 1 || t.lines >= flood) && t.lines >= 1000;
  if (form) {
    facts.insert({{"line", std::to_string(form)}, {"text", o.lines[form - 1].text}});
    facts["why"] = words::line("lock_the_tally.form", facts);
    return whole ? check(name, false, facts) : unjudged(name, facts["why"]);
  }
  if (t.breaks && whole) {
    facts["line"] = std::to_string(t.first + 1);
    facts["before"] = o.lines[t.first - 1].text;
    facts["at"] = o.lines[t.first].text;
    facts["where"] = u.shared_where;
    facts["meaning"] = words::line(!u.why_not.empty() ? "lock_the_tally.sequence.untraced"
                                   : u.shared         ? "lock_the_tally.sequence.partial"
                                                      : "lock_the_tally.sequence.unshared",
                                   facts);
  }
  facts["why"] = words::line(!enough ? "lock_the_tally.short" : name + ".why", facts);
  return check(name, enough && (whole ? t.breaks == 0 : t.high == 0), facts);
}

Check tally_lock(const Turns &u) {
  const std::string name = "lock_the_tally.lock";
  if (!u.why_not.empty())
    return unjudged(name, u.why_not);
  auto lines_of = [&](size_t i) {
    return i < u.workers.size() && u.lines.count(u.workers[i]) ? u.lines.at(u.workers[i]) : 0;
  };
  auto during_of = [&](size_t i) {
    return i < u.workers.size() && u.during.count(u.workers[i]) ? u.during.at(u.workers[i]) : 0;
  };
  Vars facts = {{"threads", std::to_string(u.workers.size())},
                {"lines_a", std::to_string(lines_of(0))},
                {"lines_b", std::to_string(lines_of(1))},
                {"changes", std::to_string(u.changes)},
                {"where", u.shared_where},
                {"during_a", std::to_string(during_of(0))},
                {"during_b", std::to_string(during_of(1))},
                {"own", std::to_string(u.own)},
                {"own_where", u.own_where},
                {"stdout", std::to_string(u.on_stdout)},
                {"printed", std::to_string(u.printed)},
                {"seconds", fixed(u.seconds, 1)}};
  if (u.workers.size() == 2) {
    bool a = lines_of(0) >= lines_of(1);
    facts.insert({{"writer", std::to_string(u.workers[a ? 0 : 1])},
                  {"idle", std::to_string(u.workers[a ? 1 : 0])},
                  {"lines", std::to_string(lines_of(a ? 0 : 1))}});
  }
  bool turns = took_turns(u);
  // Both threads printed, neither slept on a word of its own, and the run was too slow to
  // expect it: the run cannot tell a lock never waited for from a lock not there.
  if (turns && !u.shared && !u.own && u.printed < busy_lines)
    return unjudged(name, words::line("lock_the_tally.lock.busy", facts));
  std::string why = u.workers.size() != 2       ? "lock_the_tally.lock.threads"
                    : !turns && u.changes < 2 ? "lock_the_tally.lock.one_thread"
                                              : "lock_the_tally.lock.unshared";
  facts["meaning"] = words::line(u.own         ? "lock_the_tally.lock.not_across"
                                 : u.on_stdout ? "lock_the_tally.lock.stdout_only"
                                               : "lock_the_tally.lock.never",
                                 facts);
  facts["why"] = words::line(why, facts);
  return check(name, turns && u.shared, facts);
}

// ThreadSanitizer proves one thing only: no two threads touched one variable with nothing
// ordering them, in the accesses of the run it watched. Relaxed atomics pass it while
// their passes still overlap.
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

}  // namespace

std::vector<Check> judge_tally(const Learner &l) {
  // A second and a little of lines, counted from the first: a slow start costs no lines.
  auto enough = [](const std::vector<Line> &lines) {
    return !lines.empty() && lines.back().at - lines.front().at >= 1.2;
  };
  Outcome o = watch(limited(
      l, {.argv = {l.programs[0]}, .deadline = 4, .stop_when = enough, .max_lines = flood}));
  Tally t = tally(o.lines);
  size_t form = other_form(o.lines);
  Turns u = turns(l);
  return {sequence(o, t, form, u, "lock_the_tally.sequence", true),
          sequence(o, t, form, u, "lock_the_tally.twenty", false), tally_lock(u), tally_races(l)};
}

}  // namespace lab
