// tally_locked — two threads advance one shared counter, one whole pass at a time.
//
// Run:   ./tally_locked          (never ends; stop it with Ctrl-C)
// Watch: read down the values whichever thread printed them: 1, 2, ..., 19, 0, 1, ...
// with never a gap, a repeat or a 20. Long runs from one thread are normal; the mutex
// decides only that passes never overlap, not whose turn it is.
// Compare with tally_racy, which is this program without the mutex.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Under the lock a plain int would do; the relaxed loads and stores are kept so that the
// only difference from tally_racy is the mutex itself.
std::atomic<int32_t> x{0};
pthread_mutex_t lock;  // held for the increment, the test and the print

// One pass over the counter: increment, fold 20 back to 0, read what to print.
static int32_t advance() {
  // Added in unsigned arithmetic, so the largest value wraps to the smallest, not to UB.
  uint32_t sum = static_cast<uint32_t>(x.load(std::memory_order_relaxed)) + 1u;
  x.store(static_cast<int32_t>(sum), std::memory_order_relaxed);
  if (x.load(std::memory_order_relaxed) == 20)
    x.store(0, std::memory_order_relaxed);
  return x.load(std::memory_order_relaxed);
}

void *processA(void *) {
  for (;;) {
    pthread_mutex_lock(&lock);
    printf("Thread A: %d\n", advance());  // printed before unlocking: lines keep update order
    pthread_mutex_unlock(&lock);
  }
}

void *processB(void *) {
  for (;;) {
    pthread_mutex_lock(&lock);
    printf("Thread B: %d\n", advance());
    pthread_mutex_unlock(&lock);
  }
}

int main() {
  pthread_mutex_init(&lock, nullptr);
  pthread_t a, b;
  int error = pthread_create(&a, nullptr, processA, nullptr);
  if (error == 0)
    error = pthread_create(&b, nullptr, processB, nullptr);
  if (error != 0) {
    fprintf(stderr, "tally_locked: pthread_create: %s\n", strerror(error));
    return 1;
  }
  pthread_join(a, nullptr);  // never returns: both threads count for ever
  pthread_join(b, nullptr);
  return 0;
}
