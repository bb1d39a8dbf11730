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

// Each thread's time on a CPU, and on a CPU or ready to run and waiting for one. A thread
// that spins wants a CPU all the time; one that sleeps in the kernel wants none while it
// sleeps. On a busy machine (or one CPU) a spinner gets only part of what it wants.
static void on_cpu(pid_t pid, Sampler::Sample &s) {
  for (const Scheduled &thread : schedstat(pid)) {
    s.cpu.push_back({thread.tid, thread.ran});
    s.wanted.push_back({thread.tid, thread.wanted});
  }
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

std::string Waits::where(uintptr_t word) const {
  Place p = place(word);
  Vars facts = {{"path", p.path}, {"address", hex(word)}};
  if (p.kind == Place::data) {
    std::string name = global_at(symbols(exe), sampler.maps, exe, word);
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
