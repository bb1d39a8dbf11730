// The shared memory lab. wake_the_opener: memo_opener's once-a-second poll replaced by a
// process-shared semaphore in the object "OS", posted by memo_replier. Judged by the
// greetings the pair prints, by how soon the opener's answer follows the replier's, and by
// the opener's wait in the trace: a shared futex on a word of its mapping of "OS".
#include <pwd.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <thread>

#include "lab.hpp"

namespace lab {

namespace {

namespace fs = std::filesystem;

const std::string object = "/dev/shm/OS";
const std::string answered = "Memory updated: Hello Process A";
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
  std::atomic<pid_t> pid{0};
  std::atomic<bool> ended{false};

  std::function<bool(const std::vector<Line> &)> timer(std::function<void()> also = {}) {
    return [this, also](const std::vector<Line> &now_seen) {
      std::lock_guard<std::mutex> held(guard);
      for (size_t i = lines.size(); i < now_seen.size(); ++i)
        lines.push_back({now_seen[i].text, now()});
      if (also)
        also();
      return false;
    };
  }
  size_t count() {
    std::lock_guard<std::mutex> held(guard);
    return lines.size();
  }
  // When `text` came, or -1.
  double at(const std::string &text) {
    std::lock_guard<std::mutex> held(guard);
    for (const auto &[line, when] : lines)
      if (line == text)
        return when;
    return -1;
  }
};

std::string first_words(const Outcome &o) {
  const std::string &said = o.lines.empty() ? o.err : o.lines.front().text;
  return said.substr(0, said.find('\n'));
}

std::vector<Check> judge_memo(const Learner &l) {
  const std::vector<std::string> names = {"wake_the_opener.greetings", "wake_the_opener.soon",
                                          "wake_the_opener.wait", "wake_the_opener.removed"};
  struct stat found;
  if (lstat(object.c_str(), &found) == 0) {  // someone else's: not the lab's to remove
    std::vector<Check> none;
    for (const std::string &name : names)
      none.push_back(unjudged(
          name, words::line("wake_the_opener.in_the_way", {{"user", user_name(found.st_uid)}})));
    return none;
  }
  std::string refused = cannot_trace();
  Side opener, replier;
  std::vector<Mapping> pages;  // the opener's maps, read while it waits
  Traced a;
  std::thread first([&] {
    Run r = limited(l, {.argv = {l.programs[0]},
                        .tty = true,
                        .deadline = 7,
                        .stop_when = opener.timer(),
                        .started = [&](pid_t pid) { opener.pid = pid; }});
    if (refused.empty())
      a = trace(r, traced(futex_calls) + "," + traced(sleep_calls));
    else
      a.out = watch(r);
    opener.ended = true;
  });
  // The replier starts once the opener has said it waits: by then it has made the object
  // and its semaphore. An opener that says nothing gets four seconds (strace starting it on
  // a busy machine may take two); it then has three more to answer.
  for (double start = now(); now() - start < 4 && !opener.ended && !opener.count();)
    pause(0.005);
  // Its mappings while it waits: it has said so, and the replier has not answered yet.
  if (opener.pid && !opener.ended)
    pages = maps(opener.pid);
  Outcome b = watch(limited(
      l, {.argv = {l.programs[1]}, .tty = true, .deadline = 8, .stop_when = replier.timer([&] {
            if (pages.empty() && opener.pid && !opener.ended)
              pages = maps(opener.pid);
          })}));
  first.join();
  bool left = fs::exists(object);
  std::error_code ignored;
  fs::remove(object, ignored);

  std::vector<Check> checks;
  // The greetings: each program's lines as the starting pair prints them.
  double got = opener.at(answered), read = replier.at(read_line), sent = replier.at(replied);
  Vars said = {{"opener", first_words(a.out)}, {"replier", first_words(b)}};
  std::string missing = got < 0 ? answered : read < 0 ? read_line : sent < 0 ? replied : "";
  said["missing"] = missing;
  said["who"] = words::line(got < 0 ? "wake_the_opener.the_opener" : "wake_the_opener.the_replier");
  checks.push_back(check(names[0], missing.empty(), said));

  // How soon the opener answered the replier's update.
  // Each program's lines are timed by a watcher of its own: an opener woken at once may
  // show its line a little before the replier's, so the gap is said without its sign.
  Vars timing = {{"ms", fixed(1000 * std::abs(got - sent), 1)}, {"limit", fixed(1000 * soon, 0)}};
  timing["why"] = words::line(
      got < 0 || sent < 0 ? "wake_the_opener.soon.missing" : "wake_the_opener.soon.why", timing);
  checks.push_back(check(names[1], got >= 0 && sent >= 0 && std::abs(got - sent) <= soon, timing));

  // The opener's wait: a futex, shared between processes, on a word of its mapping of OS.
  if (!refused.empty()) {
    checks.push_back(unjudged(names[2], refused));
  } else {
    const Mapping *page = nullptr;
    for (const Mapping &m : pages)
      page = m.path == object ? &m : page;
    Futexes f = count_futexes(a);
    int in_page = 0, shared = 0, waits = 0;
    uintptr_t word = 0;
    for (const auto &[key, n] : f.by_thread) {
      if (key.second != a.pid || !n.waits)
        continue;
      bool inside = page && key.first >= page->start && key.first < page->end;
      waits += n.waits;
      shared += n.shared ? n.waits : 0;
      if (inside && n.shared && n.sleeps)
        in_page += n.sleeps, word = key.first;
      word = word ? word : key.first;
    }
    size_t polls =
        all(a, [&](const Event &e) { return e.tid == a.pid && called(e, sleep_calls); }).size();
    Vars facts = {{"word", hex(word)},
                  {"sleeps", std::to_string(in_page)},
                  {"waits", std::to_string(waits)},
                  {"shared", std::to_string(shared)},
                  {"polls", std::to_string(polls)},
                  {"page", page ? hex(page->start) + "-" + hex(page->end) : "?"}};
    facts["why"] = words::line(!page     ? "wake_the_opener.wait.no_page"
                               : !waits  ? "wake_the_opener.wait.never"
                               : !shared ? "wake_the_opener.wait.private"
                                         : "wake_the_opener.wait.elsewhere",
                               facts);
    checks.push_back(check(names[2], in_page > 0, facts));
  }
  checks.push_back(check(names[3], !left, {}));
  return checks;
}

}  // namespace

const Lab wake_the_opener = {
    "wake_the_opener", "shared_memory", {"memo_opener.cpp", "memo_replier.cpp"}, 15, false,
    judge_memo};

}  // namespace lab
