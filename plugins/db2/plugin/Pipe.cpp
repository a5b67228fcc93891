#include "plugins/db2/plugin/Pipe.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace db2 {

namespace {

sigset_t SigpipeSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

}  // namespace

void BlockSigpipeInThisThread() {
  const sigset_t set = SigpipeSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ssize_t WriteNoSigpipe(int fd, const void* data, size_t size) {
  const sigset_t set = SigpipeSet();
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &set, &old);
  sigset_t pendingBefore;
  sigpending(&pendingBefore);
  const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;
  ssize_t n;
  do {
    n = ::write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EPIPE && !wasPending) {
    const int saved = errno;
    // The failed write raised a thread-directed SIGPIPE; take it before the
    // mask is restored so it is never delivered.
    const timespec zero{0, 0};
    while (sigtimedwait(&set, nullptr, &zero) < 0 && errno == EINTR) {
    }
    errno = saved;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return n;
}

ssize_t ReadRetrying(int fd, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

void CloseFd(int& fd) {
  if (fd != -1) {
    ::close(fd);
    fd = -1;
  }
}

}  // namespace db2
