// A right attempt at sleeping_producer whose producer, once it has made a full stock, lets
// the seller sell all of it before it makes the next item, as a producer kept waiting for
// a CPU on a busy machine can: the seller opens once the stock is full, and the producer
// goes on a second later.
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

std::atomic<int32_t> sells{0};
int32_t products = 0;
const int32_t digits = 1168;
sem_t sem;     // items made and not yet taken by the seller
sem_t places;  // room for items not yet made
sem_t opened;  // the seller's start, once the stock is full

void *processA(void *) {  // the seller
  sem_wait(&opened);
  for (;;) {
    while (sem_wait(&sem) != 0) {
    }
    int32_t sold = sells.load(std::memory_order_relaxed) + 1;
    sells.store(sold, std::memory_order_relaxed);
    printf("sells = %d\n", sold);
    sem_post(&places);
  }
}

void *processB(void *) {  // the producer
  while (products < INT32_MAX) {
    while (sem_wait(&places) != 0) {
    }
    products = products + 1;
    printf("products = %d\n", products);
    sem_post(&sem);
    if (products == digits) {
      sem_post(&opened);
      sleep(1);
    }
  }
  return nullptr;
}

int main() {
  sem_init(&sem, 0, 0);
  sem_init(&places, 0, digits);
  sem_init(&opened, 0, 0);
  pthread_t seller, producer;
  pthread_create(&seller, nullptr, processA, nullptr);
  pthread_create(&producer, nullptr, processB, nullptr);
  pthread_join(seller, nullptr);
  pthread_join(producer, nullptr);
  return 0;
}
