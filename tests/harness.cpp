#include "harness.hpp"

#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <stdexcept>

static const std::map<std::string, std::string> paths = {
#include "programs.inc"
};

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
  auto refuse = [](int nr) {
    return std::vector<sock_filter>{
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN)};
  };
  std::vector<sock_filter> code = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
                                   BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
                                   BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                                   BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  for (int nr : {SYS_fork, SYS_vfork, SYS_clone, SYS_clone3}) {
    auto step = refuse(nr);
    code.insert(code.end(), step.begin(), step.end());
  }
  code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog program = {static_cast<unsigned short>(code.size()), code.data()};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
    _exit(125);
}
