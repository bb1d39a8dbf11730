// The shared memory lab. wake_the_opener: memo_opener's once-a-second poll replaced by a
// process-shared semaphore in the object "OS", posted by memo_replier. The pair runs twice:
// once pinned to one CPU with the replier held back 0.1 s after each futex call, so that an
// opener woken by a post made before the answer was written reads the old text; once on
// every CPU with both programs traced. Judged by the greetings each run printed, by how
// soon the traced opener answered and whether the replier's post woke it (a FUTEX_WAKE of
// the replier that woke a sleeper on the same word of the object as the opener's sleep),
// and by where the opener slept: a shared futex on a word of its mapping of "OS".
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "cpus.hpp"
#include "lab.hpp"

namespace lab {

namespace {

namespace fs = std::filesystem;

const std::string object = "/dev/shm/OS";
const std::string answered = "Memory updated: Hello Process A";
const std::string updated = "Memory updated: ";  // the opener's answer, whatever it read
const std::string read_line = "Read shared memory: Hello Process B";
const std::string replied = "Shared memory updated: Hello Process A";
const double soon = 0.1;  // the most seconds an answer woken by a post may take

const std::vector<std::string> sleep_calls = {"clock_nanosleep", "nanosleep",
                                              "clock_nanosleep_time64"};

std::string user_name(uid_t uid) {
  passwd *entry = getpwuid(uid);
  return entry ? entry->pw_name : std::to_string(uid);
}

double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The lines of one program of the pair, each timed on one clock for both as it came.
struct Side {
  std::mutex guard;
  std::vector<std::pair<std::string, double>> lines;
  std::vector<Mapping> pages;  // its mappings, read while it runs
  std::atomic<pid_t> pid{0};
  std::atomic<bool> ended{false};

  std::function<bool(const std::vector<Line> &)> timer(std::function<void()> also = {}) {
    return [this, also](const std::vector<Line> &now_seen) {
      {
        std::lock_guard<std::mutex> held(guard);
        for (size_t i = lines.size(); i < now_seen.size(); ++i)
          lines.push_back({now_seen[i].text, now()});
      }
      if (also)
        also();
      return false;
    };
  }
  size_t count() {
    std::lock_guard<std::mutex> held(guard);
    return lines.size();
  }
  // When the first line starting with `text` came, or -1; the line itself in *line.
  double at(const std::string &text, std::string *line = nullptr) {
    std::lock_guard<std::mutex> held(guard);
    for (const auto &[said, when] : lines)
      if (said.starts_with(text)) {
        if (line)
          *line = said;
        return when;
      }
    return -1;
  }
  // Its mappings, until one of them is the object's.
  void read_pages() {
    std::lock_guard<std::mutex> held(guard);
    if (pid && !ended && !mapping())
      pages = maps(pid);
  }
  const Mapping *mapping() const {
    for (const Mapping &m : pages)
      if (m.path == object)
        return &m;
    return nullptr;
  }
  // Where a word lies in the object, or -1 when it is outside this side's mapping of it.
  long offset(uintptr_t word) const {
    const Mapping *m = mapping();
    return m && word >= m->start && word < m->end ? long(word - m->start + m->offset) : -1;
  }
};

// One run of the pair.
struct Pair {
  Side opener, replier;
  Traced a, b;        // their output; in the traced run their traces too
  bool left = false;  // "OS" was still there once both had ended
};

// The side that posts at the lowest priority the kernel has, so that any process it wakes
// on its CPU preempts it at once; nice 19 where that policy is refused.
void lowest_priority() {
  sched_param none{};
  if (sched_setscheduler(0, SCHED_IDLE, &none) != 0)
    setpriority(PRIO_PROCESS, 0, 19);
}

void run_pair(const Learner &l, Pair &p, bool traced_run, const std::string &refused) {
  bool tracing = traced_run && refused.empty();
  std::function<void()> pin = traced_run ? std::function<void()>() : pinned_to_first();
  std::thread first([&] {
    Run r = limited(l, {.argv = {l.programs[0]},
                        .tty = true,
                        .before_exec = pin,
                        .deadline = traced_run ? 7.0 : 4.0,
                        .stop_when = p.opener.timer([&] { p.opener.read_pages(); }),
                        .started = [&](pid_t pid) { p.opener.pid = pid; }});
    if (tracing)
      p.a = trace(r, traced(futex_calls) + "," + traced(sleep_calls));
    else
      p.a.out = watch(r);
    p.opener.ended = true;
    // In the pinned run the replier's five seconds of sleep show nothing more: it ends
    // once the opener has answered and it has said its update line.
    for (double start = now();
         !traced_run && now() - start < 0.5 && !p.replier.ended && p.replier.at(replied) < 0;)
      pause(0.01);
    if (!traced_run && !p.replier.ended && p.replier.pid) {
      for (pid_t traced_replier : children(p.replier.pid))  // strace's child, when held back
        kill(traced_replier, SIGKILL);
      kill(p.replier.pid, SIGKILL);
    }
  });
  // The replier starts once the opener has said it waits: by then it has made the object
  // and its semaphore. An opener that says nothing gets four seconds (strace starting it on
  // a busy machine may take two); it then has three more to answer.
  for (double start = now(); now() - start < 4 && !p.opener.ended && !p.opener.count();)
    pause(0.005);
  p.opener.read_pages();  // while it waits: the replier has not answered yet
  auto also = [&] {
    p.opener.read_pages();
    p.replier.read_pages();
  };
  // In the pinned run the replier is held back after each of its futex calls, its post
  // among them, so that a post made before the answer was written lets the woken opener
  // read the page first, whatever else the CPU runs. Without strace the replier runs at
  // the lowest priority instead, which makes that likely but not certain.
  std::vector<std::string> argv = {l.programs[1]};
  if (!traced_run && refused.empty())
    argv.insert(argv.begin(),
                {"strace", "-q", "-o", "/dev/null", "-e", "trace=" + traced(futex_calls), "-e",
                 "inject=" + traced(futex_calls) + ":delay_exit=100000", "--"});
  Run r = limited(l, {.argv = argv,
                      .tty = true,
                      .before_exec = traced_run         ? std::function<void()>()
                                     : refused.empty() ? pin
                                                       : [pin] {
                                                           pin();
                                                           lowest_priority();
                                                         },
                      .deadline = traced_run ? 8.0 : 4.0,
                      .stop_when = p.replier.timer(also),
                      .started = [&](pid_t pid) { p.replier.pid = pid; }});
  if (tracing)
    p.b = trace(r, traced(futex_calls));
  else
    p.b.out = watch(r);
  p.replier.ended = true;
  first.join();
  p.left = fs::exists(object);
  std::error_code ignored;
  fs::remove(object, ignored);
}

std::string first_words(const Outcome &o) {
  const std::string &said = o.lines.empty() ? o.err : o.lines.front().text;
  return said.substr(0, said.find('\n'));
}

bool holds(const std::string &file, const std::string &text) {
  std::ifstream in(file);
  std::stringstream all;
  all << in.rdbuf();
  return all.str().find(text) != std::string::npos;
}

// The opener makes "OS" and the replier removes it: files given the other way round look
// like replier then opener.
bool swapped(const Learner &l) {
  const std::string &one = l.sources[0], &two = l.sources[1];
  int as_given = holds(one, "O_CREAT") + holds(two, "shm_unlink");
  int reversed = holds(two, "O_CREAT") + holds(one, "shm_unlink");
  return reversed > as_given;
}

// The greetings of every run: the pinned ones first, the last one free (traced where
// strace runs).
Check greetings(const std::vector<std::unique_ptr<Pair>> &runs, const std::string &refused) {
  const std::string name = "wake_the_opener.greetings";
  Vars counts = {{"n", std::to_string(runs.size())}, {"pinned", std::to_string(runs.size() - 1)}};
  const std::string pinned = words::line(
      refused.empty() ? "wake_the_opener.pinned_run" : "wake_the_opener.pinned_run_untraced",
      counts);
  for (size_t i = 0; i < runs.size(); ++i) {
    Pair &p = *runs[i];
    std::string got;
    p.opener.at(updated, &got);
    counts["i"] = std::to_string(i + 1);
    bool last = i + 1 == runs.size();
    Vars said = {{"run", words::line(!last             ? "wake_the_opener.pinned_run_i"
                                     : refused.empty() ? "wake_the_opener.traced_run"
                                                       : "wake_the_opener.free_run",
                                     counts) +
                             (last ? "" : " (" + pinned + ")")},
                 {"opener", first_words(p.a.out)},
                 {"replier", first_words(p.b.out)},
                 {"got", got}};
    if (!got.empty() && got != answered) {
      said["what"] = words::line("wake_the_opener.greetings.stale", said);
      return check(name, false, said);
    }
    std::string missing = got.empty()                   ? answered
                          : p.replier.at(read_line) < 0 ? read_line
                          : p.replier.at(replied) < 0   ? replied
                                                        : "";
    if (!missing.empty()) {
      said["missing"] = missing;
      said["who"] =
          words::line(got.empty() ? "wake_the_opener.the_opener" : "wake_the_opener.the_replier");
      said["what"] = words::line("wake_the_opener.greetings.missing", said);
      return check(name, false, said);
    }
  }
  counts["how"] = pinned;
  return check(name, true, counts);
}

// How soon the traced opener answered the replier's update, and whether the replier's post
// woke it: a wake of the replier that woke a sleeper on the word of the object where the
// opener's sleep returned.
Check soon_check(Pair &p, const std::string &refused) {
  const std::string name = "wake_the_opener.soon";
  if (!refused.empty())
    return unjudged(name, refused);
  double got = p.opener.at(updated), sent = p.replier.at(replied);  // whatever it read
  // Each program's lines are timed by a watcher of its own: an opener woken at once may
  // show its line a little before the replier's, so the gap is said without its sign.
  double ms = shown(1000 * std::abs(got - sent), 1);
  Vars timing = {{"ms", fixed(ms, 1)}, {"limit", fixed(1000 * soon, 0)}};
  if (got < 0 || sent < 0)
    return check(name, false, {{"why", words::line("wake_the_opener.soon.missing")}});
  if (ms > 1000 * soon)
    return check(name, false, {{"why", words::line("wake_the_opener.soon.why", timing)}});
  std::vector<long> woke_at, slept_at;  // offsets in the object
  std::string wake;
  for (const Event *e : all(p.b, is_futex))
    if (!is_futex_wait(*e) && e->arg(1).find("WAKE") != std::string::npos && e->value > 0 &&
        e->arg(1).find("PRIVATE") == std::string::npos && p.replier.offset(futex_word(*e)) >= 0) {
      woke_at.push_back(p.replier.offset(futex_word(*e)));
      wake = wake.empty() ? shorten_call(e->text, 70) : wake;
    }
  for (const Event *e : all(p.a, slept))
    if (e->tid == p.a.pid && e->ok() && p.opener.offset(futex_word(*e)) >= 0)
      slept_at.push_back(p.opener.offset(futex_word(*e)));
  long offset = -1;
  for (long w : woke_at)
    for (long s : slept_at)
      offset = w == s ? w : offset;
  timing["offset"] = std::to_string(offset);
  timing["call"] = wake;
  if (offset >= 0)
    return check(name, true, timing);
  timing["what"] = words::line(woke_at.empty()    ? "wake_the_opener.soon.no_post"
                               : slept_at.empty() ? "wake_the_opener.soon.no_sleep"
                                                  : "wake_the_opener.soon.other_word",
                               timing);
  return check(name, false, {{"why", words::line("wake_the_opener.soon.unwoken", timing)}});
}

// The opener's wait in the traced run: a futex, shared between processes, on a word of
// its mapping of OS.
Check wait_check(Pair &p, const std::string &refused) {
  const std::string name = "wake_the_opener.wait";
  if (!refused.empty())
    return unjudged(name, refused);
  const Mapping *page = p.opener.mapping();
  Futexes f = count_futexes(p.a);
  int in_page = 0, shared = 0, waits = 0;
  uintptr_t word = 0;
  for (const auto &[key, n] : f.by_thread) {
    if (key.second != p.a.pid || !n.waits)
      continue;
    bool inside = page && key.first >= page->start && key.first < page->end;
    waits += n.waits;
    shared += n.shared ? n.waits : 0;
    if (inside && n.shared && n.sleeps)
      in_page += n.sleeps, word = key.first;
    word = word ? word : key.first;
  }
  size_t polls =
      all(p.a, [&](const Event &e) { return e.tid == p.a.pid && called(e, sleep_calls); }).size();
  Vars facts = {{"word", hex(word)},
                {"sleeps", std::to_string(in_page)},
                {"waits", std::to_string(waits)},
                {"shared", std::to_string(shared)},
                {"polls", std::to_string(polls)},
                {"page", page ? hex(page->start) + "-" + hex(page->end) : "?"}};
  facts["why"] = words::line(!page             ? "wake_the_opener.wait.no_page"
                             : !waits && polls ? "wake_the_opener.wait.never"
                             : !waits          ? "wake_the_opener.wait.awake"
                             : !shared         ? "wake_the_opener.wait.private"
                                               : "wake_the_opener.wait.elsewhere",
                             facts);
  return check(name, in_page > 0, facts);
}

std::vector<Check> judge_memo(const Learner &l) {
  const std::vector<std::string> names = {"wake_the_opener.greetings", "wake_the_opener.soon",
                                          "wake_the_opener.wait", "wake_the_opener.removed"};
  std::string why;
  struct stat found;
  if (swapped(l))
    why =
        words::line("wake_the_opener.swapped", {{"first", l.sources[0]}, {"second", l.sources[1]}});
  else if (lstat(object.c_str(), &found) == 0)  // someone else's: not the lab's to remove
    why = words::line("wake_the_opener.in_the_way", {{"user", user_name(found.st_uid)}});
  if (!why.empty()) {
    std::vector<Check> none;
    for (const std::string &name : names)
      none.push_back(unjudged(name, why));
    return none;
  }
  std::string refused = cannot_trace();
  // strace holds the replier back after its post, which shows a post before the write in
  // one pinned run; without it the lowest priority only makes that likely: four runs.
  std::vector<std::unique_ptr<Pair>> runs;
  for (int i = 0; i < (refused.empty() ? 1 : 4); ++i)
    run_pair(l, *runs.emplace_back(std::make_unique<Pair>()), false, refused);
  Pair &last = *runs.emplace_back(std::make_unique<Pair>());
  run_pair(l, last, true, refused);
  return {greetings(runs, refused), soon_check(last, refused), wait_check(last, refused),
          check(names[3], !last.left, {})};
}

}  // namespace

const Lab wake_the_opener = {"wake_the_opener", "shared_memory",
                             {"memo_opener.cpp", "memo_replier.cpp"}, 15, false, judge_memo,
                             {"greetings", "soon", "wait", "removed"}, {"greetings", "removed"}};

}  // namespace lab
