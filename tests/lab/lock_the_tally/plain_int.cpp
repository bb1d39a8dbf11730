// A wrong answer: the atomics dropped for a plain int and no lock added, so the two
// threads' loads and stores of x race: undefined behaviour that ThreadSanitizer reports.
#include <pthread.h>

#include <cstdio>

int x = 0;

static void *count(void *name) {
  for (;;) {
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
