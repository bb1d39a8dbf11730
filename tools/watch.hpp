// Watches one program the way a user would: starts it with its output on a pipe or on a
// terminal of its own, times every line, stops it, and reaps everything it started.
// The tests use it to assert and the tour to show.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace watcher {

struct Line {
  std::string text;  // without its newline
  double at;         // seconds from the start until the newline arrived
};

struct Run {
  std::vector<std::string> argv;      // argv[0]: the path of the program (or a name on PATH)
  bool tty = false;                   // stdout on a pseudo-terminal instead of a pipe
  std::string cwd;                    // working directory, if not ours
  std::vector<std::string> env;       // extra NAME=VALUE entries
  std::function<void()> before_exec;  // runs in the child just before exec
  double deadline = 10;               // then SIGINT to the process group (^C on a terminal)...
  double grace = 2;                   // ...and SIGKILL this much later
  std::function<bool(const std::vector<Line> &)> stop_when;  // checked as lines arrive
  size_t max_lines = 2'000'000;                              // keep no more: stop the program there
  size_t hang_up_after = SIZE_MAX;     // close our end of a stdout pipe after this many lines
  std::function<void(pid_t)> started;  // runs in the watcher once the program is started
  int echo = -1;                       // a descriptor that gets every byte of stdout as it comes
};

struct Outcome {
  std::vector<Line> lines;   // complete lines of stdout
  std::string tail;          // bytes after the last newline
  std::string err;           // stderr
  int status = -1;           // exit status, or -1 if a signal ended it
  int signal = 0;            // the terminating signal, or 0
  bool interrupted = false;  // the watcher sent SIGINT (deadline or stop_when)
  bool left_behind = false;  // its process group outlived it (the watcher then killed it)
  bool cancelled = false;    // cancel() was called while it ran: it was killed at once
  double end = 0;            // seconds from the start until the program ended
};

// Starts the program, waits for it (or stops it), reaps it and everything it started.
Outcome watch(const Run &r);

// From now on every watch() kills its program within a poll (20 ms) and starts no new
// one. Safe to call from a signal handler: the tour's Ctrl-C.
void cancel();
bool cancelled();

// Sleeps, but no longer than until cancel().
void pause(double seconds);

// The texts of the lines, without their times.
std::vector<std::string> texts(const Outcome &o);

}  // namespace watcher
