// The tour's thread and synchronisation stops judged by runs that make the edge cases
// happen: stand-in programs whose output sits at a judging rule's edge, the real programs
// on one CPU and on all this machine gives, and what /proc shows of a living process
// whose main thread has ended and of workers that ended unjoined.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <vector>

#include "cpus.hpp"
#include "harness.hpp"
#include "trace.hpp"

namespace fs = std::filesystem;

// The tour with --predict and these answers on its standard input.
static Outcome predict(const std::string &tour, const std::string &answers,
                       std::vector<std::string> args, Run r = {}) {
  fs::path file = fs::temp_directory_path() / ("threads-answers-" + std::to_string(getpid()));
  std::ofstream(file) << answers;
  r.argv = {"/bin/sh", "-c", "f=$1; shift; exec \"$0\" --predict \"$@\" < \"$f\"", tour,
            file.string()};
  r.argv.insert(r.argv.end(), args.begin(), args.end());
  r.deadline = 60;
  Outcome o = run(r);
  fs::remove(file);
  return o;
}

// A copy of the tour laid out as installed, its words beside it, with one program replaced
// by a shell script: the tour runs whatever lies beside it under the program's name.
struct StandIn {
  fs::path folder = fs::temp_directory_path() / ("tour-stand-in-" + std::to_string(getpid()));
  StandIn(const std::string &name, const std::string &script) {
    fs::create_directories(folder / "tour-words");
    fs::copy_file(BUILD_DIR "/tools/tour", folder / "tour");
    for (const auto &words : fs::directory_iterator(SOURCE_DIR "/tools/tour/words"))
      fs::copy_file(words.path(), folder / "tour-words" / words.path().filename());
    std::ofstream(folder / name) << "#!/bin/sh\n" << script;
    fs::permissions(folder / name, fs::perms::owner_all);
  }
  ~StandIn() {
    fs::remove_all(folder);
  }
  std::string tour() const {
    return (folder / "tour").string();
  }
};

// A shell loop printing endless_chat's two lines in runs of the given lengths, the two
// kinds taking turns (an even number of lengths, so that the loop keeps the turns).
static std::string chat_in_runs(std::vector<int> lengths) {
  std::string lines;
  for (size_t i = 0; i < lengths.size(); ++i)
    for (int n = 0; n < lengths[i]; ++n)
      lines += i % 2 ? "I’m fine, and you?\\n" : "Hello, How are you?\\n";
  return "while :; do printf '" + lines + "'; done\n";
}

static std::string chat_in_runs(int n) {
  return chat_in_runs({n, n});
}

TEST(EndlessChat, LinesPerRunJudgedOnlyAtEitherEnd) {
  // 49 runs of two lines and 51 of one: 1.49 lines a run, shown as 1.5 and judged so.
  std::vector<int> shown_as_between(100, 1);
  std::fill_n(shown_as_between.begin(), 49, 2);
  struct Row {
    std::vector<int> runs;  // lines in each run of one kind
    std::string verdict;
  } rows[] = {
      {{1, 1}, "you said a: matched."},
      {{3, 3}, "you said a: not judged, the run did not show it (3.0 lines a run on average"},
      {shown_as_between, "you said a: not judged, the run did not show it (1.5 lines a run"},
      {{50, 50}, "you said a: not matched."},
  };
  for (const Row &row : rows) {
    StandIn chat("endless_chat", chat_in_runs(row.runs));
    Outcome o = predict(chat.tour(), "a\n", {"--no-trace", "endless_chat"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_HAS(unfolded(o), row.verdict);
  }
}

// Pinned runs set beside the free ones by what the two runs showed: a stand-in that prints
// runs of one length free and of another when its affinity allows one CPU only.
TEST(EndlessChat, PinnedRunsWordedByHowTheyCompareWithFree) {
  if (watcher::cpus() < 2)
    GTEST_SKIP() << "the tour compares pinned with free runs only where it may use two CPUs";
  struct Row {
    int free, pinned;
    const char *said;
  } rows[] = {
      {10, 15, "15.0 lines a run, longer than free, but not twice as long."},
      {10, 5, "5.0 lines a run, no longer even than free."},
      {10, 10, "10.0 lines a run, no longer even than free."},
      {10, 30, "only one thread runs at a time and a run ends only where the scheduler"},
  };
  for (const Row &row : rows) {
    std::string free_or_pinned = "if grep -q '^Cpus_allowed_list:.*[,-]' /proc/self/status; then\n";
    StandIn chat("endless_chat", free_or_pinned + chat_in_runs(row.free) + "else\n" +
                                     chat_in_runs(row.pinned) + "fi\n");
    Outcome o = run({.argv = {chat.tour(), "--no-trace", "endless_chat"}, .deadline = 60});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_HAS(unfolded(o), row.said);
  }
}

// The bound stock_gate's producer keeps, read from its source.
static int stock_bound() {
  std::smatch digits;
  std::string all = contents(SOURCE_DIR "/synchronisation/stock_gate.cpp");
  EXPECT_TRUE(std::regex_search(all, digits, std::regex("digits = (\\d+);")));
  return digits.empty() ? 0 : std::stoi(digits[1]);
}

TEST(StockGate, BoundJudgedExactlyAndOnlyWhenReached) {
  int bound = stock_bound();
  std::string b = std::to_string(bound);
  // Products run `bound` ahead, then each sale lets one more be made; or never ahead at all.
  std::string full = "n=0; while [ $n -lt " + b + " ]; do n=$((n+1)); echo \"products = $n\"; done\n" +
                     "s=0; while :; do s=$((s+1)); echo \"sells = $s\"; echo \"products = $((s+" +
                     b + "))\"; done\n";
  std::string never = "n=0; while :; do n=$((n+1)); echo \"products = $n\"; echo \"sells = $n\"; done\n";
  struct Row {
    std::string script, answer, verdict;
  } rows[] = {
      {full, b, "you said " + b + ": matched."},
      {full, std::to_string(bound - 1), "you said " + std::to_string(bound - 1) + ": not matched."},
      {full, std::to_string(bound + 1), "you said " + std::to_string(bound + 1) + ": not matched."},
      {never, b, "you said " + b + ": not judged, the run did not show it (the stock rose only to 1, never to its bound)"},
  };
  for (const Row &row : rows) {
    StandIn gate("stock_gate", row.script);
    Outcome o = predict(gate.tour(), row.answer + "\nb\n", {"--no-trace", "stock_gate"});
    EXPECT_EQ(o.status, 0) << o.err;
    std::string all = unfolded(o);
    EXPECT_HAS(all, row.verdict);
    // A shell has no producer thread whose CPU time could show spinning.
    EXPECT_HAS(all, "you said b: not judged");
  }
}

// Runs the command with this process's CPUs, or pinned to the first of them.
static Run on_cpus(bool one) {
  return one ? Run{.before_exec = watcher::pinned_to_first()} : Run{};
}

TEST(Synchronisation, PinnedBreaksAndSpinningOnOneCpuAndOnAll) {
  if (sanitizer() == "thread")
    GTEST_SKIP() << "ThreadSanitizer's own thread and scheduling change what is measured";
  std::string bound = std::to_string(stock_bound());
  for (bool one : {true, false}) {
    SCOPED_TRACE(one ? "one CPU" : "all CPUs");
    Outcome o = predict(BUILD_DIR "/tools/tour", "a\nb\n" + bound + "\nb\n",
                        {"--no-trace", "tally_racy", "stock_gate"}, on_cpus(one));
    EXPECT_EQ(o.status, 0) << o.err;
    std::string all = unfolded(o);
    // Taking turns on one CPU, the threads still interleave: on every machine, every run.
    EXPECT_HAS(all, "!! you said b: matched. Pinned, ");
    EXPECT_EQ(all.find("(this tour may use only one CPU") != std::string::npos, one);
    std::smatch top, ratio;
    ASSERT_TRUE(std::regex_search(all, top, std::regex("largest unsold stock seen: (\\d+)")));
    bool reached = std::stoi(top[1]) >= std::stoi(bound);
    EXPECT_HAS(all, "you said " + bound + (reached ? ": matched." : ": not judged"));
    // The CPU times are weighed only when the stock reached its bound: a producer held back
    // by a slow pipe or a busy machine never had to spin.
    bool spun = false;
    if (reached) {
      ASSERT_TRUE(std::regex_search(all, ratio, std::regex("[Tt]he producer used ([0-9.]+) times")))
          << all;
      spun = std::stod(ratio[1]) >= 1.5;
    } else {
      EXPECT_HAS(all, "you said b: not judged, the run did not show it (the stock rose only to " +
                         std::string(top[1]));
    }
    EXPECT_HAS(all, spun ? "you said b: matched. The stock reached" : "you said b: not judged");
    if (spun) {
      bool said = all.find("With one CPU, the producer's spin takes the CPU") != std::string::npos;
      EXPECT_EQ(said, one);
    }
  }
}

TEST(Lifetime, LivingProcessThatLooksDeadAndStacksKeptUntilJoined) {
  if (!watcher::tracing_refused().empty())
    GTEST_SKIP() << "the kept stacks are read beside strace's record: " << watcher::tracing_refused();
  Outcome o = run({.argv = {BUILD_DIR "/tools/tour", "leader_leaves", "workers_quit"}, .deadline = 60});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = unfolded(o);
  // ps without -L reports main's state for the process: Z, though three threads live. Said
  // only when the table one second in found main ended (a slow start, under a sanitizer,
  // may not have come that far).
  int threads = 3 + (sanitizer() == "thread");
  bool ended = std::regex_search(all, std::regex("thread \\d+ \\(main\\): state Z"));
  EXPECT_EQ(std::regex_search(
                all, std::regex("=> Yet /proc/(\\d+)/stat, which ps -o pid,stat,cmd -p \\1 reads when "
                                "not given -L, shows the whole process as Z, a zombie: .* "
                                "/proc/\\1/status says Threads: " +
                                std::to_string(threads) + ";")),
            ended)
      << all;
  if (sanitizer().empty()) {
    EXPECT_TRUE(ended) << all;
  }
  // Each ended, unjoined worker's stack: the size the C library gives a thread's stack,
  // RLIMIT_STACK (8 MiB unless set otherwise), guard page included.
  rlimit stack;
  getrlimit(RLIMIT_STACK, &stack);
  if (stack.rlim_cur == RLIM_INFINITY)
    stack.rlim_cur = 8 << 20;
  char mib[32];
  snprintf(mib, sizeof mib, "%.1f MiB", stack.rlim_cur / 1048576.0);
  std::regex held("long after thread \\d+ had ended, /proc/\\d+/maps still held its stack: "
                  "([0-9.]+ MiB)");
  auto kept = std::sregex_iterator(all.begin(), all.end(), held);
  int n = 0;
  for (auto it = kept; it != std::sregex_iterator(); ++it, ++n)
    if (sanitizer() != "thread") {  // ThreadSanitizer gives threads stacks of its own size
      EXPECT_EQ((*it)[1], mib);
    }
  // Read one second in: a sanitizer's slow start may not have ended both workers by then.
  if (sanitizer().empty())
    EXPECT_EQ(n, 2) << all;
  else
    EXPECT_LE(n, 2) << all;
}
