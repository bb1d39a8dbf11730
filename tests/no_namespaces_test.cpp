// The launcher that plays a machine without namespaces refuses exactly what it should.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "harness.hpp"

// Started again by the test below with PROBE_CALLS set: makes each call with arguments the
// kernel itself rejects with an error of its own (so an EPERM can only come from a filter),
// prints how each ended, and exits before any test runs.
[[maybe_unused]] static const bool probing = [] {
  if (!getenv("PROBE_CALLS"))
    return false;
  auto print = [](const char *call, long result) {
    printf("%s %s\n", call, result == 0 ? "ok" : strerrorname_np(errno));
  };
  print("unshare", syscall(SYS_unshare, -1));                                 // unknown flags
  print("setns", syscall(SYS_setns, -1, 0));                                  // no such descriptor
  print("mount", syscall(SYS_mount, nullptr, nullptr, nullptr, 0, nullptr));  // no target
  print("umount2", syscall(SYS_umount2, nullptr, -1));                        // unknown flags
  // A new namespace asked for together with CLONE_SIGHAND but no CLONE_VM, which the kernel
  // refuses before it makes anything.
  for (auto [name, flag] : {std::pair{"NEWNS", CLONE_NEWNS},
                            {"NEWUSER", CLONE_NEWUSER},
                            {"NEWPID", CLONE_NEWPID},
                            {"NEWNET", CLONE_NEWNET}}) {
    std::string call = std::string("clone_") + name;
    print(call.c_str(), syscall(SYS_clone, flag | CLONE_SIGHAND, 0, 0, 0, 0));
  }
  pid_t child = fork();  // a clone without namespaces
  if (child == 0)
    _exit(0);
  int status = 1;
  print("fork", child > 0 && waitpid(child, &status, 0) == child && status == 0 ? 0 : -1);
  std::thread([] {}).join();  // clone3, as the C library makes threads
  print("thread", 0);
  fflush(stdout);
  _exit(0);
}();

static bool under_seccomp() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("Seccomp:"))
      return line.find('0') == std::string::npos;
  return false;
}

TEST(NoNamespaces, RefusesNamespacesAndMountsWithEpermOnly) {
  std::string self = std::filesystem::read_symlink("/proc/self/exe");
  std::vector<std::string> refused = {"unshare",      "setns",       "mount",
                                      "umount2",      "clone_NEWNS", "clone_NEWUSER",
                                      "clone_NEWPID", "clone_NEWNET"};
  Outcome confined = run({.argv = {NO_NAMESPACES, self}, .env = {"PROBE_CALLS=1"}});
  std::vector<std::string> expected;
  for (const std::string &call : refused)
    expected.push_back(call + " EPERM");
  expected.insert(expected.end(), {"fork ok", "thread ok"});
  EXPECT_EQ(texts(confined), expected);
  EXPECT_EQ(confined.status, 0) << confined.err;

  // Without the launcher the same calls fail for their own reasons, never with EPERM: the
  // refusals above are the filter's. A run already inside a filter (the launcher's, a
  // container's) cannot see the kernel's own answers.
  if (!under_seccomp()) {
    Outcome free = run({.argv = {self}, .env = {"PROBE_CALLS=1"}});
    auto lines = texts(free);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < refused.size(); ++i)
      EXPECT_TRUE(lines[i].starts_with(refused[i] + " E") && !lines[i].ends_with(" EPERM"))
          << lines[i];
  }

  Outcome missing = run({.argv = {NO_NAMESPACES, "/nonexistent/program"}});
  EXPECT_EQ(missing.status, 127);
  EXPECT_EQ(missing.err, "no_namespaces: /nonexistent/program: No such file or directory\n");
}
