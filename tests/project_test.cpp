// The project as a newcomer meets it: the README's table, the installed programs.
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

TEST(Install, PutsTheProgramsInAFolderOfTheirOwn) {
  fs::path prefix = fs::temp_directory_path() / ("os_mechanisms-" + std::to_string(getpid()));
  Outcome installed =
      run({.argv = {CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", prefix.string()}});
  fs::path folder = prefix / "libexec/os_mechanisms";
  Outcome o = run({.argv = {(folder / "record_pass").string()}});
  std::size_t files = fs::exists(folder) ? std::distance(fs::directory_iterator(folder), {}) : 0;
  fs::remove_all(prefix);
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(files, programs().size() + 3) << "the programs, count.sh, the tour and tour-words";
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(texts(o), std::vector<std::string>(5, "X"));
}
