#include "harness.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "refuse.hpp"

static const std::map<std::string, std::string> paths = {
#include "programs.inc"
};

std::string joined(const Outcome &o) {
  std::string all;
  for (const std::string &text : texts(o))
    all += text + "\n";
  return all;
}

std::string unfolded(const Outcome &o) {
  return unfolded(joined(o));
}

std::string unfolded(const std::string &text) {
  return std::regex_replace(text, std::regex("\n   +"), " ");
}

std::string contents(const std::string &path) {
  std::stringstream all;
  all << std::ifstream(path).rdbuf();
  return all.str();
}

std::string program(const std::string &name) {
  auto found = paths.find(name);
  if (found == paths.end())
    throw std::invalid_argument("no program named " + name);
  return found->second;
}

std::vector<std::string> programs() {
  std::vector<std::string> names;
  for (const auto &[name, path] : paths)
    names.push_back(name);
  return names;
}

std::string sanitizer() {
  return SANITIZE;
}

Outcome run(const Run &r) {
  Run named = r;
  if (named.argv.at(0).find('/') == std::string::npos)
    named.argv[0] = program(named.argv[0]);
  Outcome o = watcher::watch(named);
  for (const char *report : {"Sanitizer", "runtime error:"})
    if (o.err.find(report) != std::string::npos)
      ADD_FAILURE() << r.argv[0] << ": " << o.err;
  return o;
}

void fail_thread_creation() {
  // glibc gives each new thread a stack as large as RLIMIT_STACK; 1 GiB of it cannot fit
  // in a 384 MiB address space, so pthread_create fails with EAGAIN.
  rlimit stack = {1ul << 30, 1ul << 30}, space = {384ul << 20, 384ul << 20};
  setrlimit(RLIMIT_STACK, &stack);
  setrlimit(RLIMIT_AS, &space);
}

void fail_fork() {
  std::vector<Refusal> calls = {{SYS_clone}, {SYS_clone3}};
#ifdef SYS_fork  // only some architectures have fork and vfork besides clone
  calls.insert(calls.end(), {{SYS_fork}, {SYS_vfork}});
#endif
  if (!refuse(calls, EAGAIN))
    _exit(125);
}
