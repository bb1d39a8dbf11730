// tour — a guided tour of the twelve programs. For each: what it shows, the program
// itself on your terminal, evidence measured from that run, and under the hood the
// kernel's record of a second run, traced with strace. With --predict it asks before each
// run what will happen, and judges the answers by what the run did. The words are in the
// words folder (words/ here, tour-words/ when installed).
//
// Run:  ./tour [--predict] [--full] [--no-trace] [--html PATH] [--trace-events PATH]
//              [--list] [--help] [NAME...]
// With --html each traced run is also drawn, on one page: every thread's life on one axis.
// Ctrl-C ends the tour at once; it never leaves a program running or /dev/shm/OS behind.

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "album.hpp"
#include "engine.hpp"
#include "stops.hpp"

using namespace tour;

static const std::vector<std::pair<std::string, void (*)()>> stops = {
    {"parent_child", stop_parent_child}, {"script_launch", stop_script_launch},
    {"endless_chat", stop_endless_chat}, {"leader_leaves", stop_leader_leaves},
    {"workers_quit", stop_workers_quit}, {"leader_awaits", stop_leader_awaits},
    {"record_pass", stop_record_pass},   {"tally_racy", stop_tally_racy},
    {"tally_locked", stop_tally_locked}, {"stock_gate", stop_stock_gate},
    {"memo_opener", stop_memo_opener},
};

static void interrupted(int) {
  cancel();
}

#ifndef PAGE_WORDS
#define PAGE_WORDS ""
#endif

static std::string html, trace_events;  // where to write the page of the runs, if asked

// The page's words: in the source tree when built; installed, the tour's own words hold
// them already.
static std::string page_words() {
  std::error_code none;
  return !words::has("page.title.tour") && std::filesystem::is_directory(PAGE_WORDS, none)
             ? PAGE_WORDS
             : "";
}

static int finish(int status) {
  if (made_shm)
    unlink("/dev/shm/OS");
  std::string failed;
  if (album::keeping() && !album::write(html, trace_events, failed))
    fprintf(stderr, "tour: %s\n", line("page.no_page", {{"path", failed}}).c_str());
  forget_typed();  // what was typed during the tour is not for the shell after it
  if (status == 130) {
    out("\n" + line("interrupted"));
  } else {
    score();
    out("\n" + line("end", {{"build", programs_folder()}}));
  }
  return status;
}

int main(int argc, char **argv) {
  locate();
  if (!load_words())
    fprintf(stderr, "tour: no words found; the tour goes on with their names\n");
  winsize size;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 60)
    settings.width = size.ws_col;
  else if (const char *columns = getenv("COLUMNS"); columns && atoi(columns) >= 60)
    settings.width = atoi(columns);
  std::vector<std::pair<std::string, void (*)()>> chosen;
  for (int i = 1; i < argc; ++i) {
    std::string arg = strcmp(argv[i], "memo_replier") == 0 ? "memo_opener" : argv[i];
    auto stop = std::find_if(stops.begin(), stops.end(), [&](auto &s) { return s.first == arg; });
    if (arg == "--list") {
      for (const auto &s : stops)
        out(s.first);
      out("memo_replier (the same stop as memo_opener)");
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      for (const std::string &line : text("usage"))
        out(line);
      return 0;
    } else if (arg == "--predict") {
      settings.predict = true;
    } else if (arg == "--full") {
      settings.full = true;
    } else if (arg == "--no-trace") {
      settings.tracing = false;
    } else if ((arg == "--html" || arg == "--trace-events") && i + 1 < argc) {
      (arg == "--html" ? html : trace_events) = argv[++i];
    } else if (stop != stops.end()) {
      chosen.push_back(*stop);
    } else {
      std::vector<std::string> known;
      for (const auto &s : stops)
        known.push_back(s.first);
      known.push_back("memo_replier");
      std::string what = arg.starts_with("-") ? "tour.unknown_option" : "tour.unknown_stop";
      for (const std::string &line : text(what, {{"arg", arg}, {"stops", names(known)}}, 79))
        fprintf(stderr, "%s\n", line.c_str());
      fprintf(stderr, "%s\n", text("usage")[0].c_str());
      return 2;
    }
  }
  if (chosen.empty())
    chosen = stops;
  if (!html.empty() || !trace_events.empty()) {
    album::keep_runs(page_words());
    album::kept().title = line("page.title.tour");
    album::kept().intro = {line("page.intro")};
  }

  struct sigaction action = {};
  action.sa_handler = interrupted;
  // Ctrl-C, kill, a closed terminal and Ctrl-backslash all end the tour the same way.
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (settings.tracing)
    settings.no_trace = tracing_refused();
  for (const std::string &line :
       text(settings.tracing ? "intro" : "intro.no_trace", {}, settings.width - 1))
    out(line);
  if (settings.predict) {
    out("");
    for (const std::string &line : text("intro.predict", {}, settings.width - 1))
      out(line);
  }
  for (const auto &[name, stop] : chosen) {
    if (album::keeping())
      album::part(text(name)[0]);
    try {
      stop();
      // The memo stop runs the replier too, and asks about it.
      passed_over(name == "memo_opener" ? std::vector<std::string>{name, "memo_replier"}
                                        : std::vector<std::string>{name});
      if (!cancelled())
        lessons();
    } catch (const Interrupted &) {
    }
    fflush(stdout);
    if (cancelled())
      return finish(130);
  }
  return finish(0);
}
