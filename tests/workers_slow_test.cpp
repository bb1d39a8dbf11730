#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

// Runs one of the two programs and reads its thread table a second after its start: the
// state letter (S asleep, Z ended) of each thread by kernel id.
static Outcome watch(const char *name, bool tty, pid_t &pid, std::map<int, char> &threads) {
  std::thread reader;
  Outcome o = run(
      {.argv = {name}, .tty = tty, .deadline = tsan ? 110.0 : 130, .started = [&](pid_t started) {
         pid = started;
         reader = std::thread([&threads, started] {
           std::this_thread::sleep_for(std::chrono::seconds(1));
           std::error_code gone;
           auto tasks = "/proc/" + std::to_string(started) + "/task";
           for (auto &task : std::filesystem::directory_iterator(tasks, gone)) {
             std::ifstream stat(task.path() / "stat");
             std::string id, name;
             stat >> id >> name >> threads[std::stoi(id)];
           }
         });
       }});
  reader.join();
  return o;
}

// The thread table must be exactly `expected`; under ThreadSanitizer its runtime's own
// thread is there too.
static void expect_threads(std::map<int, char> seen, const std::map<int, char> &expected) {
  size_t extra = std::erase_if(seen, [&](auto &t) { return tsan && !expected.count(t.first); });
  EXPECT_EQ(extra, tsan ? 1u : 0u);
  EXPECT_EQ(seen, expected);
}

// The four lines of either program, in any order the threads can print them:
// each "create" line before that worker's greeting, #0 created first; on a terminal at once.
static void expect_four_lines(const std::vector<std::string> &lines, const Outcome &o, bool tty) {
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], created(0));
  auto at = [&](const std::string &m) { return std::find(lines.begin(), lines.end(), m); };
  EXPECT_TRUE(at(created(0)) < at(greeting(0)) && at(greeting(0)) != lines.end());
  EXPECT_TRUE(at(created(1)) < at(greeting(1)) && at(greeting(1)) != lines.end());
  EXPECT_EQ(o.tail, "");
  if (tty) {
    EXPECT_LT(o.lines[3].at, 1.0) << "not all at once";
  }
}

// Both programs end by themselves with status 0 once the 100-second sleep is over, on a
// pipe as on a terminal (under ThreadSanitizer only the harness's deadline ends them).
static void expect_ends_at_100s(const Outcome &o) {
  EXPECT_GT(o.end, 100.0);
  if (tsan)
    return;
  EXPECT_EQ(o.status, 0);
  EXPECT_LT(o.end, 100.5);
}

// Each program, on a pipe and on a terminal: four runs of 100 seconds that sleep nearly
// all the time, so they run side by side in one test rather than hold four of the
// suite's places for their whole length. Under ThreadSanitizer a pipe's run never exits
// to write its buffer out, so only the terminal runs are made.
static void leader_leaves_keeps_the_process_for_100s(bool tty) {
  pid_t pid = 0;
  std::map<int, char> seen;
  Outcome o = watch("leader_leaves", tty, pid, seen);
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
  EXPECT_EQ(o.lines[0].text, "Thread ID " + std::to_string(pid) + " | " + created(0));
  expect_four_lines(messages, o, tty);
  // Main, with the process's id, is a zombie beside the two workers, asleep with the ids
  // they printed (two equal ids, or a worker with main's, make this map smaller).
  expect_threads(seen, {{pid, 'Z'}, {ids[1], 'S'}, {ids[2], 'S'}});
  expect_ends_at_100s(o);
}

static void workers_quit_and_main_keeps_the_process_for_100s(bool tty) {
  pid_t pid = 0;
  std::map<int, char> seen;
  Outcome o = watch("workers_quit", tty, pid, seen);
  expect_four_lines(texts(o), o, tty);
  expect_threads(seen, {{pid, 'S'}});  // the workers are gone
  expect_ends_at_100s(o);
}

TEST(NumberedWorkers, LeaderLeavesOrWorkersQuitAndTheProcessLasts100sOnAPipeOrATerminal) {
  std::vector<std::thread> runs;
  for (bool tty : {true, false}) {
    if (tsan && !tty)
      continue;
    for (auto one : {leader_leaves_keeps_the_process_for_100s,
                     workers_quit_and_main_keeps_the_process_for_100s})
      runs.emplace_back([one, tty] {
        SCOPED_TRACE(tty ? "on a terminal" : "on a pipe");
        one(tty);
      });
  }
  for (std::thread &run : runs)
    run.join();
}
