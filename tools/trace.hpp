// The kernel's side of a run: a program watched under strace, its system calls read back
// as typed events, and what /proc and the executable's symbol table say about its memory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "watch.hpp"

namespace watcher {

// One line of strace's record, with the two halves of an interrupted call joined.
struct Event {
  pid_t tid = 0;                  // the thread that made the call
  double at = 0;                  // when the call began, in seconds since the trace's first event
  double done = 0;                // when its result came back (later than `at` if it blocked)
  std::string name;               // "clone3", "futex"...; "+++" for an end, "---" for a signal
  std::vector<std::string> args;  // the arguments as strace printed them
  std::string result;             // after " = ": "7527", "-1 ENOENT (No such...)", "?"
  long value = 0;                 // the result as a number (-1 for an error)
  std::string error;              // "ENOENT", or "" on success
  std::string text;               // the call as strace printed it, both halves joined

  bool ok() const {
    return error.empty();
  }
  const std::string &arg(size_t i) const;  // "" past the last argument
};

// Reads the output of `strace -f -ttt -o FILE`: "PID SECONDS call(args) = result". The
// times are made relative to the first event's; `zero`, if given, gets that event's time
// (seconds since the epoch).
std::vector<Event> read_trace(std::istream &in, double *zero = nullptr);

// A call as strace printed it, cut to at most `limit` characters where it can be: the
// arguments at the end give way, whole, at a comma between two (outside quoted text, at
// any depth), and ", ..." stands for them; the name, the first arguments and the result
// stay. No number, flag or string is ever cut in two.
std::string shorten_call(const std::string &text, size_t limit);

// Says whether a set of flags as strace prints them ("CLONE_VM|CLONE_FS|SIGCHLD", also
// inside "flags=...") holds one flag.
bool has_flag(const std::string &flags, const std::string &flag);

struct Traced {
  Outcome out;                // the program's own output, as from watch()
  std::vector<Event> events;  // every traced call of every thread and child
  pid_t pid = 0;              // the program's process id (the first execve's)
  double zero = 0;            // the first event's time, in seconds since the epoch
};

// Runs r under strace, following threads and children, tracing the calls named in `calls`
// (strace's -e trace= list; execve is always added). r.started is given the program's pid
// once the program runs, its C library loaded.
Traced trace(Run r, const std::string &calls);

// What a tool that keeps its runs (to draw them afterwards) does with each traced run:
// `started` is given the program's pid once it runs, before the Run's own `started`, and
// `ended` the whole record once it is read. Set `onlooker` and every trace() asks it for
// a Looking of its own (traces may run at once, from threads); unset, a trace costs
// nothing more.
struct Looking {
  std::function<void(pid_t)> started;
  std::function<void(const Traced &)> ended;
  std::string calls;  // traced besides the run's own calls (strace's -e trace= list), or ""
};
extern std::function<Looking()> onlooker;

// "" when strace can trace a program here; otherwise why not, in one line.
std::string tracing_refused();

// A line of /proc/PID/maps.
struct Mapping {
  uintptr_t start = 0, end = 0;
  std::string perms, device, path;
  unsigned long offset = 0, inode = 0;
};
std::vector<Mapping> maps(pid_t pid);

// Where the global `name` of a running process's executable (or of a library, by the
// end of its path) lies, from the ELF symbol table and the process's mappings; 0 if
// nowhere.
uintptr_t symbol_address(pid_t pid, const std::string &object, const std::string &name);

// The address of the lock the C library takes around every print to stdout, read from
// the running process's own stdout; 0 if it cannot be read.
uintptr_t stdout_lock(pid_t pid);

}  // namespace watcher
