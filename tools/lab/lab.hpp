// The lab: a learner changes one of the programs, and the kernel's record of a run of
// their program judges the change. A lab names its starting code (the program's own
// source, never overwritten), its task and hints (in the words), and a judge that builds
// nothing itself: it is handed the learner's built program, runs it under limits, works
// out the run's facts with the same code as the tour (facts.hpp), and returns its checks.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "facts.hpp"
#include "trace.hpp"
#include "watch.hpp"
#include "words.hpp"

namespace lab {

using namespace watcher;
using words::Vars;

enum class Verdict { passed, failed, not_judged };

// One check of a run. The words "<name>.passed", "<name>.failed" or "<name>.not_judged"
// say the fact that decided it, filled in from `facts`; a failure's words also say what
// that fact means.
struct Check {
  std::string name;  // "lock_the_tally.breaks"
  Verdict verdict = Verdict::not_judged;
  Vars facts;
};

// What a judge is handed: the learner's files, built, and a folder of its own to run in.
struct Learner {
  std::vector<std::string> sources;   // as given, one per starting file, in the lab's order
  std::vector<std::string> programs;  // the built programs, same order
  std::string folder;                 // a fresh folder for the runs, removed afterwards
  std::string tsan;                   // the first program built with ThreadSanitizer, or ""
  std::string tsan_why;               // why there is none, when asked for and not built
};

struct Lab {
  std::string name;                 // "reap_the_zombie"
  std::string topic;                // "process_control": words and starting code's folder
  std::vector<std::string> starts;  // starting code, from the source tree: "parent_child.cpp"
  double seconds;                   // the most judging may take, the build not counted
  bool tsan;                        // also build the first file with ThreadSanitizer
  std::vector<Check> (*judge)(const Learner &);
};

// Every lab, in the order they are listed; the topics' files add theirs.
const std::vector<Lab> &labs();
extern const Lab reap_the_zombie, join_the_workers, lock_the_tally, sleeping_producer,
    wake_the_opener;

// ---- running a learner's program -------------------------------------------------------

// A learner's program is untrusted input: this adds the limits under which any run of it
// is harmless (processes, file size, CPU time, memory, lines kept, a deadline), and runs it
// in the learner's folder. Use it for every Run of a learner's program, watched or traced.
Run limited(const Learner &l, Run r);

// "" when strace can trace here; otherwise why not, in one line (words).
std::string cannot_trace();

// A check that could not be made on this machine: not judged, with the reason.
Check unjudged(const std::string &name, const std::string &why);
Check check(const std::string &name, bool passed, const Vars &facts);

// The lines of a text that hold `number` as a whole number (not inside a longer one).
std::vector<std::string> lines_with(const std::string &text, long number);
std::string joined(const std::vector<std::string> &items);  // "a, b and c"
std::string fixed(double value, int decimals);
std::string hex(uintptr_t address);

// ---- the framework (run.cpp), for main.cpp ---------------------------------------------

// A learner's files built in a fresh folder: ok, or the compiler's first errors. The
// compiler's warnings are kept either way, for the learner to read.
struct Built {
  bool ok = false;
  std::string messages;  // the compiler's output, cut to its first lines
  Learner learner;
};
Built build(const Lab &lab, const std::vector<std::string> &sources);
// Runs the lab's judge on a built learner within the lab's seconds, then removes the
// learner's folder and everything in it.
std::vector<Check> judge(const Lab &lab, Built &built);
// The real user id a learner's program runs as when the lab runs as root (RLIMIT_NPROC
// holds for every user but root): an id no account has, one per lab process.
uid_t learner_uid();

}  // namespace lab
