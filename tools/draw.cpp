// One traced run as SVG (see draw.hpp). Time runs left to right over `axis` pixels; each
// row is a thread or a process from its making to its end. Where its CPU time was read
// every 10 ms, a row is drawn pale (awake, off a CPU) and, from its top, as high as the
// share of each 10 ms it ran, dark green; where it was not, mid green (on a CPU or ready
// for one: the trace cannot tell them apart). From its bottom, column by column, the share
// of the column's time it spent asleep in the kernel, in the colour of the state that took
// most of it. So a thread that spins stands dark green, one that waits lies blue and pale,
// and a second of a tally, with thousands of calls and a million lines, is at most a few
// thousand shapes.
#include "draw.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>

#include "words.hpp"

namespace page {

namespace {

constexpr int label = 200, axis = 1000, cpu_room = 170, row_h = 22, gap = 18, top = 36;
constexpr int levels = 8;  // heights a column's share asleep is drawn at

struct Scale {
  double end;
  double x(double t) const {
    return label + std::clamp(t / end, 0.0, 1.0) * axis;
  }
  int column(double t) const {
    return std::clamp(static_cast<int>(t / end * axis), 0, axis - 1);
  }
  double from(int column) const {
    return column * end / axis;
  }
};

std::string n(double v) {
  char b[32];
  snprintf(b, sizeof b, "%.1f", v);
  return b;
}

std::string when(double seconds) {
  char b[32];
  if (seconds < 1)
    snprintf(b, sizeof b, "%.2f ms", seconds * 1000);
  else
    snprintf(b, sizeof b, "%.3f s", seconds);
  return b;
}

std::string span_words(double from, double to) {
  return words::line("page.from_to", {{"from", when(from)}, {"to", when(to)}});
}

std::string rect(double x, double y, double w, double h, const std::string &cls,
                 const std::string &title) {
  return "<rect class=\"" + cls + "\" x=\"" + n(x) + "\" y=\"" + n(y) + "\" width=\"" +
         n(std::max(w, 0.6)) + "\" height=\"" + n(h) + "\"><title>" + escaped(title) +
         "</title></rect>";
}

double overlap(double a, double b, double c, double d) {
  return std::max(0.0, std::min(b, d) - std::max(a, c));
}

// The share of each column that the row slept, and the span that took most of it.
void sleeps(std::string &s, const Row &row, double y, const Scale &g, double alive_to) {
  std::vector<double> asleep(axis), alive(axis), most(axis);
  std::vector<int> top_span(axis, -1), starts(axis);
  double width = g.end / axis;
  for (int c = g.column(row.made); c <= g.column(alive_to); ++c)
    alive[c] = overlap(g.from(c), g.from(c) + width, row.made, alive_to);
  for (size_t i = 0; i < row.spans.size(); ++i) {
    const Span &sp = row.spans[i];
    if (sp.state == State::zombie)
      continue;
    starts[g.column(sp.from)]++;
    for (int c = g.column(sp.from); c <= g.column(sp.to); ++c) {
      double o = overlap(g.from(c), g.from(c) + width, sp.from, sp.to);
      asleep[c] += o;
      if (o > most[c] || top_span[c] < 0)
        most[c] = o, top_span[c] = static_cast<int>(i);
    }
  }
  auto level = [&](int c) {
    if (top_span[c] < 0 || alive[c] <= 0)
      return 0;
    int l = static_cast<int>(std::lround(std::min(1.0, asleep[c] / alive[c]) * levels));
    return std::max(1, l);  // a sleep however short stays visible
  };
  for (int c = 0; c < axis;) {
    int l = level(c);
    if (l == 0) {
      ++c;
      continue;
    }
    const Span &first = row.spans[top_span[c]];
    int end = c, calls = 0;
    double slept = 0, lived = 0;
    while (end < axis && level(end) == l && row.spans[top_span[end]].state == first.state &&
           row.spans[top_span[end]].what == first.what)
      calls += starts[end], slept += asleep[end], lived += alive[end], ++end;
    std::string title = first.what;
    if (end - c > 1 || calls > 1)
      title += '\n' + words::line("page.aggregated", {{"calls", std::to_string(calls)},
                                                      {"slept", when(slept)},
                                                      {"lived", when(lived)}});
    title += '\n' + span_words(g.from(c), g.from(end));
    double h = row_h * l / static_cast<double>(levels);
    std::string cls = state_name(first.state).substr(11);
    s += rect(label + c, y + row_h - h, end - c, h, cls, title);
    c = end;
  }
}

// Writes as marks along the top of the row: one per column, the first write's text or a count.
void marks(std::string &s, const Row &row, double y, const Scale &g) {
  std::string tid = std::to_string(row.tid);
  for (size_t i = 0; i < row.marks.size();) {
    int c = g.column(row.marks[i].at);
    size_t j = i;
    int lines = 0;
    while (j < row.marks.size() && g.column(row.marks[j].at) == c)
      lines += row.marks[j++].lines;
    std::string text = row.marks[i].text.substr(0, j - i > 1 ? 120 : 600);
    std::string title =
        j - i == 1 ? words::line("page.mark.one",
                                 {{"at", when(row.marks[i].at)}, {"lines", std::to_string(lines)}})
                   : words::line("page.mark.many",
                                 {{"writes", std::to_string(j - i)},
                                  {"lines", std::to_string(lines)},
                                  {"span", span_words(row.marks[i].at, row.marks[j - 1].at)}});
    s += "<circle class=\"mark\" data-tid=\"" + tid + "\" data-writes=\"" + std::to_string(j - i) +
         "\" cx=\"" + n(g.x(row.marks[i].at)) + "\" cy=\"" + n(y + 5) + "\" r=\"" +
         (j - i > 1 ? "4" : "3") + "\"><title>" + escaped(title + "\n" + text) +
         "</title></circle>";
    i = j;
  }
}

// From the row's top, the share of each reading's time (10 ms) that the thread ran on a
// CPU, as high as that share; readings of the same height drawn as one. The trace cannot
// tell a thread on a CPU from one stopped by the tracer or waiting for a CPU: the readings
// can.
void ran(std::string &s, const Row &row, double y, const Scale &g) {
  const auto &r = row.readings;
  auto level = [&](size_t k) {
    double dt = r[k].first - r[k - 1].first;
    double share = dt > 0 ? (r[k].second - r[k - 1].second) / dt : 0;
    return static_cast<int>(std::lround(std::clamp(share, 0.0, 1.0) * levels));
  };
  for (size_t i = 1; i < r.size();) {
    int l = level(i);
    size_t j = i;
    while (j < r.size() && level(j) == l)
      ++j;
    double from = r[i - 1].first, to = r[j - 1].first;
    if (l > 0 && to > from) {
      double h = row_h * l / static_cast<double>(levels);
      int share = static_cast<int>(100 * (r[j - 1].second - r[i - 1].second) / (to - from));
      s += rect(g.x(from), y, g.x(to) - g.x(from), h, "ran",
                words::line("page.ran", {{"share", std::to_string(std::min(share, 100))}}) +
                    "\n" + span_words(from, to));
    }
    i = j;
  }
}

// The row's life: pale where its CPU time was read (the readings draw its time on a CPU
// over it), mid green before the first reading and after the last.
void life(std::string &s, const Row &row, double y, const Scale &g, double alive_to) {
  auto part = [&](double from, double to, const char *cls, const char *name) {
    if (to > from)
      s += rect(g.x(from), y, g.x(to) - g.x(from), row_h, cls,
                words::line(name) + "\n" + span_words(from, to));
  };
  const auto &r = row.readings;
  if (r.size() < 2)
    return part(row.made, alive_to, "awake", "page.awake");
  double first = std::max(row.made, r.front().first), last = std::min(alive_to, r.back().first);
  part(row.made, first, "awake", "page.awake");
  part(first, last, "offcpu", "page.offcpu");
  part(last, alive_to, "awake", "page.awake");
}

void draw_row(std::string &s, const Row &row, double y, const Scale &g, double cpu_scale) {
  double alive_to = row.ended < 0 ? g.end : row.ended;
  std::string end = row.ended < 0
                        ? words::line("page.still_there")
                        : words::line("page.ended", {{"how", row.end}, {"at", when(row.ended)}});
  s += "<g class=\"row\" data-tid=\"" + std::to_string(row.tid) + "\" data-process=\"" +
       std::to_string(row.process) + "\">";
  s += "<text x=\"6\" y=\"" + n(y + 15) + "\">" + escaped(row.label) + "<title>" +
       escaped(row.label + "\n" + end) + "</title></text>";
  life(s, row, y, g, alive_to);
  sleeps(s, row, y, g, alive_to);
  ran(s, row, y, g);
  for (const Span &sp : row.spans)
    if (sp.state == State::zombie)
      s += rect(g.x(sp.from), y, g.x(sp.to) - g.x(sp.from), row_h, "zombie",
                sp.what + "\n" + span_words(sp.from, sp.to));
  auto tick = [&](double at, const std::string &cls, const std::string &title) {
    s += "<path class=\"" + cls + "\" d=\"M" + n(g.x(at)) + " " + n(y - 2) + "V" +
         n(y + row_h + 2) + "\"><title>" + escaped(title) + "</title></path>";
  };
  tick(row.made, "made", words::line("page.made", {{"at", when(row.made)}}));
  if (row.ended >= 0)
    tick(row.ended, "ended", end);
  marks(s, row, y, g);
  if (row.cpu >= 0) {
    double w = row.cpu / cpu_scale * (cpu_room - 80);
    std::string cpu = words::line("page.cpu", {{"seconds", when(row.cpu)}});
    s += rect(label + axis + 12, y + 4, w, row_h - 8, "cpu", cpu);
    s += "<text x=\"" + n(label + axis + 16 + w) + "\" y=\"" + n(y + 15) + "\">" +
         escaped(when(row.cpu)) + "</text>";
  }
  s += "</g>\n";
}

// The axis: ticks at 1, 2 or 5 times a power of ten, about eight of them.
void time_axis(std::string &s, const Scale &g) {
  double step = std::pow(10, std::floor(std::log10(g.end / 8)));
  for (double m : {2.0, 5.0, 10.0})
    if (g.end / step > 10)
      step = std::pow(10, std::floor(std::log10(g.end / 8))) * m;
  s += "<path class=\"life\" d=\"M" + n(label) + " " + n(top - 14) + "H" + n(label + axis) + "\"/>";
  for (double t = 0; t <= g.end * 1.0001; t += step) {
    char tick[32];
    if (step >= 1)
      snprintf(tick, sizeof tick, "%g s", t);
    else
      snprintf(tick, sizeof tick, "%g ms", std::round(t * 1e6) / 1e3);
    s += "<text x=\"" + n(g.x(t)) + "\" y=\"" + n(top - 18) + "\" text-anchor=\"middle\">" + tick +
         "</text><path class=\"life\" d=\"M" + n(g.x(t)) + " " + n(top - 14) + "v5\"/>";
  }
  s += "<text x=\"" + n(label + axis + 40) + "\" y=\"" + n(top - 18) + "\">" +
       escaped(words::line("page.cpu_heading")) + "</text>";
}

const char *arrow_colour(Link::Kind k) {
  return k == Link::wake ? "#e53935" : k == Link::join ? "#00897b" : "#d81b60";
}

}  // namespace

std::string svg(const Section &run) {
  Scale g{std::max(run.end, 1e-6)};
  double height = top + run.rows.size() * (row_h + gap) + 8;
  std::string s = "<svg class=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                  n(label + axis + cpu_room) + " " + n(height) + "\" data-rows=\"" +
                  std::to_string(run.rows.size()) + "\">\n<defs><pattern id=\"hatch\" " +
                  "width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\"><rect width=\"6\" " +
                  "height=\"6\" fill=\"#e0e0e0\"/><path d=\"M0 6L6 0\" stroke=\"#616161\"/>" +
                  "</pattern>";
  for (Link::Kind k : {Link::wake, Link::join, Link::reap}) {
    static const char *names[] = {"wake", "join", "reap"};
    s += "<marker id=\"arrow-" + std::string(names[k]) + "\" viewBox=\"0 0 8 8\" refX=\"7\" " +
         "refY=\"4\" markerWidth=\"7\" markerHeight=\"7\" orient=\"auto\"><path d=\"M0 0L8 " +
         "4L0 8z\" fill=\"" + arrow_colour(k) + "\"/></marker>";
  }
  s += "</defs>\n";
  time_axis(s, g);
  double cpu_scale = run.end;
  std::map<pid_t, double> y_of;
  for (const Row &row : run.rows)
    cpu_scale = std::max(cpu_scale, row.cpu);
  for (size_t i = 0; i < run.rows.size(); ++i) {
    double y = top + i * (row_h + gap) + 8;
    y_of[run.rows[i].tid] = y;
    draw_row(s, run.rows[i], y, g, std::max(cpu_scale, 1e-6));
  }
  // Links, one arrow per kind, pair of rows and column it arrives in; where they are
  // many, per five columns, so that the rows stay visible between them.
  std::map<std::tuple<int, pid_t, pid_t, int>, std::pair<const Link *, int>> arrows;
  int wide = run.links.size() > 300 ? 5 : 1;
  for (const Link &l : run.links)
    if (y_of.count(l.from) && y_of.count(l.to)) {
      auto &a = arrows[{l.kind, l.from, l.to, g.column(l.to_at) / wide}];
      a = {a.first ? a.first : &l, a.second + 1};
    }
  static const char *kinds[] = {"wake", "join", "reap"};
  for (const auto &[key, a] : arrows) {
    const Link &l = *a.first;
    std::string title = l.what;
    if (a.second > 1)
      title += '\n' + words::line("page.link.times", {{"times", std::to_string(a.second)}});
    double y1 = y_of[l.from] + row_h / 2.0, y2 = y_of[l.to] + row_h / 2.0;
    y2 += y2 > y1 ? -row_h / 2.0 : row_h / 2.0;  // to the edge of the row it reaches
    // Many links are drawn faint and without heads, so that the rows show through.
    s += "<path class=\"link " + std::string(kinds[l.kind]) + (wide > 1 ? " many" : "") +
         "\" data-from=\"" + std::to_string(l.from) + "\" data-to=\"" + std::to_string(l.to) +
         "\" d=\"M" + n(g.x(l.from_at)) + " " + n(y1) + "L" + n(g.x(l.to_at)) + " " + n(y2) + "\"" +
         (wide > 1 ? "" : " marker-end=\"url(#arrow-" + std::string(kinds[l.kind]) + ")\"") +
         "><title>" + escaped(title) + "</title></path>\n";
  }
  // A verdict beside the row and the time that decided it.
  for (const Verdict &v : run.verdicts)
    if (y_of.count(v.row)) {
      const Row &row = *std::find_if(run.rows.begin(), run.rows.end(),
                                     [&](const Row &r) { return r.tid == v.row; });
      double from = v.from >= 0 ? v.from : row.made;
      double to = v.to >= 0 ? v.to : row.ended >= 0 ? row.ended : run.end;
      s += "<g class=\"anchor-of\" data-check=\"" + escaped(v.name) + "\">" +
           rect(g.x(from) - 2, y_of[v.row] - 12, g.x(to) - g.x(from) + 4, row_h + 16,
                "anchor " + v.word, v.label + ": " + v.name + "\n" + v.text) +
           "</g>\n";
    }
  return s + "</svg>";
}

}  // namespace page
