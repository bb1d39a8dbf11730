// A correct answer of another shape, the opener: the semaphore in the page's last bytes,
// reached by pointer arithmetic rather than a struct, and waited on with sem_timedwait in a
// loop that waits again after each ten-second timeout.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char greeting[] = "Hello Process B";

int main() {
  const int memo_size = 4096;
  int fd = shm_open("OS", O_CREAT | O_RDWR, 0666);
  if (fd < 0 || ftruncate(fd, memo_size) != 0) {
    perror("memo_opener");
    return 1;
  }
  char *page = (char *)mmap(nullptr, memo_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (page == MAP_FAILED) {
    perror("memo_opener: mmap");
    return 1;
  }
  sem_t *answered = (sem_t *)(page + memo_size - sizeof(sem_t));
  sem_init(answered, 1, 0);
  memcpy(page, greeting, sizeof greeting);
  puts("Waiting Process B update shared memory");
  fflush(stdout);
  for (;;) {
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 10;
    if (sem_timedwait(answered, &until) == 0)
      break;
  }
  printf("Memory updated: %.*s\n", memo_size - (int)sizeof(sem_t), page);
  munmap(page, memo_size);
  close(fd);
  return 0;
}
