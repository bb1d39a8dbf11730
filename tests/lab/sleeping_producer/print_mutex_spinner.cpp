// A wrong answer that sleeps now and then: both threads hold a mutex around their print,
// so the producer sometimes sleeps in futex on it, but with the stock full it still tests
// sells in a loop on a CPU. Its sleeps are on the print's lock, not a wait for a place.
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

std::atomic<int32_t> sells{0};
int32_t products = 0;
const int32_t digits = 1168;
sem_t sem;
pthread_mutex_t print = PTHREAD_MUTEX_INITIALIZER;

void *processA(void *) {  // the seller
  for (;;) {
    while (sem_wait(&sem) != 0) {
    }
    int32_t sold = sells.load(std::memory_order_relaxed) + 1;
    sells.store(sold, std::memory_order_relaxed);
    pthread_mutex_lock(&print);
    printf("sells = %d\n", sold);
    pthread_mutex_unlock(&print);
  }
}

void *processB(void *) {  // the producer
  for (;;) {
    if (products < int64_t{sells.load(std::memory_order_relaxed)} + digits) {
      products = products + 1;
      pthread_mutex_lock(&print);
      printf("products = %d\n", products);
      pthread_mutex_unlock(&print);
      sem_post(&sem);
    }
  }
}

int main() {
  sem_init(&sem, 0, 0);
  pthread_t seller, producer;
  pthread_create(&seller, nullptr, processA, nullptr);
  pthread_create(&producer, nullptr, processB, nullptr);
  pthread_join(seller, nullptr);
  pthread_join(producer, nullptr);
  return 0;
}
