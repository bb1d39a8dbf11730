// record_pass — a thread gets more than one value: the address of a record.
//
// Run:   ./record_pass
// Watch: five lines "X", then the program ends with status 0. The character and the count
// both came from a record on main's stack; main joins the thread before that record goes
// out of scope, so the thread never reads a dead record.

#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

struct char_print_params {
  char ch;        // the character to print
  int32_t count;  // how many times; nothing for 0 or less
};

void *char_print(void *parameters) {
  // The start argument is untyped: the thread knows it was handed a char_print_params.
  const char_print_params *p = static_cast<const char_print_params *>(parameters);
  for (int32_t i = 0; i < p->count; ++i)
    printf("%c\n", p->ch);
  return nullptr;
}

int main() {
  char_print_params params;
  params.ch = 'X';
  params.count = 5;
  pthread_t thread;
  int error = pthread_create(&thread, nullptr, char_print, &params);
  if (error != 0) {
    // The handle was never filled in, so there is nothing to join.
    fprintf(stderr, "record_pass: pthread_create: %s\n", strerror(error));
    return 1;
  }
  pthread_join(thread, nullptr);  // params must outlive the thread that reads it
  return 0;
}
