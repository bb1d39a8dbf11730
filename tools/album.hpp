// The runs a tool made, kept to be drawn: once keep_runs() is called, every traced run
// (watcher::trace) is drawn into a section of the current part, with the names of its
// futex words and each thread's CPU time read from /proc while it ran. The tour makes a
// part of each stop, the lab one of the lab it judges; both add what they said and their
// verdicts, and write the page and the Trace Event file at the end. Never called, it costs
// a traced run nothing.
#pragma once

#include <string>

#include "page.hpp"

namespace album {

// From now on, keep every traced run; the page's words come from `words_folder` ("": they
// are loaded already).
void keep_runs(const std::string &words_folder);
bool keeping();
// What comes next belongs to a new part.
void part(const std::string &title);
void note(const std::string &line);  // of the current part
void verdict(const page::Verdict &v);
// The page so far, its parts, sections and rows; for a lab to place its checks. Not to be
// used while a traced run goes on.
page::Page &kept();
// Writes the page and the Trace Event file, each where a path is given; false and the
// path that failed when one could not be written.
bool write(const std::string &html, const std::string &events, std::string &failed);

}  // namespace album
