// A learner's mistake the lab must survive: output without end.
#include <cstdio>

int main() {
  for (;;)
    puts("Parent Proces, pid=0");
}
