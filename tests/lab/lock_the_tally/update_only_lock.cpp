// A wrong answer: the mutex holds the increment, the fold and the read, but not the
// print. Each value is right when taken, yet a thread may print it after the other has
// taken and printed the next one: the lines leave the order of the passes.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

std::atomic<int32_t> x{0};
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static int32_t advance() {
  pthread_mutex_lock(&lock);
  uint32_t sum = static_cast<uint32_t>(x.load(std::memory_order_relaxed)) + 1u;
  x.store(static_cast<int32_t>(sum), std::memory_order_relaxed);
  if (x.load(std::memory_order_relaxed) == 20)
    x.store(0, std::memory_order_relaxed);
  int32_t value = x.load(std::memory_order_relaxed);
  pthread_mutex_unlock(&lock);
  return value;
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
  pthread_create(&a, nullptr, processA, nullptr);
  pthread_create(&b, nullptr, processB, nullptr);
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
  return 0;
}
