// Process control: parent_child (fork and wait) and script_launch (a child replaced by a
// script, and the same from a folder without the script).
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "engine.hpp"
#include "stops.hpp"

namespace tour {

// What a run of parent_child established.
struct ParentChild {
  int status = -1;
  std::string first;            // the first line printed
  long child_said = -1;         // the pid the child printed ("Child process, pid=N")
  long parent_said = -1;        // the pid the parent printed
  pid_t parent = 0;             // the process the tour started
  Traced t;                     // the traced twin, which the calls below point into
  const Event *fork = nullptr;  // traced: the clone that is fork
  bool fork_copies = false;     // ...without CLONE_VM, with SIGCHLD
  std::string traced_second;    // the traced run's second line
  const Event *wait = nullptr;  // wait4 or waitid
  const Event *child_exit = nullptr;
};

// The ended child as /proc shows it while its parent cannot reap it. Between a child's end
// and its parent's wait the child is a zombie; parent_child waits at once, so the tour
// holds the parent stopped (SIGSTOP) as soon as /proc lists its child, looks at the child
// until it has ended, and lets the parent go on (SIGCONT). A child not found in time, or
// already reaped, is not reported as seen.
struct Zombie {
  pid_t child = 0;
  char held = 0;       // the child's state while the parent was stopped: 'Z', or 0
  bool reaped = false;  // /proc/CHILD was gone once the parent went on
  double stopped = 0;   // seconds the parent was held
  std::thread spy;
  std::atomic<bool> done{false};

  void watch(pid_t parent) {
    spy = std::thread([this, parent] {
      using clock = std::chrono::steady_clock;
      auto since = [](clock::time_point t) {
        return std::chrono::duration<double>(clock::now() - t).count();
      };
      auto begun = clock::now();
      while (!child && !done && !cancelled() && since(begun) < 5) {
        std::vector<pid_t> found = children(parent);
        if (!found.empty())
          child = found[0];
      }
      if (!child || kill(parent, SIGSTOP) != 0)
        return;
      auto held_at = clock::now();
      char s = state(child);
      while (s != 0 && s != 'Z' && !cancelled() && since(held_at) < 1)
        s = state(child);
      held = s == 'Z' ? s : 0;
      stopped = since(held_at);
      kill(parent, SIGCONT);
      auto let_go = clock::now();
      while (held && state(child) != 0 && since(let_go) < 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      reaped = held && state(child) == 0;
    });
  }
  void join() {
    done = true;
    if (spy.joinable())
      spy.join();
  }
};

static const std::vector<std::string> fork_calls = {"clone", "clone3", "fork"};

// The run's answers: which line came first, and whose number the child printed.
static std::string first_choice(const ParentChild &f) {
  return f.first.starts_with("Child process")   ? "a"
         : f.first.starts_with("Parent Proces") ? "b"
                                                : "";
}

static std::string pid_choice(const ParentChild &f) {
  return f.child_said < 0                ? ""  // no child line to judge by
         : f.child_said == 0             ? "a"
         : f.child_said == f.parent_said ? "b"
         : f.child_said == f.parent      ? "c"
                                         : "";
}

static void explain(ParentChild &f) {
  if (!hood("parent_child"))
    return;
  f.t = trace({.argv = {program("process_control", "parent_child")}},
              traced(clone_calls) + ",?fork,?wait4,?waitid,exit_group");
  if (cancelled())
    return;
  const Traced &t = f.t;
  f.fork = find(t, [&](const Event &e) { return called(e, fork_calls) && e.tid == t.pid; });
  if (!f.fork)
    return evidence("missing", {{"call", names(fork_calls)}});
  std::string flags = f.fork->name == "clone3" ? f.fork->arg(0) : f.fork->arg(1);
  f.fork_copies =
      f.fork->name != "fork" && !has_flag(flags, "CLONE_VM") && has_flag(flags, "SIGCHLD");
  f.traced_second = t.out.lines.size() > 1 ? t.out.lines[1].text : "";
  f.wait = find(t, [&](const Event &e) { return called(e, wait_calls); });
  f.child_exit = find(t, [&](const Event &e) {
    return e.name == "exit_group" && e.tid == static_cast<pid_t>(f.fork->value);
  });
  quote(*f.fork);
  if (f.fork_copies)
    note("parent_child.clone", {{"pid", std::to_string(f.fork->value)},
                                {"call", f.fork->name},
                                {"printed", f.traced_second}});
  if (!f.wait)
    return note("missing", {{"call", names(wait_calls)}});
  if (!f.child_exit)
    return;
  bool waited = f.wait->at <= f.child_exit->at;  // else the child was gone before the parent asked
  in_order({{f.wait, ""}, {f.child_exit, ""}});
  note(waited ? "parent_child.wait" : "parent_child.reaped",
       {{"blocked", when(f.wait->done - f.wait->at)},
        {"call", f.wait->name},
        {"pid", std::to_string(f.child_exit->tid)},
        {"exit", fixed(f.child_exit->at, 3)}});
}

void stop_parent_child() {
  title("parent_child");
  Asked first = ask("parent_child.first"), pid = ask("parent_child.pid");
  ParentChild f;
  Zombie z;
  std::string exe = program("process_control", "parent_child");
  // The program runs at the lowest priority, so that on a busy machine the tour's look
  // at /proc comes between the fork and the child's end.
  Outcome o = shown({.argv = {exe},
                     .before_exec = [] { setpriority(PRIO_PROCESS, 0, 19); },
                     .started = [&](pid_t pid) {
                       f.parent = pid;
                       z.watch(pid);
                     }});
  z.join();
  if (cancelled())
    throw Interrupted{};  // nothing is said of a stopped run
  f.status = o.status;
  f.first = o.lines.empty() ? "" : o.lines[0].text;
  for (const Line &l : o.lines) {
    sscanf(l.text.c_str(), "Child process, pid=%ld", &f.child_said);
    sscanf(l.text.c_str(), "Parent Proces, pid=%ld", &f.parent_said);
  }
  evidence("parent_child.result", {{"status", std::to_string(f.status)}, {"first", f.first}});
  if (z.held == 'Z' && z.child == f.parent_said)
    evidence(z.reaped ? "parent_child.zombie" : "parent_child.zombie_held",
             {{"child", std::to_string(z.child)}, {"held", when(z.stopped)}});
  else
    evidence("parent_child.zombie_unseen");
  explain(f);
  if (cancelled())
    throw Interrupted{};
  judge(first, first_choice(f), {{"first", f.first}});
  judge(pid, pid_choice(f),
        {{"child", std::to_string(f.child_said)},
         {"parent", std::to_string(f.parent_said)},
         {"started", std::to_string(f.parent)}});
}
// What the two runs of script_launch established: beside count.sh, and elsewhere.
struct ScriptLaunch {
  int numbers = 0, own = 0;     // lines the script printed (1..10), and the child's own
  Traced t, t2;                 // the traced twins of the two runs
  const Event *exec = nullptr;  // traced: the child's execve
  std::string shebang;          // count.sh's first line
  const Event *read = nullptr;  // the interpreter opening ./count.sh
  // From a folder without count.sh:
  std::string parent_line, child_line;
  long parent = 0, child_parent = -1;
  int numbers2 = 0, own2 = 0;     // the same, without count.sh
  const Event *failed = nullptr;  // traced: its execve, failed
  const Event *write = nullptr;   // the child's own write
};

// Lines of the script (numbers alone) and lines of the child's own code (all others but
// the parent's).
static void count_lines(const Outcome &o, int &numbers, int &own) {
  for (const Line &line : o.lines) {
    bool number =
        !line.text.empty() && line.text.find_first_not_of("0123456789") == std::string::npos;
    numbers += number;
    own += !number && !line.text.starts_with("PARENTS");
  }
}

// count.sh's permission bits, "0755", or "" when it is missing.
static std::string mode_of(const std::string &path) {
  struct stat file;
  if (stat(path.c_str(), &file) != 0)
    return "";
  char mode[16];
  snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.st_mode & 07777));
  return mode;
}

void stop_script_launch() {
  std::string script = program("process_control", "count.sh");
  std::string folder = std::filesystem::path(script).parent_path();
  // What the child's execl will meet decides what there is to watch for.
  title(mode_of(script).empty()             ? "script_launch.missing"
        : access(script.c_str(), X_OK) != 0 ? "script_launch.not_executable"
                                            : "script_launch");
  ScriptLaunch f;
  Outcome o = shown({.argv = {"./script_launch"}, .cwd = folder});
  if (cancelled())
    throw Interrupted{};
  count_lines(o, f.numbers, f.own);
  evidence(f.numbers > 0 || f.own == 0 ? "script_launch.result" : "script_launch.result_own",
           {{"numbers", std::to_string(f.numbers)}, {"own", std::to_string(f.own)}});
  if (hood("script_launch")) {
    f.t = trace({.argv = {"./script_launch"}, .cwd = folder},
                traced(clone_calls) + ",?open,?openat,?wait4,?waitid,exit_group");
    if (cancelled())
      throw Interrupted{};
    const Traced &t = f.t;
    f.exec = find(t, [&](const Event &e) { return e.name == "execve" && e.tid != t.pid; });
    if (f.exec) {
      std::getline(std::ifstream(folder + "/count.sh"), f.shebang);
      f.read = find(t, [&](const Event &e) {
        return called(e, {"open", "openat"}) && e.tid == f.exec->tid &&
               e.text.find("\"./count.sh\"") != std::string::npos;
      });
      quote(*f.exec);
      if (f.exec->ok())
        note("script_launch.execve",
             {{"pid", std::to_string(f.exec->tid)}, {"shebang", f.shebang}});
      else
        note(f.exec->error == "EACCES" ? "script_launch.eacces" : "script_launch.failed",
             {{"error", f.exec->error}, {"mode", mode_of(script)}});
      if (f.read && f.exec->ok()) {
        quote(*f.read);
        note("script_launch.openat", {{"call", f.read->name}});
      } else if (f.exec->ok()) {
        note("missing", {{"call", "open or openat of ./count.sh"}});
      }
    }
  }

  title("script_launch.fallback");
  Asked elsewhere_asked = ask("script_launch.elsewhere");
  char temporary[] = "/tmp/tour.XXXXXX";
  std::string empty = mkdtemp(temporary) ? temporary : "/";
  Run elsewhere = {.argv = {program("process_control", "script_launch"), "a", "b"}, .cwd = empty};
  o = shown(elsewhere);
  if (cancelled()) {
    rmdir(empty.c_str());
    throw Interrupted{};
  }
  long ignored;
  for (const Line &line : o.lines) {
    if (sscanf(line.text.c_str(), "PARENTS | PID = %ld", &f.parent) == 1)
      f.parent_line = line.text;
    if (sscanf(line.text.c_str(), "CHILDREN | PID = %ld | PPID = %ld", &ignored, &f.child_parent) ==
        2)
      f.child_line = line.text;
  }
  count_lines(o, f.numbers2, f.own2);
  if (!f.parent_line.empty())
    evidence("script_launch.parent", {{"line", f.parent_line}});
  if (!f.child_line.empty())
    evidence(f.child_parent == f.parent ? "script_launch.child" : "script_launch.child_elsewhere",
             {{"line", f.child_line}});
  if (hood("script_launch a b")) {
    f.t2 = trace(elsewhere, traced(clone_calls) + ",write,exit_group");
    if (cancelled()) {
      rmdir(empty.c_str());
      throw Interrupted{};
    }
    const Traced &t = f.t2;
    f.failed = find(t, [&](const Event &e) { return e.name == "execve" && e.tid != t.pid; });
    if (f.failed) {
      f.write =
          find(t, [&](const Event &e) { return e.name == "write" && e.tid == f.failed->tid; });
      quote(*f.failed);
      if (!f.failed->ok())
        note("script_launch.failed", {{"error", f.failed->error}});
      if (f.write) {
        quote(*f.write);
        note("script_launch.write", {{"pid", std::to_string(f.failed->tid)}});
      }
    }
  }
  rmdir(empty.c_str());
  Vars compared = {{"numbers", std::to_string(f.numbers)},
                   {"own", std::to_string(f.own)},
                   {"numbers2", std::to_string(f.numbers2)},
                   {"own2", std::to_string(f.own2)}};
  out("");
  evidence("script_launch.compare", compared);
  judge(elsewhere_asked, f.own2 > 0 ? "b" : f.numbers2 > 0 ? "c" : "a", compared);
}

}  // namespace tour
