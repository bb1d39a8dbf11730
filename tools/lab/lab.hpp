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
  // Its checks' short names ("zombie" for "reap_the_zombie.zombie"), in the order every
  // judgement reports them, whatever the judge returned: a grader's loop sees the same
  // tests and the same highest score for every submission.
  std::vector<std::string> checks;
  // Those of its checks that the unchanged starting code passes by construction: such a
  // pass scores only beside a passed check of the others, where the learner's change is seen.
  std::vector<std::string> given = {};
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
// The value as fixed(value, decimals) shows it: a verdict judged on it agrees with the
// number its words print (0.996 s is shown as 1.00 s, and must pass a limit of 1 s).
double shown(double value, int decimals);
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
// learner's folder and everything in it. The checks come in the lab's order; one the judge
// did not return is not judged, with the reason.
std::vector<Check> judge(const Lab &lab, Built &built);

std::string verdict_word(Verdict v);  // "passed", "failed", "not_judged"

// A check as it counts: a pass of a check in the lab's `given` scores only when one of
// its other checks passed in the same judgement; `unscored` then says why it did not.
struct Scored {
  Check check;
  bool scores = false;
  std::string unscored;  // "" or, for a pass that carries no score, why (words)
};
std::vector<Scored> scored(const Lab &lab, const std::vector<Check> &checks);

// One test of a results file, as course autograding platforms read it.
struct Result {
  std::string name, status, output;  // status "passed" or "failed"
  int score = 0, max_score = 1;
};
// The results file: the tests and their total, as JSON with any bytes that are not
// UTF-8 replaced, so that it parses whatever the learner's program printed.
bool write_results(const std::string &path, const std::vector<Result> &tests);
// A judgement's tests: each check's words, a pass that carries no score saying why.
std::vector<Result> results(const std::vector<Scored> &checks);
// A check's words, filled in from its facts and folded to `room` columns (0: as written).
std::vector<std::string> check_words(const Check &c, size_t room = 0);
// The same tests for a submission that could not be judged: each of the lab's checks,
// scored 0, with `why`; for no lab at all (a name mistyped), one test named after it.
std::vector<Result> unjudged_results(const Lab *lab, const std::string &asked,
                                     const std::string &why);
// With a page of the runs asked for (--html): each check beside the traced run that
// decided it, on the lab's part of the page (picture.cpp).
void draw_checks(const Lab &lab, const std::vector<Scored> &checks);
// The real user id a learner's program runs as when the lab runs as root (RLIMIT_NPROC
// holds for every user but root): an id no account has, one per lab process.
uid_t learner_uid();

}  // namespace lab
