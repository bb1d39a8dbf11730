// The synchronisation labs judged end to end: ./lab's own binary builds a file, runs it and
// writes its results file, and each check's status is read back from there. A correct
// answer passes every check; the starting code and plausible wrong answers fail the checks
// that their mistake should fail, and only those. What a check cannot make here is never
// counted as passed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <tuple>

#include "harness.hpp"
#include "lab_judged.hpp"

namespace fs = std::filesystem;

// A fake strace that refuses to trace, as one does where ptrace is not allowed.
struct NoTrace {
  fs::path folder = fs::temp_directory_path() / ("lab_no_trace." + std::to_string(getpid()));
  NoTrace() {
    fs::create_directories(folder);
    std::ofstream(folder / "strace")
        << "#!/bin/sh\necho 'strace: ptrace(PTRACE_TRACEME, ...): Operation not permitted' >&2\n"
           "exit 1\n";
    fs::permissions(folder / "strace", fs::perms::owner_all);
  }
  ~NoTrace() {
    fs::remove_all(folder);
  }
  std::string path() const {
    return "PATH=" + folder.string() + ":" + getenv("PATH");
  }
};

class SyncLab : public ::testing::TestWithParam<Attempt> {};

TEST_P(SyncLab, FailsExactlyTheChecksItsMistakeBreaks) {
  expect_judged(GetParam());
}

// More wrong answers, and the same answers pinned to one CPU, are in lab_sync_slow_test.
INSTANTIATE_TEST_SUITE_P(
    Lab, SyncLab,
    ::testing::Values(
        Attempt{"lock_the_tally", {"lock_the_tally/solution.cpp"}, {}},
        // Its passes overlap, so now and then a 20 slips out before a fold.
        Attempt{"lock_the_tally", {"lock_the_tally/print_only_lock.cpp"}, {"sequence"}, {"twenty"}},
        Attempt{"sleeping_producer", {"sleeping_producer/solution.cpp"}, {}},
        Attempt{"sleeping_producer", {"synchronisation/stock_gate.cpp"}, {"sleeps", "cpu"}},
        // A producer asleep by the clock uses less CPU than a spinning one; how much less
        // varies from run to run: its wait in the kernel is what must fail it.
        Attempt{
            "sleeping_producer", {"sleeping_producer/usleep_producer.cpp"}, {"sleeps"}, {"cpu"}}),
    attempt_test_name);

// The starting code fails the sequence (quoting a break) and the lock. It passes
// ThreadSanitizer, whose words must say what that proves and no more.
TEST(LockTheTally, StartingCodeFailsAndRacesPassedSaysWhatItProves) {
  Judged j = judge_lab("lock_the_tally", {source_of("synchronisation/tally_racy.cpp")});
  EXPECT_EQ(j.checks["lock_the_tally.lock"], "failed") << j.output;
  EXPECT_EQ(j.status, 1);
  ASSERT_EQ(j.checks["lock_the_tally.races"], "passed") << j.output;
  const std::string &said = j.outputs["lock_the_tally.races"];
  EXPECT_NE(said.find("no data race"), std::string::npos) << said;
  EXPECT_NE(said.find("sequence"), std::string::npos) << "names the check that judges passes";
  // A break is quoted from the run: two lines that the tally's own rule says cannot follow.
  const std::string &broke = j.outputs["lock_the_tally.sequence"];
  std::smatch m;
  ASSERT_TRUE(
      std::regex_search(broke, m, std::regex(R"re(: (\d+)"\s+then\s+"Thread\s+[AB]:\s+(\d+))re")))
      << broke;
  int before = std::stoi(m[1]), after = std::stoi(m[2]);
  EXPECT_NE(after, before == 19 ? 0 : before + 1) << broke;
}

// A producer given ten places never fills the stock of 1168, so it never had to hold
// back: neither its sleeps nor its modest CPU time can say how it waits on a full stock.
TEST(SleepingProducer, AStockNeverFullJudgesNoWaiting) {
  std::string code = contents(source_of("sleeping_producer/solution.cpp"));
  size_t at = code.find("sem_init(&places, 0, digits)");
  ASSERT_NE(at, std::string::npos);
  code.replace(at, 28, "sem_init(&places, 0, 10)");
  fs::path file = fs::temp_directory_path() / ("ten_places." + std::to_string(getpid()) + ".cpp");
  std::ofstream(file) << code;
  Judged j = judge_lab("sleeping_producer", {file.string()});
  fs::remove(file);
  EXPECT_EQ(j.checks["sleeping_producer.cpu"], "not_judged") << j.output;
  EXPECT_EQ(j.checks["sleeping_producer.sleeps"], "not_judged") << j.output;
  // Each reason whole, to its last words.
  for (const auto &[check, last] : {std::pair{"sleeping_producer.sleeps", "was not seen"},
                                    std::pair{"sleeping_producer.cpu", "the stock is full"}})
    EXPECT_TRUE(j.outputs[check].ends_with(last)) << j.outputs[check];
  EXPECT_NE(j.outputs["sleeping_producer.cpu"].find("never to 1168"), std::string::npos)
      << j.output;
  EXPECT_EQ(j.checks["sleeping_producer.invariants"], "passed") << j.output;
  EXPECT_EQ(j.status, 2) << j.output;
}

// Where strace cannot trace, the checks that read the trace are not judged, never passed,
// and the lab says it could not judge everything.
TEST(SyncLabs, UntraceableChecksAreNotJudged) {
  NoTrace no;
  for (const auto &[lab, file, traced] :
       {std::tuple{"lock_the_tally", "lock_the_tally/solution.cpp", "lock_the_tally.lock"},
        std::tuple{"sleeping_producer", "sleeping_producer/solution.cpp",
                   "sleeping_producer.sleeps"}}) {
    Judged j = judge_lab(lab, {source_of(file)}, {no.path()});
    EXPECT_EQ(j.checks[traced], "not_judged") << j.output;
    EXPECT_EQ(j.status, 2) << j.output;
    for (const auto &[name, status] : j.checks)
      EXPECT_TRUE(status == "passed" || name == traced) << name << "\n" << j.output;
  }
}
