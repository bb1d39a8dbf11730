// A correct answer of another shape, the replier: posts the semaphore in the page's last
// bytes once its answer is in the page.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

const char reply[] = "Hello Process A";

int main() {
  const int memo_size = 4096;
  int fd = shm_open("OS", O_RDWR, 0666);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < memo_size) {
    fprintf(stderr, "memo_replier: no object OS of %d bytes\n", memo_size);
    return 1;
  }
  char *page = (char *)mmap(nullptr, memo_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (page == MAP_FAILED) {
    perror("memo_replier: mmap");
    return 1;
  }
  sem_t *answered = (sem_t *)(page + memo_size - sizeof(sem_t));
  int text = memo_size - (int)sizeof(sem_t);
  printf("Read shared memory: %.*s\n", text, page);
  memcpy(page, reply, sizeof reply);
  printf("Shared memory updated: %.*s\n", text, page);
  fflush(stdout);
  sem_post(answered);
  sleep(5);
  munmap(page, memo_size);
  close(fd);
  shm_unlink("OS");
  return 0;
}
