#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "harness.hpp"

// Checks every line of a stock_gate run: only the two forms, both counts 1, 2, 3, ...
// without gap or repeat, each item made before it is sold, and the stock never above the
// bound. Returns the largest gap seen between the last "products" and "sells" lines.
static int check_stock(const Outcome &o) {
  int made = 0, sold = 0, widest = 0, value;
  char extra;
  for (const Line &line : o.lines) {
    if (sscanf(line.text.c_str(), "products = %d%c", &value, &extra) == 1) {
      EXPECT_EQ(value, made + 1) << "products skipped or repeated";
      made = value;
      // Item N > 1169 waits for sale N - 1169 (sale N - 1168 may be counted, not yet printed).
      EXPECT_LE(made - sold, 1169) << "made " << made << " with only " << sold << " sold";
    } else if (sscanf(line.text.c_str(), "sells = %d%c", &value, &extra) == 1) {
      EXPECT_EQ(value, sold + 1) << "sells skipped or repeated";
      sold = value;
      EXPECT_LE(sold, made) << "sold an item before its products line";
    } else {
      ADD_FAILURE() << "unexpected line: " << line.text;
    }
    if (::testing::Test::HasFailure())
      return widest;
    widest = std::max(widest, made - sold);
  }
  return widest;
}

TEST(StockGate, PipeRunsInOrderAndFillsToTheBound) {
  Outcome o = run({.argv = {"stock_gate"}, .deadline = 60, .stop_when = [](auto &lines) {
                     return lines.size() >= 300'000;
                   }});
  ASSERT_GE(o.lines.size(), 300'000u);
  EXPECT_TRUE(o.interrupted);
  EXPECT_EQ(o.signal, SIGINT) << "it must still be running when interrupted";
  EXPECT_GE(check_stock(o), 1168) << "the producer never reached the bound";
  EXPECT_EQ(o.err, "");
}

TEST(StockGate, TerminalShowsTheSameSequence) {
  Outcome o =
      run({.argv = {"stock_gate"}, .tty = true, .deadline = 30, .stop_when = [](auto &lines) {
             return lines.size() >= 50'000;
           }});
  ASSERT_GE(o.lines.size(), 50'000u);
  EXPECT_EQ(o.signal, SIGINT);
  check_stock(o);  // line by line, the bound depends on how the two threads share the terminal
}

TEST(StockGate, RunsUntilInterrupted) {
  Outcome o = run({.argv = {"stock_gate"}, .deadline = 1.5, .max_lines = 1000});
  EXPECT_TRUE(o.interrupted);
  EXPECT_EQ(o.signal, SIGINT);
  EXPECT_GE(o.end, 0.0);
}

TEST(StockGate, StopAndContinueNeverSellsAnUnmadeItem) {
  // Ctrl-Z and fg, a hundred times: a wait cut short by the stop must not count a sale.
  std::atomic<bool> paused_enough{false};
  std::thread pauser;
  Outcome o =
      run({.argv = {"stock_gate"},
           .deadline = 30,
           .stop_when = [&](auto &lines) { return paused_enough && lines.size() >= 100'000; },
           .started =
               [&](pid_t pid) {
                 pauser = std::thread([pid, &paused_enough] {
                   for (int i = 0; i < 100; ++i) {
                     kill(pid, SIGSTOP);
                     usleep(500);
                     kill(pid, SIGCONT);
                     usleep(i % 10 * 200);
                   }
                   paused_enough = true;
                 });
               }});
  pauser.join();
  EXPECT_EQ(o.signal, SIGINT);
  check_stock(o);
}
