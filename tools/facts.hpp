// What a run established, worked out once: calls found in a trace, thread creations,
// futex waits and sleeps by word and thread, writes to stdout, a tally's breaks, children
// reaped with their statuses, and what /proc says of a process and its threads. The tour's
// stops and the lab's checks both read these, so that they never disagree about a run.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "trace.hpp"
#include "watch.hpp"

namespace watcher {

// ---- finding calls ---------------------------------------------------------------------

using Match = std::function<bool(const Event &)>;
const Event *find(const Traced &t, const Match &match);
std::vector<const Event *> all(const Traced &t, const Match &match);
// Whether a call is one of the names a step may take on this C library and architecture.
bool called(const Event &e, const std::vector<std::string> &names);
std::string names(const std::vector<std::string> &names);  // "clone or clone3"
// The names as strace's -e trace= list, each marked "?" so that a name this system lacks
// is left out instead of refused: "?open,?openat".
std::string traced(const std::vector<std::string> &names);
// The names a thread's (or fork's) clone, a futex call and a wait for a child take on this
// C library and architecture.
extern const std::vector<std::string> clone_calls, futex_calls, wait_calls;
bool is_thread(const Event &e);         // a clone3 or clone that made a thread
std::string child_tid(const Event &e);  // the word the kernel clears when the thread ends
bool is_futex(const Event &e);
bool is_futex_wait(const Event &e);  // a futex call that asks to wait (not one that wakes)
// A wait that slept: it did not come back at once with EAGAIN (the word had already
// changed) or with a bad argument. Under strace a call that blocked is split in two.
bool slept(const Event &e);
uintptr_t futex_word(const Event &e);

// ---- counting --------------------------------------------------------------------------

// Futex calls counted by word and by thread.
struct Futexes {
  struct Word {
    int waits = 0, sleeps = 0, wakes = 0;
    bool shared = false;  // some call on it lacked FUTEX_PRIVATE_FLAG
  };
  std::map<uintptr_t, Word> words;
  std::map<std::pair<uintptr_t, pid_t>, Word> by_thread;  // (word, thread)
  int waits_on(uintptr_t word, pid_t tid) const;
  int sleeps_on(uintptr_t word, pid_t tid) const;
  int sleeps_of(pid_t tid) const;  // on any word
};
Futexes count_futexes(const Traced &t);

struct Writes {
  long calls = 0, bytes = 0;
};
Writes count_writes(const Traced &t);  // of stdout

// What a tally run's printed values establish: the breaks in 1, 2, ..., 19, 0, 1, ...
// (each line's value after its first ten characters, "Process A " or "Process B ").
struct Tally {
  size_t lines = 0, breaks = 0, high = 0;  // high: values of 20 or more
  int top = 0;
  size_t first = 0;  // the line of the first break
};
Tally tally(const std::vector<Line> &lines);

// A child reaped by wait4 or waitid, as the trace shows it.
struct Reap {
  const Event *call = nullptr;
  pid_t child = 0;
  int status = -1;  // its exit status, or -1 when a signal ended it
  int signal = 0;
};
std::vector<Reap> reaps(const Traced &t);

// ---- /proc -----------------------------------------------------------------------------

// The state letter of a process or thread ('R', 'S', 'Z'...), or 0 when it is gone.
char state(pid_t pid);
char state(pid_t pid, pid_t tid);
// The kernel's id and state of every thread of a process, main first, then by thread id.
std::vector<std::pair<pid_t, char>> thread_table(pid_t pid);
// The CPU time (user and system) each thread of a process has used so far, in seconds;
// by thread id.
std::vector<std::pair<pid_t, double>> cpu_times(pid_t pid);
// Each thread's time on a CPU so far, and on a CPU or ready and waiting for one, in
// seconds: schedstat's first two fields, in nanoseconds, where the kernel keeps them
// (stat's clock ticks, a hundredth of a second, are too coarse to tell what a thread did
// in 10 ms); else its CPU time from stat, for both. Sorted by thread id.
struct Scheduled {
  pid_t tid = 0;
  double ran = 0, wanted = 0;
};
std::vector<Scheduled> schedstat(pid_t pid);
// The children of a process, from /proc/PID/task/*/children.
std::vector<pid_t> children(pid_t pid);

// Whether an address lies in a program's own data, as its maps show it: its executable's
// mappings and the zeroed ones straight after them (the rest of its globals), its heap and
// its main stack; not a library's data, nor a thread's stack.
bool own_data(const std::vector<Mapping> &maps, const std::string &exe, uintptr_t address);

// Where an address lies, as a process's maps show it: its executable's data (its mappings
// and the zeroed one straight after them), its heap, its main stack, a file it mapped (a
// named semaphore's /dev/shm/sem.NAME), a shared mapping without a file, a private one (a
// thread's stack, a large allocation), or a library's data (a library's mappings and the
// zeroed one after them). All but a library's are memory the program made for itself.
struct Place {
  enum Kind { none, data, heap, stack, file, shared, anonymous, library } kind = none;
  std::string path;  // the file of `file` and `library`
  uintptr_t start = 0;
  bool own() const {
    return kind != none && kind != library;
  }
};
Place place_of(const std::vector<Mapping> &maps, const std::string &exe, uintptr_t address);

// The executable's global that holds `address` (in its data, where its maps place it),
// from its symbol table as `nm -C -S --defined-only` lists it (`symbols`: "" runs nm), or
// "" if none: at its offset from where the executable is mapped, or, for a
// position-dependent executable, at its own address.
std::vector<Line> symbols(const std::string &exe);
std::string global_at(const std::vector<Line> &symbols, const std::vector<Mapping> &maps,
                      const std::string &exe, uintptr_t address);

// What each write to stdout said: the output cut into the bytes of each write call on
// descriptor 1, in the trace's order, with the thread that made it. On a terminal stdio
// writes each line as it is printed, by the thread that prints it; on a pipe it writes
// its buffer when full, or at exit by the thread that ends the process.
struct Said {
  pid_t tid = 0;
  double at = 0;  // when the write began, by the trace's clock
  std::string text;
};
std::vector<Said> said(const Traced &t);

}  // namespace watcher
