// One traced run drawn as SVG, for page.cpp: a row per thread or process on one time axis.
#pragma once

#include <string>

#include "page.hpp"

namespace page {

// Text made safe for HTML and SVG, attributes included.
std::string escaped(const std::string &text);
// The run as an <svg> element. A long run is drawn one pixel column at a time: in each
// column of a row the share of its time asleep, in the state that took most of it, one
// mark for all its writes there and one arrow for each kind of link that arrived there.
std::string svg(const Section &run);

}  // namespace page
