// A correct answer without a second semaphore: the producer waits on a condition variable
// while the stock is full, and the seller signals it after each sale. It sleeps in futex
// on the condition variable's word, woken by a sale.
#include <pthread.h>
#include <semaphore.h>

#include <cstdint>
#include <cstdio>

int32_t sells = 0, products = 0;  // both under `stock`
const int32_t digits = 1168;
sem_t sem;
pthread_mutex_t stock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t room = PTHREAD_COND_INITIALIZER;

void *processA(void *) {  // the seller
  for (;;) {
    while (sem_wait(&sem) != 0) {
    }
    pthread_mutex_lock(&stock);
    int32_t sold = ++sells;
    pthread_mutex_unlock(&stock);
    printf("sells = %d\n", sold);
    pthread_cond_signal(&room);
  }
}

void *processB(void *) {  // the producer
  for (;;) {
    pthread_mutex_lock(&stock);
    while (products - sells >= digits)
      pthread_cond_wait(&room, &stock);
    int32_t made = ++products;
    pthread_mutex_unlock(&stock);
    printf("products = %d\n", made);
    sem_post(&sem);
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
