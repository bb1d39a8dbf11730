// The synchronisation labs' shared parts (synchronisation.hpp) and the labs themselves;
// lock_the_tally.cpp and sleeping_producer.cpp hold their judges.
#include "synchronisation.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace lab {

std::string ending(const Outcome &o) {
  if (o.interrupted)
    return words::line("synchronisation.stopped");
  if (o.signal)
    return words::line("synchronisation.signal", {{"signal", std::to_string(o.signal)}});
  return words::line("synchronisation.exited", {{"status", std::to_string(o.status)}});
}

// Each thread's time on a CPU, and on a CPU or ready to run and waiting for one, in
// seconds: schedstat's first two fields, in nanoseconds, where the kernel keeps them; else
// its CPU time alone, from stat, in clock ticks, for both. A thread that spins wants a CPU
// all the time; one that sleeps in the kernel wants none while it sleeps. On a busy
// machine (or one CPU) a spinner gets only part of what it wants.
static void on_cpu(pid_t pid, Sampler::Sample &s) {
  std::error_code gone;
  std::string task = "/proc/" + std::to_string(pid) + "/task";
  for (const auto &entry : std::filesystem::directory_iterator(task, gone)) {
    std::ifstream in(entry.path() / "schedstat");
    unsigned long long ran = 0, waited = 0;
    if (!(in >> ran >> waited)) {
      s.cpu = s.wanted = cpu_times(pid);
      return;
    }
    pid_t tid = atoi(entry.path().filename().c_str());
    s.cpu.push_back({tid, ran / 1e9});
    s.wanted.push_back({tid, (ran + waited) / 1e9});
  }
  std::sort(s.cpu.begin(), s.cpu.end());
  std::sort(s.wanted.begin(), s.wanted.end());
}

void Sampler::start(pid_t pid) {
  running = true;
  reader = std::thread([this, pid] {
    auto begun = std::chrono::steady_clock::now();
    for (int n = 0; running; ++n) {
      Sample s;
      s.mark = mark ? mark() : 0;
      on_cpu(pid, s);
      s.at = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
      if (s.cpu.empty())  // the program has ended
        break;
      samples.push_back(s);
      if (n % 20 == 0)
        if (auto now = watcher::maps(pid); !now.empty())
          maps = now;
      std::this_thread::sleep_for(std::chrono::duration<double>(every));
    }
  });
}

void Sampler::stop() {
  running = false;
  if (reader.joinable())
    reader.join();
}

Place Waits::place(uintptr_t word) const {
  return place_of(sampler.maps, exe, word);
}

bool Waits::mine(uintptr_t word) const {
  return word != stdout_word && std::find(ends.begin(), ends.end(), word) == ends.end() &&
         place(word).own();
}

// The name of the executable's global that holds `offset` (from where the executable is
// mapped), as nm gives it, or "".
static std::string global_at(const std::string &exe, uintptr_t offset) {
  Outcome o = watch({.argv = {"nm", "-C", "-S", "--defined-only", exe}, .deadline = 10});
  std::string name;
  for (const Line &line : o.lines) {
    std::istringstream in(line.text);
    std::string value, size, type;
    if (!(in >> value >> size >> type) || size.size() < 8)
      continue;
    uintptr_t from = strtoull(value.c_str(), nullptr, 16), n = strtoull(size.c_str(), nullptr, 16);
    if (offset >= from && offset < from + n && std::getline(in >> std::ws, name))
      return name;
  }
  return "";
}

std::string Waits::where(uintptr_t word) const {
  Place p = place(word);
  Vars facts = {{"path", p.path}, {"address", hex(word)}};
  if (p.kind == Place::data) {
    uintptr_t base = 0;
    for (const Mapping &m : sampler.maps)
      if (m.path == exe && m.offset == 0 && !base)
        base = m.start;
    std::string name = global_at(exe, word - base);
    if (name.empty())  // a position-dependent executable: its globals at their own addresses
      name = global_at(exe, word);
    facts["name"] = name;
    return words::line(name.empty() ? "synchronisation.place.data" : "synchronisation.place.named",
                       facts);
  }
  static const char *kinds[] = {"none", "data",   "heap",      "stack",
                                "file", "shared", "anonymous", "library"};
  return words::line(std::string("synchronisation.place.") + kinds[p.kind], facts);
}

void traced_waits(Waits &w, const Learner &l, Run r, const std::string &calls) {
  std::error_code unknown;
  std::filesystem::path exe = std::filesystem::weakly_canonical(l.programs[0], unknown);
  w.exe = unknown ? l.programs[0] : exe.string();
  auto started = r.started;
  r.started = [&](pid_t pid) {
    w.stdout_word = stdout_lock(pid);
    w.sampler.start(pid);
    if (started)
      started(pid);
  };
  w.t = trace(limited(l, r),
              traced(clone_calls) + "," + traced(futex_calls) + (calls.empty() ? "" : "," + calls));
  w.sampler.stop();
  w.futexes = count_futexes(w.t);
  for (const Event *e : all(w.t, is_thread)) {
    w.threads.push_back(e->value);
    w.ends.push_back(strtoul(child_tid(*e).c_str(), nullptr, 16));
  }
}

const Lab lock_the_tally = {"lock_the_tally",
                            "synchronisation",
                            {"tally_racy.cpp"},
                            10,
                            true,
                            judge_tally,
                            {"sequence", "twenty", "lock", "races"},
                            {"twenty", "races"}};
const Lab sleeping_producer = {"sleeping_producer",
                               "synchronisation",
                               {"stock_gate.cpp"},
                               15,
                               false,
                               judge_stock,
                               {"invariants", "bound", "sleeps", "cpu"},
                               {"invariants", "bound"}};

}  // namespace lab
