// The tour as a class meets it: its stops on a pipe, its predictions answered from a
// file and judged by the run, its quotes of long calls, its command line, its installed
// copy.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "harness.hpp"
#include "trace.hpp"

namespace fs = std::filesystem;

// The same, with each folded sentence on one line again.
// The tour with --predict and these answers on its standard input, one a line.
static Outcome predict(const std::string &answers, std::vector<std::string> args, Run r = {}) {
  fs::path file = fs::temp_directory_path() / ("answers-" + std::to_string(getpid()));
  std::ofstream(file) << answers;
  r.argv = {"/bin/sh", "-c", "f=$1; shift; exec \"$0\" --predict \"$@\" < \"$f\"",
            BUILD_DIR "/tools/tour", file.string()};
  r.argv.insert(r.argv.end(), args.begin(), args.end());
  r.deadline = 60;
  Outcome o = run(r);
  fs::remove(file);
  return o;
}

TEST(Tour, ShowsEveryLineOfItsProgramsAndTheEvidenceOnAPipe) {
  // Like ./tour | tee tour.txt: the programs run on terminals of their own, so even one
  // stopped after 2 s of its 100 has written out every line before it is stopped.
  Outcome o = run({.argv = {BUILD_DIR "/tools/tour", "parent_child", "record_pass", "tally_locked",
                            "leader_leaves"},
                   .deadline = 60});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = joined(o);
  for (const char *shown :
       {"\nChild process, pid=0\nParent Proces, pid=", "\nX\nX\nX\nX\nX\n",
        "=> exit status 0; first line: Child process, pid=0\n", "=> exit status 0, 5 lines of X\n",
        ", 0 breaks in the sequence", "Hello QM104! I’m Thread #1 ^_^!!!\n",
        "I’m Main Thread: create Thread: #1\n"})
    EXPECT_HAS(all, shown);
}

TEST(Tour, CtrlCLeavesNothingBehind) {
  // Interrupted while a program and its traced twin run beside the tour on terminals of
  // their own, and while it waits for an answer on the keyboard.
  for (std::vector<std::string> args : {std::vector<std::string>{"leader_leaves"},
                                        {"leader_awaits"},
                                        {"--predict", "parent_child"}}) {
    args.insert(args.begin(), BUILD_DIR "/tools/tour");
    Outcome o = run({.argv = args, .tty = true, .deadline = 1.5});
    EXPECT_EQ(o.status, 130) << args[1];
    EXPECT_FALSE(o.left_behind) << args[1] << " outlived the tour";
    EXPECT_TRUE(o.interrupted);
  }
}

TEST(Predict, RightWrongAndInvalidAnswersFromAPipe) {
  // parent_child: which line first (a is right), what the child prints (c is wrong);
  // script_launch elsewhere: "x" is no choice.
  Outcome o = predict("a\nc\nx\n", {"--no-trace", "parent_child", "script_launch"});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = unfolded(o);
  EXPECT_HAS(all, "!! you said a: matched. This run's first line was \"Child process, pid=0\".\n");
  EXPECT_HAS(all, "!! you said c: not matched. The child printed pid=0;");
  EXPECT_HAS(all, "the run's answer was a) 0");
  EXPECT_HAS(all, "\"x\" is not one of a, b or c: counted as skipped.");
  EXPECT_HAS(all, "!! (skipped) Beside count.sh the child printed 10 numbers");
  EXPECT_HAS(all, "=> 1 of 2 predictions matched what this machine did (1 skipped, 0 not judged).");
  // What to watch for would give the answers away: it comes only after the verdicts.
  EXPECT_GT(all.find("the child's line comes first"), all.find("!! you said a: matched."));
}

TEST(Predict, EndOfInputSkipsTheRest) {
  Outcome o = predict("a\n", {"--no-trace", "parent_child", "script_launch"});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = unfolded(o);
  EXPECT_HAS(all, "=> 1 of 1 prediction matched what this machine did (2 skipped");
  size_t said = all.find("the answers ended here");
  EXPECT_NE(said, std::string::npos) << all;
  EXPECT_EQ(all.find("the answers ended here", said + 1), std::string::npos) << "said once";
}

TEST(Predict, WithoutTheTraceAFilesAnswersStayWithTheirQuestions) {
  // Written for the full tour, one answer a line. record_pass asks two questions only the
  // trace can judge (the second after its traced run, never reached here), tally_locked
  // one beside a question the run judges: their lines, 5, 7 and 9, are passed over, and
  // the letters after them still go to the questions they were written for.
  Outcome o = predict("5\n7\nb\n9\nb\na\n", {"--no-trace", "record_pass", "tally_locked",
                                               "parent_child"});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = unfolded(o);
  for (const char *passed : {"\"5\", passed over", "\"7\", passed over", "\"9\", passed over"})
    EXPECT_HAS(all, passed);
  EXPECT_LT(all.find("\"7\", passed over"), all.find("== tally_locked")) << "at its own stop";
  EXPECT_HAS(all, "you said b: matched. This run printed");  // tally_locked never breaks
  EXPECT_HAS(all, "you said b: not matched. This run's first line was \"Child process");
  EXPECT_HAS(all, "you said a: matched. The child printed pid=0");
  EXPECT_EQ(all.find("is not one of"), std::string::npos) << all;
  EXPECT_HAS(all, "(0 skipped, 0 not judged, 3 not asked).");
}

TEST(Predict, OutOfRangeNumbersAndCapitalLettersFromAFile) {
  Outcome o = predict("A\n-3\n99999999999999999999\n", {"--no-trace", "parent_child", "workers_quit"});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = unfolded(o);
  EXPECT_HAS(all, "you said a: matched. This run's first line");
  EXPECT_HAS(all, "\"-3\" is not one of a, b or c: counted as skipped.");
  EXPECT_HAS(all, "\"99999999999999999999\" is not a number from 0 to 1000000: counted as skipped.");
  EXPECT_HAS(all, "=> 1 of 1 prediction matched what this machine did (2 skipped");
}

// The tour on a pseudo-terminal of its own, under a shell that reads one more line after
// it, as the learner's shell would; each time a prompt for an answer appears, the next
// keys are typed, all at once, as a quick learner types them.
static std::string typed(const std::vector<std::string> &args, std::vector<std::string> keys) {
  std::string command = "\"$0\" \"$@\"; read -r -t 1 rest; echo \"left for the shell: [$rest]\"";
  std::vector<std::string> argv = {"/bin/bash", "-c", command, BUILD_DIR "/tools/tour"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char *> pointers;
  for (std::string &a : argv)
    pointers.push_back(a.data());
  pointers.push_back(nullptr);
  int terminal;
  pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  std::string all;
  size_t prompts = 0, next = 0;
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    pollfd p = {terminal, POLLIN, 0};
    poll(&p, 1, 50);
    char buffer[4096];
    ssize_t n = p.revents ? read(terminal, buffer, sizeof buffer) : 0;
    if (p.revents && n <= 0)
      break;  // the shell is gone
    all.append(buffer, std::max<ssize_t>(n, 0));
    for (size_t at = 0; (at = all.find("your answer", at)) != std::string::npos; at += 11)
      if (++prompts > next && next < keys.size())
        (void)!write(terminal, keys[next].data(), keys[next].size()), ++next;
    prompts = 0;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(terminal);
  return std::regex_replace(std::regex_replace(all, std::regex("\r"), ""),
                            std::regex("\n   +"), " ");
}

TEST(Predict, KeysTypedWhileAProgramRunsAnswerNothing) {
  // "1" typed with parent_child's answer would answer workers_quit's question, and
  // "left over" typed with the last answer would reach the shell after the tour.
  std::string all = typed({"--predict", "--no-trace", "parent_child", "workers_quit"},
                          {"A\n", "a\n1\n", "-3\n", "99999999999999999999\n", "1\nleft over\n"});
  EXPECT_HAS(all, "you said a: matched. This run's first line");  // "A" taken as a
  EXPECT_HAS(all, "\"-3\" is not a number from 0 to 1000000; try again.");
  EXPECT_HAS(all, "\"99999999999999999999\" is not a number from 0 to 1000000; try again.");
  EXPECT_HAS(all, "left for the shell: []");
  EXPECT_EQ(all.find("left for the shell: [left over]"), std::string::npos) << all;
  EXPECT_HAS(all, " of 3 predictions matched");  // none skipped
}

TEST(Predict, ThreadsListedOneSecondIn) {
  // leader_leaves: 3 threads, main a zombie (both right); workers_quit: one more than ran
  // is wrong.
  std::string three = "3", one = "1", two = "2";
  Outcome o =
      predict(three + "\nb\n" + two + "\n", {"--no-trace", "leader_leaves", "workers_quit"});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = unfolded(o);
  if (!sanitizer().empty()) {
    // A sanitizer's slow start may leave main or the workers unended one second in: the
    // verdicts then follow that table, and only that each question was judged holds.
    for (std::string answer : {three, std::string("b"), two})
      EXPECT_HAS(all, "you said " + answer + ": ");
    return;
  }
  EXPECT_HAS(all, "you said " + three + ": matched. One second in, the threads /proc/");
  EXPECT_HAS(all, "you said b: matched. One second in, main's state was Z.");
  EXPECT_HAS(all, "you said " + two + ": not matched.");
  EXPECT_HAS(all, "task listed: " + one + ": the run's answer was " + one + ".");
}

TEST(Predict, JudgedByWhatThisRunDidNotByTheUsualAnswer) {
  // Line-buffered by stdbuf's library, record_pass writes each line on its own even into
  // a pipe: 5 writes where the usual answer is 1. "1" is then wrong, and "5" right.
  const char *library = "/usr/libexec/coreutils/libstdbuf.so";
  if (!sanitizer().empty() || !fs::exists(library) || !watcher::tracing_refused().empty())
    GTEST_SKIP() << "needs strace, a plain build and " << library;
  for (const char *answer : {"1", "5"}) {
    Outcome o = predict(std::string(answer) + "\n5\n", {"record_pass"},
                        {.env = {std::string("LD_PRELOAD=") + library, "_STDBUF_O=L"}});
    std::string all = unfolded(o);
    EXPECT_HAS(all, "carried the five lines into a pipe: 5");
    EXPECT_HAS(all, "The usual answer is 1; this run did otherwise");
    EXPECT_HAS(all, std::string("you said ") + answer +
                        (answer[0] == '5' ? ": matched." : ": not matched."));
  }
}

TEST(Predict, VerdictsAgreeWithTheEvidenceOfTheSameRun) {
  Outcome o = predict("a\n\n1168\n\n", {"--no-trace", "tally_racy", "stock_gate"});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = unfolded(o);
  std::smatch breaks, top;
  ASSERT_TRUE(std::regex_search(all, breaks, std::regex("=> \\d+ lines, (\\d+) breaks"))) << all;
  ASSERT_TRUE(std::regex_search(all, top, std::regex("largest unsold stock seen: (\\d+)"))) << all;
  bool broke = std::stoi(breaks[1]) > 0;
  EXPECT_HAS(all, broke ? "you said a: matched." : "you said a: not matched.");
  // The bound is judged exactly, and only by a run whose stock reached it.
  EXPECT_HAS(all, std::string("you said 1168: ") +
                      (std::stoi(top[1]) >= 1168 ? "matched" : "not judged"));
}

TEST(Quote, ShortensOnlyBetweenTwoArguments) {
  const std::string clone3 =
      "clone3({flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|CLONE_THREAD|CLONE_SYSVSEM|"
      "CLONE_SETTLS|CLONE_PARENT_SETTID|CLONE_CHILD_CLEARTID, child_tid=0x7fed6ac4c990, "
      "parent_tid=0x7fed6ac4c990, exit_signal=0, stack=0x7fed6a44c000, stack_size=0x7fff00, "
      "tls=0x7fed6ac4c6c0} => {parent_tid=[4971]}, 88) = 4971";
  const std::string write = "write(1, \"a, b, c, d, e, f, g, h\"..., 4096) = 4096";
  for (const std::string &call : {clone3, write})
    for (size_t limit = 20; limit <= call.size() + 1; ++limit) {
      std::string s = watcher::shorten_call(call, limit);
      SCOPED_TRACE(s);
      std::string result = call.substr(call.rfind(')'));
      if (s == call) {  // whole: it fits, or not even its first argument would
        EXPECT_TRUE(call.size() <= limit || limit < call.find(',') + 5 + result.size()) << limit;
        continue;
      }
      EXPECT_LE(s.size(), limit);
      size_t dots = s.find(", ...");
      ASSERT_NE(dots, std::string::npos);
      EXPECT_EQ(s.substr(0, dots), call.substr(0, dots)) << "the call's start, as printed";
      EXPECT_EQ(call[dots], ',') << "cut between two arguments, never inside one";
      EXPECT_EQ(std::count(s.begin(), s.begin() + dots, '"') % 2, 0) << "nor inside a string";
      EXPECT_TRUE(s.ends_with(", ..." + result)) << "its result kept";
    }
}

TEST(Tour, CommandLine) {
  Outcome help = run({.argv = {BUILD_DIR "/tools/tour", "--help"}});
  EXPECT_EQ(help.status, 0);
  EXPECT_HAS(joined(help), "--predict");
  // The script prints the same usage at once, before (and without) any build: here
  // beside nothing but the words it reads it from.
  fs::path clone = fs::temp_directory_path() / ("clone-" + std::to_string(getpid()));
  fs::create_directories(clone / "tools/tour/words");
  fs::copy_file(SOURCE_DIR "/tour", clone / "tour");
  fs::copy_file(SOURCE_DIR "/tools/tour/words/tour.txt", clone / "tools/tour/words/tour.txt");
  Outcome script = run({.argv = {(clone / "tour").string(), "--no-trace", "--help"}});
  fs::remove_all(clone);
  EXPECT_EQ(script.status, 0) << script.err;
  EXPECT_EQ(joined(script), joined(help));
  Outcome unknown = run({.argv = {BUILD_DIR "/tools/tour", "nonsuch"}});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(unknown.lines.empty());
  EXPECT_HAS(unknown.err, "\"nonsuch\"");
  for (const char *stop : {"parent_child", "stock_gate", "memo_replier"})
    EXPECT_HAS(unknown.err, stop);
}

TEST(Tour, InstalledRunsFromAnotherFolderBesideItsPrograms) {
  fs::path prefix = fs::temp_directory_path() / ("tour-" + std::to_string(getpid()));
  Outcome installed =
      run({.argv = {CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", prefix.string()}});
  fs::path tour = prefix / "libexec/os_mechanisms/tour";
  Outcome o = run({.argv = {tour.string(), "--no-trace", "script_launch"}, .cwd = "/"});
  fs::remove_all(prefix);
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = joined(o);
  EXPECT_HAS(all, "=> the script printed 10 numbers in the child");
  EXPECT_EQ(all.find("missing from the tour's words"), std::string::npos) << all;
}
