// The tour's engine: where the programs and the words are, the words themselves, the
// output (titles, evidence, notes), running a program on the watcher, the kernel's record
// of a run quoted and drawn, and the learner's predictions. The stops, one file per
// topic, work out what each run established and pick the words that say it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "facts.hpp"
#include "trace.hpp"
#include "watch.hpp"
#include "words.hpp"

namespace tour {

using namespace watcher;
using Vars = std::map<std::string, std::string>;

struct Settings {
  bool full = false;     // let the 100-second programs finish
  bool tracing = true;   // show the under-the-hood sections
  bool predict = false;  // ask before each run, judge after it
  std::string no_trace;  // why strace cannot show them here, or ""
  int width = 100;       // of the terminal
};
extern Settings settings;
extern bool made_shm;       // the tour's opener made /dev/shm/OS and nobody removed it yet
extern bool after_verdict;  // the last thing printed was a verdict

// ---- where things are ------------------------------------------------------------------

// Finds the programs and the words from the tour's own path: installed, all of them lie
// flat beside it (the words in tour-words/); built, the programs are in the build
// folder's topic folders and the words in the source tree.
void locate();
std::string program(const std::string &topic, const std::string &name);
std::string programs_folder();  // for people: "build/<topic>" when built

// ---- words -----------------------------------------------------------------------------

bool load_words();
// Lines with each {word} filled in from vars; "{word?one|many}" becomes "one" when the
// word's value is 1 and "many" otherwise ("{n} {n?CPU|CPUs}").
using words::fill;
using words::line;
using words::named;  // the names that start with a prefix, in the words' order
using words::text;

// ---- output ----------------------------------------------------------------------------

void out(const std::string &line);
void gap();  // an empty line, unless the last line printed was one
std::string strong(const std::string &line);
// A stop's heading and what the program does; what to watch for follows at once, or with
// --predict only after the verdicts, from lessons().
void title(const std::string &name);
void lessons();
void evidence(const std::string &name, const Vars &vars = {});  // "=> " before its first line
void note(const std::string &name, const Vars &vars = {});      // under a quoted call
std::string fixed(double value, int decimals);
// The value as fixed(value, 1) shows it, for a verdict that must agree with the number
// printed beside it (1.49 is shown as 1.5, and must then be judged as 1.5).
double tenths(double value);
std::string when(double seconds);  // milliseconds below a second
std::string list(const std::vector<long> &values);

// ---- running ---------------------------------------------------------------------------

// On a terminal of its own, its bytes copied to ours as they come.
Outcome shown(Run r);
// A program that prints millions of lines a second, into a pipe for a second.
Outcome flood(Run r);
// The heading of an under-the-hood section, or false (and why not) when there is none.
bool hood(const std::string &program);
bool can_trace();

// ---- the kernel's record ---------------------------------------------------------------

void quote(const Event &e);
// A quoted call and the note under it, shown with others in the order they were made.
struct Said {
  const Event *call;
  std::string note;  // "" for none
  Vars vars = {};
  bool quoted = true;  // false: a note on a call quoted already
};
void in_order(std::vector<Said> said);
std::vector<Said> clones(const Traced &t);  // each thread's creation, with what it shows
void timeline(const Traced &t);


// How many lines a write carried, and whether that is a buffer's worth or about a line.
void show_writes(const Writes &w, size_t lines);

// ---- predictions -----------------------------------------------------------------------

// A question from the words, asked before a run when the tour predicts; its answer.
// Thrown where the tour waits for an answer and Ctrl-C ends it.
struct Interrupted {};

struct Asked {
  std::string name;
  bool asked = false;  // the tour predicts
  std::string answer;  // a choice's letter or a number; "" when skipped
};
Asked ask(const std::string &name);
// Judges an answer by what the run established: the run's choice ("" when the run did not
// show it) or number, and the words that quote the deciding fact.
void judge(const Asked &a, const std::string &choice, const Vars &fact);
void judge(const Asked &a, double value, const Vars &fact);
void judge_unseen(const Asked &a, const std::string &why);
// After a stop: each of its questions (named ask.STOP.*, for each of these stops) that was
// neither asked nor passed over, in the words' order, is passed over now, with its line in
// an answers file, so that a file's answers keep matching the questions they were
// written for.
void passed_over(const std::vector<std::string> &stops,
                 const std::string &why = "predict.not_reached");
// Throws away what was typed on the keyboard and not read yet (while a program ran, say):
// it must neither answer the next question nor reach the shell after the tour.
void forget_typed();
void score();

}  // namespace tour
