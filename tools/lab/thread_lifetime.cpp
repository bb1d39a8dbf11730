// The thread lifetime lab: join_the_workers, from leader_awaits. The learner's main thread
// creates both workers before it joins either, so that their sleeps overlap, and prints
// the value each hands back through pthread_exit: its kernel thread id, which clone3
// returned to the C library but pthread_create does not hand main. The trace shows the creations
// (clone) before main's first join wait (a futex wait on a worker's id word), when each worker's
// sleep began and what it asked for, and each thread's own writes on a terminal.
#include <algorithm>
#include <cstdlib>

#include "lab.hpp"

namespace lab {

namespace {

struct Worker {
  pid_t tid = 0;
  uintptr_t word = 0;  // its id word, which the kernel clears when it ends
  double created = 0;
  double slept = 0;  // what its sleeps asked for, together
  double asleep = -1;     // when its first sleep began
  double woke = 0;        // when its last sleep was due to end: its start and what it asked
};

bool sleeping(const Event &e) {
  return e.name == "nanosleep" || e.name == "clock_nanosleep" || e.name == "clock_nanosleep_time64";
}

// The time a sleep asked for, "{tv_sec=7, tv_nsec=0}", as the program itself set it: the
// trace's clock cannot say when a call that blocked alone returned.
double asked(const Event &e) {
  const std::string &request = e.name == "nanosleep" ? e.arg(0) : e.arg(2);
  size_t sec = request.find("tv_sec="), nsec = request.find("tv_nsec=");
  if (sec == std::string::npos || nsec == std::string::npos)
    return 0;
  return atof(request.c_str() + sec + 7) + atof(request.c_str() + nsec + 8) / 1e9;
}

Check created_first(const std::vector<Worker> &workers, const Traced &t) {
  const std::string name = "join_the_workers.created_first";
  const Event *join = find(t, [&](const Event &e) {
    return e.tid == t.pid && is_futex_wait(e) &&
           std::any_of(workers.begin(), workers.end(),
                       [&](const Worker &w) { return futex_word(e) == w.word; });
  });
  Vars facts = {{"count", std::to_string(workers.size())}};
  if (workers.size() < 2)
    return check(name, false, {{"what", words::line("join_the_workers.too_few", facts)}});
  facts["first"] = std::to_string(workers[0].tid);
  facts["second"] = std::to_string(workers[1].tid);
  facts["created_first"] = fixed(workers[0].created, 3);
  facts["created_second"] = fixed(workers[1].created, 3);
  if (!join)
    return check(name, false, {{"what", words::line("join_the_workers.no_join", facts)}});
  auto joined = std::find_if(workers.begin(), workers.end(),
                             [&](const Worker &w) { return futex_word(*join) == w.word; });
  facts["joined"] = std::to_string(joined->tid);
  facts["join_at"] = fixed(join->at, 3);
  facts["call"] = shorten_call(join->text, 90);
  bool passed = workers[1].created < join->at;
  if (!passed)
    facts["what"] = words::line("join_the_workers.one_by_one", facts);
  return check(name, passed, facts);
}

// One worker's time against two: from the first sleep's start to the last one's due end
// takes about one worker's sleep when the sleeps overlap, and about their sum when they do
// not. The midpoint between the two tells them apart, whatever the program's sleeps are.
// Only the calls' starts are read: a traced program that is short of a CPU can take
// seconds to end after its sleeps (each call it makes waits for the tracer), which says
// nothing of whether the workers slept at once.
Check overlapped(const std::vector<Worker> &workers, const Traced &t) {
  const std::string name = "join_the_workers.one_worker_time";
  double longest = 0, sum = 0, first = -1, last = 0;
  std::vector<std::string> sleeps;
  for (const Worker &w : workers) {
    longest = std::max(longest, w.slept);
    sum += w.slept;
    sleeps.push_back(fixed(w.slept, 2) + " s");
    if (w.asleep >= 0) {
      first = first < 0 ? w.asleep : std::min(first, w.asleep);
      last = std::max(last, w.woke);
    }
  }
  Vars facts = {{"sleeps", joined(sleeps)}, {"one", fixed(longest, 2)}, {"two", fixed(sum, 2)}};
  if (workers.size() < 2 || longest <= 0)
    return check(name, false, {{"what", words::line("join_the_workers.no_sleeps", facts)}});
  double took = last - first;
  facts["took"] = fixed(took, 2);
  facts["limit"] = fixed((longest + sum) / 2, 2);
  bool passed = !t.out.interrupted && took < (longest + sum) / 2;
  if (!passed)
    facts["what"] = words::line(
        t.out.interrupted ? "join_the_workers.unended" : "join_the_workers.too_long", facts);
  return check(name, passed, facts);
}

// A write's lines, each whole line of it.
std::vector<std::string> lines_in(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  return lines;
}

// "main printed" needs a write by main of a line main formatted. On the lab's terminal
// stdio writes each line as it is printed, by the thread that prints it; a write that
// carries several lines (stdout given a buffer of its own) may hold lines that other
// threads printed, written out by main as the process ended: it shows nothing of who
// printed them.
Check returned(const std::vector<Worker> &workers, const Traced &t) {
  const std::string name = "join_the_workers.returned";
  if (workers.size() < 2)
    return check(name, false,
                 {{"what", words::line("join_the_workers.too_few",
                                       {{"count", std::to_string(workers.size())}})}});
  const Event *join = find(t, [&](const Event &e) { return e.tid == t.pid && is_futex_wait(e); });
  std::vector<std::string> found, wrong, after_join, by_workers;
  const Said *bulk = nullptr;  // a write of main's, holding a worker's id among other lines
  std::vector<Said> writes = said(t);
  for (const Worker &w : workers) {
    int times = 0;
    for (const Said &s : writes)
      for (const std::string &line : lines_with(s.text, w.tid)) {
        if (s.tid != t.pid) {
          by_workers.push_back(words::line("join_the_workers.wrote",
                                           {{"tid", std::to_string(s.tid)}, {"line", line}}));
          continue;
        }
        times++;
        found.push_back("\"" + line + "\"");
        bulk = lines_in(s.text).size() > 1 ? &s : bulk;
      }
    if (times != 1)
      wrong.push_back(
          words::line("join_the_workers.value_times",
                      {{"tid", std::to_string(w.tid)}, {"times", std::to_string(times)}}));
  }
  for (const Said &s : writes)
    if (s.tid == t.pid && (!join || s.at >= join->at))
      for (const std::string &line : lines_in(s.text))
        after_join.push_back("\"" + line + "\"");
  Vars facts = {{"lines", joined(found)}};
  if (bulk) {
    facts["count"] = std::to_string(lines_in(bulk->text).size());
    facts["at"] = fixed(bulk->at, 3);
    return unjudged(name, words::line("join_the_workers.buffered", facts));
  }
  if (!wrong.empty()) {
    Vars said = {{"wrong", joined(wrong)},
                 {"printed", after_join.empty() ? words::line("join_the_workers.printed_nothing")
                                                : joined(after_join)}};
    said["itself"] = by_workers.empty() ? ""
                                        : " " + words::line("join_the_workers.workers_wrote",
                                                            {{"lines", joined(by_workers)}});
    facts["what"] = words::line("join_the_workers.values_wrong", said);
  }
  return check(name, wrong.empty(), facts);
}

std::vector<Check> judge(const Learner &l) {
  std::string why = cannot_trace();
  if (!why.empty())
    return {unjudged("join_the_workers.created_first", why),
            unjudged("join_the_workers.one_worker_time", why),
            unjudged("join_the_workers.returned", why)};
  // On a terminal, so that each thread's line is written by that thread as it prints.
  Traced t = trace(limited(l, {.argv = {l.programs[0]}, .tty = true, .deadline = 16}),
                   traced(clone_calls) + "," + traced(futex_calls) +
                       ",write,?nanosleep,?clock_nanosleep,?clock_nanosleep_time64");
  std::vector<Worker> workers;
  for (const Event *e : all(t, [&](const Event &e) { return e.tid == t.pid && is_thread(e); })) {
    Worker w{static_cast<pid_t>(e->value), strtoul(child_tid(*e).c_str(), nullptr, 16), e->at};
    for (const Event *s : all(t, [&](const Event &s) { return s.tid == w.tid && sleeping(s); })) {
      w.slept += asked(*s);
      w.asleep = w.asleep < 0 ? s->at : w.asleep;
      w.woke = std::max(w.woke, s->at + asked(*s));
    }
    workers.push_back(w);
  }
  return {created_first(workers, t), overlapped(workers, t), returned(workers, t)};
}

}  // namespace

const Lab join_the_workers = {"join_the_workers", "thread_lifetime", {"leader_awaits.cpp"}, 17,
                              false, judge, {"created_first", "one_worker_time", "returned"}};

}  // namespace lab
