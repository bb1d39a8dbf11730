// A traced run as a page's section (page.hpp), worked out from the same facts the tour's
// stops and the lab's checks read (facts.hpp): the clones that made each thread and
// process, the futex waits that slept and on which word, the waits that reaped a child,
// the writes to stdout and who made them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "facts.hpp"
#include "page.hpp"

namespace page {

// What /proc showed while the run went on, and the names of the futex words it used.
struct Seen {
  std::map<uintptr_t, std::string> names;     // "`sem`", "stdout's lock"...
  std::vector<std::pair<pid_t, double>> cpu;  // each thread's CPU time, as last read
  // Each thread's CPU time so far, read every 10 ms: (seconds by the trace's clock, seconds
  // on a CPU), by thread.
  std::map<pid_t, std::vector<std::pair<double, double>>> readings;
};

page::Section timeline(const watcher::Traced &t, const Seen &seen);

// Two runs traced at once (two processes, each under a strace of its own) as one section
// on the first one's clock, the second's rows after the first's. False, and nothing
// changed, when either clock's 0 is unknown or the second began before the first.
bool together(Section &first, const Section &second);

}  // namespace page
