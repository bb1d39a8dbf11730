// A learner's fork loop and flood end in a verdict within the lab's time and leave nothing
// behind. Run alone: as an ordinary user the fork loop fills the user's process limit, which
// every other lab run of the same user shares.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "harness.hpp"
#include "lab_judged.hpp"

namespace fs = std::filesystem;

// The processes still running under the user id the lab gave the learner's program (as
// root), or named after the learner's program (as anyone else).
static std::vector<pid_t> left_behind(pid_t lab, const std::string &name) {
  std::vector<pid_t> found;
  for (const auto &entry : fs::directory_iterator("/proc")) {
    std::string status = contents(entry.path() / "status");
    std::smatch uid, comm;
    if (!std::regex_search(status, uid, std::regex("Uid:\t([0-9]+)")) ||
        !std::regex_search(status, comm, std::regex("Name:\t(.*)")))
      continue;
    bool learner = geteuid() == 0 ? std::stoul(uid[1]) == 2'000'000'000ul + lab
                                  : comm[1] == name.substr(0, 15);
    if (learner)
      found.push_back(std::stoi(entry.path().filename()));
  }
  return found;
}

// A fork loop and a flood each end in a verdict within the lab's time, with nothing left
// running and no folder left in /tmp.
TEST(Lab, AForkLoopAndAFloodEndInAVerdictAndLeaveNothing) {
  // The lab makes its folder in TMPDIR: one of this test's own, so that other tests'
  // folders do not count.
  fs::path tmp = fs::temp_directory_path() / ("lab-tmp-" + std::to_string(getpid()));
  fs::create_directories(tmp);
  for (const char *mistake : {"fork_loop", "flood"}) {
    std::string file = source_of("reap_the_zombie/" + std::string(mistake) + ".cpp");
    Judged j = run_lab({"reap_the_zombie", "--file", file}, {"TMPDIR=" + tmp.string()});
    EXPECT_EQ(j.status, 1) << mistake << "\n" << j.output;
    EXPECT_EQ(verdict(j, "zombie"), "FAILED") << mistake;
    EXPECT_EQ(verdict(j, "reaped"), "FAILED") << mistake;
    EXPECT_LT(j.seconds, 10 + 5) << mistake;  // the lab's 10 s, and the build
    ASSERT_GT(j.pid, 0) << "the lab's pid, by which its learner's processes are found";
    EXPECT_EQ(left_behind(j.pid, mistake), std::vector<pid_t>{}) << mistake;
    EXPECT_TRUE(fs::is_empty(tmp)) << mistake << ": its folder is left in " << tmp;
  }
  fs::remove_all(tmp);
}
