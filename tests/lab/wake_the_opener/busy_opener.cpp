// A wrong answer: the opener re-reads the page on a CPU until the answer is there, with no
// semaphore and no sleep. It answers at once, yet it never sleeps while it waits.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char greeting[] = "Hello Process B";

// Read through a volatile pointer, so that every look loads the shared bytes afresh.
static bool unanswered(const volatile char *page) {
  for (int i = 0; i < 15; ++i)
    if (page[i] != greeting[i])
      return false;
  return true;
}

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
  char *page =
      static_cast<char *>(mmap(nullptr, memo_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  if (page == MAP_FAILED)
    return fail("mmap");
  memcpy(page, greeting, sizeof greeting);
  puts("Waiting Process B update shared memory");
  fflush(stdout);
  while (unanswered(page)) {  // no sleep: the CPU is busy looking
  }
  printf("Memory updated: %.*s\n", memo_size, page);
  munmap(page, memo_size);
  close(fd);
  return 0;
}
