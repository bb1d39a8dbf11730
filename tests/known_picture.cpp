// known_picture — a run whose picture is known, for the page's tests (not one of the
// twelve): a fork child that ends at once and is reaped 0.3 s later, so that it is a
// zombie for 0.3 s; a waiter thread that sleeps on the semaphore `sem` until a poster
// thread posts it 0.2 s after it was made. Each thread writes its own line as it goes.
//
// Run: ./known_picture        (ends after about 0.3 s, exit status 0)
#include <pthread.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

sem_t sem;

void *waiter(void *) {
  sem_wait(&sem);
  printf("waiter woken\n");
  fflush(stdout);  // written by this thread, now, whatever stdout is
  return nullptr;
}

void *poster(void *) {
  usleep(200'000);
  printf("poster posts\n");
  fflush(stdout);
  sem_post(&sem);
  return nullptr;
}

int main() {
  sem_init(&sem, 0, 0);
  pid_t child = fork();
  if (child == 0)
    _exit(7);
  pthread_t a, b;
  pthread_create(&a, nullptr, waiter, nullptr);
  pthread_create(&b, nullptr, poster, nullptr);
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
  usleep(100'000);
  int status;
  waitpid(child, &status, 0);
  printf("main reaped %d\n", WEXITSTATUS(status));
  return 0;
}
