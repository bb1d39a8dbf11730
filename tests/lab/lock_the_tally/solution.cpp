// A correct answer: tally_racy with a mutex held for the whole pass and its print, so that
// no thread can run between another's increment, fold, read and line.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

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
    pthread_mutex_lock(&lock);
    printf("Thread A: %d\n", advance());
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
  pthread_t a, b;
  int error = pthread_create(&a, nullptr, processA, nullptr);
  if (error == 0)
    error = pthread_create(&b, nullptr, processB, nullptr);
  if (error != 0) {
    fprintf(stderr, "tally: pthread_create: %s\n", strerror(error));
    return 1;
  }
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
  return 0;
}
