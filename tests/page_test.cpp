// A page of runs, drawn and opened in a real browser: a run whose picture is known
// (known_picture: a waiter asleep on `sem` until a post 0.2 s in, a child left a zombie
// for 0.3 s) checked against its own trace, then pages the tour and a lab wrote, each
// opened by headless chromium: no console errors, a row for each thread the run made, each
// write on the row of the thread that made it, the verdicts there; and a second of a tally,
// aggregated, under 2 MB. The screenshots stay in the build folder (tests/page-*.png).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "album.hpp"
#include "browser.hpp"
#include "draw.hpp"
#include "facts.hpp"
#include "harness.hpp"
#include "lab_judged.hpp"
#include "timeline.hpp"

using namespace watcher;
namespace fs = std::filesystem;

namespace {

std::string built(const std::string &name) {
  return BUILD_DIR "/tests/" + name;
}

// The rows of a page as the browser holds them: each row's thread and the writers named by
// the marks drawn inside it, section by section.
struct Drawn {
  pid_t tid;
  std::vector<pid_t> marks;
  int writes = 0;
};
std::vector<std::vector<Drawn>> rows_of(const std::string &dom) {
  std::vector<std::vector<Drawn>> sections;
  for (size_t at = 0; (at = dom.find("<svg class=\"timeline\"", at)) != std::string::npos;) {
    size_t end = dom.find("</svg>", at);
    std::string svg = dom.substr(at, end - at);
    sections.push_back({});
    for (size_t r = 0; (r = svg.find("<g class=\"row\"", r)) != std::string::npos;) {
      size_t close = svg.find("</g>", r);
      std::string row = svg.substr(r, close - r);
      Drawn d{static_cast<pid_t>(std::stol(attributes(row, "g", "data-tid")[0]))};
      for (const std::string &tid : attributes(row, "circle", "data-tid", "mark"))
        d.marks.push_back(std::stol(tid));
      for (const std::string &n : attributes(row, "circle", "data-writes", "mark"))
        d.writes += std::stoi(n);
      sections.back().push_back(d);
      r = close;
    }
    at = end;
  }
  return sections;
}

// Opens a page in the browser, which must write nothing to its console and a screenshot;
// where no browser is installed, says why.
Browsed opened(const std::string &page, const std::string &png, int height = 900) {
  Browsed b = browse(page, png, 1300, height);
  if (!b.skipped.empty())
    return b;
  EXPECT_TRUE(b.console.empty()) << "the page wrote to its console: " << b.console[0];
  EXPECT_GT(b.png, 1000) << "no screenshot in " << png;
  return b;
}

bool made(const Event &e) {
  return called(e, clone_calls) && e.ok() && e.value > 0;
}

// known_picture traced with its page kept: the trace, and the section drawn of it.
struct Known {
  Traced t;
  page::Section s;
  pid_t waiter = 0, poster = 0, child = 0;
  const Event *post = nullptr;
};
Known known() {
  album::keep_runs(SOURCE_DIR "/tools/words");
  album::kept() = {.title = "known_picture: a sleep on a semaphore, a zombie reaped"};
  album::part("known_picture");
  Known k;
  k.t = trace({.argv = {built("known_picture")}, .deadline = 10},
              traced(clone_calls) + "," + traced(futex_calls) + ",write");
  k.s = album::kept().parts.back().sections.back();
  for (const Event *e : all(k.t, made))
    (is_thread(*e) ? (k.waiter ? k.poster : k.waiter) : k.child) = e->value;
  // The poster's wake on the word its thread partner slept on.
  k.post = find(k.t, [&](const Event &e) {
    return e.tid == k.poster && is_futex(e) && !is_futex_wait(e) && e.value > 0;
  });
  return k;
}

const page::Row *row(const page::Section &s, pid_t tid) {
  auto r =
      std::find_if(s.rows.begin(), s.rows.end(), [&](const page::Row &r) { return r.tid == tid; });
  return r == s.rows.end() ? nullptr : &*r;
}

}  // namespace

// The rows, the sleep on `sem`, the post that ended it, the zombie and its reaping: each
// where the trace puts it, by the trace's clock.
TEST(Page, AKnownRunIsDrawnAsItsTraceShows) {
  Known k = known();
  ASSERT_EQ(k.t.out.status, 0) << k.t.out.err;
  ASSERT_EQ(all(k.t, made).size(), 3u);
  ASSERT_NE(k.post, nullptr) << "no post traced";
  EXPECT_EQ(k.s.clones, 3);
  ASSERT_EQ(k.s.rows.size(), 4u);
  std::set<pid_t> tids = {k.t.pid, k.waiter, k.poster, k.child};
  for (const page::Row &r : k.s.rows)
    EXPECT_TRUE(tids.count(r.tid)) << r.label;

  const page::Row *waiter = row(k.s, k.waiter);
  ASSERT_TRUE(waiter);
  // The longest: a wait that strace's attach to a new thread interrupts is made again.
  auto on_sem = waiter->spans.end();
  for (auto span = waiter->spans.begin(); span != waiter->spans.end(); ++span)
    if (span->state == page::State::futex && span->what.find("`sem`") != std::string::npos &&
        (on_sem == waiter->spans.end() || span->to - span->from > on_sem->to - on_sem->from))
      on_sem = span;
  ASSERT_NE(on_sem, waiter->spans.end()) << "the waiter's sleep on sem is not drawn";
  EXPECT_GT(on_sem->to - on_sem->from, 0.15);  // the poster's 0.2 s, less its start
  EXPECT_GE(on_sem->to, k.post->at - 50e-6);  // strace stamps each thread's stops apart
  EXPECT_LT(on_sem->to - k.post->at, 0.05);
  // The CPU readings are on the trace's clock: a dozen fall inside the 0.2 s sleep, and
  // over them the waiter ran almost never.
  std::vector<std::pair<double, double>> inside;
  for (const auto &reading : waiter->readings)
    if (reading.first > on_sem->from && reading.first < on_sem->to)
      inside.push_back(reading);
  ASSERT_GT(inside.size(), 5u);
  EXPECT_LT(inside.back().second - inside.front().second,
            0.1 * (inside.back().first - inside.front().first));
  auto woke = std::find_if(k.s.links.begin(), k.s.links.end(), [&](const page::Link &l) {
    return l.kind == page::Link::wake && l.from == k.poster && l.to == k.waiter;
  });
  ASSERT_NE(woke, k.s.links.end()) << "no wake from the poster to the waiter";
  EXPECT_DOUBLE_EQ(woke->from_at, k.post->at);

  const page::Row *child = row(k.s, k.child);
  ASSERT_TRUE(child);
  std::vector<Reap> reaped = reaps(k.t);
  ASSERT_EQ(reaped.size(), 1u);
  auto zombie = std::find_if(child->spans.begin(), child->spans.end(),
                             [](const page::Span &s) { return s.state == page::State::zombie; });
  ASSERT_NE(zombie, child->spans.end()) << "the zombie is not drawn";
  EXPECT_DOUBLE_EQ(zombie->from, child->ended);
  EXPECT_DOUBLE_EQ(zombie->to, reaped[0].call->done);
  EXPECT_GT(zombie->to - zombie->from, 0.25);  // the joins' 0.2 s and the 0.1 s sleep
  EXPECT_TRUE(std::any_of(k.s.links.begin(), k.s.links.end(), [&](const page::Link &l) {
    return l.kind == page::Link::reap && l.from == k.t.pid && l.to == k.child;
  }));
  EXPECT_TRUE(std::any_of(k.s.links.begin(), k.s.links.end(), [&](const page::Link &l) {
    return l.kind == page::Link::join && l.from == k.waiter && l.to == k.t.pid;
  })) << "main's join of the waiter, asleep until it ended";
}

// Drawn from plain rows: a thread that ran half of every 10 ms of its life is dark green
// half its row's height down from the top, one asleep in futex throughout lies pale, its
// sleep blue from the bottom, and a row whose CPU time was never read is mid green.
TEST(Page, TimeOnACpuFromTheTopSleepsFromTheBottom) {
  page::Row half{.tid = 1, .process = 1, .label = "half", .made = 0, .ended = 1};
  page::Row sleeper{.tid = 2, .process = 1, .label = "sleeper", .made = 0, .ended = 1};
  page::Row unread{.tid = 3, .process = 1, .label = "unread", .made = 0, .ended = 1};
  for (int i = 0; i <= 100; ++i) {
    half.readings.push_back({i / 100.0, i / 200.0});
    sleeper.readings.push_back({i / 100.0, 0.0});
  }
  sleeper.spans.push_back({0.0, 1.0, page::State::futex, "futex wait on `sem`"});
  page::Section run{.end = 1.0, .rows = {half, sleeper, unread}};
  std::string svg = page::svg(run);
  // Each row's shapes by class: their area, and the top and bottom of the first.
  struct Shape {
    double area = 0, top = -1, bottom = -1;
  };
  std::map<int, std::map<std::string, Shape>> rows;
  std::regex row_re("<g class=\"row\" data-tid=\"(\\d+)\""), rect_re(
      "<rect class=\"(\\w+)\" x=\"[-\\d.]+\" y=\"([-\\d.]+)\" width=\"([\\d.]+)\" "
      "height=\"([\\d.]+)\"");
  for (auto r = std::sregex_iterator(svg.begin(), svg.end(), row_re); r != std::sregex_iterator();
       ++r) {
    size_t from = r->position(), to = svg.find("</g>", from);
    std::string inside = svg.substr(from, to - from);
    for (auto m = std::sregex_iterator(inside.begin(), inside.end(), rect_re);
         m != std::sregex_iterator(); ++m) {
      Shape &shape = rows[std::stoi((*r)[1])][(*m)[1]];
      double y = std::stod((*m)[2]), w = std::stod((*m)[3]), h = std::stod((*m)[4]);
      shape.area += w * h;
      if (shape.top < 0)
        shape.top = y, shape.bottom = y + h;
    }
  }
  const double whole = 1000 * 22;  // a row's width and height
  Shape life = rows[1]["offcpu"], ran = rows[1]["ran"];
  EXPECT_NEAR(life.area, whole, 0.02 * whole);
  EXPECT_NEAR(ran.area, whole / 2, 0.05 * whole);
  EXPECT_DOUBLE_EQ(ran.top, life.top);
  EXPECT_NEAR(ran.bottom, life.top + 11, 0.1);
  EXPECT_EQ(rows[1].count("awake"), 0u);

  EXPECT_NEAR(rows[2]["offcpu"].area, whole, 0.02 * whole);
  EXPECT_EQ(rows[2].count("ran"), 0u);
  EXPECT_NEAR(rows[2]["futex"].area, whole, 0.02 * whole);
  EXPECT_DOUBLE_EQ(rows[2]["futex"].bottom, rows[2]["offcpu"].bottom);

  EXPECT_NEAR(rows[3]["awake"].area, whole, 0.02 * whole);
  EXPECT_EQ(rows[3].count("offcpu") + rows[3].count("ran"), 0u);
}

// The same run opened in chromium: its rows, its marks on their writers' rows, its links.
TEST(Page, AKnownRunOpensInABrowserAsDrawn) {
  Known k = known();
  std::string html = built("page-known.html"), failed;
  ASSERT_TRUE(album::write(html, built("page-known.json"), failed)) << failed;
  Browsed b = opened(html, built("page-known.png"), 640);  // the README's docs/page.png
  if (!b.skipped.empty())
    GTEST_SKIP() << b.skipped;
  auto sections = rows_of(b.dom);
  ASSERT_EQ(sections.size(), 1u);
  std::map<pid_t, int> writes;
  for (const Event *e :
       all(k.t, [](const Event &e) { return e.name == "write" && e.arg(0) == "1"; }))
    writes[e->tid]++;
  std::set<pid_t> drawn;
  for (const Drawn &d : sections[0]) {
    drawn.insert(d.tid);
    for (pid_t writer : d.marks)
      EXPECT_EQ(writer, d.tid) << "a write of " << writer << " on the row of " << d.tid;
    EXPECT_EQ(d.writes, writes[d.tid]) << "the writes of " << d.tid;
  }
  EXPECT_EQ(drawn, (std::set<pid_t>{k.t.pid, k.waiter, k.poster, k.child}));
  EXPECT_HAS(b.dom, "class=\"link wake\" data-from=\"" + std::to_string(k.poster) +
                        "\" data-to=\"" + std::to_string(k.waiter) + "\"");
  EXPECT_HAS(b.dom, "class=\"link reap\" data-from=\"" + std::to_string(k.t.pid) + "\" data-to=\"" +
                        std::to_string(k.child) + "\"");
  auto events = nlohmann::json::parse(contents(built("page-known.json")));
  int threads = 0;
  for (const auto &e : events["traceEvents"])
    threads += e["name"] == "thread_name";
  EXPECT_EQ(threads, 4);
}

// The tour's page of record_pass: each traced run a row for main and one per clone.
TEST(Page, TheToursPageHasARowForEachThreadOfEachRun) {
  std::string html = built("page-tour.html");
  fs::remove(html);
  Outcome o = run({.argv = {BUILD_DIR "/tools/tour", "record_pass", "--html", html}});
  ASSERT_EQ(o.status, 0) << o.err;
  Browsed b = opened(html, built("page-tour.png"));
  if (!b.skipped.empty())
    GTEST_SKIP() << b.skipped;
  auto sections = rows_of(b.dom);
  std::vector<std::string> clones = attributes(b.dom, "div", "data-clones", "section");
  ASSERT_EQ(sections.size(), 2u);  // into a pipe and on a terminal
  ASSERT_EQ(clones.size(), sections.size());
  // A sanitizer's runtime makes processes and writes of its own in the program it runs
  // (LeakSanitizer's tracer at exit): there only the rows of the trace's clones are known.
  bool plain = sanitizer().empty();
  for (size_t i = 0; i < sections.size(); ++i) {
    if (plain) {
      EXPECT_EQ(sections[i].size(), 2u);  // main and its one thread
    }
    EXPECT_EQ(sections[i].size(), 1 + std::stoul(clones[i]));
    int writes = 0;
    for (const Drawn &d : sections[i])
      for (pid_t writer : d.marks) {
        EXPECT_EQ(writer, d.tid);
        writes++;
      }
    if (plain) {
      EXPECT_GT(writes, 0);
    }
  }
  EXPECT_HAS(b.dom, "each thread's life, from its creation to its end");  // the evidence
}

// The lab's page: every check beside the run, the zombie check around the child's row.
TEST(Page, TheLabsPageShowsEachVerdictBesideItsRun) {
  std::string html = built("page-lab.html");
  fs::remove(html);
  Judged j = run_lab(
      {"reap_the_zombie", "--file", source_of("reap_the_zombie/solution.cpp"), "--html", html});
  ASSERT_EQ(j.status, 0) << j.output;
  Browsed b = opened(html, built("page-lab.png"));
  if (!b.skipped.empty())
    GTEST_SKIP() << b.skipped;
  for (const char *check : {"zombie", "reaped", "printed"})
    EXPECT_HAS(b.dom, std::string("class=\"verdict passed\" data-check=\"reap_the_zombie.") +
                          check + "\"");
  auto sections = rows_of(b.dom);
  ASSERT_EQ(sections.size(), 1u);
  ASSERT_EQ(sections[0].size(), 2u);  // the parent and its child
  EXPECT_HAS(b.dom, "data-check=\"reap_the_zombie.zombie\"><rect class=\"anchor passed\"");
  EXPECT_HAS(b.dom, "<rect class=\"zombie\"");
}

// Two processes traced apart, drawn on the first one's clock: everything of the second
// later by the difference of their clocks' zeros; one that began first is left apart.
TEST(Page, TwoRunsAtOnceShareTheFirstOnesClock) {
  page::Row opener{.tid = 10, .process = 10, .label = "opener", .made = 0, .ended = 2};
  page::Row replier{.tid = 20, .process = 20, .label = "replier", .made = 0.1, .ended = 1};
  replier.spans.push_back({0.2, 0.4, page::State::futex, "futex wait"});
  replier.marks.push_back({.at = 0.3, .text = "hi\n", .lines = 1});
  replier.readings = {{0.1, 0}, {0.2, 0.01}};
  page::Section a{.end = 2, .zero = 1000.0, .clones = 0, .rows = {opener}};
  page::Section b{.end = 1, .zero = 1000.5, .clones = 1, .rows = {replier}};
  ASSERT_TRUE(page::together(a, b));
  ASSERT_EQ(a.rows.size(), 2u);
  const page::Row &r = a.rows[1];
  EXPECT_DOUBLE_EQ(r.made, 0.6);
  EXPECT_DOUBLE_EQ(r.ended, 1.5);
  EXPECT_DOUBLE_EQ(r.spans[0].from, 0.7);
  EXPECT_DOUBLE_EQ(r.spans[0].to, 0.9);
  EXPECT_DOUBLE_EQ(r.marks[0].at, 0.8);
  EXPECT_DOUBLE_EQ(r.readings[1].first, 0.7);
  EXPECT_DOUBLE_EQ(a.end, 2);
  EXPECT_EQ(a.clones, 1);
  b.zero = 999;
  EXPECT_FALSE(page::together(a, b));
  EXPECT_EQ(a.rows.size(), 2u);
}

// A page for every judgement asked for one: a file that does not build gets the
// compiler's messages and each check not judged; a judgement stopped by Ctrl-C, the run
// made until then and a word that nothing was judged.
TEST(Page, ALabPageIsWrittenWhenTheFileDoesNotBuildAndOnCtrlC) {
  std::string html = built("page-unbuilt.html");
  fs::path file = fs::temp_directory_path() / ("page_test." + std::to_string(getpid()) + ".cpp");
  std::ofstream(file) << "int main() { return no_such_name; }\n";
  fs::remove(html);
  Judged j = run_lab({"reap_the_zombie", "--file", file.string(), "--html", html});
  EXPECT_EQ(j.status, 2) << j.output;
  std::string page = contents(html);
  EXPECT_HAS(page, "no_such_name");
  for (const char *check : {"zombie", "reaped", "printed"})
    EXPECT_HAS(page, std::string("class=\"verdict not_judged\" data-check=\"reap_the_zombie.") +
                         check + "\"");

  html = built("page-stopped.html");
  fs::remove(html);
  std::ofstream(file) << "#include <unistd.h>\nint main() { pause(); }\n";
  Outcome o = run({.argv = {BUILD_DIR "/tools/lab", "join_the_workers", "--file", file.string(),
                            "--html", html},
                   .deadline = 6});
  fs::remove(file);
  EXPECT_EQ(o.status, 130) << joined(o) << o.err;
  page = contents(html);
  EXPECT_HAS(page, "Interrupted");
  EXPECT_HAS(page, "<g class=\"row\"");
  EXPECT_EQ(page.find("class=\"verdict"), std::string::npos);
}

// A second of tally_racy on a terminal, traced as the lab traces it: hundreds of thousands
// of writes, drawn one mark per pixel column, under 2 MB, and the browser opens it. On a
// busy machine strace lets through far fewer writes in a second: the run then goes on
// until it has made enough to fill every pixel column of both rows.
TEST(Page, ASecondOfATallyIsUnderTwoMegabytes) {
  album::keep_runs(SOURCE_DIR "/tools/words");
  album::kept() = {};
  album::part("tally_racy");
  auto enough = [](const std::vector<Line> &lines) {
    return lines.size() >= 4000 && lines.back().at >= 1;
  };
  Traced t = trace({.argv = {program("tally_racy")},
                    .tty = true,
                    .deadline = 5,
                    .stop_when = enough,
                    .max_lines = 400'000},
                   traced(clone_calls) + "," + traced(futex_calls) + ",write");
  ASSERT_GT(count_writes(t).calls, 2000);  // more than one mark per pixel column
  std::string html = built("page-tally.html"), failed;
  ASSERT_TRUE(album::write(html, "", failed)) << failed;
  EXPECT_LT(fs::file_size(html), 2'000'000u);
  Browsed b = opened(html, built("page-tally.png"));
  if (!b.skipped.empty())
    GTEST_SKIP() << b.skipped;
  auto sections = rows_of(b.dom);
  ASSERT_EQ(sections.size(), 1u);
  EXPECT_EQ(sections[0].size(), 1 + all(t, is_thread).size());
  long writes = 0;
  for (const Drawn &d : sections[0]) {
    writes += d.writes;
    EXPECT_LE(d.marks.size(), 1000u);  // one mark per pixel column at most
  }
  EXPECT_EQ(writes, count_writes(t).calls);  // every write counted in some mark
}
