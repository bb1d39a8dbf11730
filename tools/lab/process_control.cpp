// The process control lab: reap_the_zombie, from parent_child. The learner's child ends
// with an exit status of its own, and the parent sleeps before it waits, so that the ended
// child stays a zombie meanwhile; then the parent prints the status it reaped. /proc shows
// the zombie while the parent sleeps, the trace shows the wait that reaped it and the
// status the kernel handed over, and the parent's own writes show what it printed.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

#include "lab.hpp"

namespace lab {

namespace {

// How long the task asks the parent to sleep before its wait. A zombie seen for half of
// it was left unreaped on purpose: a parent that waits at once reaps within milliseconds.
constexpr double asked_sleep = 2;

// What /proc showed of the program's children: polled from a thread of the lab's own
// while the program runs, since a zombie is only seen while it lasts.
struct Zombies {
  struct Seen {
    int times = 0;
    double first = 0, last = 0;  // seconds since the program started
  };
  std::map<pid_t, Seen> children;  // the children seen in state Z while their parent slept

  void watch(pid_t parent) {
    using clock = std::chrono::steady_clock;
    auto start = clock::now();
    poller = std::thread([this, parent, start] {
      while (!done && !cancelled()) {
        double at = std::chrono::duration<double>(clock::now() - start).count();
        for (pid_t child : children_of(parent))
          if (state(child) == 'Z' && state(parent) == 'S') {
            Seen &s = children[child];
            s.first = s.times++ ? s.first : at;
            s.last = at;
          }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  void stop() {
    done = true;
    if (poller.joinable())
      poller.join();
  }

 private:
  static std::vector<pid_t> children_of(pid_t pid) {
    return watcher::children(pid);
  }
  std::atomic<bool> done{false};
  std::thread poller;
};

bool forked(const Event &e) {
  return (called(e, clone_calls) || e.name == "fork" || e.name == "vfork") && !is_thread(e) &&
         e.value > 0;
}

const std::vector<std::string> sleep_calls = {"nanosleep", "clock_nanosleep",
                                              "clock_nanosleep_time64"};
const std::vector<std::string> signal_calls = {"rt_sigaction", "sigaction", "signal"};

// What the trace says of the parent around its child: the fork, a wait that found no child
// (the kernel reaped it at its end), SIGCHLD set to be ignored, and the sleeps before a wait.
struct Parent {
  const Event *fork = nullptr;
  const Event *no_child = nullptr;  // a wait that failed with ECHILD
  const Event *ignored = nullptr;   // SIGCHLD set to SIG_IGN, or SA_NOCLDWAIT
  double slept = 0;                 // what its sleeps between fork and first wait asked for, s
};

double asked(const Event &e) {  // "{tv_sec=2, tv_nsec=0}", as the program set it
  const std::string &request = e.name == "nanosleep" ? e.arg(0) : e.arg(2);
  size_t sec = request.find("tv_sec="), nsec = request.find("tv_nsec=");
  if (sec == std::string::npos || nsec == std::string::npos)
    return 0;
  return atof(request.c_str() + sec + 7) + atof(request.c_str() + nsec + 8) / 1e9;
}

Parent parent_of(const Traced &t) {
  Parent p;
  p.fork = find(t, [&](const Event &e) { return e.tid == t.pid && forked(e); });
  const Event *wait =
      find(t, [&](const Event &e) { return e.tid == t.pid && called(e, wait_calls); });
  p.no_child = find(t, [&](const Event &e) {
    return e.tid == t.pid && called(e, wait_calls) && e.error == "ECHILD";
  });
  p.ignored = find(t, [&](const Event &e) {
    return e.tid == t.pid && called(e, signal_calls) && e.ok() && e.arg(0) == "SIGCHLD" &&
           (e.arg(1).find("SIG_IGN") != std::string::npos ||
            e.arg(1).find("SA_NOCLDWAIT") != std::string::npos);
  });
  for (const Event &e : t.events)
    if (e.tid == t.pid && called(e, sleep_calls) && p.fork && e.at > p.fork->at &&
        (!wait || e.at < wait->at))
      p.slept += asked(e);
  return p;
}

// What the parent wrote after its wait began: "printed "a" and "b"", or "printed nothing".
std::string quoted_lines(const std::vector<std::string> &lines) {
  std::vector<std::string> quoted;
  for (size_t i = 0; i < lines.size() && i < 3; ++i)
    quoted.push_back("\"" + lines[i] + "\"");
  if (lines.size() > 3)
    quoted.push_back(
        words::line("reap_the_zombie.more", {{"count", std::to_string(lines.size() - 3)}}));
  return quoted.empty() ? words::line("reap_the_zombie.nothing")
                        : words::line("reap_the_zombie.printed_lines", {{"lines", joined(quoted)}});
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// Why /proc never showed the child a zombie, as far as the trace tells: the kernel reaped
// it (SIGCHLD ignored), the parent did not sleep before its wait, or it did and still no
// zombie was seen.
std::string never_why(const Parent *p, pid_t child) {
  Vars facts = {{"child", child ? std::to_string(child) : "?"}};
  if (!p)
    return words::line("reap_the_zombie.zombie.never", facts);
  facts["slept"] = fixed(p->slept, 2);
  if (p->ignored || p->no_child) {
    facts["call"] = shorten_call((p->ignored ? p->ignored : p->no_child)->text, 90);
    return words::line(
        p->ignored ? "reap_the_zombie.never_ignored" : "reap_the_zombie.never_echild", facts);
  }
  return words::line(p->slept > 0 ? "reap_the_zombie.never_slept" : "reap_the_zombie.zombie.never",
                     facts);
}

Check zombie_check(const Zombies &z, pid_t child, const Parent *p) {
  const std::string name = "reap_the_zombie.zombie";
  // Without the trace the child is the one seen longest.
  auto longest = z.children.end();
  for (auto it = z.children.begin(); it != z.children.end(); ++it)
    if (child ? it->first == child
              : longest == z.children.end() || it->second.last - it->second.first >
                                                   longest->second.last - longest->second.first)
      longest = it;
  if (longest == z.children.end())
    return check(name, false, {{"what", never_why(p, child)}});
  const Zombies::Seen &s = longest->second;
  double lasted = shown(s.last - s.first, 2);
  Vars facts = {{"child", std::to_string(longest->first)},
                {"times", std::to_string(s.times)},
                {"from", fixed(s.first, 2)},
                {"to", fixed(s.last, 2)},
                {"lasted", fixed(lasted, 2)},
                {"needed", fixed(asked_sleep / 2, 1)}};
  bool passed = lasted >= asked_sleep / 2;
  // Seen only for a moment: either the parent's sleep was short, or the child ran through
  // most of it, or all of it and ended while the parent waited, which reaped it at once.
  if (!passed && p && p->slept >= asked_sleep / 2)
    facts["slept"] = fixed(p->slept, 2), facts["what"] = words::line(name + ".brief_slept", facts);
  else if (!passed)
    facts["what"] = words::line(name + ".brief", facts);
  return check(name, passed, facts);
}

std::vector<Check> judge(const Learner &l) {
  Zombies zombies;
  Run r = limited(l, {.argv = {l.programs[0]}, .deadline = asked_sleep + 4});
  r.started = [&](pid_t pid) { zombies.watch(pid); };
  std::string why = cannot_trace();
  if (!why.empty()) {
    watch(r);
    zombies.stop();
    return {zombie_check(zombies, 0, nullptr), unjudged("reap_the_zombie.reaped", why),
            unjudged("reap_the_zombie.printed", why)};
  }
  Traced t = trace(r, traced(clone_calls) + ",?fork,?vfork," + traced(wait_calls) + ",write," +
                          traced(sleep_calls) + "," + traced(signal_calls));
  zombies.stop();

  Parent parent = parent_of(t);
  const Event *fork = parent.fork;
  pid_t child = fork ? static_cast<pid_t>(fork->value) : 0;
  std::vector<Check> checks = {zombie_check(zombies, child, &parent)};
  if (!fork) {
    Vars none = {{"what", words::line("reap_the_zombie.no_fork")}};
    checks.push_back(check("reap_the_zombie.reaped", false, none));
    checks.push_back(check("reap_the_zombie.printed", false, none));
    return checks;
  }

  std::vector<Reap> all_reaps = reaps(t);
  const Reap *reap = nullptr;
  for (const Reap &r : all_reaps)
    if (r.child == child && r.call->tid == t.pid)
      reap = &r;
  Vars facts = {{"child", std::to_string(child)}};
  if (!reap) {
    const Event *why = parent.no_child ? parent.no_child : parent.ignored;
    if (why)
      facts["call"] = shorten_call(why->text, 90);
    facts["what"] = words::line(parent.no_child  ? "reap_the_zombie.no_child"
                                : parent.ignored ? "reap_the_zombie.ignored"
                                                 : "reap_the_zombie.unreaped",
                                facts);
    checks.push_back(check("reap_the_zombie.reaped", false, facts));
    checks.push_back(check("reap_the_zombie.printed", false, facts));
    return checks;
  }
  facts["call"] = shorten_call(reap->call->text, 90);
  facts["at"] = fixed(reap->call->done, 2);
  facts["status"] = std::to_string(reap->status);
  facts["signal"] = std::to_string(reap->signal);
  bool own = reap->status > 0;
  if (!own)
    facts["what"] = words::line(reap->status == 0  ? "reap_the_zombie.status_zero"
                                : reap->signal > 0 ? "reap_the_zombie.killed"
                                                   : "reap_the_zombie.no_status",
                                facts);
  checks.push_back(check("reap_the_zombie.reaped", own, facts));

  // What the parent wrote after its wait began.
  std::string printed;
  for (const Said &s : said(t))
    if (s.tid == t.pid && s.at >= reap->call->at)
      printed += s.text;
  long status = reap->status;
  std::vector<std::string> lines =
      status >= 0 ? lines_with(printed, status) : std::vector<std::string>{};
  std::vector<std::string> raw =
      status >= 0 ? lines_with(printed, status << 8) : std::vector<std::string>{};
  std::string line = lines.empty() ? "" : lines[0];
  facts["line"] = line;
  facts["printed"] = raw.empty() ? quoted_lines(lines_of(printed)) : quoted_lines({raw[0]});
  facts["raw"] = std::to_string(status << 8);
  if (status < 0)  // the reaped check has said why there is no status to print
    facts["what"] = words::line("reap_the_zombie.unknown", facts);
  else if (line.empty())
    facts["what"] =
        words::line(!raw.empty() ? "reap_the_zombie.raw" : "reap_the_zombie.absent", facts);
  checks.push_back(check("reap_the_zombie.printed", !line.empty(), facts));
  return checks;
}

}  // namespace

const Lab reap_the_zombie = {"reap_the_zombie", "process_control", {"parent_child.cpp"}, 10,
                             false, judge, {"zombie", "reaped", "printed"}};

}  // namespace lab
