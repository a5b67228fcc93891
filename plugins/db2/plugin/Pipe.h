// Blocking pipe I/O for the plug-in's data pipe, safe against SIGPIPE.
#pragma once

#include <sys/types.h>
#include <cstddef>

namespace db2 {

// Blocks SIGPIPE for the calling thread for good (worker threads).
void BlockSigpipeInThisThread();

// Writes up to `size` bytes to `fd`, retrying on EINTR. A write to a pipe
// without reader fails with EPIPE instead of raising SIGPIPE: the signal is
// blocked for the duration of the call and a SIGPIPE it caused is consumed.
// Returns the count written (> 0) or -1.
ssize_t WriteNoSigpipe(int fd, const void* data, size_t size);

// Reads up to `size` bytes, retrying on EINTR. Returns the count, 0 at the
// end of data, -1 on failure.
ssize_t ReadRetrying(int fd, void* buffer, size_t size);

// Closes `fd` when it is not -1 and sets it to -1.
void CloseFd(int& fd);

}  // namespace db2
