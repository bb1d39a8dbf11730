// Runs one built program the way a user would, and records what comes out of it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Line {
  std::string text;  // without its newline
  double at;         // seconds from the start until the newline arrived
};

struct Run {
  std::vector<std::string> argv;      // argv[0]: a program's name (see program())
  bool tty = false;                   // stdout on a pseudo-terminal instead of a pipe
  std::string cwd;                    // working directory, if not ours
  std::vector<std::string> env;       // extra NAME=VALUE entries
  std::function<void()> before_exec;  // runs in the child just before exec
  double deadline = 10;               // then SIGINT to the whole process group...
  double grace = 2;                   // ...and SIGKILL this much later
  std::function<bool(const std::vector<Line> &)> stop_when;  // checked as lines arrive
  size_t max_lines = 2'000'000;                              // keep no more: stop the program there
  size_t hang_up_after = SIZE_MAX;     // close our end of a stdout pipe after this many lines
  std::function<void(pid_t)> started;  // runs in the harness once the program is started
};

struct Outcome {
  std::vector<Line> lines;   // complete lines of stdout
  std::string tail;          // bytes after the last newline
  std::string err;           // stderr
  int status = -1;           // exit status, or -1 if a signal ended it
  int signal = 0;            // the terminating signal, or 0
  bool interrupted = false;  // the harness sent SIGINT (deadline or stop_when)
  bool left_behind = false;  // its process group outlived it (the harness then killed it)
  double end = 0;            // seconds from the start until the program ended
};

// Starts the program, waits for it (or stops it), reaps it and everything it started.
// A sanitizer's report on stderr fails the current test.
Outcome run(const Run &r);

// The path CMake built a program at, by the program's name.
std::string program(const std::string &name);

// The names of all the programs CMake builds.
std::vector<std::string> programs();

// The sanitizers the programs were built with: "", "address,undefined" or "thread".
std::string sanitizer();

// The texts of the lines, without their times.
std::vector<std::string> texts(const Outcome &o);

// Child hooks for fault injection.
void fail_thread_creation();  // a huge default thread stack under a small address space
void fail_fork();             // seccomp: fork, vfork, clone and clone3 fail with EAGAIN
