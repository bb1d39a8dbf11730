// A correct answer: a second semaphore counts the free places. The producer takes a place
// before it makes an item and the seller gives one back after each sale, so with the stock
// full the producer sleeps in sem_wait instead of testing sells on a CPU.
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

std::atomic<int32_t> sells{0};
int32_t products = 0;
const int32_t digits = 1168;
sem_t sem;     // items made and not yet taken by the seller
sem_t places;  // room for items not yet made: digits less the items unsold

void *processA(void *) {  // the seller
  for (;;) {
    while (sem_wait(&sem) != 0) {
    }
    int32_t sold = sells.load(std::memory_order_relaxed) + 1;
    sells.store(sold, std::memory_order_relaxed);
    printf("sells = %d\n", sold);
    sem_post(&places);  // after the print: the next item cannot be printed before this sale
  }
}

void *processB(void *) {  // the producer
  while (products < INT32_MAX) {
    while (sem_wait(&places) != 0) {
    }
    products = products + 1;
    printf("products = %d\n", products);
    sem_post(&sem);
  }
  return nullptr;
}

int main() {
  sem_init(&sem, 0, 0);
  sem_init(&places, 0, digits);
  pthread_t seller, producer;
  int error = pthread_create(&seller, nullptr, processA, nullptr);
  if (error == 0)
    error = pthread_create(&producer, nullptr, processB, nullptr);
  if (error != 0) {
    fprintf(stderr, "stock_gate: pthread_create: %s\n", strerror(error));
    return 1;
  }
  pthread_join(seller, nullptr);
  pthread_join(producer, nullptr);
  sem_destroy(&sem);
  sem_destroy(&places);
  return 0;
}
