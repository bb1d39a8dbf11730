// A page of runs: what a traced run did, as plain structs (a row per thread or process on
// one time axis, its sleeps in the kernel, its output, what linked it to another row), and
// the two files drawn from them: one self-contained HTML page with inline SVG, readable
// offline and with scripting off, and the Trace Event Format JSON that trace viewers
// (Perfetto, chrome://tracing) open. timeline.hpp fills the structs from a trace.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace page {

// What a row was doing over a span of time. Between its spans a row is awake: on a CPU or
// ready for one, which strace's record cannot tell apart (the CPU bar tells how much).
enum class State { futex, wait, sleep, call, zombie };

struct Span {
  double from = 0, to = 0;  // seconds by the trace's clock
  State state = State::call;
  std::string what;  // "futex wait on `sem`", for the hover text
};

// A write to stdout: the lines it carried, on the row of the thread that made it.
struct Mark {
  double at = 0;
  std::string text;
  int lines = 0;
};

struct Row {
  pid_t tid = 0, process = 0;   // the thread, and the process it belongs to
  std::string label;            // "main 1234", "thread 1235", "child 1236"
  double made = 0, ended = -1;  // -1: still there when the trace ended
  std::string end;              // how it ended: "exit_group(0)", "killed by SIGINT"...
  std::vector<Span> spans;      // in time order
  std::vector<Mark> marks;
  double cpu = -1;  // seconds on a CPU, as /proc last showed them; -1 unknown
  // Its CPU time so far as /proc showed it every 10 ms: (seconds by the trace's clock,
  // seconds on a CPU); drawn under the row as the share of each interval it ran.
  std::vector<std::pair<double, double>> readings;
};

// One row's call or end that made another row go on: a wake that woke a sleeper, a
// thread's end that let a join return, a wait that reaped an ended child.
struct Link {
  enum Kind { wake, join, reap } kind = wake;
  pid_t from = 0, to = 0;
  double from_at = 0, to_at = 0;
  std::string what;
};

// A verdict on a run: a lab's check, a tour prediction, beside what decided it.
struct Verdict {
  std::string name;           // "sleeping_producer.sleeps", or a prediction's question
  std::string word;           // "passed", "failed", "not_judged"
  std::string label;          // the same, in the words
  std::string text;           // what decided it
  pid_t row = 0;              // the row it is about, when known
  double from = -1, to = -1;  // and the time, when known
};

// One traced run, drawn.
struct Section {
  std::string title;
  std::string program;  // the file name of the program traced
  std::vector<std::string> notes;
  double end = 0;   // seconds: the trace's last event
  double zero = 0;  // when its clock's 0 was, in seconds since the epoch; 0 unknown
  int clones = 0;  // the threads and processes the trace shows made
  std::vector<Row> rows;
  std::vector<Link> links;
  std::vector<Verdict> verdicts;
};

// A tour stop or a lab: what was said of it, its verdicts, its traced runs.
struct Part {
  std::string title;
  std::vector<std::string> notes;
  std::vector<Verdict> verdicts;  // those not drawn beside one run
  std::vector<Section> sections;
};

struct Page {
  std::string title;
  std::vector<std::string> intro;
  std::vector<Part> parts;
};

// The page as one HTML file, each long run drawn aggregated: one state, one mark and one
// link per pixel column and row at most, with what they stand for on hover.
std::string html(const Page &p);
// The same runs as Trace Event Format JSON: a process and a thread per row, each span a
// complete event, each write an instant event, each link a flow.
std::string trace_events(const Page &p);
// Writes a file whole; false when it cannot.
bool write_file(const std::string &path, const std::string &content);
// The words' name of a state: "page.state.futex"...
std::string state_name(State s);

}  // namespace page
