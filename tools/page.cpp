// A page of runs as one HTML file (see page.hpp): the page's frame, its legend and its
// verdicts here; each run's SVG in draw.cpp.
#include "page.hpp"

#include <fstream>

#include "draw.hpp"
#include "words.hpp"

namespace page {

std::string state_name(State s) {
  static const char *names[] = {"futex", "wait", "sleep", "call", "zombie"};
  return std::string("page.state.") + names[static_cast<int>(s)];
}

std::string escaped(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"')
      out += "&quot;";
    else if (c == '\n')
      out += "&#10;";
    else if (c < 0x20 && c != '\t')
      out += ' ';  // a control character a learner's program printed has no place in XML
    else
      out += static_cast<char>(c);
  }
  return out;
}

// The colours of the states, the marks and the links, named once for the SVG and the
// legend. Plain colours that a projector shows apart; the zombie's hatching shows on grey.
static const char *style = R"(
body{font:15px/1.4 sans-serif;margin:1.5em;color:#222;max-width:1400px}
h1{font-size:1.5em}h2{font-size:1.25em;border-top:2px solid #ccc;padding-top:.6em}
h3{font-size:1.05em}.note{margin:.2em 0 .2em 1em;white-space:pre-wrap}
.run{overflow-x:auto;border:1px solid #ddd;padding:.4em}
svg.timeline{width:100%;min-width:900px;height:auto;font:12px sans-serif}
.awake{fill:#81c784}.offcpu{fill:#e8f5e9}.ran{fill:#1b5e20}.futex{fill:#1e88e5}.wait{fill:#8e24aa}.sleep{fill:#90caf9}
.call{fill:#ffb300}.zombie{fill:url(#hatch);stroke:#616161}.life{stroke:#9e9e9e}
.mark{fill:#111}.made,.ended{stroke:#111;stroke-width:2}.cpu{fill:#6d4c41}
.link{fill:none;stroke-width:1.2;stroke-opacity:.75}.link.wake{stroke:#e53935}.link.join{stroke:#00897b}
.link.reap{stroke:#d81b60}.link.many{stroke-width:.8;stroke-opacity:.35}.anchor{fill:none;stroke-width:2.5;stroke-dasharray:5 3}
.anchor.passed{stroke:#2e7d32}.anchor.failed{stroke:#c62828}.anchor.not_judged{stroke:#757575}
.verdict{margin:.3em 0;padding:.3em .6em;border-left:6px solid #757575;background:#f5f5f5}
.verdict.passed{border-color:#2e7d32}.verdict.failed{border-color:#c62828}
.verdict b{margin-right:.5em}.legend span{display:inline-block;margin:0 1.2em .3em 0}
.legend svg{vertical-align:middle;margin-right:.3em}.zoom{margin:.2em .3em .2em 0}
)";

static std::string swatch(const std::string &cls, const std::string &shape = "rect") {
  std::string s = "<svg width=\"28\" height=\"14\" aria-hidden=\"true\">";
  if (shape == "rect")
    s += "<rect class=\"" + cls + "\" width=\"28\" height=\"14\"/>";
  else if (shape == "dot")
    s += "<circle class=\"" + cls + "\" cx=\"14\" cy=\"7\" r=\"4\"/>";
  else
    s += "<path class=\"link " + cls + "\" d=\"M2 7H24\" marker-end=\"url(#arrow-" + cls + ")\"/>";
  return s + "</svg>";
}

static std::string legend() {
  std::string s = "<div class=\"legend\">";
  auto item = [&](const std::string &sw, const std::string &name) {
    s += "<span>" + sw + escaped(words::line(name)) + "</span>";
  };
  item(swatch("ran"), "page.legend.ran");
  item(swatch("offcpu"), "page.offcpu");
  item(swatch("awake"), "page.awake");
  for (State st : {State::futex, State::wait, State::sleep, State::call, State::zombie})
    item(swatch(state_name(st).substr(11)), state_name(st));
  item(swatch("mark", "dot"), "page.legend.mark");
  for (const char *kind : {"wake", "join", "reap"})
    item(swatch(kind, "link"), std::string("page.link.") + kind);
  item(swatch("cpu"), "page.legend.cpu");
  s += "</div>\n<p class=\"note\">" + escaped(words::line("page.legend.how")) + "</p>\n";
  return s;
}

static std::string verdicts(const std::vector<Verdict> &list) {
  std::string s;
  for (const Verdict &v : list)
    s += "<div class=\"verdict " + escaped(v.word) + "\" data-check=\"" + escaped(v.name) +
         "\"><b>" + escaped(v.label) + "</b>" + escaped(v.name) + "<div class=\"note\">" +
         escaped(v.text) + "</div></div>\n";
  return s;
}

static std::string notes(const std::vector<std::string> &lines) {
  std::string s;
  for (const std::string &line : lines)
    s += "<p class=\"note\">" + escaped(line) + "</p>\n";
  return s;
}

// Zoom: buttons that the script adds (without scripting there is nothing to press), which
// widen the drawing inside its scrolling frame. Hover needs no script: each shape's
// <title> is its tooltip.
static const char *script = R"(
document.querySelectorAll('.run').forEach(function (run) {
  var svg = run.querySelector('svg'), zoom = 1;
  [['+', 2], ['-', 0.5], ['1:1', 0]].forEach(function (b) {
    var button = document.createElement('button');
    button.className = 'zoom';
    button.textContent = b[0];
    button.onclick = function () {
      zoom = b[1] ? Math.min(64, Math.max(1, zoom * b[1])) : 1;
      svg.style.width = (100 * zoom) + '%';
    };
    run.parentNode.insertBefore(button, run);
  });
});
)";

std::string html(const Page &p) {
  std::string s = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
                  escaped(p.title) + "</title>\n<link rel=\"icon\" href=\"data:,\">\n<style>" +
                  style + "</style></head>\n<body>\n<h1>" + escaped(p.title) + "</h1>\n" +
                  notes(p.intro) + legend();
  for (const Part &part : p.parts) {
    s += "<section class=\"part\"><h2>" + escaped(part.title) + "</h2>\n" + notes(part.notes) +
         verdicts(part.verdicts);
    for (const Section &run : part.sections) {
      s += "<div class=\"section\" data-clones=\"" + std::to_string(run.clones) + "\"><h3>" +
           escaped(run.title) + "</h3>\n" + notes(run.notes);
      s += "<div class=\"run\">" + svg(run) + "</div>\n" + verdicts(run.verdicts) + "</div>\n";
    }
    s += "</section>\n";
  }
  return s + "<script>" + script + "</script>\n</body></html>\n";
}

bool write_file(const std::string &path, const std::string &content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  file.close();
  return !file.fail();
}

}  // namespace page
