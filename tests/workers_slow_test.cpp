#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "harness.hpp"

static std::string created(int t) {
  return "I’m Main Thread: create Thread: #" + std::to_string(t);
}
static std::string greeting(int t) {
  return "Hello QM104! I’m Thread #" + std::to_string(t) + " ^_^!!!";
}

// ThreadSanitizer's runtime keeps a thread of its own that blocks every signal and never
// ends: once main leaves with pthread_exit the process never exits (SIGKILL ends it).
static const bool tsan = sanitizer() == "thread";

// The kernel id, name, state letter (S asleep, Z ended) and parent from a /proc stat file.
struct Stat {
  int id = 0;
  char comm[64] = "";
  char state = 0;
  int parent = 0;
};
static Stat read_stat(const std::filesystem::path &dir) {
  Stat s;
  if (FILE *f = fopen((dir / "stat").c_str(), "r")) {
    if (fscanf(f, "%d (%63[^)]) %c %d", &s.id, s.comm, &s.state, &s.parent) != 4)
      s = {};
    fclose(f);
  }
  return s;
}

// A second after its last line, the threads of our child running the program (the harness
// starts it as our direct child), by kernel id with their state letters; pid is set to it.
static std::map<int, char> threads_of(const std::string &program, int &pid) {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::map<int, char> threads;
  for (auto &entry : std::filesystem::directory_iterator("/proc")) {
    Stat process = read_stat(entry.path());
    if (process.parent != getpid() || program != process.comm)
      continue;
    pid = process.id;
    std::error_code gone;
    for (auto &task : std::filesystem::directory_iterator(entry.path() / "task", gone)) {
      Stat thread = read_stat(task.path());
      threads[thread.id] = thread.state;
    }
  }
  return threads;
}

// The four lines of either program, in any order the threads can print them:
// each "create" line before that worker's greeting, #0 created first.
static void expect_four_lines(const std::vector<std::string> &lines) {
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], created(0));
  auto at = [&](const std::string &m) { return std::find(lines.begin(), lines.end(), m); };
  EXPECT_TRUE(at(created(0)) < at(greeting(0)) && at(greeting(0)) != lines.end());
  EXPECT_TRUE(at(created(1)) < at(greeting(1)) && at(greeting(1)) != lines.end());
}

class NumberedWorkers : public ::testing::TestWithParam<bool> {  // stdout on a terminal?
 protected:
  void SetUp() override {
    if (tsan && !GetParam())
      GTEST_SKIP() << "under ThreadSanitizer it never exits to write out the pipe";
  }
};

TEST_P(NumberedWorkers, LeaderLeavesAndItsWorkersKeepTheProcessFor100s) {
  bool tty = GetParam();
  int pid = 0;
  std::map<int, char> seen;  // on a terminal: its threads once all four lines are out
  Outcome o = run({.argv = {"leader_leaves"},
                   .tty = tty,
                   .deadline = tsan ? 110.0 : 130,
                   .stop_when = [&](auto &lines) {
                     if (tty && lines.size() == 4 && seen.empty()) {
                       seen = threads_of("leader_leaves", pid);
                     }
                     return false;
                   }});
  // Split off every "Thread ID N | ": it can land in front of another thread's line.
  std::vector<int> ids;
  std::vector<std::string> messages;
  for (const Line &line : o.lines) {
    std::string rest = line.text;
    for (int id; sscanf(rest.c_str(), "Thread ID %d", &id) == 1;) {
      std::string prefix = "Thread ID " + std::to_string(id) + " | ";
      if (rest.compare(0, prefix.size(), prefix) != 0)
        break;  // left in the message, which then matches none
      ids.push_back(id);
      rest.erase(0, prefix.size());
    }
    messages.push_back(rest);
  }
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_EQ(o.lines[0].text, "Thread ID " + std::to_string(ids[0]) + " | " + created(0));
  EXPECT_NE(ids[1], ids[0]);
  EXPECT_NE(ids[2], ids[0]);
  EXPECT_NE(ids[1], ids[2]) << "two workers with one id";
  expect_four_lines(messages);
  EXPECT_EQ(o.tail, "");
  if (tty) {  // main, with the process's id, is a zombie beside the two workers, still asleep
    EXPECT_EQ(ids[0], pid) << "main's id is not the process id";
    EXPECT_EQ(seen[ids[0]], 'Z') << "main has not ended";
    EXPECT_EQ(seen[ids[1]], 'S');
    EXPECT_EQ(seen[ids[2]], 'S');
    EXPECT_EQ(seen.size(), tsan ? 4u : 3u);
    EXPECT_LT(o.lines[3].at, 3.0);
    EXPECT_GT(o.end, 99.5);
  }
  if (tsan)
    return;
  EXPECT_EQ(o.status, 0);
  if (tty) {
    EXPECT_LT(o.end, 115.0);
  }
}

TEST_P(NumberedWorkers, WorkersQuitAtOnceAndMainKeepsTheProcessFor100s) {
  bool tty = GetParam();
  int pid = 0;
  std::map<int, char> seen;  // on a terminal: its threads once all four lines are out
  Outcome o = run({.argv = {"workers_quit"},
                   .tty = tty,
                   .deadline = tsan ? 110.0 : 130,
                   .stop_when = [&](auto &lines) {
                     if (tty && lines.size() == 4 && seen.empty()) {
                       seen = threads_of("workers_quit", pid);
                     }
                     return false;
                   }});
  expect_four_lines(texts(o));
  EXPECT_EQ(o.tail, "");
  if (tty) {  // then silence, with main alone
    EXPECT_LT(o.lines[3].at, 3.0) << "not all at once";
    EXPECT_NE(pid, 0);
    EXPECT_EQ(seen[pid], 'S');
    EXPECT_EQ(seen.size(), tsan ? 2u : 1u) << "workers still there beside main";
    EXPECT_GT(o.end, 99.5);
  }
  if (tsan)
    return;
  EXPECT_EQ(o.status, 0);
  if (tty) {
    EXPECT_LT(o.end, 115.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Terminal, NumberedWorkers, ::testing::Values(true));
INSTANTIATE_TEST_SUITE_P(Pipe, NumberedWorkers, ::testing::Values(false));
