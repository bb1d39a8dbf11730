// A wrong answer: each thread takes the lock once, around its whole endless loop. Its
// passes never overlap, but the thread that takes it first keeps it for good: every line
// comes from that thread, and the other sleeps on the lock until the end.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

std::atomic<int32_t> x{0};
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static int32_t advance() {
  uint32_t sum = static_cast<uint32_t>(x.load(std::memory_order_relaxed)) + 1u;
  x.store(static_cast<int32_t>(sum), std::memory_order_relaxed);
  if (x.load(std::memory_order_relaxed) == 20)
    x.store(0, std::memory_order_relaxed);
  return x.load(std::memory_order_relaxed);
}

void *processA(void *) {
  pthread_mutex_lock(&lock);
  for (;;)
    printf("Thread A: %d\n", advance());
}

void *processB(void *) {
  pthread_mutex_lock(&lock);
  for (;;)
    printf("Thread B: %d\n", advance());
}

int main() {
  pthread_t a, b;
  pthread_create(&a, nullptr, processA, nullptr);
  pthread_create(&b, nullptr, processB, nullptr);
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
  return 0;
}
