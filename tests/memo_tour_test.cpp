// The tour's shared-memory stop as a learner meets it: its verdicts by the rule and by an
// exact count, a Ctrl-C in the middle, and an "OS" it did not make. Each test meets "OS" on
// a /dev/shm of its own, or, where namespaces are refused, on the machine's under the
// shared-memory tests' lock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "harness.hpp"
#include "private_shm.hpp"

namespace fs = std::filesystem;

class MemoTour : public PrivateShm {};

// The shell: `setup`, then the tour with the arguments after it, then whether /dev/shm
// holds "OS" afterwards, on a line of its own after "left:".
static Outcome with_shell(const std::string &setup, std::vector<std::string> args, Run r = {}) {
  std::string script =
      setup + " \"$0\" \"$@\"; s=$?; echo left: $(ls -A /dev/shm | grep -x OS); exit $s";
  r.argv = {"/bin/sh", "-c", script, BUILD_DIR "/tools/tour"};
  r.argv.insert(r.argv.end(), args.begin(), args.end());
  if (r.deadline == 10)
    r.deadline = 60;
  return run(r);
}

// What /dev/shm held after the tour: "" when nothing, "OS" when the object.
static std::string left(const Outcome &o) {
  for (const std::string &text : texts(o))
    if (text.starts_with("left:"))
      return std::regex_replace(text.substr(5), std::regex("^\\s+|\\s+$"), "");
  return "(not said)";
}

// Without address randomisation (setarch -R) both processes map the page at one address,
// yet "must they" is still no; the replier comes 2.5 s after the opener's first line, so
// the opener waits exactly three times, and one more is wrong.
TEST_F(MemoTour, AddressJudgedByTheRuleAndPollsCountedExactly) {
  fs::path answers = fs::temp_directory_path() / ("memo-answers-" + std::to_string(getpid()));
  std::ofstream(answers) << "4\n\na\n";
  Outcome o = with_shell("exec <" + answers.string() + "; setarch -R",
                             {"--predict", "memo_opener"}, {.tty = true});
  fs::remove(answers);
  EXPECT_EQ(o.status, 0) << o.err;
  std::string all = unfolded(o);
  double first = -1, answered = -1;
  int waits = 0;
  for (const Line &l : o.lines) {
    if (l.text == "Waiting Process B update shared memory" && ++waits == 1)
      first = l.at;
    if (l.text.starts_with("Read shared memory: "))
      answered = l.at;
  }
  EXPECT_EQ(waits, 3);
  EXPECT_NEAR(answered - first, 2.5, 0.25) << "the replier starts 2.5 s after the first line";
  EXPECT_HAS(all, "!! you said 4: not matched.");
  EXPECT_HAS(all, "!! you said a: not matched.");
  EXPECT_HAS(all, "equal only because address randomisation was off for them");
  // The two maps lines show one address: the setting that makes them equal is ours.
  std::smatch m;
  std::string maps = all;
  std::vector<std::string> starts;
  while (std::regex_search(maps, m, std::regex("/proc/[0-9]+/maps: ([0-9a-f]+)-"))) {
    starts.push_back(m[1]);
    maps = m.suffix();
  }
  ASSERT_EQ(starts.size(), 2u) << all;
  EXPECT_EQ(starts[0], starts[1]);
  EXPECT_EQ(left(o), "");
}

// Ctrl-C while the replier sleeps: nothing is said of the stopped run, and nothing is left.
TEST_F(MemoTour, CtrlCSaysNothingOfTheStoppedRun) {
  // The shell around the tour ignores the Ctrl-C, so that it can say what is left.
  Outcome o = with_shell("trap '' INT;", {"--no-trace", "memo_opener"},
                             {.tty = true, .deadline = 4.5});
  std::string all = unfolded(o);
  EXPECT_HAS(all, "Shared memory updated: Hello Process A");  // stopped while it slept
  EXPECT_HAS(all, "tour: interrupted");
  EXPECT_EQ(all.find("exit status"), std::string::npos) << all;
  EXPECT_EQ(all.find("afterwards"), std::string::npos) << all;
  EXPECT_EQ(left(o), "");
  EXPECT_FALSE(o.left_behind);
}

// An "OS" the tour did not make: left as it was, who may use it said by its mode, each of
// the stop's questions accounted for, and what to do.
TEST_F(MemoTour, AnObjectInTheWayIsWordedByItsMode) {
  struct Row {
    const char *mode, *said;
  };
  for (Row row : {Row{"600", "Its mode lets only"}, Row{"644", "Its mode lets only"},
                  Row{"660", "Its mode lets the group"}, Row{"666", "Its mode lets anyone"}}) {
    std::string setup = "printf 'made elsewhere' >/dev/shm/OS; chmod " + std::string(row.mode) +
                        " /dev/shm/OS; exec </dev/null;";
    Outcome o = with_shell(setup, {"--predict", "memo_opener"});
      std::string all = unfolded(o);
    EXPECT_HAS(all, "(mode 0" + std::string(row.mode) + ")");
    EXPECT_HAS(all, row.said);
    EXPECT_HAS(all, "rm /dev/shm/OS");
    for (const char *question : {"How many times will the opener print",
                                 "Which program will end first?", "Must they map it"})
      EXPECT_HAS(all, question);
    EXPECT_EQ(all.find("Read shared memory:"), std::string::npos) << "the replier ran";
    EXPECT_EQ(left(o), "OS");
  }
}

// The processes named as holding the "OS" in the way are those that hold this object: a
// process holding the object the name named before, or an "OS" of its own on the /dev/shm
// of another mount namespace (where one can be had), is not.
TEST_F(MemoTour, HoldersOfTheObjectInTheWayAreKnownByTheObject) {
  std::string elsewhere =
      "mount -t tmpfs tmpfs /dev/shm && printf x >/dev/shm/OS && exec sleep 30 3</dev/shm/OS";
  std::string setup =
      "printf old >/dev/shm/OS; sleep 30 3</dev/shm/OS & before=$!;"
      "printf 'made elsewhere' >/dev/shm/OS.next; mv /dev/shm/OS.next /dev/shm/OS;"
      "sleep 30 3</dev/shm/OS & here=$!; there=;"
      "if unshare -m true 2>/dev/null; then u='unshare -m'; "
      "elif unshare -rm true 2>/dev/null; then u='unshare -rm'; else u=; fi;"
      "if [ -n \"$u\" ]; then $u sh -c '" + elsewhere + "' & there=$!; fi;"
      "trap 'kill $before $here $there' EXIT; sleep 0.5;"
      "echo \"holders: $here $before ${there:-none}\"; exec </dev/null;";
  Outcome o = with_shell(setup, {"--no-trace", "memo_opener"});
  std::string all = unfolded(o);
  std::string here, before, there;
  for (const std::string &text : texts(o))
    if (text.starts_with("holders: "))
      std::istringstream(text.substr(9)) >> here >> before >> there;
  ASSERT_FALSE(here.empty()) << all;
  EXPECT_HAS(all, "process " + here + " (sleep) of the user");
  EXPECT_EQ(all.find("process " + before + " ("), std::string::npos) << all;
  if (there != "none") {
    EXPECT_EQ(all.find("process " + there + " ("), std::string::npos) << all;
  } else {
    std::cout << "a holder elsewhere not tried: unshare -m and -rm are refused here\n";
  }
  EXPECT_EQ(left(o), "OS");
}
