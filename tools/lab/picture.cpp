// A lab's checks on its page of runs (--html): each check beside the traced run that
// decided it and, where its facts name a thread or a process of that run (the producer,
// the child, the worker joined first), around that row, over the time its facts give
// (the zombie's interval, the join's start). A check that no one traced run decided
// (one of the lines of untraced runs, ThreadSanitizer's) stands above the runs.
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>

#include "album.hpp"
#include "lab.hpp"
#include "timeline.hpp"

namespace lab {

namespace {

// Which of the lab's programs' traced runs decides a check: the index of its starting
// file; a check not named here is decided by no one traced run.
const std::map<std::string, size_t> decided_by = {
    {"reap_the_zombie.zombie", 0},
    {"reap_the_zombie.reaped", 0},
    {"reap_the_zombie.printed", 0},
    {"join_the_workers.created_first", 0},
    {"join_the_workers.one_worker_time", 0},
    {"join_the_workers.returned", 0},
    {"lock_the_tally.lock", 0},
    {"sleeping_producer.sleeps", 0},
    {"sleeping_producer.cpu", 0},
    {"wake_the_opener.soon", 0},
    {"wake_the_opener.wait", 0},
};

// The facts that name a row, in the order they are looked for, and those that give a time.
const char *row_facts[] = {"producer", "child", "joined", "tid"};

double time_of(const Vars &facts, const char *name) {
  auto found = facts.find(name);
  return found == facts.end() ? -1 : atof(found->second.c_str());
}

}  // namespace

// A lab of two programs runs them at once, each traced apart: their last traced runs are
// drawn as one, on the first program's clock, so that what one did stands above what the
// other did at the same moment (the replier's post, the opener's wake).
static void draw_together(const Lab &lab, page::Part &part) {
  auto last = [&](const std::string &start) {
    std::string program = std::filesystem::path(start).stem().string();
    for (auto s = part.sections.rbegin(); s != part.sections.rend(); ++s)
      if (s->program == program)
        return std::prev(s.base());
    return part.sections.end();
  };
  if (lab.starts.size() != 2)
    return;
  auto first = last(lab.starts[0]), second = last(lab.starts[1]);
  if (first == part.sections.end() || second == part.sections.end())
    return;
  for (page::Section *run : {&*first, &*second})  // "main 3186" is "memo_opener: main 3186"
    for (page::Row &row : run->rows)
      row.label = run->program + ": " + row.label;
  if (!page::together(*first, *second))
    return;
  first->title = words::line("page.runs_together",
                             {{"first", first->program}, {"second", second->program}});
  part.sections.erase(second);
}

void draw_checks(const Lab &lab, const std::vector<Scored> &checks) {
  page::Part &part = album::kept().parts.back();
  draw_together(lab, part);
  for (const Scored &s : checks) {
    const Check &c = s.check;
    std::string text;
    for (const std::string &line : check_words(c))
      text += (text.empty() ? "" : " ") + line;
    if (!s.unscored.empty())
      text = s.unscored + " " + text;
    page::Verdict v{.name = c.name,
                    .word = verdict_word(c.verdict),
                    .label = words::line("lab." + verdict_word(c.verdict)),
                    .text = text};
    auto by = decided_by.find(c.name);
    page::Section *run = nullptr;
    if (by != decided_by.end())
      for (page::Section &section : part.sections)
        if (section.program == std::filesystem::path(lab.starts[by->second]).stem().string())
          run = &section;  // the last traced run of that program
    if (!run) {
      part.verdicts.push_back(v);
      continue;
    }
    for (const char *fact : row_facts)
      if (auto found = c.facts.find(fact); found != c.facts.end() && !v.row)
        for (const page::Row &row : run->rows)
          if (std::to_string(row.tid) == found->second)
            v.row = row.tid;
    if (!v.row && !run->rows.empty() && c.name != "sleeping_producer.cpu" &&
        c.name != "join_the_workers.one_worker_time")
      v.row = run->rows[0].tid;  // the program's main thread
    v.from = time_of(c.facts, c.facts.count("from") ? "from" : "join_at");
    v.to = time_of(c.facts, "to");
    if (v.from < 0 && c.facts.count("at"))
      v.from = v.to = time_of(c.facts, "at");
    run->verdicts.push_back(v);
  }
}

}  // namespace lab
