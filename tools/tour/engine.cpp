// The engine's plain half: where things are, the words, the output, running a program.
#include "engine.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "album.hpp"

namespace fs = std::filesystem;

namespace tour {

Settings settings;
bool made_shm = false;
bool after_verdict = false;

static fs::path programs_root;  // the folder the programs are in (or their topic folders)
static bool flat = false;       // installed: the programs lie beside the tour
static fs::path words_folder;

void locate() {
  fs::path self = fs::canonical("/proc/self/exe").parent_path();
  flat = fs::is_directory(self / "tour-words");
  programs_root = flat ? self : self.parent_path();
  words_folder = flat ? self / "tour-words" : fs::path(WORDS);
}

std::string program(const std::string &topic, const std::string &name) {
  return (flat ? programs_root / name : programs_root / topic / name).string();
}

std::string programs_folder() {
  return flat ? programs_root.string() : (programs_root / "<topic>").string();
}

// Every *.txt in the words folder: "[name]" starts a text, which runs to the next one.
bool load_words() {
  return words::load(words_folder.string());
}

static bool blank = false;  // the last line printed was empty

void gap() {
  if (!blank)
    out("");
}

void out(const std::string &line) {
  after_verdict = false;
  blank = line.empty();
  printf("%s\n", line.c_str());
}

std::string strong(const std::string &line) {
  if (!isatty(STDOUT_FILENO))
    return line;
  std::string bold = "\033[1m";
  bold += line;
  bold += "\033[0m";
  return bold;
}

static std::vector<std::string> held;  // lessons title() keeps back until the verdicts

void title(const std::string &name) {
  std::vector<std::string> lines = text(name);
  std::string heading = "== ";
  heading += lines[0];
  printf("\n%s\n", strong(heading).c_str());
  // What the program does, then after an empty line what to watch for: with --predict
  // the second part would give the answers away, so it waits until after the run.
  auto split = std::find(lines.begin() + 1, lines.end(), "");
  std::vector<std::string> does(lines.begin() + 1, split), watch;
  if (split != lines.end())
    watch.assign(split + 1, lines.end());
  if (!settings.predict)
    does.insert(does.end(), lines.begin() + (split - lines.begin()), lines.end());
  else if (!watch.empty())
    held.insert(held.end(), watch.begin(), watch.end()), held.push_back("");
  for (const std::string &line : tour::fill(does, {}, settings.width - 4))
    printf("%s%s\n", line.empty() ? "" : "   ", line.c_str());
  out("");
  fflush(stdout);
}

void lessons() {
  while (!held.empty() && held.back().empty())
    held.pop_back();
  if (held.empty())
    return;
  gap();
  out(strong("-- " + line("lessons")));
  for (const std::string &line : tour::fill(held, {}, settings.width - 4))
    out(line.empty() ? "" : "   " + line);
  held.clear();
}

void evidence(const std::string &name, const Vars &vars) {
  after_verdict = blank = false;
  std::vector<std::string> lines = text(name, vars, settings.width - 4);
  if (album::keeping())
    album::note(line(name, vars));
  for (size_t i = 0; i < lines.size(); ++i)
    printf("%s%s\n", i == 0 ? "=> " : "   ", lines[i].c_str());
}

void note(const std::string &name, const Vars &vars) {
  after_verdict = blank = false;
  for (const std::string &line : text(name, vars, settings.width - 7))
    printf("      %s\n", line.c_str());
}

std::string fixed(double value, int decimals) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

double tenths(double value) {
  return std::strtod(fixed(value, 1).c_str(), nullptr);
}

std::string when(double seconds) {
  return seconds < 1 ? fixed(seconds * 1000, 1) + " ms" : fixed(seconds, 2) + " s";
}

std::string list(const std::vector<long> &values) {
  std::string all;
  for (long value : values)
    all += (all.empty() ? "" : ", ") + std::to_string(value);
  return all;
}

Outcome shown(Run r) {
  fflush(stdout);
  r.tty = true;
  r.echo = STDOUT_FILENO;
  blank = false;
  return watch(r);
}

Outcome flood(Run r) {
  r.deadline = 1;
  Outcome o = watch(r);
  evidence("flood", {{"lines", std::to_string(o.lines.size())}, {"seconds", fixed(o.end, 1)}});
  for (size_t i = 0; i < 6 && i < o.lines.size(); ++i)
    out("   " + o.lines[i].text);
  return o;
}

bool can_trace() {
  return settings.tracing && settings.no_trace.empty();
}

bool hood(const std::string &program) {
  if (!settings.tracing)
    return false;
  out("");
  if (!settings.no_trace.empty()) {
    bool missing = settings.no_trace.starts_with("strace is not installed");
    out("-- " +
        line(missing ? "no_hood.missing" : "no_hood.refused", {{"why", settings.no_trace}}));
    return false;
  }
  out(strong("-- " + line("hood", {{"program", program}})));
  return true;
}

}  // namespace tour
