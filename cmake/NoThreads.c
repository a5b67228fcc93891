// Preloaded into a test not marked THREADED (see Testing.cmake): the first
// thread the test process starts stops it with a message, so a suite that
// starts threads cannot miss the thread-sanitizer stage. Programs the test
// executes run without it.
#define _GNU_SOURCE
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void ForgetPreload(void) { unsetenv("LD_PRELOAD"); }

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
  (void)thread;
  (void)attributes;
  (void)start;
  (void)argument;
  static const char kMessage[] =
      "zr_no_threads: this test starts a thread; mark it THREADED in its zr_add_test\n";
  (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  abort();
}
