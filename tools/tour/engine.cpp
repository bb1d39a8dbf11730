// The engine's plain half: where things are, the words, the output, running a program.
#include "engine.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace tour {

Settings settings;
bool made_shm = false;
bool after_verdict = false;

static fs::path programs_root;  // the folder the programs are in (or their topic folders)
static bool flat = false;       // installed: the programs lie beside the tour
static fs::path words_folder;
static std::map<std::string, std::vector<std::string>> words;  // by name
static std::vector<std::string> order;                          // the names, as found

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
  std::error_code missing;
  std::vector<fs::path> files;
  for (const auto &entry : fs::directory_iterator(words_folder, missing))
    if (entry.path().extension() == ".txt")
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const fs::path &path : files) {
    std::ifstream file(path);
    std::vector<std::string> *text = nullptr;
    for (std::string line; std::getline(file, line);) {
      if (line.starts_with("#"))
        continue;
      if (line.starts_with("[") && line.ends_with("]")) {
        order.push_back(line.substr(1, line.size() - 2));
        text = &words[order.back()];
      }
      else if (text)
        text->push_back(line);
    }
  }
  for (auto &[name, lines] : words)
    while (!lines.empty() && lines.back().empty())
      lines.pop_back();
  return !words.empty();
}

std::vector<std::string> named(const std::string &prefix) {
  std::vector<std::string> found;
  for (const std::string &name : order)
    if (name.starts_with(prefix))
      found.push_back(name);
  return found;
}

// Lines with each {word} filled in from vars, then filled anew to `room` columns (an
// empty line keeps paragraphs apart); as they are when room is 0.
std::vector<std::string> fill(std::vector<std::string> lines, const Vars &vars, size_t room) {
  for (std::string &line : lines)
    for (const auto &[word, value] : vars) {
      // "{word?one|many}": the form the number calls for, before any value goes in
      for (size_t at = 0; (at = line.find("{" + word + "?", at)) != std::string::npos;) {
        size_t bar = line.find('|', at), end = line.find('}', at);
        if (bar == std::string::npos || end == std::string::npos || bar > end)
          break;
        size_t from = at + word.size() + 2;
        std::string form = value == "1" ? line.substr(from, bar - from)
                                        : line.substr(bar + 1, end - bar - 1);
        line.replace(at, end + 1 - at, form);
        at += form.size();
      }
      for (size_t at = 0; (at = line.find("{" + word + "}", at)) != std::string::npos;
           at += value.size())  // a value is never filled in again
        line.replace(at, word.size() + 2, value);
    }
  if (room == 0)
    return lines;
  std::vector<std::string> filled = {""};
  for (const std::string &line : lines) {
    if (line.empty()) {
      filled.push_back("");
      filled.push_back("");
      continue;
    }
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      std::string &last = filled.back();
      if (!last.empty() && last.size() + 1 + word.size() > room)
        filled.push_back("");
      if (!filled.back().empty())
        filled.back() += ' ';
      filled.back() += word;
    }
  }
  return filled;
}

std::vector<std::string> text(const std::string &name, const Vars &vars, size_t room) {
  auto found = words.find(name);
  if (found == words.end() || found->second.empty())
    return {"(" + name + " is missing from the tour's words in " + words_folder.string() + ")"};
  return fill(found->second, vars, room);
}

std::string line(const std::string &name, const Vars &vars) {
  return text(name, vars)[0];
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
