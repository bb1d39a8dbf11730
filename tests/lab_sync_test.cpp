// The synchronisation labs judged end to end: ./lab's own binary builds a file, runs it and
// writes its results file, and each check's status is read back from there. A correct
// answer passes every check; the starting code and plausible wrong answers fail the checks
// that their mistake should fail, and only those. What a check cannot make here is never
// counted as passed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <tuple>

#include "facts.hpp"
#include "harness.hpp"
#include "lab_judged.hpp"

namespace fs = std::filesystem;
using watcher::Mapping;
using watcher::Place;
using watcher::place_of;

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

// Where a futex word lies, read from a process's maps: the program's own memory wherever
// it made it, a library's data (its mappings and the zeroed one after them) apart.
TEST(SyncLabs, WordsArePlacedByTheMapThatHoldsThem) {
  const std::string exe = "/tmp/lab.x/stock_gate", libc = "/usr/lib/x86_64-linux-gnu/libc.so.6";
  std::vector<Mapping> maps = {
      {0x1000, 0x2000, "r-xp", "08:01", exe, 0, 7},
      {0x2000, 0x3000, "rw-p", "08:01", exe, 0x1000, 7},
      {0x3000, 0x4000, "rw-p", "00:00", "", 0, 0},  // the executable's zeroed globals
      {0x5000, 0x6000, "rw-p", "00:00", "[heap]", 0, 0},
      {0x7000, 0x8000, "rw-s", "00:1a", "/dev/shm/sem.places", 0, 9},
      {0x8000, 0x9000, "rw-p", "00:00", "", 0, 0},  // after a file that is no library
      {0x9000, 0xa000, "rw-s", "00:01", "/dev/zero (deleted)", 0, 3},
      {0xb000, 0xc000, "rw-p", "08:01", libc, 0x1000, 8},
      {0xc000, 0xd000, "rw-p", "00:00", "", 0, 0},  // the library's zeroed data
      {0xe000, 0xf000, "rw-p", "00:00", "", 0, 0},  // a thread's stack
      {0xf000, 0x10000, "rw-p", "00:00", "[stack]", 0, 0}};
  for (const auto &[address, kind, own] :
       {std::tuple{0x2010, Place::data, true}, std::tuple{0x3010, Place::data, true},
        std::tuple{0x5010, Place::heap, true}, std::tuple{0x7010, Place::file, true},
        std::tuple{0x8010, Place::anonymous, true}, std::tuple{0x9010, Place::shared, true},
        std::tuple{0xb010, Place::library, false}, std::tuple{0xc010, Place::library, false},
        std::tuple{0xe010, Place::anonymous, true}, std::tuple{0xf010, Place::stack, true},
        std::tuple{0x4010, Place::none, false}}) {
    Place p = place_of(maps, exe, address);
    EXPECT_EQ(p.kind, kind) << std::hex << address;
    EXPECT_EQ(p.own(), own) << std::hex << address;
  }
  EXPECT_EQ(place_of(maps, exe, 0x7010).path, "/dev/shm/sem.places");
}

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
        // One thread keeps the lock for good: its lines alone, in order.
        Attempt{"lock_the_tally", {"lock_the_tally/whole_loop_lock.cpp"}, {"lock"}},
        Attempt{"lock_the_tally",
                {"lock_the_tally/mutex_per_thread.cpp"},
                {"sequence", "lock"},
                {"twenty"}},
        // A correct producer's CPU check may be left undecided: a stock at its bound only for
        // moments, or a busy CPU, cannot tell a spin from a wait.
        Attempt{"sleeping_producer", {"sleeping_producer/solution.cpp"}, {}, {"cpu"}},
        Attempt{"sleeping_producer", {"sleeping_producer/producer_first.cpp"}, {}, {"cpu"}},
        Attempt{"sleeping_producer", {"sleeping_producer/named_semaphore.cpp"}, {}, {"cpu"}},
        // Woken under a mutex, on a busy machine or one CPU it may wait for a CPU after each
        // wake as long as a spinner would: the run then cannot tell, and says so.
        Attempt{"sleeping_producer", {"sleeping_producer/condvar_producer.cpp"}, {}, {"cpu"}},
        // A spinning producer's CPU is weighed while the stock stands at its bound, which
        // a spinner's stock seldom does for long: its sleeps are what must fail it.
        Attempt{"sleeping_producer", {"synchronisation/stock_gate.cpp"}, {"sleeps"}, {"cpu"}},
        // A producer asleep by the clock is not woken by a sale, whatever CPU it uses.
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
  EXPECT_NE(said.find("no data race in that run"), std::string::npos) << said;
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

// The solution with one line changed: what the run then showed, and nothing it did not.
struct Changed {
  const char *what, *from, *to;
  std::map<std::string, std::string> checks;  // "sleeping_producer.sleeps" -> "not_judged"
  const char *check, *says;                   // a check whose words must hold `says`
  int status;
};

class StockChanged : public ::testing::TestWithParam<Changed> {};

TEST_P(StockChanged, VerdictsSayWhatTheRunShowed) {
  const Changed &c = GetParam();
  std::string code = contents(source_of("sleeping_producer/solution.cpp"));
  size_t at = code.find(c.from);
  ASSERT_NE(at, std::string::npos) << c.from;
  code.replace(at, strlen(c.from), c.to);
  fs::path file =
      fs::temp_directory_path() / (std::string(c.what) + "." + std::to_string(getpid()) + ".cpp");
  std::ofstream(file) << code;
  Judged j = judge_lab("sleeping_producer", {file.string()});
  fs::remove(file);
  for (const auto &[check, status] : c.checks)
    EXPECT_EQ(j.checks[check], status) << check << "\n" << j.output;
  EXPECT_NE(j.outputs[c.check].find(c.says), std::string::npos) << j.outputs[c.check];
  EXPECT_EQ(j.outputs["sleeping_producer.cpu"].find("threads: 0"), std::string::npos) << j.output;
  EXPECT_EQ(j.status, c.status) << j.output;
}

INSTANTIATE_TEST_SUITE_P(Lab, StockChanged,
                         ::testing::Values(
                             // Ten places never fill the stock of 1168: neither the sleeps nor the
                             // CPU time can say how the producer waits on a full stock.
                             Changed{"ten_places",
                                     "sem_init(&places, 0, digits)",
                                     "sem_init(&places, 0, 10)",
                                     {{"sleeping_producer.sleeps", "not_judged"},
                                      {"sleeping_producer.cpu", "not_judged"},
                                      {"sleeping_producer.invariants", "passed"}},
                                     "sleeping_producer.cpu",
                                     "never reached 1168 unsold",
                                     2},
                             // No place at all: nothing is ever made, and the lines say so.
                             Changed{"no_places",
                                     "sem_init(&places, 0, digits)",
                                     "sem_init(&places, 0, 0)",
                                     {{"sleeping_producer.invariants", "failed"},
                                      {"sleeping_producer.cpu", "not_judged"}},
                                     "sleeping_producer.invariants",
                                     "not one products line",
                                     1},
                             // A seller that gives no place back: the producer stops once the 1168
                             // places are used, and the lines on a terminal show the last of them.
                             Changed{"no_place_back",
                                     "sem_post(&places);",
                                     "",
                                     {{"sleeping_producer.invariants", "failed"}},
                                     "sleeping_producer.invariants",
                                     "products up to 1168 and sells up to 1168, then no more",
                                     1}),
                         [](const auto &info) { return std::string(info.param.what); });

// A producer that makes nothing for a second after a full stock, while the seller sells
// all of it, as one kept waiting for a CPU may: slow, not stuck. The run goes on until it
// makes the next item.
TEST(SleepingProducer, ProducerLateAfterAFullStockIsNotStuck) {
  Judged j = judge_lab("sleeping_producer", {source_of("sleeping_producer/late_restart.cpp")});
  EXPECT_EQ(j.checks["sleeping_producer.invariants"], "passed") << j.output;
}

// Where the producer's word lies is said: a named semaphore lives in the file it mapped
// (the C library makes it under a name of its own and links it to the one asked for).
TEST(SleepingProducer, NamedSemaphoreSaysItsMapping) {
  Judged j = judge_lab("sleeping_producer", {source_of("sleeping_producer/named_semaphore.cpp")});
  ASSERT_EQ(j.checks["sleeping_producer.sleeps"], "passed") << j.output;
  EXPECT_NE(j.outputs["sleeping_producer.sleeps"].find("/dev/shm/sem."), std::string::npos)
      << j.output;
}

// Threads each with a mutex of their own are told that they share none, never that
// their lock is too short.
TEST(LockTheTally, OwnMutexEachIsToldTheyShareNone) {
  Judged j = judge_lab("lock_the_tally", {source_of("lock_the_tally/mutex_per_thread.cpp")});
  ASSERT_EQ(j.checks["lock_the_tally.sequence"], "failed") << j.output;
  const std::string &said = j.outputs["lock_the_tally.sequence"];
  EXPECT_EQ(said.find("does not hold the whole pass"), std::string::npos) << said;
  EXPECT_NE(said.find("the same lock"), std::string::npos) << said;
}

// A right lock printing lines of another form is told which line, not a count of breaks.
TEST(LockTheTally, LinesOfAnotherFormAreNamed) {
  Judged j = judge_lab("lock_the_tally", {source_of("lock_the_tally/arrow_lines.cpp")});
  EXPECT_EQ(j.checks["lock_the_tally.sequence"], "failed") << j.output;
  EXPECT_EQ(j.checks["lock_the_tally.twenty"], "not_judged") << j.output;
  EXPECT_EQ(j.checks["lock_the_tally.lock"], "passed") << j.output;
  // Either thread may print first.
  const std::string &said = j.outputs["lock_the_tally.sequence"];
  EXPECT_TRUE(said.find(R"(line 1 "Thread A -> 1")") != std::string::npos ||
              said.find(R"(line 1 "Thread B -> 1")") != std::string::npos)
      << j.output;
}

// Where strace cannot trace, the checks that read the trace are not judged, never passed,
// and the lab says it could not judge everything. The producer's CPU time is read in the
// traced run, where the producer is known by its lines.
TEST(SyncLabs, UntraceableChecksAreNotJudged) {
  NoTrace no;
  for (const auto &[lab, file, traced] :
       {std::tuple{"lock_the_tally", "lock_the_tally/solution.cpp",
                   std::set<std::string>{"lock_the_tally.lock"}},
        std::tuple{"sleeping_producer", "sleeping_producer/solution.cpp",
                   std::set<std::string>{"sleeping_producer.sleeps", "sleeping_producer.cpu"}}}) {
    Judged j = judge_lab(lab, {source_of(file)}, {no.path()});
    for (const std::string &name : traced)
      EXPECT_EQ(j.checks[name], "not_judged") << j.output;
    EXPECT_EQ(j.status, 2) << j.output;
    for (const auto &[name, status] : j.checks)
      EXPECT_TRUE(status == "passed" || traced.count(name)) << name << "\n" << j.output;
  }
}
