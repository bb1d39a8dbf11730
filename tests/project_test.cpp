// The project as a newcomer meets it: the README's table, the tour, the installed programs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "harness.hpp"

namespace fs = std::filesystem;

TEST(Readme, TableListsExactlyTheBuiltPrograms) {
  std::ifstream readme(SOURCE_DIR "/README.md");
  std::set<std::string> listed;
  std::regex row("^\\| `([a-z_]+)` \\|");
  std::smatch match;
  for (std::string line; std::getline(readme, line);)
    if (std::regex_search(line, match, row))
      listed.insert(match[1]);
  auto built = programs();
  EXPECT_EQ(listed, std::set<std::string>(built.begin(), built.end()));
}

TEST(Tour, RunsChosenStopsAndShowsEvidence) {
  Outcome o = run({.argv = {SOURCE_DIR "/tour", "parent_child", "record_pass", "tally_locked"},
                   .env = {"TOUR_BUILD=" BUILD_DIR},
                   .deadline = 60});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all;
  for (const std::string &text : texts(o))
    all += text + "\n";
  EXPECT_NE(all.find("=> exit status 0; first line: Child process, pid=0"), std::string::npos)
      << all;
  EXPECT_NE(all.find("=> exit status 0, 5 lines of X"), std::string::npos) << all;
  EXPECT_NE(all.find(", 0 breaks in the sequence"), std::string::npos) << all;
}

TEST(Tour, CtrlCLeavesNothingBehind) {
  // Interrupted while a program runs behind the tour, and while one runs in the foreground
  // on a terminal of its own.
  for (const char *stop : {"leader_leaves", "leader_awaits"}) {
    Outcome o = run({.argv = {SOURCE_DIR "/tour", stop},
                     .tty = true,
                     .env = {"TOUR_BUILD=" BUILD_DIR},
                     .deadline = 1.5});
    EXPECT_EQ(o.status, 130) << stop;
    EXPECT_FALSE(o.left_behind) << stop << " outlived the tour";
    EXPECT_TRUE(o.interrupted);
  }
}

TEST(Install, PutsTheProgramsInAFolderOfTheirOwn) {
  fs::path prefix = fs::temp_directory_path() / ("os_mechanisms-" + std::to_string(getpid()));
  Outcome installed =
      run({.argv = {CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", prefix.string()}});
  fs::path folder = prefix / "libexec/os_mechanisms";
  Outcome o = run({.argv = {(folder / "record_pass").string()}});
  std::size_t files = fs::exists(folder) ? std::distance(fs::directory_iterator(folder), {}) : 0;
  fs::remove_all(prefix);
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(files, programs().size() + 1) << "the programs and count.sh";
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(texts(o), std::vector<std::string>(5, "X"));
}
