// The synchronisation labs (placeholders until their judges are written).
#include "lab.hpp"

namespace lab {

static std::vector<Check> judge(const Learner &) {
  return {};
}

const Lab lock_the_tally = {"lock_the_tally", "synchronisation", {"tally_racy.cpp"}, 10, true, judge};
const Lab sleeping_producer = {"sleeping_producer", "synchronisation", {"stock_gate.cpp"}, 10, false, judge};

}  // namespace lab
