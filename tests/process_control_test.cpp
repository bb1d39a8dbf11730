#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "harness.hpp"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

TEST(ParentChild, ChildFirstThenParentWithTheChildsPid) {
  for (bool tty : {false, true}) {
    SCOPED_TRACE(tty ? "terminal" : "pipe");
    pid_t parent = 0;
    Outcome o =
        run({.argv = {"parent_child"}, .tty = tty, .started = [&](pid_t p) { parent = p; }});
    ASSERT_EQ(o.lines.size(), 2u) << o.tail;  // nothing doubled or lost across fork
    EXPECT_EQ(o.lines[0].text, "Child process, pid=0");
    int pid = 0;
    char extra;
    EXPECT_EQ(sscanf(o.lines[1].text.c_str(), "Parent Proces, pid=%d%c", &pid, &extra), 1)
        << o.lines[1].text;
    EXPECT_GT(pid, 0);
    EXPECT_NE(pid, parent) << "the parent printed its own pid, not the child's";
    EXPECT_EQ(o.tail, "");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
  }
}

// A fresh folder for one run of script_launch, removed with everything in it afterwards.
struct Folder {
  std::string path;
  Folder() {
    std::string name = (fs::temp_directory_path() / "script_launch.XXXXXX").string();
    path = mkdtemp(name.data());
  }
  ~Folder() {
    fs::remove_all(path);
  }
  void script(const std::string &text, mode_t mode) const {
    std::ofstream(path + "/count.sh") << text;
    chmod((path + "/count.sh").c_str(), mode);
  }
};

// Splits a script_launch run into the parent's lines and everyone else's (the child's
// or the script's): the two processes are not ordered against each other, each is in
// itself. Also checks the parent's first line, whose PPID must be this test process.
struct Split {
  Lines parent, rest;
  long pid = 0;
};
static Split split(const Outcome &o) {
  Split s;
  for (const std::string &line : texts(o))
    (line.starts_with("PARENTS") ? s.parent : s.rest).push_back(line);
  long ppid = 0;
  const char *first = s.parent.empty() ? "" : s.parent[0].c_str();
  EXPECT_EQ(sscanf(first, "PARENTS | PID = %ld | PPID = %ld", &s.pid, &ppid), 2) << first;
  EXPECT_EQ(ppid, long{getpid()});
  EXPECT_EQ(o.tail, "");
  EXPECT_EQ(o.status, 0);
  return s;
}

static std::string parent_line(long pid) {
  return "PARENTS | PID = " + std::to_string(pid) + " | PPID = " + std::to_string(getpid());
}

// When ./count.sh cannot be started the child lists its ids and the arguments.
TEST(ScriptLaunch, FallbackListsTheArguments) {
  const std::string runnable = "#!/bin/sh\necho started\n";
  struct Case {
    const char *name;
    std::string script;  // "" for no count.sh at all
    mode_t mode;
    Lines args;
    bool tty;
  } cases[] = {
      {"no script, a b", "", 0, {"a", "b"}, false},
      {"no script, one argument", "", 0, {"a"}, false},
      {"no script, none", "", 0, {}, false},
      {"no script, a b, terminal", "", 0, {"a", "b"}, true},
      {"not executable", runnable, 0644, {"x y", "z"}, false},
      {"no interpreter line", "echo started\n", 0755, {"a", "b", "c"}, false},
      {"percent signs are text", "", 0, {"%d", "%s%s%s", "100%"}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Folder folder;
    if (!c.script.empty())
      folder.script(c.script, c.mode);
    Lines argv = {"script_launch"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Outcome o = run({.argv = argv, .tty = c.tty, .cwd = folder.path});
    Split s = split(o);
    Lines parent = {parent_line(s.pid)};
    if (c.args.size() >= 2)
      parent.push_back("PARENTS | There are " + std::to_string(c.args.size()) + " arguments");
    EXPECT_EQ(s.parent, parent);
    long child = 0, ppid = 0;
    ASSERT_FALSE(s.rest.empty());
    EXPECT_EQ(sscanf(s.rest[0].c_str(), "CHILDREN | PID = %ld | PPID = %ld", &child, &ppid), 2);
    EXPECT_EQ(ppid, s.pid) << "the child's PPID is the parent's PID";
    Lines rest = {
        "CHILDREN | PID = " + std::to_string(child) + " | PPID = " + std::to_string(s.pid),
        "CHILDREN | List of arguments: "};
    rest.insert(rest.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(s.rest, rest);
    EXPECT_EQ(o.err, "");
  }
}

// The script is run in place of the child: named ./count.sh, one argument "10", our
// environment, and the parent as its parent; its exit status does not become ours.
TEST(ScriptLaunch, RunsTheScriptAsGiven) {
  Folder folder;
  folder.script(
      "#!/bin/sh\necho \"0=$0\"\necho \"#=$#\"\nfor a; do echo \"arg=$a\"; done\n"
      "echo \"probe=$PROBE\"\necho \"ppid=$PPID\"\nexit 3\n",
      0755);
  Outcome o = run({.argv = {"script_launch", "a", "b"}, .cwd = folder.path, .env = {"PROBE=kept"}});
  Split s = split(o);
  EXPECT_EQ(s.parent, (Lines{parent_line(s.pid), "PARENTS | There are 2 arguments"}));
  EXPECT_EQ(s.rest, (Lines{"0=./count.sh", "#=1", "arg=10", "probe=kept",
                           "ppid=" + std::to_string(s.pid)}));
}

TEST(ScriptLaunch, BuiltScriptCountsToTen) {
  for (bool tty : {false, true}) {
    SCOPED_TRACE(tty ? "terminal" : "pipe");
    std::string folder = fs::path(program("script_launch")).parent_path();
    Outcome o = run({.argv = {"script_launch"}, .tty = tty, .cwd = folder});
    Split s = split(o);
    EXPECT_EQ(s.parent, Lines{parent_line(s.pid)});
    EXPECT_EQ(s.rest, (Lines{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
    EXPECT_EQ(o.err, "");
  }
}

// A failed fork is a failure: reported on stderr, exit status 1.
TEST(ProcessControl, FailedForkIsReported) {
  if (!sanitizer().empty())
    GTEST_SKIP() << "a sanitizer's runtime needs clone itself (LeakSanitizer's exit check)";
  struct {
    const char *name;
    Lines lines;
  } cases[] = {{"parent_child", {"Parent Proces, pid=-1"}}, {"script_launch", {}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = run({.argv = {c.name, "a", "b"}, .before_exec = fail_fork});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(texts(o), c.lines);
    EXPECT_EQ(o.tail, "");
    EXPECT_EQ(o.err, std::string(c.name) + ": fork: " + strerror(EAGAIN) + "\n");
  }
}
