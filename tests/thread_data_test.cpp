#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.hpp"

TEST(EndlessChat, BothThreadsTalkUntilInterrupted) {
  const std::string ask = "Hello, How are you?", answer = "I\xE2\x80\x99m fine, and you?";
  for (bool tty : {false, true}) {
    SCOPED_TRACE(tty ? "on a terminal" : "on a pipe");
    Outcome o = run({.argv = {"endless_chat"}, .tty = tty, .deadline = 1});
    EXPECT_TRUE(o.interrupted);
    EXPECT_EQ(o.signal, SIGINT) << "it must still be running when interrupted";
    EXPECT_EQ(o.err, "");
    size_t asks = 0, answers = 0;
    for (const Line &line : o.lines) {
      asks += line.text == ask;
      answers += line.text == answer;
    }
    auto odd = std::find_if(o.lines.begin(), o.lines.end(),
                            [&](const Line &l) { return l.text != ask && l.text != answer; });
    EXPECT_EQ(asks + answers, o.lines.size()) << "unexpected line: " << odd->text;
    EXPECT_GT(asks, 0u) << "the created thread never spoke";
    EXPECT_GT(answers, 0u) << "main never answered";
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
    EXPECT_FALSE(o.interrupted);
  }
}
