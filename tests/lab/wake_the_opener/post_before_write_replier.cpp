// A wrong answer: the replier posts the semaphore before it writes the answer the post
// announces. An opener woken at once reads the page while it still holds its own greeting;
// on two CPUs the replier usually wins that race, which is why it is easy to miss.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char reply[] = "Hello Process A";

struct Memo {
  char text[64];
  sem_t answered;
};

static int fail(const char *call) {
  fprintf(stderr, "memo_replier: %s OS: %s\n", call, strerror(errno));
  return 1;
}

int main() {
  const char *name = "OS";
  const int memo_size = 4096;
  int fd = shm_open(name, O_RDWR, 0666);
  if (fd < 0)
    return fail("shm_open");
  struct stat st;
  if (fstat(fd, &st) != 0)
    return fail("fstat");
  if (st.st_size < memo_size) {
    fprintf(stderr, "memo_replier: OS holds %lld bytes, fewer than %d\n",
            static_cast<long long>(st.st_size), memo_size);
    return 1;
  }
  void *page = mmap(nullptr, memo_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (page == MAP_FAILED)
    return fail("mmap");
  Memo *memo = static_cast<Memo *>(page);
  printf("Read shared memory: %.*s\n", static_cast<int>(sizeof memo->text), memo->text);
  fflush(stdout);
  sem_post(&memo->answered);  // too early: the answer is not in the page yet
  memcpy(memo->text, reply, sizeof reply);
  printf("Shared memory updated: %.*s\n", static_cast<int>(sizeof memo->text), memo->text);
  fflush(stdout);
  sleep(5);
  munmap(page, memo_size);
  close(fd);
  shm_unlink(name);
  return 0;
}
