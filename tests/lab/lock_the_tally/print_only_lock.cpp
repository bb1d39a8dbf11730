// A wrong answer: the mutex is held for the print alone, so a pass's increment, fold and
// read still interleave with the other thread's and the values printed break the sequence.
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
  for (;;) {
    int32_t value = advance();
    pthread_mutex_lock(&lock);
    printf("Thread A: %d\n", value);
    pthread_mutex_unlock(&lock);
  }
}

void *processB(void *) {
  for (;;) {
    int32_t value = advance();
    pthread_mutex_lock(&lock);
    printf("Thread B: %d\n", value);
    pthread_mutex_unlock(&lock);
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
