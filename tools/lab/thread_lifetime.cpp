// The thread lifetime lab: join_the_workers (placeholder until its judge is written).
#include "lab.hpp"

namespace lab {

static std::vector<Check> judge(const Learner &) {
  return {};
}

const Lab join_the_workers = {"join_the_workers", "thread_lifetime", {"leader_awaits.cpp"}, 10, false, judge};

}  // namespace lab
