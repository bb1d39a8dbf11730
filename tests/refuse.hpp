// Seccomp filters that make chosen system calls fail, written for the build's own
// architecture: the tests' fault hooks and the no_namespaces launcher use them.
#pragma once

#include <endian.h>
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>

#include <vector>

// A call to refuse: always, or (with `bits`) only when its argument number `arg` has one
// of those bits set.
struct Refusal {
  long nr;  // SYS_... from <sys/syscall.h>, the numbers of the architecture built for
  unsigned bits = 0;
  unsigned arg = 0;
};

// The filter reads a call's number only after checking that the call came in through the
// build's own system-call table; another table on the same machine (x86-64's 32-bit entry)
// numbers its calls differently and is let through untouched.
#if defined(__x86_64__)
inline constexpr unsigned own_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
inline constexpr unsigned own_arch = AUDIT_ARCH_AARCH64;
#else
inline constexpr unsigned own_arch = 0;  // not written for this architecture: no filter
#endif

// From now on, in this process and everything it starts, each of `calls` fails with
// `error`; every other call works. False (errno set) if no filter can be installed.
inline bool refuse(const std::vector<Refusal> &calls, int error) {
  if (own_arch == 0) {
    errno = ENOSYS;
    return false;
  }
  // The low half of a 64-bit argument: the flags the calls here take are all in it.
  auto low_word = [](unsigned arg) {
    return static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * arg +
                                 (__BYTE_ORDER == __BIG_ENDIAN ? 4 : 0));
  };
  const sock_filter fail = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & 0xffff)),
                    pass = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  std::vector<sock_filter> code = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
                                   BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, own_arch, 1, 0), pass,
                                   BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  for (const Refusal &call : calls) {
    auto nr = static_cast<unsigned>(call.nr);
    if (call.bits == 0) {
      code.insert(code.end(), {BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1), fail});
    } else {
      // The call without any of those bits passes at once.
      code.insert(code.end(), {BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 4),
                               BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low_word(call.arg)),
                               BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, call.bits, 0, 1), fail, pass});
    }
  }
  code.push_back(pass);
  sock_fprog program = {static_cast<unsigned short>(code.size()), code.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
