// The README's example commands, read out of README.md and run as a learner types them,
// against what the README says next to each.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "harness.hpp"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

static long number(const std::string &text) {
  return std::regex_match(text, std::regex("-?[0-9]+")) ? std::stol(text) : -1;
}

// ThreadSanitizer starts a thread of its own in every program.
static size_t extra_threads() {
  return sanitizer() == "thread";
}

// What the commands before it in its block left: the shell's pid and the files they wrote.
struct Context {
  pid_t shell;
  fs::path root;  // stands for the clone: root/build/<topic>/ holds links to the programs
};

struct Check {
  const char *command;  // a regular expression for the whole command, comment cut off
  std::function<void(const Lines &out, const Context &c)> check;
  int runs = 0;
};

// A removed file stays readable to the checks under this name (a hard link made first).
static const char *kept = ".kept";

// The lines of a tally file, as the README's commands count them.
struct TallyFile {
  long lines = 0, high = 0;
  Lines breaks;  // the first five, "NR: line"
};

static TallyFile tally_file(const fs::path &path) {
  TallyFile t;
  std::ifstream in(path);
  long previous = 0;
  for (std::string line; std::getline(in, line);) {
    ++t.lines;
    size_t colon = line.find(": ");
    long value = colon == std::string::npos ? 0 : std::atol(line.c_str() + colon + 2);
    t.high += value >= 20;
    if (t.lines > 1 && value != (previous == 19 ? 0 : previous + 1) && t.breaks.size() < 5)
      t.breaks.push_back(std::to_string(t.lines) + ": " + line);
    previous = value;
  }
  return t;
}

static std::vector<Check> checks() {
  auto read = std::make_shared<std::optional<TallyFile>>();
  auto racy = [read](const Context &c) {
    if (!*read)
      *read = tally_file(c.root / "build/synchronisation" / kept);
    return **read;
  };
  auto nothing = [](const Lines &out, const Context &) { EXPECT_EQ(out, Lines{}); };
  return {
      {"cd build/process_control", nothing},
      {"\\./script_launch a b",
       [](const Lines &out, const Context &c) {
         // Piped, the child's script writes first, the parent at its exit.
         Lines expected;
         for (int i = 1; i <= 10; ++i)
           expected.push_back(std::to_string(i));
         expected.push_back("PARENTS | PID = P | PPID = " + std::to_string(c.shell));
         expected.push_back("PARENTS | There are 2 arguments");
         ASSERT_EQ(out.size(), expected.size());
         Lines got = out;
         got[10] = std::regex_replace(got[10], std::regex("PID = [0-9]+ \\|"), "PID = P |");
         EXPECT_EQ(got, expected);
       }},
      {"cd /tmp && \"\\$OLDPWD/script_launch\" a b",
       [](const Lines &out, const Context &) {
         ASSERT_EQ(out.size(), 6u);
         std::smatch child, parent;
         ASSERT_TRUE(std::regex_match(
             out[0], child, std::regex("CHILDREN \\| PID = ([0-9]+) \\| PPID = ([0-9]+)")));
         ASSERT_TRUE(std::regex_match(out[4], parent,
                                      std::regex("PARENTS \\| PID = ([0-9]+) \\| PPID = [0-9]+")));
         EXPECT_EQ(child[2], parent[1]) << "the child's PPID is the parent's PID";
         EXPECT_NE(child[1], parent[1]);
         EXPECT_EQ(Lines(out.begin() + 1, out.begin() + 4),
                   (Lines{"CHILDREN | List of arguments: ", "a", "b"}));
         EXPECT_EQ(out[5], "PARENTS | There are 2 arguments");
       }},
      {"cd build/synchronisation && timeout -s INT 2 \\./tally_racy > racy\\.txt", nothing},
      {"grep -c \\. racy\\.txt",
       [=](const Lines &out, const Context &c) {
         ASSERT_EQ(out.size(), 1u);
         EXPECT_EQ(number(out[0]), racy(c).lines);
         EXPECT_GT(number(out[0]), 1000) << "two seconds of tally_racy";
       }},
      {"grep -cE '.*' racy\\.txt",
       [=](const Lines &out, const Context &c) {
         ASSERT_EQ(out.size(), 1u);
         EXPECT_EQ(number(out[0]), racy(c).high) << "the values of 20 or more";
       }},
      {"awk .* racy\\.txt",
       [=](const Lines &out, const Context &c) {
         EXPECT_EQ(out, racy(c).breaks) << "the first five breaks";
         if (sanitizer() != "thread") {  // whose scheduling can hide the race
           EXPECT_FALSE(out.empty()) << "no break in two seconds of tally_racy";
         }
       }},
      {"rm racy\\.txt",
       [](const Lines &out, const Context &c) {
         EXPECT_EQ(out, Lines{});
         EXPECT_FALSE(fs::exists(c.root / "build/synchronisation/racy.txt"));
       }},
      {"cd build/synchronisation", nothing},
      {"\\./stock_gate > /dev/null & sleep 2; cut -d' ' -f1 \\$\\(ls -v "
       "/proc/\\$!/task/\\*/schedstat\\); kill \\$!",
       [](const Lines &out, const Context &) {
         // Nanoseconds on a CPU by thread id: main, the seller, the producer (after
         // ThreadSanitizer's own).
         ASSERT_EQ(out.size(), 3u + extra_threads());
         long main = number(out[0]), seller = number(out[out.size() - 2]),
              producer = number(out.back());
         EXPECT_GE(main, 0);
         // Under ThreadSanitizer main's time holds its runtime's start, a fifth of a
         // second of mapping shadow memory, which a seller on a busy CPU may not reach.
         if (sanitizer() != "thread") {
           EXPECT_LT(main * 4, seller) << "main, which only waits, used almost no CPU";
         }
         EXPECT_LT(main * 4, producer);
       }},
  };
}

// Fenced commands not run here, each for its reason. Of the commands in the prose only ps,
// timeout and head are run (below): the shared-memory pair's two terminals, `ls -l` and `rm`
// of /dev/shm/OS would touch the machine's own object, and the tour and the build have
// tests of their own.
static const std::vector<std::pair<std::regex, const char *>> left_out = {
    {std::regex("sudo .*"), "installs packages as root"},
    {std::regex("\\./tour.*"), "the tour, tested on its own"},
    {std::regex("\\./check.*"), "the whole suite under three builds"},
    {std::regex("cmake --install .*"), "installs into a system folder; tested with a private one"},
    {std::regex("[0-9]+ [0-9.]+ s .*"), "a quoted trace, not a command"},
};

// The README's fenced blocks: runs of lines indented four spaces, without comment lines.
static std::vector<Lines> blocks(const std::string &readme) {
  std::vector<Lines> all;
  std::istringstream in(readme);
  bool open = false;
  for (std::string line; std::getline(in, line);) {
    bool code = line.rfind("    ", 0) == 0;
    if (code && !open)
      all.emplace_back();
    open = code || (open && line.empty());
    std::string command = code ? std::regex_replace(line, std::regex("^ +"), "") : "";
    if (code && command[0] != '#')
      all.back().push_back(command);
  }
  return all;
}

TEST(Readme, FencedCommandsDoWhatTheReadmeSays) {
  auto table = checks();
  fs::path root = fs::temp_directory_path() / ("readme-" + std::to_string(getpid()));
  struct Remove {
    fs::path path;
    ~Remove() {
      fs::remove_all(path);
    }
  } remove{root};  // also after a failed assertion: racy.txt is hundreds of megabytes
  for (const std::string &name : programs()) {
    fs::path path = program(name), topic = root / "build" / path.parent_path().filename();
    fs::create_directories(topic);
    fs::create_symlink(path, topic / name);
  }
  fs::create_symlink(BUILD_DIR "/process_control/count.sh",
                     root / "build/process_control/count.sh");

  for (const Lines &block : blocks(contents(SOURCE_DIR "/README.md"))) {
    std::string first = std::regex_replace(block.at(0), std::regex(" +#.*"), "");
    bool skip = false;
    for (const auto &[pattern, why] : left_out)
      skip = skip || std::regex_match(first, pattern);
    if (skip)
      continue;
    // One shell for the block, as in one terminal; a marker line before each command's
    // output, and a hard link keeping what a command removes for the checks.
    std::string script;
    std::vector<Check *> checked;
    for (size_t i = 0; i < block.size(); ++i) {
      std::string command = std::regex_replace(block[i], std::regex(" +#.*"), "");
      Check *found = nullptr;
      for (Check &c : table)
        if (!found && std::regex_match(command, std::regex(c.command)))
          found = &c;
      if (!found)
        ADD_FAILURE() << "no check for the README's command: " << command;
      checked.push_back(found);
      std::smatch removed;
      if (std::regex_match(command, removed, std::regex("rm ([a-z.]+)")))
        script += "ln -f " + removed[1].str() + " " + kept + "\n";
      script += "echo @@@ " + std::to_string(i) + "\n" + block[i] + "\n";
    }
    pid_t shell = 0;
    Outcome o = run({.argv = {"/bin/bash", "-c", script},
                     .cwd = root.string(),
                     .deadline = 30,
                     .started = [&](pid_t pid) { shell = pid; }});
    SCOPED_TRACE(script);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    std::vector<Lines> outputs;
    for (const std::string &text : texts(o))
      if (text.rfind("@@@ ", 0) == 0)
        outputs.emplace_back();
      else if (!outputs.empty())
        outputs.back().push_back(text);
    ASSERT_EQ(outputs.size(), block.size());
    for (size_t i = 0; i < block.size(); ++i)
      if (checked[i]) {
        SCOPED_TRACE(block[i]);
        checked[i]->check(outputs[i], {shell, root});
        ++checked[i]->runs;
      }
  }
  for (const Check &c : table)
    EXPECT_GT(c.runs, 0) << "no README command for the check " << c.command;
}

// The commands quoted in the README's prose: the `ps` that shows leader_leaves' threads, and
// the `timeout -s INT 2` and `| head -n 20` that bound a program that never ends.
static Lines spans(const std::string &text, const std::string &pattern) {
  Lines found;
  std::regex span("`(" + pattern + ")`");
  for (std::sregex_iterator i(text.begin(), text.end(), span), end; i != end; ++i)
    found.push_back((*i)[1]);
  return found;
}

// A ps command quoted with N for the pid, as argv for this pid.
static std::vector<std::string> ps_argv(const std::string &command, pid_t pid) {
  std::istringstream words(std::regex_replace(command, std::regex(" N$"), " " + std::to_string(pid)));
  std::vector<std::string> argv;
  for (std::string word; words >> word;)
    argv.push_back(word);
  argv[0] = "/usr/bin/ps";
  return argv;
}

TEST(Readme, PsShowsMainDefunctBesideTwoSleepingWorkers) {
  std::string readme = contents(SOURCE_DIR "/README.md");
  Lines ps = spans(readme, "ps -L [^`]*"), whole = spans(readme, "ps -[^L][^`]*");
  ASSERT_FALSE(ps.empty());
  for (const char *header :
       {"/thread_lifetime/leader_leaves.cpp", "/thread_lifetime/workers_quit.cpp"})
    for (const std::string &command : spans(contents(std::string(SOURCE_DIR) + header), "ps [^`]*"))
      (command.starts_with("ps -L ") ? ps : whole).push_back(command);
  for (const std::string &command : ps)
    EXPECT_EQ(command, ps[0]) << "one ps command with threads throughout";
  for (const std::string &command : whole)
    EXPECT_TRUE(std::regex_match(command, std::regex("ps (-o [a-z,]+ )?-p N"))) << command;
  // The README's names the state column it speaks of (plain ps -p N shows no state).
  for (const std::string &command : spans(readme, "ps -[^L][^`]*"))
    EXPECT_TRUE(std::regex_match(command, std::regex("ps -o pid,stat,cmd -p N"))) << command;

  // On a terminal, so that its lines come at once; main is gone right after its last line.
  // The watcher makes it the leader of the terminal's session, which ps marks with an "s".
  std::atomic<pid_t> pid = 0;
  std::atomic<size_t> lines = 0;
  std::thread leaves([&] {
    run({.argv = {"leader_leaves"},
         .tty = true,
         .deadline = 20,
         .stop_when = [&](const std::vector<Line> &l) { return lines = l.size(), false; },
         .started = [&](pid_t started) { pid = started; }});
  });
  Lines shown;
  std::string main_line;
  for (int tries = 0; tries < 100 && main_line.empty(); ++tries) {
    watcher::pause(0.05);
    if (lines < 3)
      continue;
    shown = texts(run({.argv = ps_argv(ps[0], pid)}));
    for (const std::string &line : shown)
      if (std::regex_match(line,
                           std::regex(" *" + std::to_string(pid) + " +" + std::to_string(pid) +
                                      " Zs?l\\+ +\\[leader_leaves\\] <defunct>")))
        main_line = line;
  }
  // Without -L, ps and /proc/N/status report main's state for the whole living process.
  for (const std::string &command : whole) {
    Lines one = main_line.empty() ? Lines{} : texts(run({.argv = ps_argv(command, pid)}));
    ASSERT_EQ(one.size(), 2u) << command << ": a heading and the process";
    EXPECT_NE(one[1].find(std::to_string(pid)), std::string::npos) << one[1];
    if (command.find("stat,cmd") != std::string::npos) {
      EXPECT_TRUE(std::regex_search(one[1], std::regex(" Zs?l\\+ +\\[leader_leaves\\] <defunct>$")))
          << one[1];
    }
  }
  std::string status =
      main_line.empty() ? "" : contents("/proc/" + std::to_string(pid) + "/status");
  EXPECT_TRUE(std::regex_search(status, std::regex("\nState:\tZ \\(zombie\\)\n"))) << status;
  EXPECT_TRUE(std::regex_search(
      status, std::regex("\nThreads:\t" + std::to_string(3 + extra_threads()) + "\n")))
      << status;
  if (pid > 0)
    kill(pid, SIGKILL);
  leaves.join();
  ASSERT_EQ(shown.size(), 4u + extra_threads()) << "a heading and three threads";
  EXPECT_TRUE(std::regex_match(shown[0], std::regex(" *PID +LWP STAT CMD")));
  std::string all;
  for (const std::string &line : shown)
    all += line + "\n";
  EXPECT_NE(main_line, "") << "main is not shown Zl and defunct:\n" << all;
  int sleeping = 0;
  for (const std::string &line : shown)
    sleeping += std::regex_match(
        line, std::regex(" *" + std::to_string(pid) + " +[0-9]+ Ss?l\\+ +.*leader_leaves"));
  // Both workers asleep; ThreadSanitizer's own thread may be caught awake.
  EXPECT_GE(sleeping, 2) << "two workers asleep:\n" << all;
  EXPECT_LE(sleeping, 2 + static_cast<int>(extra_threads())) << all;
}

TEST(Readme, TimeoutAndHeadBoundAProgramThatNeverEnds) {
  std::string readme = contents(SOURCE_DIR "/README.md");
  Lines timeouts = spans(readme, "timeout -s INT [0-9]+"),
        heads = spans(readme, "\\| head -n [0-9]+");
  ASSERT_FALSE(timeouts.empty() || heads.empty());
  for (const std::string &bound : timeouts) {
    double seconds = std::stod(bound.substr(bound.rfind(' ')));
    // Into a file, as the README runs it; timeout's own status 124 says it had to stop it.
    Outcome o =
        run({.argv = {"/bin/bash", "-c", bound + " \"$0\" > /dev/null", program("endless_chat")},
             .deadline = seconds + 5});
    EXPECT_EQ(o.status, 124) << bound;
    EXPECT_NEAR(o.end, seconds, 1) << bound;
  }
  for (const std::string &bound : heads) {
    size_t count = std::stoul(bound.substr(bound.rfind(' ')));
    Outcome o = run(
        {.argv = {"/bin/bash", "-c", "\"$0\" " + bound, program("endless_chat")}, .deadline = 5});
    EXPECT_EQ(o.lines.size(), count) << bound;
    EXPECT_EQ(o.status, 0) << bound;
    EXPECT_LT(o.end, 2.5) << bound << " must end it as soon as head has its lines";
  }
}

// The README's prose with each run of white space made one space, as a sentence reads.
static std::string prose() {
  return std::regex_replace(contents(SOURCE_DIR "/README.md"), std::regex("\\s+"), " ");
}

// Whether some mapping of this process covers `address`.
static bool mapped(uintptr_t address) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    unsigned long from = 0, to = 0;
    if (sscanf(line.c_str(), "%lx-%lx", &from, &to) == 2 && from <= address && address < to)
      return true;
  }
  return false;
}

// Where the calling thread's stack lies, and its kernel id.
struct Stack {
  std::atomic<uintptr_t> low = 0;
  std::atomic<pid_t> tid = 0;  // stored last: once set, low is there
};
static void *own_stack(void *into) {
  pthread_attr_t attr;
  void *low = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
  }
  static_cast<Stack *>(into)->low = reinterpret_cast<uintptr_t>(low);
  static_cast<Stack *>(into)->tid = gettid();
  return nullptr;
}

// A joined thread's stack, and a detached one's once the kernel has ended the thread, are
// still mapped: the C library keeps them for its next thread, as the README says.
TEST(Readme, StacksStayMappedAfterAJoinAndAfterADetach) {
  std::string readme = prose();
  EXPECT_HAS(readme, "a join or a detach would not unmap them either");
  EXPECT_HAS(readme, "joined or detached, they would stay mapped too");
  EXPECT_EQ(readme.find("until a join or a detach"), std::string::npos);
  Stack joined, detached;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, own_stack, &joined), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  ASSERT_NE(joined.low, 0u);
  EXPECT_TRUE(mapped(joined.low)) << "the joined thread's stack was unmapped";
  ASSERT_EQ(pthread_create(&thread, nullptr, own_stack, &detached), 0);
  ASSERT_EQ(pthread_detach(thread), 0);
  // Ended once the kernel no longer lists it (the C library frees its stack before that).
  for (int tries = 0; tries < 400; ++tries) {
    pid_t tid = detached.tid;
    if (tid && access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0)
      break;
    watcher::pause(0.005);
  }
  ASSERT_NE(detached.tid, 0) << "the detached thread never ran";
  ASSERT_NE(detached.low, 0u);
  ASSERT_NE(access(("/proc/self/task/" + std::to_string(detached.tid)).c_str(), F_OK), 0)
      << "the detached thread did not end";
  EXPECT_TRUE(mapped(detached.low)) << "the detached thread's stack was unmapped";
}

// Open files survive an exec, but for those marked close-on-exec: the new program, a
// shell as count.sh is, finds the one and not the other.
TEST(Readme, ExecKeepsOpenFilesButThoseMarkedCloseOnExec) {
  std::string readme = prose();
  EXPECT_HAS(readme, "The pid and the open files survive the exec");
  EXPECT_HAS(readme, "but for descriptors marked close-on-exec");
  int kept = open("/dev/null", O_RDONLY), closed = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(kept, 0);
  ASSERT_GE(closed, 0);
  std::string k = std::to_string(kept), c = std::to_string(closed);
  Outcome o = run({.argv = {"/bin/sh", "-c",
                            "for fd in " + k + " " + c +
                                "; do if [ -e /proc/$$/fd/$fd ]; then echo $fd open; else echo "
                                "$fd closed; fi; done"}});
  close(kept);
  close(closed);
  EXPECT_EQ(texts(o), (Lines{k + " open", c + " closed"}));
}
