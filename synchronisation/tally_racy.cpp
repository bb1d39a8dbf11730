// tally_racy — two threads advance one shared counter with nothing to keep them apart.
//
// Run:   ./tally_racy            (never ends; stop it with Ctrl-C)
// Watch: "Thread A: N" and "Thread B: N" mostly count 1, 2, ..., 19, 0 between them, but
// now and then a value repeats, goes back or jumps ahead: the two threads' passes
// interleaved, an update lost or a print late, which the values alone cannot tell apart.
// Now and then a 20 or more slips out and a late store brings the count back below it;
// when none does, no fold can catch it and it climbs on, for the rest of a run of seconds.
// Only after about four billion more passes (tens of minutes at two million lines a
// second) does it wrap round through the negative values and come back to 20 to be folded.
// Compare with tally_locked, which is this program plus one mutex.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Every access to x is one whole relaxed load or store: that keeps the program free of
// undefined behaviour, yet the other thread may still run between any two of them.
std::atomic<int32_t> x{0};

// One pass over the counter: increment, fold 20 back to 0, read what to print. Three
// separate reads, never one read-modify-write, so each step can see the other thread's
// work half done.
static int32_t advance() {
  // Added in unsigned arithmetic, so the largest value wraps to the smallest, not to UB.
  uint32_t sum = static_cast<uint32_t>(x.load(std::memory_order_relaxed)) + 1u;
  x.store(static_cast<int32_t>(sum), std::memory_order_relaxed);
  if (x.load(std::memory_order_relaxed) == 20)
    x.store(0, std::memory_order_relaxed);
  return x.load(std::memory_order_relaxed);
}

void *processA(void *) {
  for (;;)
    printf("Thread A: %d\n", advance());
}

void *processB(void *) {
  for (;;)
    printf("Thread B: %d\n", advance());
}

int main() {
  pthread_t a, b;
  int error = pthread_create(&a, nullptr, processA, nullptr);
  if (error == 0)
    error = pthread_create(&b, nullptr, processB, nullptr);
  if (error != 0) {
    fprintf(stderr, "tally_racy: pthread_create: %s\n", strerror(error));
    return 1;
  }
  pthread_join(a, nullptr);  // never returns: both threads count for ever
  pthread_join(b, nullptr);
  return 0;
}
