// The tests' side of the watcher: programs by name, the sanitizer check, fault hooks.
#pragma once

#include "watch.hpp"

using watcher::Line;
using watcher::Outcome;
using watcher::texts;

// watcher::Run, with argv[0] a program's name (see program()) or a path.
using watcher::Run;

// Runs the program with watcher::watch; a sanitizer's report on stderr fails the current test.
Outcome run(const Run &r);

// The path CMake built a program at, by the program's name.
std::string program(const std::string &name);

// The names of all the programs CMake builds.
std::vector<std::string> programs();

// The sanitizers the programs were built with: "", "address,undefined" or "thread".
std::string sanitizer();

// The whole of a file, "" when there is none.
std::string contents(const std::string &path);

// The lines of the output, each ended by a newline.
std::string joined(const Outcome &o);
// The same with the tour's and the lab's folded lines (continued after three or more
// spaces) put back together, so that a sentence can be found whole.
std::string unfolded(const Outcome &o);
std::string unfolded(const std::string &text);

#define EXPECT_HAS(all, part) \
  EXPECT_NE((all).find(part), std::string::npos) << (part) << " missing from:\n" << (all)

// Child hooks for fault injection.
void fail_thread_creation();  // a huge default thread stack under a small address space
void fail_fork();             // seccomp: fork, vfork, clone and clone3 fail with EAGAIN
