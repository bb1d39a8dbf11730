// The synchronisation labs again, at length: more wrong answers, and each correct answer
// judged twice on every CPU and twice pinned to one, where a flaky judge shows.
#include <gtest/gtest.h>

#include "harness.hpp"
#include "lab_judged.hpp"

class SyncLabMore : public ::testing::TestWithParam<Attempt> {};

TEST_P(SyncLabMore, FailsExactlyTheChecksItsMistakeBreaks) {
  expect_judged(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Lab, SyncLabMore,
    ::testing::Values(
        // A std::mutex by another name, found as a word of the program's data.
        Attempt{"lock_the_tally", {"lock_the_tally/std_mutex.cpp"}, {}},
        Attempt{"lock_the_tally", {"lock_the_tally/spin_lock.cpp"}, {"lock"}},
        // A plain int and no lock: a 20 may or may not slip out in a second, and
        // ThreadSanitizer reports the race only where the two threads' accesses meet within
        // its history, which a loaded machine's run may not give it.
        Attempt{"lock_the_tally",
                {"lock_the_tally/plain_int.cpp"},
                {"sequence", "lock"},
                {"twenty", "races"}},
        // The print keeps its own order outside the lock: its lines leave the passes' order.
        Attempt{"lock_the_tally",
                {"lock_the_tally/update_only_lock.cpp"},
                {"sequence", "lock"},
                {"twenty"}},
        // A yielding producer spins only while nothing else wants its CPU: beside other
        // work it yields much of its time away. Its wait in the kernel is what must fail it.
        Attempt{"sleeping_producer", {"sleeping_producer/yield_producer.cpp"}, {"sleeps"}, {"cpu"}},
        // Its sleeps are on the print's lock, which the seller sleeps on too.
        Attempt{"sleeping_producer",
                {"sleeping_producer/print_mutex_spinner.cpp"},
                {"sleeps"},
                {"cpu"}}),
    attempt_test_name);

struct Repeated {
  Attempt attempt;
  bool pinned;
};

inline void PrintTo(const Repeated &r, std::ostream *os) {
  PrintTo(r.attempt, os);
  *os << (r.pinned ? ", pinned" : "");
}

class SyncLabRepeated : public ::testing::TestWithParam<Repeated> {};

TEST_P(SyncLabRepeated, SameVerdictsEveryRun) {
  const Repeated &r = GetParam();
  // A busy machine may leave a check of a run undecided, and says so; not every run.
  int busy = 0;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE("run " + std::to_string(i + 1) + (r.pinned ? ", pinned to one CPU" : ""));
    int before = busy;
    expect_judged(r.attempt, r.pinned, &busy);
    busy = before + (busy > before);
  }
  EXPECT_LT(busy, 2) << "every run was too busy to judge";
}

INSTANTIATE_TEST_SUITE_P(
    Lab, SyncLabRepeated,
    ::testing::Values(
        Repeated{{"lock_the_tally", {"lock_the_tally/solution.cpp"}, {}}, false},
        Repeated{{"lock_the_tally", {"lock_the_tally/solution.cpp"}, {}}, true},
        Repeated{{"sleeping_producer", {"sleeping_producer/solution.cpp"}, {}, {"cpu"}}, false},
        Repeated{{"sleeping_producer", {"sleeping_producer/solution.cpp"}, {}, {"cpu"}}, true},
        Repeated{{"sleeping_producer", {"sleeping_producer/producer_first.cpp"}, {}, {"cpu"}},
                 false},
        Repeated{{"sleeping_producer", {"sleeping_producer/producer_first.cpp"}, {}, {"cpu"}},
                 true},
        Repeated{{"sleeping_producer", {"sleeping_producer/named_semaphore.cpp"}, {}, {"cpu"}},
                 false},
        Repeated{{"sleeping_producer", {"sleeping_producer/named_semaphore.cpp"}, {}, {"cpu"}},
                 true},
        Repeated{{"sleeping_producer", {"sleeping_producer/condvar_producer.cpp"}, {}, {"cpu"}},
                 false},
        Repeated{{"sleeping_producer", {"sleeping_producer/condvar_producer.cpp"}, {}, {"cpu"}},
                 true}),
    [](const auto &info) {
      return attempt_name(info.param.attempt.lab, info.param.attempt.files[0]) +
             (info.param.pinned ? "_pinned" : "_free");
    });

// On one CPU the starting code and the wrong answers still fail: a tally preempted
// mid-print breaks the sequence, a producer with a full stock never sleeps on a place.
TEST(SyncLabPinned, WrongAnswersFail) {
  for (const Attempt &a :
       {Attempt{
            "lock_the_tally", {"synchronisation/tally_racy.cpp"}, {"sequence", "lock"}, {"twenty"}},
        Attempt{"lock_the_tally", {"lock_the_tally/whole_loop_lock.cpp"}, {"lock"}},
        Attempt{"lock_the_tally",
                {"lock_the_tally/mutex_per_thread.cpp"},
                {"sequence", "lock"},
                {"twenty"}},
        Attempt{"lock_the_tally",
                {"lock_the_tally/update_only_lock.cpp"},
                {"sequence", "lock"},
                {"twenty"}},
        Attempt{"sleeping_producer", {"synchronisation/stock_gate.cpp"}, {"sleeps"}, {"cpu"}},
        Attempt{"sleeping_producer",
                {"sleeping_producer/print_mutex_spinner.cpp"},
                {"sleeps"},
                {"cpu"}},
        Attempt{
            "sleeping_producer", {"sleeping_producer/usleep_producer.cpp"}, {"sleeps"}, {"cpu"}}}) {
    SCOPED_TRACE(a.files[0]);
    expect_judged(a, true);
  }
}
