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

TEST(Tour, ShowsEveryLineOfItsProgramsAndTheEvidenceOnAPipe) {
  // Like ./tour | tee tour.txt: the programs run on terminals of their own, so even one
  // stopped after 2 s of its 100 has written out every line before it is stopped.
  Outcome o = run({.argv = {BUILD_DIR "/tools/tour", "parent_child", "record_pass", "tally_locked",
                            "leader_leaves"},
                   .deadline = 60});
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all;
  for (const std::string &text : texts(o))
    all += text + "\n";
  for (const char *shown :
       {"\nChild process, pid=0\nParent Proces, pid=", "\nX\nX\nX\nX\nX\n",
        "=> exit status 0; first line: Child process, pid=0\n", "=> exit status 0, 5 lines of X\n",
        ", 0 breaks in the sequence", " | Hello QM104! I’m Thread #1 ^_^!!!\n",
        "I’m Main Thread: create Thread: #1\n"})
    EXPECT_NE(all.find(shown), std::string::npos) << shown << " missing from:\n" << all;
}

TEST(Tour, CtrlCLeavesNothingBehind) {
  // Interrupted while a program and its traced twin run beside the tour on terminals of
  // their own.
  for (const char *stop : {"leader_leaves", "leader_awaits"}) {
    Outcome o = run({.argv = {BUILD_DIR "/tools/tour", stop}, .tty = true, .deadline = 1.5});
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
