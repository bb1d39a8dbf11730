// Words a teacher can change: every *.txt in a folder, where "[name]" starts a text that
// runs to the next one and lines starting with # are left out. {word} in a text is filled
// in from the run. Read by the tour and the lab.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace words {

using Vars = std::map<std::string, std::string>;

// Adds the texts of every *.txt in `folder`; false when it held none.
bool load(const std::string &folder);
bool has(const std::string &name);
std::vector<std::string> named(const std::string &prefix);  // the names, in the files' order
// Lines with each {word} filled in from vars ("{word?one|many}" picks the form the number
// in vars calls for), then filled anew to `room` columns (an
// empty line keeps paragraphs apart); as they are when room is 0.
std::vector<std::string> fill(std::vector<std::string> lines, const Vars &vars, size_t room);
std::vector<std::string> text(const std::string &name, const Vars &vars = {}, size_t room = 0);
// A text as one line, its lines joined by spaces, to be filled into another text.
std::string line(const std::string &name, const Vars &vars = {});

}  // namespace words
