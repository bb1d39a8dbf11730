// The reap_the_zombie and join_the_workers labs on learners' mistakes whose verdicts must
// say what the run showed: the line that holds a raw status, a parent that printed nothing,
// a parent that ignores SIGCHLD (the kernel reaps the child, the wait finds none), a wrong
// returned value quoted as main printed it, workers whose sleeps overlapped in a run that
// ended late, and workers whose lines a buffered stdout wrote
// out together at the end, which shows nothing of who printed them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "harness.hpp"
#include "lab_judged.hpp"

struct Told {
  const char *lab, *file;
  std::map<std::string, std::string> verdicts;                    // check -> status in the results
  std::map<std::string, std::vector<std::string>> says;           // check -> its words hold these
  std::map<std::string, std::vector<std::string>> not_says = {};  // and never these
};

class LabTells : public ::testing::TestWithParam<Told> {};

TEST_P(LabTells, EachVerdictWhatItsRunShowed) {
  const Told &c = GetParam();
  Judged j = judge_lab(c.lab, {source_of(std::string(c.lab) + "/" + c.file + ".cpp")});
  for (const auto &[check, status] : c.verdicts)
    EXPECT_EQ(j.checks[std::string(c.lab) + "." + check], status) << check << "\n" << j.output;
  for (const auto &[check, says] : c.says)
    for (const std::string &words : says)
      EXPECT_HAS(j.outputs[std::string(c.lab) + "." + check], words);
  for (const auto &[check, says] : c.not_says)
    for (const std::string &words : says)
      EXPECT_EQ(j.outputs[std::string(c.lab) + "." + check].find(words), std::string::npos)
          << words << " in " << j.outputs[std::string(c.lab) + "." + check];
}

INSTANTIATE_TEST_SUITE_P(
    Lab, LabTells,
    ::testing::Values(
        // The raw status on a line of its own after "Parent Proces": that line is quoted.
        Told{"reap_the_zombie",
             "raw_status_line",
             {{"zombie", "passed"}, {"reaped", "passed"}, {"printed", "failed"}},
             {{"printed", {"printed \"Child's exit status: 768\"", "768 is the whole status"}}},
             {{"printed", {"Parent Proces"}}}},
        Told{"reap_the_zombie",
             "prints_nothing",
             {{"printed", "failed"}},
             {{"printed", {"your parent printed nothing:"}}},
             {{"printed", {"\"nothing\""}}}},
        // It slept, the kernel reaped the child: no word of a missing sleep or of a zombie
        // that stayed.
        Told{"reap_the_zombie",
             "sigchld_ignored",
             {{"zombie", "failed"}, {"reaped", "failed"}, {"printed", "failed"}},
             {{"zombie", {"SIG_IGN", "reaped by the kernel"}}, {"reaped", {"ECHILD", "SIGCHLD"}}},
             {{"zombie", {"Let the parent sleep"}}, {"reaped", {"stayed a zombie"}}}},
        // It slept, but its child outlived the sleep: the sleep is not what was missing.
        Told{"reap_the_zombie",
             "child_outlasts_sleep",
             {{"zombie", "failed"}, {"reaped", "passed"}, {"printed", "passed"}},
             {{"zombie", {"asked to sleep 2.00 s between its fork and its wait"}}},
             {{"zombie", {"Let the parent sleep before"}}}},
        // The child ends half a second before the parent's sleep does: a zombie, briefly.
        Told{"reap_the_zombie",
             "child_ends_late",
             {{"zombie", "failed"}, {"reaped", "passed"}, {"printed", "passed"}},
             {{"zombie", {"asked to sleep 2.00 s between its fork and its wait"}}},
             {{"zombie", {"did not sleep long enough"}}}},
        Told{
            "join_the_workers",
            "wrong_value",
            {{"created_first", "passed"}, {"returned", "failed"}},
            {{"returned", {"main printed \"Thread #0 returned 0\" and \"Thread #1 returned 1\""}}}},
        Told{"join_the_workers",
             "workers_print",
             {{"returned", "failed"}},
             {{"returned", {"main printed nothing", "wrote these lines themselves"}}}},
        // Its end comes 2 s after the 1-s sleeps, which overlapped: judged by the sleeps (the
        // second may start a few ms after the first on a busy machine).
        Told{"join_the_workers",
             "late_end",
             {{"created_first", "passed"}, {"one_worker_time", "passed"}},
             {{"one_worker_time", {"took 1.0", "Their sleeps overlapped"}}}},
        // Everything written by main at exit in one write: not judged, never "main printed".
        Told{"join_the_workers",
             "buffered_workers",
             {{"created_first", "passed"}, {"returned", "not_judged"}},
             {{"returned", {"buffered", "a write of 6 lines"}}},
             {{"returned", {"main printed each"}}}}),
    [](const auto &info) { return std::string(info.param.lab) + "_" + info.param.file; });
