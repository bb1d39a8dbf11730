// What a run established, worked out once (see facts.hpp).
#include "facts.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace watcher {

namespace fs = std::filesystem;

const Event *find(const Traced &t, const Match &match) {
  for (const Event &e : t.events)
    if (match(e))
      return &e;
  return nullptr;
}

std::vector<const Event *> all(const Traced &t, const Match &match) {
  std::vector<const Event *> found;
  for (const Event &e : t.events)
    if (match(e))
      found.push_back(&e);
  return found;
}

bool called(const Event &e, const std::vector<std::string> &names) {
  return std::find(names.begin(), names.end(), e.name) != names.end();
}

std::string names(const std::vector<std::string> &names) {
  std::string all;
  for (size_t i = 0; i < names.size(); ++i)
    all += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  return all;
}

std::string traced(const std::vector<std::string> &names) {
  std::string all;
  for (const std::string &name : names)
    all += (all.empty() ? "?" : ",?") + name;
  return all;
}

const std::vector<std::string> clone_calls = {"clone3", "clone"};
const std::vector<std::string> futex_calls = {"futex", "futex_time64"};
const std::vector<std::string> wait_calls = {"wait4", "waitid"};

// clone3 carries its flags in a structure, clone as its second argument ("flags=...").
static std::string clone_flags(const Event &e) {
  return e.name == "clone3" ? e.arg(0) : e.arg(1);
}

bool is_thread(const Event &e) {
  return called(e, clone_calls) && e.ok() && has_flag(clone_flags(e), "CLONE_VM") &&
         has_flag(clone_flags(e), "CLONE_THREAD");
}

std::string child_tid(const Event &e) {
  for (const char *field : {"child_tid=", "child_tidptr="}) {
    size_t at = e.text.find(field);
    if (at != std::string::npos) {
      std::string word = e.text.substr(at + std::string(field).size());
      return word.substr(0, word.find_first_of(",})"));
    }
  }
  return "";
}

bool is_futex(const Event &e) {
  return called(e, futex_calls);
}

bool is_futex_wait(const Event &e) {
  return is_futex(e) && e.arg(1).find("WAIT") != std::string::npos;
}

bool slept(const Event &e) {
  return is_futex_wait(e) && e.error != "EAGAIN" && e.error != "EINVAL" && e.error != "EFAULT" &&
         e.error != "ENOSYS";
}

uintptr_t futex_word(const Event &e) {
  return strtoul(e.arg(0).c_str(), nullptr, 16);
}

static int count(const std::map<std::pair<uintptr_t, pid_t>, Futexes::Word> &by, uintptr_t word,
                 pid_t tid, int Futexes::Word::*what) {
  auto found = by.find({word, tid});
  return found == by.end() ? 0 : found->second.*what;
}

int Futexes::waits_on(uintptr_t word, pid_t tid) const {
  return count(by_thread, word, tid, &Word::waits);
}

int Futexes::sleeps_on(uintptr_t word, pid_t tid) const {
  return count(by_thread, word, tid, &Word::sleeps);
}

int Futexes::sleeps_of(pid_t tid) const {
  int n = 0;
  for (const auto &[key, w] : by_thread)
    n += key.second == tid ? w.sleeps : 0;
  return n;
}

Futexes count_futexes(const Traced &t) {
  Futexes f;
  for (const Event *e : all(t, is_futex)) {
    uintptr_t word = futex_word(*e);
    bool shared = e->arg(1).find("PRIVATE") == std::string::npos;
    for (Futexes::Word *w : {&f.words[word], &f.by_thread[{word, e->tid}]}) {
      w->shared = w->shared || shared;
      if (!is_futex_wait(*e))
        w->wakes++;
      else
        w->waits++, w->sleeps += slept(*e);
    }
  }
  return f;
}

Writes count_writes(const Traced &t) {
  Writes w;
  for (const Event *e :
       all(t, [](const Event &e) { return e.name == "write" && e.arg(0) == "1"; })) {
    w.calls++;
    w.bytes += std::max(0L, e->value);
  }
  return w;
}

Tally tally(const std::vector<Line> &lines) {
  Tally f;
  f.lines = lines.size();
  int previous = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    int value = atoi(lines[i].text.c_str() + std::min<size_t>(10, lines[i].text.size()));
    if (i > 0 && value != (previous == 19 ? 0 : previous + 1) && !f.breaks++)
      f.first = i;
    f.high += value >= 20;
    f.top = std::max(f.top, value);
    previous = value;
  }
  return f;
}

// wait4 shows the status as "[{WIFEXITED(s) && WEXITSTATUS(s) == 3}]" and returns the
// child; waitid fills a siginfo: "{..., si_code=CLD_EXITED, si_pid=1234, ..., si_status=3...".
std::vector<Reap> reaps(const Traced &t) {
  std::vector<Reap> found;
  for (const Event *e : all(t, [](const Event &e) { return called(e, wait_calls) && e.ok(); })) {
    Reap r{.call = e};
    const std::string &s = e->text;
    size_t at;
    if (e->name == "wait4") {
      r.child = e->value;
      if ((at = s.find("WEXITSTATUS(s) == ")) != std::string::npos)
        r.status = atoi(s.c_str() + at + 18);
      else if ((at = s.find("WTERMSIG(s) == ")) != std::string::npos)
        r.signal = 1;  // named below
    } else if ((at = s.find("si_pid=")) != std::string::npos) {
      r.child = atoi(s.c_str() + at + 7);
      size_t st = s.find("si_status=");
      if (st != std::string::npos && s.find("CLD_EXITED") != std::string::npos)
        r.status = atoi(s.c_str() + st + 10);
      else if (st != std::string::npos)
        r.signal = 1;
    }
    if (r.signal) {
      static const std::vector<std::pair<std::string, int>> signals = {
          {"SIGKILL", 9}, {"SIGSEGV", 11}, {"SIGABRT", 6}, {"SIGTERM", 15},
          {"SIGINT", 2},  {"SIGBUS", 7},   {"SIGFPE", 8},  {"SIGPIPE", 13}};
      for (const auto &[name, number] : signals)
        if (s.find(name) != std::string::npos)
          r.signal = number;
    }
    if (r.child > 0)
      found.push_back(r);
  }
  return found;
}

// The fields after the name in /proc/.../stat; the name may hold spaces and parentheses.
static std::string stat_after_name(const fs::path &stat) {
  std::string text;
  std::getline(std::ifstream(stat), text);
  size_t name_end = text.rfind(')');
  return name_end == std::string::npos ? "" : text.substr(name_end + 1);
}

static char state_in(const fs::path &stat) {
  std::string rest = stat_after_name(stat);
  return rest.size() > 1 ? rest[1] : 0;
}

char state(pid_t pid) {
  return state_in("/proc/" + std::to_string(pid) + "/stat");
}

char state(pid_t pid, pid_t tid) {
  return state_in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
}

static std::vector<pid_t> tasks(pid_t pid) {
  std::vector<pid_t> tids;
  std::error_code gone;
  for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone))
    tids.push_back(atoi(task.path().filename().c_str()));
  std::sort(tids.begin(), tids.end());
  return tids;
}

std::vector<std::pair<pid_t, char>> thread_table(pid_t pid) {
  std::vector<std::pair<pid_t, char>> rows;
  for (pid_t tid : tasks(pid))
    if (char s = state(pid, tid))
      rows.push_back({tid, s});
  std::stable_partition(rows.begin(), rows.end(), [&](auto &row) { return row.first == pid; });
  return rows;
}

std::vector<std::pair<pid_t, double>> cpu_times(pid_t pid) {
  std::vector<std::pair<pid_t, double>> times;
  for (pid_t tid : tasks(pid)) {
    std::string rest =
        stat_after_name("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
    unsigned long user = 0, system = 0;
    // After the name: state, then fields 4 to 13, then utime and stime.
    if (sscanf(rest.c_str(), " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
               &system) == 2)
      times.push_back({tid, static_cast<double>(user + system) / sysconf(_SC_CLK_TCK)});
  }
  return times;
}

std::vector<Scheduled> schedstat(pid_t pid) {
  std::vector<Scheduled> times;
  for (pid_t tid : tasks(pid)) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) +
                     "/schedstat");
    unsigned long long ran = 0, waited = 0;
    if (!(in >> ran >> waited)) {
      times.clear();
      for (const auto &[tid, seconds] : cpu_times(pid))
        times.push_back({tid, seconds, seconds});
      break;
    }
    times.push_back({tid, ran / 1e9, (ran + waited) / 1e9});
  }
  std::sort(times.begin(), times.end(),
            [](const Scheduled &a, const Scheduled &b) { return a.tid < b.tid; });
  return times;
}

std::vector<pid_t> children(pid_t pid) {
  std::vector<pid_t> kids;
  for (pid_t tid : tasks(pid)) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/children");
    for (pid_t child; in >> child;)
      kids.push_back(child);
  }
  return kids;
}

bool own_data(const std::vector<Mapping> &maps, const std::string &exe, uintptr_t address) {
  uintptr_t exe_end = 0;  // a nameless mapping that starts where the executable's end: its bss
  for (const Mapping &m : maps) {
    bool bss = m.path.empty() && exe_end && m.start == exe_end;
    if ((m.path == exe || m.path == "[heap]" || m.path == "[stack]" || bss) && address >= m.start &&
        address < m.end)
      return true;
    exe_end = m.path == exe || bss ? m.end : 0;
  }
  return false;
}

static bool library(const std::string &path) {
  std::string name = fs::path(path).filename().string();
  return name.ends_with(".so") || name.find(".so.") != std::string::npos;
}

Place place_of(const std::vector<Mapping> &maps, const std::string &exe, uintptr_t address) {
  Place::Kind zeroed = Place::none;  // what a nameless mapping just here would belong to
  uintptr_t after = 0;               // where the mapping before it ended
  for (const Mapping &m : maps) {
    bool nameless = m.path.empty() || m.path == "/dev/zero (deleted)";
    Place::Kind kind = m.path == exe                            ? Place::data
                       : m.path == "[heap]"                     ? Place::heap
                       : m.path == "[stack]"                    ? Place::stack
                       : nameless && m.start == after && zeroed ? zeroed
                       : nameless && m.perms.size() > 3 && m.perms[3] == 's' ? Place::shared
                       : nameless                                            ? Place::anonymous
                       : m.path.starts_with("[")                             ? Place::none
                       : library(m.path) ? Place::library
                                         : Place::file;
    if (address >= m.start && address < m.end)
      return {kind, kind == Place::file || kind == Place::library ? m.path : "", m.start};
    zeroed = m.path == exe ? Place::data : library(m.path) ? Place::library : Place::none;
    after = m.end;
  }
  return {};
}

std::vector<Said> said(const Traced &t) {
  std::string output;
  for (const Line &line : t.out.lines)
    output += line.text + "\n";
  output += t.out.tail;
  std::vector<Said> found;
  size_t at = 0;
  auto written = [](const Event &e) { return e.name == "write" && e.arg(0) == "1"; };
  for (const Event *e : all(t, written)) {
    size_t from = std::min(at, output.size());
    size_t n = std::min<size_t>(std::max(0L, e->value), output.size() - from);
    found.push_back({e->tid, e->at, output.substr(from, n)});
    at += n;
  }
  return found;
}

std::vector<Line> symbols(const std::string &exe) {
  return watch({.argv = {"nm", "-C", "-S", "--defined-only", exe}, .deadline = 10}).lines;
}

std::string global_at(const std::vector<Line> &symbols, const std::vector<Mapping> &maps,
                      const std::string &exe, uintptr_t address) {
  uintptr_t base = 0;
  for (const Mapping &m : maps)
    if (m.path == exe && m.offset == 0 && !base)
      base = m.start;
  for (uintptr_t at : {address - base, address})
    for (const Line &line : symbols) {
      std::istringstream in(line.text);
      std::string value, size, type, name;
      if (!(in >> value >> size >> type) || size.size() < 8 || !std::getline(in >> std::ws, name))
        continue;
      uintptr_t from = strtoull(value.c_str(), nullptr, 16);
      if (at >= from && at < from + strtoull(size.c_str(), nullptr, 16))
        return name;
    }
  return "";
}

}  // namespace watcher
