// A learner's mistake the lab must survive: a fork without end. Under the lab's process
// limit forks soon fail; the survivors go on trying until the lab stops them all.
#include <unistd.h>

int main() {
  for (;;)
    fork();
}
