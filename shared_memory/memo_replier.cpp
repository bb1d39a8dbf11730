// memo_replier — answers memo_opener through the shared-memory page "OS", then removes it.
//
// Run:   ./memo_replier    in a second terminal, while ./memo_opener is waiting in the first
// Watch: "Read shared memory: Hello Process B", then "Shared memory updated: Hello Process A";
// the opener notices within a second and ends, while the replier sleeps five seconds before
// removing "OS". Run with no opener before it, it finds no object and says so, unless an
// opener stopped with Ctrl-C left "OS" behind: then it answers in that page and removes it.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char reply[] = "Hello Process A";

static int fail(const char *call) {
  fprintf(stderr, "memo_replier: %s OS: %s\n", call, strerror(errno));
  return 1;
}

int main() {
  const char *name = "OS";
  const int memo_size = 4096;
  int fd = shm_open(name, O_RDWR, 0666);  // no O_CREAT: the opener must have made it
  if (fd < 0)
    return fail("shm_open");
  // The replier does not size the object, so it checks the size before touching the page:
  // on an empty object the first touch raises SIGBUS, and past a short object's end the
  // bytes belong to no object at all.
  struct stat st;
  if (fstat(fd, &st) != 0)
    return fail("fstat");
  if (st.st_size < memo_size) {
    fprintf(stderr, "memo_replier: OS holds %lld bytes, fewer than %d\n",
            static_cast<long long>(st.st_size), memo_size);
    return 1;
  }
  char *page =
      static_cast<char *>(mmap(nullptr, memo_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  if (page == MAP_FAILED)
    return fail("mmap");

  // The page is text only if someone put a NUL in it: print no more than the page.
  printf("Read shared memory: %.*s\n", memo_size, page);
  memcpy(page, reply, sizeof reply);  // 16 bytes with the NUL; the rest stays as it was
  printf("Shared memory updated: %.*s\n", memo_size, page);
  sleep(5);

  munmap(page, memo_size);
  close(fd);
  shm_unlink(name);  // the object is freed once no process has it open or mapped
  return 0;
}
