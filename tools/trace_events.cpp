// The runs of a page as Trace Event Format JSON (see page.hpp), the format that Perfetto
// and chrome://tracing open: each run a process of its own, each row a thread in it named
// by its label, its life and its sleeps as nested complete events ("X"), its writes as
// instant events ("i"), each link a flow from one row's call to the other row's return.
// Times are in microseconds by the trace's clock. Written with the JSON library of the
// lab's results file, which replaces bytes that are not UTF-8.
#include <nlohmann/json.hpp>

#include "page.hpp"
#include "words.hpp"

namespace page {

using nlohmann::json;

static double us(double seconds) {
  return seconds * 1e6;
}

std::string trace_events(const Page &p) {
  json events = json::array();
  int run = 0, flow = 0;
  for (const Part &part : p.parts)
    for (const Section &s : part.sections) {
      ++run;
      events.push_back({{"ph", "M"},
                        {"name", "process_name"},
                        {"pid", run},
                        {"args", {{"name", part.title + ": " + s.title}}}});
      for (const Row &row : s.rows) {
        auto at = [&](json e) {
          e["pid"] = run;
          e["tid"] = row.tid;
          events.push_back(e);
        };
        at({{"ph", "M"}, {"name", "thread_name"}, {"args", {{"name", row.label}}}});
        double to = row.ended < 0 ? s.end : row.ended;
        json life = {
            {"ph", "X"},          {"name", row.label},        {"cat", "life"},
            {"ts", us(row.made)}, {"dur", us(to - row.made)}, {"args", {{"end", row.end}}}};
        if (row.cpu >= 0)
          life["args"]["cpu_seconds"] = row.cpu;
        at(life);
        for (const Span &sp : row.spans)
          at({{"ph", "X"},
              {"name", sp.what},
              {"cat", words::line(state_name(sp.state))},
              {"ts", us(sp.from)},
              {"dur", us(sp.to - sp.from)}});
        for (const Mark &m : row.marks)
          at({{"ph", "i"},
              {"s", "t"},
              {"name", "write"},
              {"cat", "output"},
              {"ts", us(m.at)},
              {"args", {{"text", m.text}, {"lines", m.lines}}}});
      }
      for (const Link &l : s.links) {
        static const char *kinds[] = {"wake", "join", "reap"};
        ++flow;
        events.push_back({{"ph", "s"},
                          {"id", flow},
                          {"name", kinds[l.kind]},
                          {"cat", "link"},
                          {"pid", run},
                          {"tid", l.from},
                          {"ts", us(l.from_at)},
                          {"args", {{"what", l.what}}}});
        events.push_back({{"ph", "f"},
                          {"bp", "e"},
                          {"id", flow},
                          {"name", kinds[l.kind]},
                          {"cat", "link"},
                          {"pid", run},
                          {"tid", l.to},
                          {"ts", us(l.to_at)}});
      }
      for (const Verdict &v : s.verdicts)
        events.push_back({{"ph", "i"},
                          {"s", "p"},
                          {"name", v.label + ": " + v.name},
                          {"cat", "verdict"},
                          {"pid", run},
                          {"tid", v.row},
                          {"ts", us(std::max(0.0, v.from))},
                          {"args", {{"text", v.text}}}});
    }
  json all = {{"traceEvents", events}, {"displayTimeUnit", "ms"}};
  return all.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace page
