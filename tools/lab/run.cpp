// Running a learner's program under limits (placeholder until written).
#include "lab.hpp"

namespace lab {}
