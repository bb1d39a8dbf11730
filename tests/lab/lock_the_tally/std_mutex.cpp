// A correct answer of another shape: a plain int, a std::mutex by another name, and one
// body for both threads. The lab must find the lock without its name.
#include <pthread.h>

#include <cstdio>
#include <mutex>

static int x = 0;
static std::mutex guard;

static void *count(void *name) {
  for (;;) {
    std::lock_guard<std::mutex> held(guard);
    if (++x == 20)
      x = 0;
    printf("Thread %s: %d\n", static_cast<const char *>(name), x);
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
