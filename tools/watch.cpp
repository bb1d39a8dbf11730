#include "watch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace watcher {

// Lock-free, so a signal handler may set it while other threads read it.
static std::atomic<bool> stop_everything{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void cancel() {
  stop_everything = true;
}

bool cancelled() {
  return stop_everything;
}

void pause(double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!cancelled() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::vector<std::string> texts(const Outcome &o) {
  std::vector<std::string> all;
  for (const Line &line : o.lines)
    all.push_back(line.text);
  return all;
}

static std::vector<char *> pointers(std::vector<std::string> &strings) {
  std::vector<char *> all;
  for (std::string &s : strings)
    all.push_back(s.data());
  all.push_back(nullptr);
  return all;
}

[[noreturn]] static void start_child(const Run &r, char **argv, char **envp, int out, int err) {
  if (r.tty) {
    termios mode;  // plain "\n" line ends and no echo
    tcgetattr(STDOUT_FILENO, &mode);
    mode.c_oflag &= ~OPOST;
    mode.c_lflag &= ~(ECHO | ECHONL);
    tcsetattr(STDOUT_FILENO, TCSANOW, &mode);
  } else {
    setpgid(0, 0);
    dup2(out, STDOUT_FILENO);
    int nothing = open("/dev/null", O_RDONLY);
    dup2(nothing, STDIN_FILENO);
  }
  dup2(err, STDERR_FILENO);
  for (int s = 1; s < NSIG; ++s)
    signal(s, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (!r.cwd.empty() && chdir(r.cwd.c_str()) != 0)
    _exit(126);
  if (r.before_exec)
    r.before_exec();
  execvpe(argv[0], argv, envp);  // a name without a slash is looked up on PATH
  _exit(127);
}

// The process groups of the programs running now: runs may go on side by side in threads.
static std::mutex groups_lock;
static std::set<pid_t> groups;

// Kills and reaps what a program left behind: the rest of its process group, and any
// orphan handed to us (we are a subreaper) from a group or session it made, e.g. the
// programs a watched tour started on terminals of their own. Says whether any of it still
// ran.
static bool reap_leftovers(pid_t group) {
  bool running = false;
  kill(-group, SIGKILL);
  for (bool found = true; found;) {
    found = false;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
      std::string stat;
      std::getline(std::ifstream(entry.path() / "stat"), stat);
      size_t name_end = stat.rfind(')');
      int parent, pgrp;
      char state;
      if (name_end == std::string::npos ||
          sscanf(stat.c_str() + name_end + 1, " %c %d %d", &state, &parent, &pgrp) != 3 ||
          parent != getpid() || pgrp == getpgrp())  // ours, and out of our own group
        continue;
      {
        std::lock_guard<std::mutex> hold(groups_lock);
        if (pgrp != group && groups.count(pgrp))
          continue;  // another run's program
      }
      pid_t pid = std::stoi(entry.path().filename());
      running = running || state != 'Z';
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      found = true;
    }
  }
  while (waitpid(-group, nullptr, WNOHANG) > 0) {
  }
  return running;
}

Outcome watch(const Run &r) {
  if (cancelled())
    return {.cancelled = true};
  // Orphans of the program (a killed parent's children) are handed to us to reap.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<std::string> args = r.argv, env = r.env;
  for (char **e = environ; *e; ++e)
    env.push_back(*e);  // earlier entries win in getenv
  std::vector<char *> argv = pointers(args), envp = pointers(env);

  int out[2] = {-1, -1}, err[2];
  if (pipe2(err, O_CLOEXEC) != 0 || (!r.tty && pipe2(out, O_CLOEXEC) != 0))
    throw std::runtime_error("pipe");
  auto start = std::chrono::steady_clock::now();
  auto now = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  pid_t pid;
  {
    // Runs start one at a time: a run that reaps its leftovers meanwhile finds this program
    // already listed as another run's, and no program inherits another's terminal.
    std::lock_guard<std::mutex> hold(groups_lock);
    pid = r.tty ? forkpty(&out[0], nullptr, nullptr, nullptr) : fork();
    if (pid < 0)
      throw std::runtime_error("fork");
    if (pid == 0)
      start_child(r, argv.data(), envp.data(), out[1], err[1]);
    groups.insert(pid);
    fcntl(out[0], F_SETFD, FD_CLOEXEC);
  }
  if (!r.tty) {
    setpgid(pid, pid);  // as the child does: no signal to the group can find it missing
    close(out[1]);
  }
  close(err[1]);
  if (r.started)
    r.started(pid);

  Outcome o;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string pending;
  double signal_at = r.deadline, reaped_at = -1;
  int next_signal = SIGINT, wstatus = 0;
  while (fds[0].fd >= 0 || fds[1].fd >= 0 || reaped_at < 0) {
    if (reaped_at < 0 && waitpid(pid, &wstatus, WNOHANG) == pid) {
      o.end = reaped_at = now();
      o.left_behind = reap_leftovers(pid);
    }
    if (reaped_at >= 0 && now() > reaped_at + 2)
      break;  // someone outside still holds a pipe
    if (reaped_at < 0 && cancelled() && !o.cancelled) {
      o.cancelled = true;
      kill(-pid, SIGKILL);
    }
    if (reaped_at < 0 && now() >= signal_at) {
      o.interrupted = o.interrupted || next_signal == SIGINT;
      // On a terminal the interrupt is typed, as a user would: the terminal then sends
      // SIGINT to whichever process group is in its foreground at that moment.
      if (next_signal == SIGINT && r.tty && fds[0].fd >= 0)
        (void)!write(fds[0].fd, "\x03", 1);
      else
        kill(-pid, next_signal);
      signal_at = next_signal == SIGINT ? now() + r.grace : now() + 3600;
      next_signal = SIGKILL;
    }
    poll(fds, 2, 20);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {  // end of file, or EIO once a pseudo-terminal's last user is gone
        close(fds[i].fd);
        fds[i].fd = -1;
      } else if (i == 1) {
        if (o.err.size() < (1u << 20))
          o.err.append(buffer, n);
      } else {
        if (r.echo >= 0)
          (void)!write(r.echo, buffer, n);
        pending.append(buffer, n);
        double at = now();
        size_t begin = 0;
        for (size_t nl; (nl = pending.find('\n', begin)) != std::string::npos; begin = nl + 1)
          if (o.lines.size() < r.max_lines)
            o.lines.push_back({pending.substr(begin, nl - begin), at});
        pending.erase(0, begin);
        // A line that never ends (a program printing without a newline) is kept to its
        // first MiB, and the program stopped as if it had printed max_lines.
        bool endless = pending.size() > (1u << 20);
        if (endless)
          pending.resize(1u << 20);
        bool enough = endless || o.lines.size() >= r.max_lines ||
                      (r.stop_when && r.stop_when(o.lines));
        if (enough && next_signal == SIGINT)
          signal_at = std::min(signal_at, now());
        if (o.lines.size() >= r.hang_up_after) {  // the reader goes away, like `| head`
          close(fds[0].fd);
          fds[0].fd = -1;
        }
      }
    }
  }
  for (int fd : {fds[0].fd, fds[1].fd})
    if (fd >= 0)
      close(fd);
  o.tail = pending.substr(0, 4096);
  if (WIFEXITED(wstatus))
    o.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus))
    o.signal = WTERMSIG(wstatus);
  {
    std::lock_guard<std::mutex> hold(groups_lock);
    groups.erase(pid);
  }
  return o;
}

}  // namespace watcher
