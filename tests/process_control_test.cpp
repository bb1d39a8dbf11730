#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "harness.hpp"
#include "trace.hpp"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// Child hook: the program starts as process 1 of a fresh pid namespace, where nothing
// else runs, so the child it forks is process 2 there, and fork returns 2 to the parent.
// The hook's own process stays outside, waits for the program and ends with its status.
static void in_fresh_pid_namespace() {
  if (unshare(CLONE_NEWPID) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0)
    _exit(125);
  pid_t program = fork();
  if (program == 0)
    return;  // goes on to start the program
  int status = 0;
  waitpid(program, &status, 0);
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// The child's pid checked against the kernel's own account of it: in a fresh pid namespace
// the child is process 2; where none can be had, strace's record of the clone that made
// the child returned its pid. Either way, two lines, nothing doubled or lost across fork.
TEST(ParentChild, ChildFirstThenParentWithTheChildsPid) {
  for (bool tty : {false, true}) {
    SCOPED_TRACE(tty ? "terminal" : "pipe");
    Outcome o = run({.argv = {"parent_child"}, .tty = tty, .before_exec = in_fresh_pid_namespace});
    std::string child = "2";
    if (o.status == 125 && o.lines.empty()) {
      if (std::string why = watcher::tracing_refused(); !why.empty())
        GTEST_SKIP() << "neither a pid namespace nor a trace of the fork here: " << why
                     << "; install strace (and allow ptrace where a container forbids it), or "
                        "allow unprivileged user namespaces";
      // LeakSanitizer's check at exit cannot run under a tracer; the fork does not need it.
      auto t = watcher::trace(
          {.argv = {program("parent_child")}, .tty = tty, .env = {"ASAN_OPTIONS=detect_leaks=0"}},
          "clone,clone3,?fork,?vfork");
      o = t.out;
      std::vector<long> forks;  // the program's own new processes, not a runtime's threads
      for (const watcher::Event &e : t.events)
        if (e.tid == t.pid && e.name != "execve" && e.name != "+++" && e.name != "---" &&
            !watcher::has_flag(e.text, "CLONE_VM") && !watcher::has_flag(e.text, "CLONE_THREAD"))
          forks.push_back(e.value);
      ASSERT_EQ(forks.size(), 1u);
      child = std::to_string(forks[0]);
    }
    EXPECT_EQ(texts(o), (Lines{"Child process, pid=0", "Parent Proces, pid=" + child}));
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

// Runs script_launch and splits its output into the parent's lines and everyone else's
// (the child's or the script's): the two processes are not ordered against each other,
// each is in itself.
struct Split {
  Lines parent, rest;
  pid_t pid = 0;  // the parent, as the harness started it
};
static Split launch(Run r) {
  Split s;
  r.started = [&](pid_t p) { s.pid = p; };
  Outcome o = run(r);
  for (const std::string &line : texts(o))
    (line.starts_with("PARENTS") ? s.parent : s.rest).push_back(line);
  EXPECT_EQ(o.tail, "");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  return s;
}

// The parent's first line: the pid the harness started, and this test process above it.
static std::string parent_line(pid_t pid) {
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
    Split s = launch({.argv = argv, .tty = c.tty, .cwd = folder.path});
    Lines parent = {parent_line(s.pid)};
    if (c.args.size() >= 2)
      parent.push_back("PARENTS | There are " + std::to_string(c.args.size()) + " arguments");
    EXPECT_EQ(s.parent, parent);
    long child = 0, ppid = 0;
    ASSERT_FALSE(s.rest.empty());
    EXPECT_EQ(sscanf(s.rest[0].c_str(), "CHILDREN | PID = %ld | PPID = %ld", &child, &ppid), 2);
    EXPECT_TRUE(child > 0 && child != s.pid) << "the child printed another process's PID";
    Lines rest = {
        "CHILDREN | PID = " + std::to_string(child) + " | PPID = " + std::to_string(s.pid),
        "CHILDREN | List of arguments: "};
    rest.insert(rest.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(s.rest, rest);
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
  Split s =
      launch({.argv = {"script_launch", "a", "b"}, .cwd = folder.path, .env = {"PROBE=kept"}});
  EXPECT_EQ(s.parent, (Lines{parent_line(s.pid), "PARENTS | There are 2 arguments"}));
  EXPECT_EQ(s.rest, (Lines{"0=./count.sh", "#=1", "arg=10", "probe=kept",
                           "ppid=" + std::to_string(s.pid)}));
}

TEST(ScriptLaunch, BuiltScriptCountsToTen) {
  for (bool tty : {false, true}) {
    SCOPED_TRACE(tty ? "terminal" : "pipe");
    std::string folder = fs::path(program("script_launch")).parent_path();
    Split s = launch({.argv = {"script_launch"}, .tty = tty, .cwd = folder});
    EXPECT_EQ(s.parent, Lines{parent_line(s.pid)});
    EXPECT_EQ(s.rest, (Lines{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
  }
}
