// stock_gate — a producer hands items to a seller through a counting semaphore.
//
// Run:   ./stock_gate            (never ends; stop it with Ctrl-C)
// Watch: no "sells" line ever comes before the "products" line with the same number, and
// neither count skips or repeats a value. The semaphore makes only the seller wait; the
// producer holds itself back by testing sells in a loop, and while 1168 items stand
// unsold it spins there on a CPU until a sale frees room. With a second CPU free the
// seller sells meanwhile; on one CPU (taskset -c 0 ./stock_gate) the spin takes the CPU
// from the seller it waits for, until the scheduler ends the producer's time slice.

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

// The seller writes sells and the producer reads it: single relaxed atomic loads and
// stores keep that race-free. A stale value only holds production back, since sells only grows.
std::atomic<int32_t> sells{0};
int32_t products = 0;
const int32_t digits = 1168;  // the most items the producer lets stand unsold
sem_t sem;                    // items made and not yet taken by the seller

void *processA(void *) {  // the seller
  for (;;) {
    // A signal whose handler interrupts the wait ends it with EINTR and no item taken
    // (this program installs none, but a change to it might): wait again rather than sell
    // an item that was never made. A stop and continue (Ctrl-Z, then fg) does not end it.
    while (sem_wait(&sem) != 0) {
    }
    int32_t sold = sells.load(std::memory_order_relaxed) + 1;
    sells.store(sold, std::memory_order_relaxed);
    printf("sells = %d\n", sold);
  }
}

void *processB(void *) {  // the producer
  for (;;) {
    // Summed in 64 bits so the test cannot overflow; production stops for good when
    // products reaches the largest 32-bit value, and the seller sells the rest.
    int64_t room = int64_t{sells.load(std::memory_order_relaxed)} + digits;
    if (products < room && products < INT32_MAX) {
      products = products + 1;
      printf("products = %d\n", products);
      sem_post(&sem);  // after the print: item k is on the screen before it can be sold
    }
  }
}

int main() {
  sem_init(&sem, 0, 0);
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
  return 0;
}
