// Building and running a learner's program. The build uses this build's compiler and the
// project's warnings; every run of the program gets limits that make any mistake in it
// harmless to the machine: a fork loop, a flood, a file or an allocation without end, a
// program that never ends. The judge gets a folder of its own, removed afterwards.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "lab.hpp"

#ifndef SOURCE_DIR
#define SOURCE_DIR "."
#endif
#ifndef LAB_CXX
#define LAB_CXX "c++"
#endif

namespace lab {

namespace fs = std::filesystem;

static double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// While a judge runs: the moment its lab's seconds are up. Every run of the learner's
// program ends by then.
static double judging_ends = 0;

std::string fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

double shown(double value, int decimals) {
  return strtod(fixed(value, decimals).c_str(), nullptr);
}

std::string hex(uintptr_t address) {
  char text[32];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
  return text;
}

std::string joined(const std::vector<std::string> &items) {
  std::string all;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0 && i + 1 == items.size())
      all.append(" ").append(words::line("lab.and")).append(" ");
    else if (i > 0)
      all.append(", ");
    all.append(items[i]);
  }
  return all;
}

std::vector<std::string> lines_with(const std::string &text, long number) {
  std::vector<std::string> found;
  std::string digits = std::to_string(number);
  size_t next_line = 0;  // a line is counted once however often it holds the number
  for (size_t at = text.find(digits); at != std::string::npos; at = text.find(digits, at + 1)) {
    size_t end = at + digits.size();
    bool whole = (at == 0 || !isdigit(static_cast<unsigned char>(text[at - 1]))) &&
                 (end == text.size() || !isdigit(static_cast<unsigned char>(text[end])));
    size_t begin = text.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    if (!whole || begin < next_line)
      continue;
    found.push_back(text.substr(begin, text.find('\n', at) - begin));
    next_line = begin + found.back().size() + 1;
  }
  return found;
}

Check check(const std::string &name, bool passed, const Vars &facts) {
  return {name, passed ? Verdict::passed : Verdict::failed, facts};
}

Check unjudged(const std::string &name, const std::string &why) {
  return {name, Verdict::not_judged, {{"why", why}}};
}

std::string cannot_trace() {
  static const std::string why = [] {
    std::string refused = tracing_refused();
    if (refused.empty())
      return refused;
    if (refused.starts_with("strace is not installed"))
      return words::line("lab.no_strace");
    return words::line("lab.trace_refused", {{"why", refused}});
  }();
  return why;
}

uid_t learner_uid() {
  return 2'000'000'000u + static_cast<uid_t>(getpid());
}

// The tasks (processes and threads: RLIMIT_NPROC counts both) a user runs now.
static long tasks_of(uid_t uid) {
  long n = 0;
  std::error_code gone;
  for (const auto &entry : fs::directory_iterator("/proc", gone)) {
    std::ifstream status(entry.path() / "status");
    long real = -1, threads = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("Uid:"))
        real = atol(line.c_str() + 4);
      else if (line.starts_with("Threads:"))
        threads = atol(line.c_str() + 8);
    }
    n += real == static_cast<long>(uid) ? threads : 0;
  }
  return n;
}

Run limited(const Learner &l, Run r) {
  double left = judging_ends > 0 ? judging_ends - now() : r.deadline;
  r.deadline = std::max(0.5, std::min(r.deadline, left));
  r.grace = std::min(r.grace, 1.0);
  if (r.cwd.empty())
    r.cwd = l.folder;
  // Run as root, the program takes a user id of its own as it starts (as_learner.cpp).
  bool root = geteuid() == 0;
  uid_t uid = root ? learner_uid() : getuid();
  if (root)
    r.env.push_back("LAB_UID=" + std::to_string(uid));
  // Everything computed here: the child between fork and exec may only make system calls.
  rlim_t tasks = tasks_of(uid) + 64;
  rlim_t cpu = static_cast<rlim_t>(std::ceil(r.deadline + r.grace)) + 1;
  // ThreadSanitizer reserves terabytes of address space for its shadow memory.
  bool sanitized =
      !l.tsan.empty() && std::find(r.argv.begin(), r.argv.end(), l.tsan) != r.argv.end();
  auto before = r.before_exec;
  r.before_exec = [=] {
    if (before)
      before();
    auto limit = [](int resource, rlim_t soft, rlim_t hard) {
      rlimit value = {soft, hard};
      setrlimit(resource, &value);
    };
    limit(RLIMIT_NPROC, tasks, tasks);
    limit(RLIMIT_FSIZE, 64 << 20, 64 << 20);
    limit(RLIMIT_CORE, 0, 0);
    limit(RLIMIT_CPU, cpu, cpu + 2);
    if (!sanitized)
      limit(RLIMIT_AS, rlim_t{1} << 30, rlim_t{1} << 30);
  };
  return r;
}

// The compiler's output, cut to its first lines.
static std::string first_lines(const std::string &text, size_t count) {
  size_t end = 0;
  for (size_t n = 0; n < count && end < text.size(); ++n)
    end = text.find('\n', end) == std::string::npos ? text.size() : text.find('\n', end) + 1;
  return text.substr(0, end);
}

static Outcome compile(const std::string &source, const std::string &program, bool tsan) {
  std::vector<std::string> argv = {LAB_CXX,      "-std=c++20", "-Wall",   "-Wextra",
                                   "-Wpedantic", "-O2",        "-pthread"};
  if (tsan)
    argv.insert(argv.end(), {"-fsanitize=thread", "-g"});
  argv.insert(argv.end(), {source, SOURCE_DIR "/tools/lab/as_learner.cpp", "-o", program, "-lrt"});
  return watch({.argv = argv, .deadline = 120});
}

// "" when this compiler builds a program with ThreadSanitizer and the program runs here;
// otherwise why not. Tried once, on a tiny program.
static std::string tsan_refused(const std::string &folder) {
  static std::string why = "?";
  if (why != "?")
    return why;
  std::string source = folder + "/tiny.cpp", program = folder + "/tiny";
  std::ofstream(source) << "int main() {}\n";
  Outcome built = compile(source, program, true);
  Outcome ran = built.status == 0 ? watch({.argv = {program}, .deadline = 20}) : Outcome{};
  std::string said = (built.status != 0 ? built.err : ran.err);
  said = said.substr(0, said.find('\n'));
  why = ran.status == 0 ? "" : words::line("lab.no_tsan", {{"compiler", LAB_CXX}, {"why", said}});
  fs::remove(source);
  fs::remove(program);
  return why;
}

Built build(const Lab &lab, const std::vector<std::string> &sources) {
  Built b;
  // In TMPDIR, as mktemp would, else /tmp.
  std::string folder = fs::temp_directory_path() / "lab.XXXXXX";
  if (!mkdtemp(folder.data())) {
    b.messages = words::line("lab.no_folder");
    return b;
  }
  b.learner.folder = folder;
  if (geteuid() == 0)  // the program runs as the learner's own user id (as_learner.cpp)
    (void)!chown(folder.c_str(), learner_uid(), learner_uid());
  b.learner.sources = sources;
  b.ok = true;
  for (size_t i = 0; i < sources.size() && b.ok; ++i) {
    std::string program = b.learner.folder + "/" + fs::path(lab.starts[i]).stem().string();
    Outcome o = compile(sources[i], program, false);
    b.messages += first_lines(o.err, 20);
    b.ok = o.status == 0;
    b.learner.programs.push_back(program);
  }
  if (b.ok && lab.tsan) {
    b.learner.tsan_why = tsan_refused(b.learner.folder);
    std::string program = b.learner.programs[0] + ".tsan";
    if (b.learner.tsan_why.empty()) {
      Outcome o = compile(sources[0], program, true);
      if (o.status == 0)
        b.learner.tsan = program;
      else
        b.learner.tsan_why = words::line("lab.tsan_failed", {{"compiler", LAB_CXX}});
    }
  }
  if (!b.ok)
    fs::remove_all(b.learner.folder);
  return b;
}

// The lab's checks in its own order, whatever order the judge returned them in; one it
// did not return is not judged, and one the lab does not list still reaches the learner,
// after the others.
static std::vector<Check> in_order(const Lab &lab, const std::vector<Check> &returned) {
  std::vector<Check> ordered;
  for (const std::string &check : lab.checks) {
    std::string name = lab.name + "." + check;
    auto found = std::find_if(returned.begin(), returned.end(),
                              [&](const Check &c) { return c.name == name; });
    ordered.push_back(found != returned.end() ? *found
                                              : unjudged(name, words::line("lab.not_returned")));
  }
  for (const Check &c : returned)
    if (std::none_of(ordered.begin(), ordered.end(),
                     [&](const Check &o) { return o.name == c.name; }))
      ordered.push_back(c);
  return ordered;
}

std::vector<Check> judge(const Lab &lab, Built &built) {
  judging_ends = now() + lab.seconds;
  std::vector<Check> checks = in_order(lab, lab.judge(built.learner));
  judging_ends = 0;
  std::error_code ignored;
  fs::remove_all(built.learner.folder, ignored);
  return checks;
}

}  // namespace lab
