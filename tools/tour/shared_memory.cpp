// Shared memory: memo_opener and memo_replier, two processes meeting in "OS".
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "engine.hpp"
#include "stops.hpp"

namespace tour {

namespace fs = std::filesystem;

// What the traced pair established: the opener's calls, the replier's, and the page in
// both processes' maps.
struct MemoHood {
  Traced a, b;
  const Event *create = nullptr, *size = nullptr, *map = nullptr;  // the opener's
  const Event *open = nullptr, *stat = nullptr, *map2 = nullptr,
              *unlink = nullptr;  // the replier's
  long stat_size = -1;
  std::vector<std::pair<pid_t, Mapping>> pages;  // "/dev/shm/OS" in each process's maps
  bool one_page = false;      // two processes, one device and inode, different addresses
  bool fixed_layout = false;  // both processes had ADDR_NO_RANDOMIZE in their personality
};

// A process's execution domain flags, from /proc/PID/personality; ADDR_NO_RANDOMIZE
// (0x0040000, set by setarch -R and by debuggers) turns address randomisation off for it.
static bool randomisation_off(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/personality");
  std::string flags;
  return file >> flags && (std::stoul(flags, nullptr, 16) & 0x0040000) != 0;
}

static const std::vector<std::string> open_calls = {"openat", "open"};
static const std::vector<std::string> stat_calls = {"newfstatat", "fstat", "statx", "fstat64"};
static const std::vector<std::string> map_calls = {"mmap", "mmap2"};
static const std::vector<std::string> size_calls = {"ftruncate", "ftruncate64"};

// The pair again, each under strace; the replier starts just after one of the opener's
// polls, so that for most of a second both processes have the page mapped.
static MemoHood memo_traced() {
  MemoHood f;
  made_shm = true;
  std::atomic<pid_t> opener_pid{0}, replier_pid{0};
  std::atomic<bool> polled{false}, ended{false};
  std::thread opener([&] {
    f.a = trace(
        {.argv = {program("shared_memory", "memo_opener")},
         .tty = true,
         .deadline = 20,
         .stop_when =
             [&](auto &) {
               polled = true;  // its first line: a poll has just been made
               return false;
             },
         .started = [&](pid_t pid) { opener_pid = pid; }},
        traced(open_calls) + "," + traced(size_calls) + "," + traced(map_calls) + ",munmap,unlink");
    ended = true;
  });
  while (!polled && !ended && !cancelled())  // an opener that fails prints nothing
    pause(0.01);
  pause(0.1);
  f.b = trace(
      {.argv = {program("shared_memory", "memo_replier")},
       .tty = true,
       .deadline = 20,
       .stop_when =
           [&](auto &) {
             if (f.pages.empty()) {  // the first line: the replier has mapped the page
               f.fixed_layout = true;
               for (pid_t pid : {pid_t(opener_pid), pid_t(replier_pid)}) {
                 f.fixed_layout = f.fixed_layout && randomisation_off(pid);
                 for (const Mapping &m : maps(pid))
                   if (m.path == "/dev/shm/OS")
                     f.pages.push_back({pid, m});
               }
             }
             return false;
           },
       .started = [&](pid_t pid) { replier_pid = pid; }},
      traced(open_calls) + "," + traced(stat_calls) + "," + traced(map_calls) + ",munmap,unlink");
  opener.join();
  made_shm = fs::exists("/dev/shm/OS");
  if (cancelled())
    throw Interrupted{};  // nothing is said of a stopped run
  auto shm = [](const Event &e) { return e.text.find("/dev/shm/OS") != std::string::npos; };
  // The descriptor's number was used before, for the loader's files: look after the open.
  auto on_fd = [](const Traced &t, const std::vector<std::string> &names, size_t arg,
                  const Event *open) {
    return find(t, [&](const Event &e) {
      return &e > open && called(e, names) && e.arg(arg) == std::to_string(open->value);
    });
  };
  f.create = find(f.a, [&](const Event &e) { return called(e, open_calls) && shm(e); });
  if (f.create) {
    f.size = on_fd(f.a, size_calls, 0, f.create);
    f.map = on_fd(f.a, map_calls, 4, f.create);
  }
  f.open = find(f.b, [&](const Event &e) { return called(e, open_calls) && shm(e); });
  if (f.open) {
    f.stat = on_fd(f.b, stat_calls, 0, f.open);
    f.map2 = on_fd(f.b, map_calls, 4, f.open);
  }
  for (const char *field : {"st_size=", "stx_size="})
    if (size_t at = f.stat ? f.stat->text.find(field) : std::string::npos; at != std::string::npos)
      f.stat_size = atol(f.stat->text.c_str() + at + std::string(field).size());
  f.unlink = find(f.b, [&](const Event &e) { return called(e, {"unlink"}) && shm(e); });
  auto &p = f.pages;
  f.one_page = p.size() == 2 && p[0].first != p[1].first &&
               p[0].second.start != p[1].second.start && p[0].second.device == p[1].second.device &&
               p[0].second.inode == p[1].second.inode;
  return f;
}

static std::string to_hex(uintptr_t address) {
  char text[32];
  snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(address));
  return text;
}

static void memo_hood(const MemoHood &f) {
  if (!f.create)
    return evidence("missing", {{"call", names(open_calls) + " of /dev/shm/OS"}});
  evidence("memo.grouped");
  std::vector<Said> opener = {
      {f.create,
       f.create->ok() && has_flag(f.create->text, "O_CREAT") ? "memo.create" : "",
       {{"call", f.create->name}}}};
  if (f.size)
    opener.push_back({f.size, f.size->ok() ? "memo.size" : "", {{"size", f.size->arg(1)}}});
  if (f.map)
    opener.push_back(
        {f.map, f.map->ok() && has_flag(f.map->arg(3), "MAP_SHARED") ? "memo.map" : ""});
  in_order(opener);
  if (!f.open)
    return;
  std::vector<Said> replier = {
      {f.open, f.open->ok() && !has_flag(f.open->text, "O_CREAT") ? "memo.open" : ""}};
  if (f.stat)
    replier.push_back(
        {f.stat, "memo.stat", {{"size", f.stat_size < 0 ? "?" : std::to_string(f.stat_size)}}});
  if (f.map2)
    replier.push_back({f.map2, ""});
  in_order(replier);
  if (!f.stat)
    note("missing", {{"call", names(stat_calls)}});
  for (const auto &[pid, m] : f.pages) {
    char row[256];
    snprintf(row, sizeof row, "   /proc/%d/maps: %lx-%lx %s %s %lu %s", pid,
             static_cast<unsigned long>(m.start), static_cast<unsigned long>(m.end),
             m.perms.c_str(), m.device.c_str(), m.inode, m.path.c_str());
    out(row);
  }
  if (f.one_page)
    note("memo.maps",
         {{"inode", f.pages[0].second.device + " " + std::to_string(f.pages[0].second.inode)}});
  if (f.unlink)
    in_order({{f.unlink, f.unlink->ok() ? "memo.unlink" : ""}});
}

static std::string user_name(uid_t uid) {
  passwd *entry = getpwuid(uid);
  return entry ? entry->pw_name : std::to_string(uid);
}

// Who may do what with an "OS" the tour did not make: what its mode lets other users do,
// whether the kernel refuses another user's opener whatever the mode, and which processes
// the tour can see holding it.
static void owner(const std::string &path) {
  struct stat file, folder;
  if (stat(path.c_str(), &file) != 0 || stat("/dev/shm", &folder) != 0)
    return;
  char mode[16];
  snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.st_mode & 07777));
  group *g = getgrgid(file.st_gid);
  Vars who = {{"user", user_name(file.st_uid)},
              {"mode", mode},
              {"group", g ? g->gr_name : std::to_string(file.st_gid)}};
  evidence("memo.skipped", who);
  // The replier opens it O_RDWR: the mode says who may.
  evidence(file.st_mode & S_IWOTH   ? "memo.mode_anyone"
           : file.st_mode & S_IWGRP ? "memo.mode_group"
                                    : "memo.mode_owner",
           who);
  // The opener opens it O_CREAT: in a sticky, world-writable folder the kernel refuses
  // that on a file of another user (unless the folder's owner owns it) when
  // fs.protected_regular is 1 or more.
  std::string protect = "0";
  std::getline(std::ifstream("/proc/sys/fs/protected_regular"), protect);
  bool sticky = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
  if (sticky && atoi(protect.c_str()) >= 1 && file.st_uid != folder.st_uid)
    evidence("memo.protected", {{"value", protect}});
  else
    evidence("memo.unprotected", {{"value", protect}});
  bool held = false;
  std::error_code hidden;
  for (const auto &entry : fs::directory_iterator("/proc", hidden)) {
    std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos)
      continue;
    // The object itself, by device and inode, not by its path: a process in another mount
    // namespace may have an "OS" of its own at the same path, which is not this one.
    bool open = false, mapped = false;
    std::error_code gone;
    for (const auto &fd : fs::directory_iterator(entry.path() / "fd", gone)) {
      struct stat held;
      open = open || (stat(fd.path().c_str(), &held) == 0 && held.st_dev == file.st_dev &&
                      held.st_ino == file.st_ino);
    }
    char device[32];  // as /proc/PID/maps writes it
    snprintf(device, sizeof device, "%02x:%02x", major(file.st_dev), minor(file.st_dev));
    for (const Mapping &m : maps(std::stoi(pid)))
      mapped = mapped || (m.device == device && m.inode == file.st_ino);
    if (!open && !mapped)
      continue;
    struct stat process;
    std::string name;
    std::getline(std::ifstream(entry.path() / "comm"), name);
    std::string how = open && mapped ? line("memo.open_fd") + ", " + line("memo.mapped")
                      : open         ? line("memo.open_fd")
                                     : line("memo.mapped");
    evidence(
        "memo.holder",
        {{"pid", pid},
         {"name", name},
         {"how", how},
         {"user", stat(entry.path().c_str(), &process) == 0 ? user_name(process.st_uid) : "?"}});
    held = true;
  }
  if (!held)
    evidence(file.st_uid == getuid() ? "memo.no_holder" : "memo.no_holder_other");
  evidence(file.st_uid == getuid() ? "memo.advice_own" : "memo.advice");
}

// What the shown pair established.
struct Memo {
  int opener = -1, replier = -1;
  double seconds = 0;
  bool left = false;                         // /dev/shm/OS still there afterwards
  int waits = 0;                             // the opener's "Waiting" lines
  double opener_end = -1, replier_end = -1;  // seconds from the opener's start
};

// The run's answer to "which ends first": both must have ended for it to show one.
static std::string first_end(const Memo &f) {
  if (f.opener_end < 0 || f.replier_end < 0)
    return "";
  double apart = f.replier_end - f.opener_end;
  return apart > 0.5 ? "a" : apart < -0.5 ? "b" : "c";
}

// The rule decides whether the two addresses must be equal; the run's two addresses are
// shown beside it, with why they are equal when they are.
static std::string illustration(const MemoHood &h) {
  if (h.pages.size() != 2)
    return "";
  Vars at = {{"a", to_hex(h.pages[0].second.start)},
             {"pa", std::to_string(h.pages[0].first)},
             {"b", to_hex(h.pages[1].second.start)},
             {"pb", std::to_string(h.pages[1].first)}};
  if (h.pages[0].second.start != h.pages[1].second.start)
    return line("memo.seen_apart", at);
  std::string aslr = "2";
  std::getline(std::ifstream("/proc/sys/kernel/randomize_va_space"), aslr);
  at["value"] = aslr;
  return line(aslr == "0"      ? "memo.seen_equal_sysctl"
              : h.fixed_layout ? "memo.seen_equal_personality"
                               : "memo.seen_equal",
              at);
}

void stop_memo_opener() {
  title("memo_opener");
  if (fs::exists("/dev/shm/OS")) {
    owner("/dev/shm/OS");
    return passed_over({"memo_opener", "memo_replier"}, "predict.in_the_way");
  }
  Asked polls = ask("memo_opener.polls"), ends = ask("memo_opener.first_end"),
        address = ask("memo_opener.address");
  Memo f;
  using clock = std::chrono::steady_clock;
  auto start = clock::now();
  auto since_start = [&] { return std::chrono::duration<double>(clock::now() - start).count(); };
  std::atomic<double> first_line{-1};  // when the opener's first line came
  std::atomic<bool> opener_done{false};
  made_shm = true;
  Outcome a, b;
  std::thread opener([&] {
    a = shown({.argv = {program("shared_memory", "memo_opener")},
               .deadline = 20,
               .stop_when = [&](const std::vector<Line> &) {
                 if (first_line < 0)
                   first_line = since_start();
                 return false;
               }});
    f.opener_end = since_start();
    opener_done = true;
  });
  // The replier comes 2.5 s after the opener's first line, halfway between two polls, so
  // that the opener's count of polls does not hang on the timing of its start.
  while (first_line < 0 && !opener_done && !cancelled() && since_start() < 10)
    pause(0.005);
  if (first_line >= 0 && !opener_done) {
    pause(first_line + 2.5 - since_start());
    double replier_start = since_start();
    b = shown({.argv = {program("shared_memory", "memo_replier")}, .deadline = 20});
    f.replier_end = replier_start + b.end;
  }
  opener.join();
  f.left = made_shm = fs::exists("/dev/shm/OS");
  if (cancelled())
    throw Interrupted{};  // nothing is said of a stopped run
  f.opener = a.status;
  f.replier = b.status;
  f.seconds = since_start();
  for (const Line &l : a.lines)
    f.waits += l.text == "Waiting Process B update shared memory";
  evidence("memo.result", {{"opener", std::to_string(f.opener)},
                           {"replier", std::to_string(f.replier)},
                           {"seconds", fixed(f.seconds, 1)},
                           {"after", line(f.left ? "memo.left" : "memo.gone")}});
  judge(polls, f.waits, {{"waits", std::to_string(f.waits)}});
  judge(ends, first_end(f),
        {{"opener", fixed(f.opener_end, 1)}, {"replier", fixed(f.replier_end, 1)}});
  MemoHood h;
  if (f.left)  // the traced pair would meet this run's leftover, not a page of its own
    evidence("memo.no_hood");
  else if (hood("memo_opener and memo_replier"))
    memo_hood(h = memo_traced());
  judge(address, "b", {{"seen", illustration(h)}});
}

}  // namespace tour
