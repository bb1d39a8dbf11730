// A wrong answer: the producer sleeps by the clock (usleep) while the stock is full: it
// never waits on a semaphore, and a sale frees room up to a millisecond before it looks.
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

std::atomic<int32_t> sells{0};
int32_t products = 0;
const int32_t digits = 1168;
sem_t sem;

void *processA(void *) {  // the seller
  for (;;) {
    while (sem_wait(&sem) != 0) {
    }
    int32_t sold = sells.load(std::memory_order_relaxed) + 1;
    sells.store(sold, std::memory_order_relaxed);
    printf("sells = %d\n", sold);
  }
}

void *processB(void *) {  // the producer
  for (;;) {
    int64_t room = int64_t{sells.load(std::memory_order_relaxed)} + digits;
    if (products < room && products < INT32_MAX) {
      products = products + 1;
      printf("products = %d\n", products);
      sem_post(&sem);
    } else {
      usleep(1000);  // full: sleep a millisecond by the clock and look again
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
