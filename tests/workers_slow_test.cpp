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

// Each thread of process pid, by kernel thread id, with its state letter (S, R, Z, ...).
static std::map<int, char> threads_of(int pid) {
  std::map<int, char> states;
  std::error_code missing;
  std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", missing);
  for (auto &task : tasks) {
    FILE *stat = fopen((task.path() / "stat").c_str(), "r");
    int tid;
    char state;
    if (stat && fscanf(stat, "%d (%*[^)]) %c", &tid, &state) == 2)
      states[tid] = state;
    if (stat)
      fclose(stat);
  }
  return states;
}

// The pid of our child running the named program, or 0.
static int child_named(const std::string &name) {
  for (auto &entry : std::filesystem::directory_iterator("/proc")) {
    FILE *stat = fopen((entry.path() / "stat").c_str(), "r");
    int pid, parent;
    char comm[64], state;
    bool found = stat && fscanf(stat, "%d (%63[^)]) %c %d", &pid, comm, &state, &parent) == 4 &&
                 parent == getpid() && name == comm;
    if (stat)
      fclose(stat);
    if (found)
      return pid;
  }
  return 0;
}

// Polls the threads of pid for up to 3 s until they pass the check; returns the last seen.
template <typename Check>
static std::map<int, char> settled(int pid, Check check) {
  std::map<int, char> seen = threads_of(pid);
  for (int i = 0; i < 150 && !check(seen); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    seen = threads_of(pid);
  }
  return seen;
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
                       pid = child_named("leader_leaves");
                       seen =
                           settled(pid, [&](auto &s) { return s.count(pid) && s.at(pid) == 'Z'; });
                     }
                     return false;
                   }});
  // Split off every "Thread ID N | ": it can land in front of another thread's line.
  std::vector<int> ids;
  std::vector<std::string> messages;
  for (const Line &line : o.lines) {
    const char *rest = line.text.c_str();
    for (int id, after = 0; sscanf(rest, "Thread ID %d | %n", &id, &after) == 1 && after > 0;
         rest += after, after = 0) {
      ids.push_back(id);
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
                       pid = child_named("workers_quit");
                       seen = settled(pid, [](auto &s) { return s.size() == (tsan ? 2u : 1u); });
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
