#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "harness.hpp"

namespace fs = std::filesystem;

// Bytes per write(2) of each thread of a process, by kernel id, from its I/O counters.
static std::map<int, long> bytes_per_write(pid_t pid) {
  std::map<int, long> all;
  std::error_code gone;
  for (auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone)) {
    std::ifstream io(task.path() / "io");
    std::string key;
    long rchar, wchar, syscr, syscw = 0;
    io >> key >> rchar >> key >> wchar >> key >> syscr >> key >> syscw;
    all[std::stoi(task.path().filename())] = syscw > 0 ? wchar / syscw : 0;
  }
  return all;
}

TEST(EndlessChat, EachThreadTalksWithItsOwnLineUntilInterrupted) {
  const std::string ask = "Hello, How are you?", answer = "I\xE2\x80\x99m fine, and you?";
  for (bool tty : {false, true}) {
    SCOPED_TRACE(tty ? "on a terminal" : "on a pipe");
    pid_t pid = 0;
    std::map<int, long> sizes;
    size_t seen = 0, count[3] = {0, 0, 0};  // lines of neither form, asks, answers
    auto tally = [&](auto &lines) {
      for (; seen < lines.size(); ++seen)
        ++count[lines[seen].text == ask ? 1 : lines[seen].text == answer ? 2 : 0];
    };
    Outcome o = run({.argv = {"endless_chat"},
                     .tty = tty,
                     .deadline = 1,
                     .stop_when =
                         [&](auto &lines) {
                           tally(lines);
                           if (tty && sizes.empty() && count[1] >= 50 && count[2] >= 50)
                             sizes = bytes_per_write(pid);
                           return false;
                         },
                     .started = [&](pid_t p) { pid = p; }});
    tally(o.lines);
    EXPECT_EQ(o.signal, SIGINT) << "it must still be running when interrupted";
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(count[0], 0u) << "lines of neither form";
    EXPECT_GT(count[1], 0u) << "the created thread never spoke";
    EXPECT_GT(count[2], 0u) << "main never answered";
    if (!tty)
      continue;
    // On a terminal each line is one write by the thread that printed it, so bytes per
    // write tell whose lines are whose (a write in flight adds less than one to the quotient).
    // Main's count may hold a sanitizer's start-up writes: the created thread is checked.
    std::erase_if(sizes, [&](auto &t) { return t.first == pid || t.second == 0; });
    ASSERT_EQ(sizes.size(), 1u) << "not one created thread that wrote";
    EXPECT_EQ(sizes.begin()->second, long(ask.size() + 1)) << "the created thread does not ask";
  }
}

TEST(RecordPass, PrintsTheRecordsCharacterCountTimes) {
  for (bool tty : {false, true}) {
    SCOPED_TRACE(tty ? "on a terminal" : "on a pipe");
    Outcome o = run({.argv = {"record_pass"}, .tty = tty});
    EXPECT_EQ(texts(o), std::vector<std::string>(5, "X"));
    EXPECT_EQ(o.tail, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 0);
  }
}
