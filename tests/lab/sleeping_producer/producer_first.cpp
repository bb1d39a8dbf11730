// A correct answer of another shape: the producer's thread is created before the seller's.
// The lab must know the producer by the lines it writes, not by the order it was made.
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

std::atomic<int32_t> sells{0};
int32_t products = 0;
const int32_t digits = 1168;
sem_t sem, places;

void *seller(void *) {
  for (;;) {
    while (sem_wait(&sem) != 0) {
    }
    int32_t sold = sells.load(std::memory_order_relaxed) + 1;
    sells.store(sold, std::memory_order_relaxed);
    printf("sells = %d\n", sold);
    sem_post(&places);
  }
}

void *producer(void *) {
  while (products < INT32_MAX) {
    while (sem_wait(&places) != 0) {
    }
    printf("products = %d\n", ++products);
    sem_post(&sem);
  }
  return nullptr;
}

int main() {
  sem_init(&sem, 0, 0);
  sem_init(&places, 0, digits);
  pthread_t a, b;
  pthread_create(&b, nullptr, producer, nullptr);
  pthread_create(&a, nullptr, seller, nullptr);
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
  return 0;
}
