// The runs a tool made, kept to be drawn (see album.hpp). Each traced run gets a looker of
// its own (two may run at once, as the shared-memory pair does): once the program runs it
// reads the address of stdout's lock and, every 10 ms on a thread of its own, each
// thread's CPU time and now and then the maps, which tell afterwards where each futex word
// lay: the program's globals are named from its symbol table.
#include "album.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "facts.hpp"
#include "timeline.hpp"
#include "words.hpp"

namespace album {

using namespace watcher;
namespace fs = std::filesystem;

namespace {

std::mutex guard;  // the page, which runs on several threads may add to
page::Page book;
bool on = false;

struct Looker {
  pid_t pid = 0;
  std::string exe;
  uintptr_t stdout_word = 0;
  std::vector<Mapping> maps;    // as last read, while the program ran
  std::map<pid_t, double> cpu;  // the most each thread was seen to have used
  // Each reading of a thread: (seconds since the epoch, its CPU time so far).
  std::map<pid_t, std::vector<std::pair<double, double>>> readings;
  std::atomic<bool> running{false};
  std::thread reader;
  std::vector<Line> symbols;  // nm's table of the executable, once a word is in its data

  void read() {
    for (int n = 0; running; ++n) {
      std::vector<pid_t> processes = children(pid);
      processes.insert(processes.begin(), pid);
      auto times = cpu_times(pid);
      if (times.empty())
        break;  // the program has ended
      double now = std::chrono::duration<double>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
      for (pid_t p : processes)
        for (const auto &[tid, seconds] : p == pid ? times : cpu_times(p))
          cpu[tid] = std::max(cpu[tid], seconds);
      for (pid_t p : processes)
        for (const Scheduled &thread : schedstat(p))
          readings[thread.tid].push_back({now, thread.ran});
      if (n % 10 == 0)
        if (auto now = watcher::maps(pid); !now.empty())
          maps = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
};

// The global of the executable that holds `word`, from nm's table, read once: "" if none.
std::string global(Looker &l, uintptr_t word) {
  if (l.symbols.empty())
    l.symbols = symbols(l.exe);
  return global_at(l.symbols, l.maps, l.exe, word);
}

// Each futex word of the run by what it is: stdout's lock, a global of the program, a
// word in a file or a mapping it made.
page::Seen seen(Looker &l, const Traced &t) {
  page::Seen s;
  for (const auto &[tid, seconds] : l.cpu)
    s.cpu.push_back({tid, seconds});
  // strace stamps its events by the same clock as the readings: since the epoch.
  for (const auto &[tid, readings] : l.readings)
    for (const auto &[at, seconds] : readings)
      s.readings[tid].push_back({at - t.zero, seconds});
  static const char *kinds[] = {"none", "data",   "heap",      "stack",
                                "file", "shared", "anonymous", "library"};
  for (const auto &[word, counted] : count_futexes(t).words) {
    if (word == l.stdout_word && word) {
      s.names[word] = words::line("page.word.stdout");
      continue;
    }
    Place p = place_of(l.maps, l.exe, word);
    std::string name = p.kind == Place::data ? global(l, word) : "";
    if (!name.empty())
      s.names[word] = words::line("page.word.global", {{"name", name}});
    else if (p.kind != Place::none)
      s.names[word] = words::line(std::string("page.word.") + kinds[p.kind], {{"path", p.path}});
  }
  return s;
}

Looking look() {
  auto l = std::make_shared<Looker>();
  // The sleeps by the clock and the waits for a child, so that a row asleep there is not
  // drawn awake, and restart_syscall, which goes on with a sleep that a signal broke (a
  // child's SIGCHLD does, under strace); the stops' and checks' own calls stay as they are.
  Looking looking{.calls = traced({"nanosleep", "clock_nanosleep", "clock_nanosleep_time64",
                                   "restart_syscall"}) +
                           "," + traced(wait_calls)};
  looking.started = [l](pid_t pid) {
    l->pid = pid;
    std::error_code gone;
    l->exe = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", gone).string();
    l->stdout_word = stdout_lock(pid);
    l->running = true;
    l->reader = std::thread([l] { l->read(); });
  };
  looking.ended = [l](const Traced &t) {
    l->running = false;
    if (l->reader.joinable())
      l->reader.join();
    page::Section s = timeline(t, seen(*l, t));
    std::string program = l->exe.empty() ? "?" : fs::path(l->exe).filename().string();
    s.title = words::line("page.run", {{"program", program}});
    s.program = program;
    s.zero = t.zero;
    if (t.out.interrupted)
      s.notes.push_back(
          words::line("page.stopped", {{"after", std::to_string(t.out.end).substr(0, 4)}}));
    std::lock_guard<std::mutex> hold(guard);
    if (book.parts.empty())
      book.parts.push_back({});
    book.parts.back().sections.push_back(std::move(s));
  };
  return looking;
}

}  // namespace

void keep_runs(const std::string &words_folder) {
  if (!on && !words_folder.empty())
    words::load(words_folder);
  on = true;
  onlooker = look;
}

bool keeping() {
  return on;
}

void part(const std::string &title) {
  std::lock_guard<std::mutex> hold(guard);
  book.parts.push_back({.title = title});
}

void note(const std::string &line) {
  std::lock_guard<std::mutex> hold(guard);
  if (book.parts.empty())
    book.parts.push_back({});
  book.parts.back().notes.push_back(line);
}

void verdict(const page::Verdict &v) {
  std::lock_guard<std::mutex> hold(guard);
  if (book.parts.empty())
    book.parts.push_back({});
  book.parts.back().verdicts.push_back(v);
}

page::Page &kept() {
  return book;
}

bool write(const std::string &html, const std::string &events, std::string &failed) {
  std::lock_guard<std::mutex> hold(guard);
  if (!html.empty() && !page::write_file(html, page::html(book)))
    return failed = html, false;
  if (!events.empty() && !page::write_file(events, page::trace_events(book)))
    return failed = events, false;
  return true;
}

}  // namespace album
