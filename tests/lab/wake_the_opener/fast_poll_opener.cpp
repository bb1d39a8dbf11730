// A wrong answer: the opener polls every two milliseconds instead of every second. It
// notices the answer in time, yet it never waits: it wakes five hundred times a second.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char greeting[] = "Hello Process B";

// The replier changes the page from another process, out of the compiler's sight: reading
// it through a volatile pointer makes every poll load the shared bytes afresh instead of
// reusing what an earlier poll saw. Only the first 15 bytes count; byte 14 decides.
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
  // No O_TRUNC: an object left by an earlier run is reused with its contents.
  int fd = shm_open(name, O_CREAT | O_RDWR, 0666);
  if (fd < 0)
    return fail("shm_open");
  if (ftruncate(fd, memo_size) != 0)
    return fail("ftruncate");
  char *page =
      static_cast<char *>(mmap(nullptr, memo_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  if (page == MAP_FAILED)
    return fail("mmap");

  memcpy(page, greeting, sizeof greeting);  // 16 bytes with the NUL; the rest stays as it was
  while (unanswered(page)) {
    puts("Waiting Process B update shared memory");
    usleep(2000);  // every two milliseconds instead of every second
  }
  // Another program may have filled the page without a NUL: print no more than the page.
  printf("Memory updated: %.*s\n", memo_size, page);

  munmap(page, memo_size);
  close(fd);  // the name stays: removing it is the replier's last step
  return 0;
}
