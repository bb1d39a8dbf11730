// A wrong answer: each thread locks a mutex of its own around its whole pass. Neither
// lock is ever taken by the other thread, so nothing keeps the passes apart.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

std::atomic<int32_t> x{0};
pthread_mutex_t lock_a = PTHREAD_MUTEX_INITIALIZER, lock_b = PTHREAD_MUTEX_INITIALIZER;

static int32_t advance() {
  uint32_t sum = static_cast<uint32_t>(x.load(std::memory_order_relaxed)) + 1u;
  x.store(static_cast<int32_t>(sum), std::memory_order_relaxed);
  if (x.load(std::memory_order_relaxed) == 20)
    x.store(0, std::memory_order_relaxed);
  return x.load(std::memory_order_relaxed);
}

void *processA(void *) {
  for (;;) {
    pthread_mutex_lock(&lock_a);
    printf("Thread A: %d\n", advance());
    pthread_mutex_unlock(&lock_a);
  }
}

void *processB(void *) {
  for (;;) {
    pthread_mutex_lock(&lock_b);
    printf("Thread B: %d\n", advance());
    pthread_mutex_unlock(&lock_b);
  }
}

int main() {
  pthread_t a, b;
  pthread_create(&a, nullptr, processA, nullptr);
  pthread_create(&b, nullptr, processB, nullptr);
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
  return 0;
}
