// The README's example commands, read out of README.md and run as a learner types them,
// against what the README says next to each.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

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

static std::string file(const fs::path &path) {
  std::stringstream all;
  all << std::ifstream(path).rdbuf();
  return all.str();
}

static long number(const std::string &text) {
  return std::regex_match(text, std::regex("-?[0-9]+")) ? std::stol(text) : -1;
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
         ASSERT_TRUE(std::regex_match(out[0], child,
                                      std::regex("CHILDREN \\| PID = ([0-9]+) \\| PPID = ([0-9]+)")));
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
      {"\\./stock_gate > /dev/null & sleep 2; cut -d' ' -f1 /proc/\\$!/task/\\*/schedstat; kill \\$!",
       [](const Lines &out, const Context &) {
         // Nanoseconds on a CPU: main, the seller, the producer.
         ASSERT_EQ(out.size(), 3u);
         long main = number(out[0]), seller = number(out[1]), producer = number(out[2]);
         EXPECT_GE(main, 0);
         EXPECT_LT(main * 10, seller) << "main, which only waits, used almost no CPU";
         EXPECT_LT(main * 10, producer);
       }},
  };
}

// Fenced commands not run here, each for its reason.
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
  for (const std::string &name : programs()) {
    fs::path path = program(name), topic = root / "build" / path.parent_path().filename();
    fs::create_directories(topic);
    fs::create_symlink(path, topic / name);
  }
  fs::create_symlink(BUILD_DIR "/process_control/count.sh", root / "build/process_control/count.sh");

  for (const Lines &block : blocks(file(SOURCE_DIR "/README.md"))) {
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
  fs::remove_all(root);
  for (const Check &c : table)
    EXPECT_GT(c.runs, 0) << "no README command for the check " << c.command;
}
