// Words a teacher can change (see words.hpp).
#include "words.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace words {

namespace fs = std::filesystem;

static std::map<std::string, std::vector<std::string>> texts;  // by name
static std::vector<std::string> order;                         // the names, as found
static std::string folders;                                    // for the missing-text line

bool load(const std::string &folder) {
  std::error_code missing;
  std::vector<fs::path> files;
  for (const auto &entry : fs::directory_iterator(folder, missing))
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
        text = &texts[order.back()];
      } else if (text)
        text->push_back(line);
    }
  }
  for (auto &[name, lines] : texts)
    while (!lines.empty() && lines.back().empty())
      lines.pop_back();
  folders += (folders.empty() ? "" : ", ") + folder;
  return !files.empty();
}

bool has(const std::string &name) {
  return texts.count(name) && !texts.at(name).empty();
}

std::vector<std::string> named(const std::string &prefix) {
  std::vector<std::string> found;
  for (const std::string &name : order)
    if (name.starts_with(prefix))
      found.push_back(name);
  return found;
}

std::vector<std::string> fill(std::vector<std::string> lines, const Vars &vars, size_t room) {
  for (std::string &line : lines)
    for (const auto &[word, value] : vars) {
      // "{word?one|many}": the form the number calls for, before any value goes in
      for (size_t at = 0; (at = line.find("{" + word + "?", at)) != std::string::npos;) {
        size_t bar = line.find('|', at), end = line.find('}', at);
        if (bar == std::string::npos || end == std::string::npos || bar > end)
          break;
        size_t from = at + word.size() + 2;
        std::string form =
            value == "1" ? line.substr(from, bar - from) : line.substr(bar + 1, end - bar - 1);
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
    std::istringstream in(line);
    for (std::string word; in >> word;) {
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
  if (!has(name))
    return {"(" + name + " is missing from the words in " + folders + ")"};
  return fill(texts.at(name), vars, room);
}

std::string line(const std::string &name, const Vars &vars) {
  std::string all;
  for (const std::string &part : text(name, vars))
    all += (all.empty() || part.empty() ? "" : " ") + part;
  return all;
}

}  // namespace words
