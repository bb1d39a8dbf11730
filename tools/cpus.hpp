// The CPUs this process may run on, which the programs it starts inherit, and pinning a
// program to one: shared by the tour and the tests.
#pragma once

#include <sched.h>

#include <functional>

namespace watcher {

// How many CPUs this process may run on; the lowest of them in *first.
inline int cpus(int *first = nullptr) {
  cpu_set_t mine;
  CPU_ZERO(&mine);
  sched_getaffinity(0, sizeof mine, &mine);
  for (int cpu = 0; first && cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &mine)) {
      *first = cpu;
      break;
    }
  return CPU_COUNT(&mine);
}

// A Run's before_exec that pins the program, and every thread it makes, to one CPU.
inline std::function<void()> pinned_to(int cpu) {
  return [cpu] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof one, &one);
  };
}

// A Run's before_exec that pins the program to the first CPU this process may use.
inline std::function<void()> pinned_to_first() {
  int first = 0;
  cpus(&first);
  return pinned_to(first);
}

}  // namespace watcher
