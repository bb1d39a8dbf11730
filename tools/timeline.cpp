// A traced run as a page's section (see timeline.hpp).
#include "timeline.hpp"

#include <algorithm>
#include <cstdio>

#include "words.hpp"

namespace page {

using namespace watcher;
using words::Vars;

namespace {

bool made_process(const Event &e) {
  return (called(e, clone_calls) || e.name == "fork" || e.name == "vfork") && e.ok() && e.value > 0;
}

// A sleep by the clock, or its rest after a signal broke it: "restart_syscall(<...
// resuming interrupted clock_nanosleep ...>)".
bool sleeping(const Event &e) {
  return e.name == "nanosleep" || e.name == "clock_nanosleep" ||
         e.name == "clock_nanosleep_time64" ||
         (e.name == "restart_syscall" && e.text.find("nanosleep") != std::string::npos);
}

std::string hex(uintptr_t word) {
  char b[32];
  snprintf(b, sizeof b, "0x%lx", static_cast<unsigned long>(word));
  return b;
}

std::string id(pid_t tid) {
  return std::to_string(tid);
}

struct Rows {
  std::vector<Row> rows;
  Row *find(pid_t tid) {
    auto r = std::find_if(rows.begin(), rows.end(), [&](const Row &r) { return r.tid == tid; });
    return r == rows.end() ? nullptr : &*r;
  }
  void add(pid_t tid, pid_t process, const std::string &kind, double made) {
    if (!find(tid))
      rows.push_back({.tid = tid,
                      .process = process,
                      .label = words::line(kind, {{"tid", id(tid)}, {"process", id(process)}}),
                      .made = made});
  }
};

// How each row ended: its own exit or exit_group, another thread's exit_group, or the end
// strace saw ("+++ exited with 0 +++", "+++ killed by SIGINT +++"), whichever came first.
void ends(Rows &all, const Traced &t) {
  for (Row &row : all.rows)
    for (const Event &e : t.events) {
      if (e.at < row.made)
        continue;
      Row *by = all.find(e.tid);
      bool own = e.tid == row.tid && (e.name == "exit" || e.name == "exit_group");
      bool whole = e.name == "exit_group" && e.tid != row.tid && by && by->process == row.process;
      bool seen = e.tid == row.tid && e.name == "+++";
      if (!own && !whole && !seen)
        continue;
      row.ended = e.at;
      row.end = own     ? e.name + "(" + e.arg(0) + ")"
                : whole ? words::line("page.end.others", {{"tid", id(e.tid)}, {"call", e.name}})
                        : e.result;
      break;
    }
}

}  // namespace

Section timeline(const Traced &t, const Seen &seen) {
  Section s;
  for (const Event &e : t.events)
    s.end = std::max({s.end, e.at, e.done});
  Rows table;
  table.add(t.pid, t.pid, "page.row.main", 0);
  // The word the kernel clears as a thread ends; the C library gives a new thread the stack
  // of one that ended, and with it the same word.
  std::vector<std::pair<uintptr_t, pid_t>> end_words;
  for (const Event &e : t.events) {
    if (!made_process(e))
      continue;
    s.clones++;
    Row *parent = table.find(e.tid);
    pid_t process = parent ? parent->process : e.tid;
    if (is_thread(e)) {
      table.add(e.value, process, process == t.pid ? "page.row.thread" : "page.row.thread_of",
                e.at);
      end_words.push_back({strtoul(child_tid(e).c_str(), nullptr, 16), e.value});
    } else {
      table.add(e.value, e.value, "page.row.child", e.at);
    }
  }
  for (const Event &e : t.events)  // a thread whose making the trace missed
    if (!table.find(e.tid))
      table.add(e.tid, e.tid, "page.row.other", e.at);
  ends(table, t);
  // The thread whose end a call on `word` at `at` waits for: the last made before it.
  auto ender = [&](uintptr_t word, double at) -> Row * {
    Row *last = nullptr;
    for (const auto &[w, tid] : end_words)
      if (Row *row = table.find(tid);
          w == word && row->made <= at && (!last || row->made >= last->made))
        last = row;
    return last;
  };

  auto name = [&](uintptr_t word, double at) {
    auto named = seen.names.find(word);
    if (named != seen.names.end())
      return named->second;
    const Row *end = ender(word, at);
    return end ? words::line("page.word.end", {{"tid", id(end->tid)}}) : hex(word);
  };
  // The sleeps, by row; the futex sleeps also by word, ordered by when they returned.
  std::map<uintptr_t, std::vector<const Event *>> asleep_on;
  for (const Event &e : t.events) {
    Row *row = table.find(e.tid);
    double done = e.result.empty() && e.name != "+++" ? s.end : e.done;
    Span sp{e.at, done};
    Vars vars = {{"call", e.name}};
    if (slept(e)) {
      sp.state = State::futex;
      vars["word"] = name(futex_word(e), e.at);
      sp.what = words::line("page.sleep.futex", vars);
      asleep_on[futex_word(e)].push_back(&e);
    } else if (called(e, wait_calls) && done - e.at > 0.0002) {
      sp.state = State::wait;
      vars["result"] = e.result.empty() ? "?" : e.result;
      sp.what = words::line("page.sleep.wait", vars);
    } else if (sleeping(e)) {
      sp.state = State::sleep;
      sp.what = words::line("page.sleep.clock", vars);
    } else if (done - e.at >= 0.001 && e.name != "+++" && e.name != "---" && e.name != "execve") {
      sp.state = State::call;
      vars["text"] = shorten_call(e.text, 90);
      sp.what = words::line("page.sleep.call", vars);
    } else {
      continue;
    }
    row->spans.push_back(sp);
  }
  for (auto &[word, sleeps] : asleep_on)
    std::sort(sleeps.begin(), sleeps.end(),
              [](const Event *a, const Event *b) { return a->done < b->done; });

  // A wake woke the sleeper on its word that was asleep when it was made and came back
  // first after it; a wake that says it woke n threads woke the first n of them. strace
  // times each thread's stops as it gets to them, so a sleeper's return can be stamped a
  // few microseconds before the wake that ended it.
  const double skew = 50e-6;
  for (const Event *w : all(t, [](const Event &e) { return is_futex(e) && !is_futex_wait(e); })) {
    auto on = asleep_on.find(futex_word(*w));
    if (on == asleep_on.end() || w->value <= 0)
      continue;
    const auto &sleeps = on->second;
    auto next = std::lower_bound(sleeps.begin(), sleeps.end(), w->at,
                                 [&](const Event *e, double at) { return e->done < at - skew; });
    long woken = 0;
    for (int scanned = 0; next != sleeps.end() && scanned < 64 && woken < w->value;
         ++next, ++scanned)
      if ((*next)->tid != w->tid && (*next)->at <= w->at) {
        s.links.push_back(
            {Link::wake, w->tid, (*next)->tid, w->at, (*next)->done,
             words::line("page.link.wake.what", {{"waker", id(w->tid)},
                                                 {"sleeper", id((*next)->tid)},
                                                 {"word", name(futex_word(*w), w->at)}})});
        ++woken;
      }
  }
  // A join that slept on a thread's end word returned when that thread ended.
  for (const auto &[word, sleeps] : asleep_on)
    for (const Event *e : sleeps) {
      Row *thread = ender(word, e->at);
      // strace may see the end a moment after the join it let return
      if (thread && thread->tid != e->tid && thread->ended >= e->at)
        s.links.push_back({Link::join, thread->tid, e->tid, std::min(thread->ended, e->done),
                           e->done,
                           words::line("page.link.join.what",
                                       {{"waiter", id(e->tid)}, {"tid", id(thread->tid)}})});
    }
  // An ended child is a zombie until its parent's wait reaps it.
  for (const Reap &r : reaps(t)) {
    Row *child = table.find(r.child);
    if (!child || child->ended < 0 || r.call->done < child->ended)
      continue;
    Vars vars = {{"child", id(r.child)},
                 {"parent", id(r.call->tid)},
                 {"call", r.call->name},
                 {"status", std::to_string(r.status)}};
    child->spans.push_back(
        {child->ended, r.call->done, State::zombie, words::line("page.zombie.child", vars)});
    s.links.push_back({Link::reap, r.call->tid, r.child, r.call->done, r.call->done,
                       words::line("page.link.reap.what", vars)});
  }
  // A main thread that ended alone (pthread_exit) stays a zombie while its process lives.
  for (Row &leader : table.rows) {
    if (leader.tid != leader.process || leader.ended < 0 || !leader.end.starts_with("exit("))
      continue;
    double last = leader.ended;
    for (const Row &other : table.rows)
      if (other.process == leader.process)
        last = std::max(last, other.ended < 0 ? s.end : other.ended);
    if (last > leader.ended)
      leader.spans.push_back({leader.ended, last, State::zombie,
                              words::line("page.zombie.leader", {{"tid", id(leader.tid)}})});
  }
  for (const Said &w : said(t))
    if (Row *row = table.find(w.tid))
      row->marks.push_back({w.at, w.text.substr(0, 600),
                            static_cast<int>(std::count(w.text.begin(), w.text.end(), '\n'))});
  for (const auto &[tid, cpu] : seen.cpu)
    if (Row *row = table.find(tid))
      row->cpu = cpu;
  for (const auto &[tid, readings] : seen.readings)
    if (Row *row = table.find(tid))
      row->readings = readings;
  s.rows = std::move(table.rows);
  return s;
}

bool together(Section &first, const Section &second) {
  double d = second.zero - first.zero;
  if (first.zero <= 0 || second.zero <= 0 || d < 0)
    return false;
  for (Row row : second.rows) {
    row.made += d;
    row.ended += row.ended < 0 ? 0 : d;
    for (Span &sp : row.spans)
      sp.from += d, sp.to += d;
    for (Mark &m : row.marks)
      m.at += d;
    for (auto &reading : row.readings)
      reading.first += d;
    first.rows.push_back(std::move(row));
  }
  for (Link l : second.links) {
    l.from_at += d, l.to_at += d;
    first.links.push_back(l);
  }
  for (Verdict v : second.verdicts) {
    v.from += v.from < 0 ? 0 : d;
    v.to += v.to < 0 ? 0 : d;
    first.verdicts.push_back(v);
  }
  first.notes.insert(first.notes.end(), second.notes.begin(), second.notes.end());
  first.end = std::max(first.end, second.end + d);
  first.clones += second.clones;
  return true;
}

}  // namespace page
