// A wrong answer: the semaphore is in the object, but set up private to the opener
// (pshared 0), so its wait is a private futex that the replier's post never wakes.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char greeting[] = "Hello Process B";

// The page as both programs see it: the text first, the semaphore after it.
struct Memo {
  char text[64];
  sem_t answered;
};

static int fail(const char *call) {
  fprintf(stderr, "memo_opener: %s OS: %s\n", call, strerror(errno));
  return 1;
}

int main() {
  const char *name = "OS";
  const int memo_size = 4096;
  int fd = shm_open(name, O_CREAT | O_RDWR, 0666);
  if (fd < 0)
    return fail("shm_open");
  if (ftruncate(fd, memo_size) != 0)
    return fail("ftruncate");
  void *page = mmap(nullptr, memo_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (page == MAP_FAILED)
    return fail("mmap");
  Memo *memo = static_cast<Memo *>(page);
  if (sem_init(&memo->answered, 0, 0) != 0)  // 0: private to this process
    return fail("sem_init");
  memcpy(memo->text, greeting, sizeof greeting);
  puts("Waiting Process B update shared memory");
  fflush(stdout);
  while (sem_wait(&memo->answered) != 0) {  // only a signal ends it early: wait again
  }
  printf("Memory updated: %.*s\n", static_cast<int>(sizeof memo->text), memo->text);
  munmap(page, memo_size);
  close(fd);
  return 0;
}
