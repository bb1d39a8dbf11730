// A right lock with lines of another form: "Thread A -> N". Its passes are whole, but the
// task asks for the lines as they are, and the lab reads the values from that form alone.
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

static void *count(void *name) {
  for (;;) {
    pthread_mutex_lock(&lock);
    printf("Thread %s -> %d\n", static_cast<const char *>(name), advance());
    pthread_mutex_unlock(&lock);
  }
}

int main() {
  pthread_t a, b;
  pthread_create(&a, nullptr, count, const_cast<char *>("A"));
  pthread_create(&b, nullptr, count, const_cast<char *>("B"));
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
  return 0;
}
