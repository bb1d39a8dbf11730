// A correct answer of another shape: the free places are a named semaphore. sem_open maps
// /dev/shm/sem.NAME into the program, so the producer sleeps on a word of that mapping, not
// of the executable's data. The name is removed at once: the mapping lives on without it.
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

std::atomic<int32_t> sells{0};
int32_t products = 0;
const unsigned digits = 1168;
sem_t sem;
sem_t *places;

void *processA(void *) {  // the seller
  for (;;) {
    while (sem_wait(&sem) != 0) {
    }
    int32_t sold = sells.load(std::memory_order_relaxed) + 1;
    sells.store(sold, std::memory_order_relaxed);
    printf("sells = %d\n", sold);
    sem_post(places);
  }
}

void *processB(void *) {  // the producer
  while (products < INT32_MAX) {
    while (sem_wait(places) != 0) {
    }
    printf("products = %d\n", ++products);
    sem_post(&sem);
  }
  return nullptr;
}

int main() {
  char name[32];
  snprintf(name, sizeof name, "/places.%d", static_cast<int>(getpid()));
  places = sem_open(name, O_CREAT | O_EXCL, 0600, digits);
  if (places == SEM_FAILED) {
    perror("sem_open");
    return 1;
  }
  sem_unlink(name);
  sem_init(&sem, 0, 0);
  pthread_t seller, producer;
  pthread_create(&seller, nullptr, processA, nullptr);
  pthread_create(&producer, nullptr, processB, nullptr);
  pthread_join(seller, nullptr);
  pthread_join(producer, nullptr);
  return 0;
}
