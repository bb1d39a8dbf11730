// The synchronisation labs' shared parts: a traced run of the learner's program with its
// futex words placed in its memory, /proc read on a timer while a program runs, and the
// words for how a run ended. lock_the_tally.cpp and sleeping_producer.cpp judge with them.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "lab.hpp"

namespace lab {

std::vector<Check> judge_tally(const Learner &l);
std::vector<Check> judge_stock(const Learner &l);

// How a run that should have gone on until stopped ended (words).
std::string ending(const Outcome &o);

// Each thread's CPU time and the process's maps, read every `every` seconds from /proc
// while the program runs and kept as last read, so that a program that stops printing is
// read all the same. `mark`, if given, is read at each sample: a fact of the lines so far.
struct Sampler {
  struct Sample {
    double at = 0;                                 // seconds since start()
    std::vector<std::pair<pid_t, double>> cpu;     // each thread's time on a CPU so far
    std::vector<std::pair<pid_t, double>> wanted;  // ... and waiting for one, by thread id
    long mark = 0;
  };
  double every = 0.005;
  std::function<long()> mark;
  std::vector<Sample> samples;
  std::vector<Mapping> maps;  // the last nonempty reading

  void start(pid_t pid);  // from a Run's `started`
  void stop();            // once the run is over
  ~Sampler() {
    stop();
  }

 private:
  std::thread reader;
  std::atomic<bool> running{false};
};

// A traced run of the learner's program with its futex words placed: stdout's lock in the
// C library, the words the kernel clears as each thread ends (what a join waits on), and
// the maps, read on a timer, that tell where any other word lies.
struct Waits {
  Traced t;
  Futexes futexes;
  Sampler sampler;
  std::vector<pid_t> threads;  // in the order they were made
  std::vector<uintptr_t> ends;
  uintptr_t stdout_word = 0;
  std::string exe;

  Place place(uintptr_t word) const;
  // A word the program made for itself: not stdout's lock nor a thread's end, and not in
  // a library's memory.
  bool mine(uintptr_t word) const;
  // Where the word lies, in words: "your program's data (`lock`)", "/dev/shm/sem.places,
  // which your program mapped"...
  std::string where(uintptr_t word) const;
};

// `calls` are traced besides clone and futex; `enough`, if given, may end the run early.
void traced_waits(Waits &w, const Learner &l, Run r, const std::string &calls);

}  // namespace lab
