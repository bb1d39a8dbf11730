// The engine's kernel half: quoting calls from a trace, drawing the threads' lives, and
// saying what a count of writes shows.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "engine.hpp"

namespace tour {

std::vector<Said> clones(const Traced &t) {
  std::vector<Said> said;
  for (const Event *e : all(t, is_thread))
    said.push_back({e, "thread.clone", {{"tid", std::to_string(e->value)}, {"call", e->name}}});
  if (said.empty())
    evidence("missing", {{"call", line("thread.calls")}});
  return said;
}

void quote(const Event &e) {
  std::string head = "   " + std::to_string(e.tid) + " " + fixed(e.at, 3) + " s  ";
  std::string call = e.text;
  // A successful execve never returns: its "= 0" is strace's note, in the new program,
  // that the call completed, so no time is given as a return.
  bool replaced = e.name == "execve" && e.ok();
  if (e.done - e.at >= 0.0005 && e.name != "+++" && !replaced)
    call += "   " + line("quote.returned", {{"after", when(e.done - e.at)}});
  size_t room = std::max(40, settings.width - static_cast<int>(head.size()));
  call = shorten_call(call, 3 * room);
  std::string indent(head.size() + 2, ' ');
  while (call.size() > room) {
    size_t cut = room;  // after a comma or a "|", or before " = result"
    for (size_t i = room - 1; i > room / 2; --i)
      if (call[i] == ',' || call[i] == '|' || call.compare(i, 3, " = ") == 0) {
        cut = i + 1;
        break;
      }
    out(head + call.substr(0, cut));
    call.erase(0, cut);
    call.erase(0, call.find_first_not_of(' '));
    head = indent;
    room = std::max(40, settings.width - static_cast<int>(indent.size()));
  }
  out(head + call);
}

void in_order(std::vector<Said> said) {
  std::stable_sort(said.begin(), said.end(),
                   [](const Said &a, const Said &b) { return a.call->at < b.call->at; });
  for (const Said &s : said) {
    if (s.quoted)
      quote(*s.call);
    if (!s.note.empty())
      note(s.note, s.vars);
  }
}

void timeline(const Traced &t) {
  struct Life {
    std::string label;
    pid_t tid;
    double from, to = -1;
    std::string how;
  };
  std::vector<Life> lives = {{"main", t.pid, 0, -1, ""}};
  for (const Event *e : all(t, is_thread))
    lives.push_back(
        {"thread", static_cast<pid_t>(e->value), e->at, -1, ""});  // may run before clone returns
  double last = t.events.empty() ? 0 : t.events.back().at;
  for (Life &life : lives)
    for (const Event &e : t.events) {
      bool own = e.tid == life.tid && (e.name == "exit" || e.name == "exit_group");
      bool whole = e.name == "exit_group" && e.tid != life.tid;
      bool end = e.tid == life.tid && e.name == "+++";
      if (e.at >= life.from && (own || whole || end)) {
        life.to = e.at;
        life.how = own     ? e.name
                   : whole ? line("timeline.others", {{"tid", std::to_string(e.tid)}})
                   : e.result.starts_with("killed") && t.out.interrupted ? line("timeline.stopped")
                                                                         : e.result;
        break;
      }
    }
  size_t longest = 0;
  for (Life &life : lives) {
    life.how = life.to < 0 ? line("timeline.running")
                           : line("timeline.end", {{"how", life.how}, {"at", when(life.to)}});
    longest = std::max(longest, life.how.size());
  }
  int bar = std::max(20, settings.width - 21 - static_cast<int>(longest));
  double scale = std::max(last, 0.001);
  out("");
  evidence("timeline");
  for (const Life &life : lives) {
    double to = life.to < 0 ? last : life.to;
    int a = static_cast<int>(life.from / scale * bar), b = static_cast<int>(to / scale * bar);
    std::string cells;
    for (int i = 0; i < bar; ++i)
      cells += i >= a && i <= std::max(a, b) ? "█" : " ";
    std::string label = life.label + " " + std::to_string(life.tid);
    label.resize(14, ' ');
    out("   " + label + "|" + cells + "| " + life.how);
  }
  std::string axis(bar + 2, ' ');
  std::string end = when(last);
  axis.replace(0, 3, "0 s");
  axis.replace(axis.size() - end.size(), end.size(), end);
  out("   " + std::string(14, ' ') + axis);
}

void show_writes(const Writes &w, size_t lines) {
  if (w.calls == 0)
    return;
  bool buffered = lines >= 2 * static_cast<size_t>(w.calls);
  evidence(buffered ? "flood.writes" : "flood.writes_lines",
           {{"writes", std::to_string(w.calls)},
            {"lines", std::to_string(lines)},
            {"per", std::to_string(w.bytes / w.calls)}});
}

}  // namespace tour
