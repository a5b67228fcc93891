// The delta side of a copy target: the signature of a file the target holds,
// a stream that takes a delta and rebuilds a file from it, and a stream that
// rebuilds a stored file from its base and a stored delta.
//
// In the patch operations the base path (the basis of the delta) comes first
// and the path of the file written or read second. Results are the remote
// result codes (0 success, 1 failed, 3 path not found, 5 end of data,
// 6 not supported, 7 disk full). Handles are those of the target; each one
// is valid from its open to its close and only for the operations of its
// own stream.
// REQUIRES: one caller thread at a time per object.

#pragma once

#include <string>

namespace zr {

class IRsyncSourceWrite {
 public:
  IRsyncSourceWrite(const IRsyncSourceWrite&) = delete;
  IRsyncSourceWrite& operator=(const IRsyncSourceWrite&) = delete;

  // Opens the signature of the file at `path` for reading; `handle` receives
  // the stream's handle. 3 for an empty path; 1 while another signature job
  // runs on this target.
  [[nodiscard]] virtual int OpenFileSignature(const std::wstring& path, unsigned int& handle) = 0;
  // Reads up to `size` bytes of the signature into `buffer`; `size` receives
  // the count. 5 once the whole signature was read; 1 when the job failed.
  [[nodiscard]] virtual int ReadFileSignature(unsigned char* buffer, unsigned int& size,
                                              const unsigned int& handle) = 0;
  // Ends the signature stream, also before its end (the job is abandoned).
  [[nodiscard]] virtual int CloseFileSignature(const unsigned int& handle) = 0;

  // Opens a stream that takes a delta against `basePath` and stores the
  // rebuilt file at `path` (the same path rebuilds the file in place).
  // 6 when the target cannot apply deltas (the caller then writes plainly).
  [[nodiscard]] virtual int OpenFilePatching(const std::wstring& basePath, const std::wstring& path,
                                             unsigned int& handle) = 0;
  // Takes `size` delta bytes; on success `size` is unchanged.
  [[nodiscard]] virtual int WriteFilePatching(const unsigned char* data, unsigned int& size,
                                              const unsigned int& handle) = 0;
  // Ends the delta and stores the rebuilt file; non-zero when the delta was
  // cut off or bad or the file could not be stored (the file at the path is
  // then left as it was).
  [[nodiscard]] virtual int CloseFilePatching(const unsigned int& handle) = 0;

  // Opens the file rebuilt from `basePath` and the delta stored at `path`
  // for reading.
  [[nodiscard]] virtual int OpenFilePatch(const std::wstring& basePath, const std::wstring& path,
                                          unsigned int& handle) = 0;
  // Reads up to `size` rebuilt bytes; 5 at the end; 1 when the job failed.
  [[nodiscard]] virtual int ReadFilePatch(unsigned char* buffer, unsigned int& size,
                                          const unsigned int& handle) = 0;
  // Ends the stream, also before its end; 1 when the job failed.
  [[nodiscard]] virtual int CloseFilePatch(const unsigned int& handle) = 0;

 protected:
  IRsyncSourceWrite() = default;
  // Not deleted through this interface.
  ~IRsyncSourceWrite() = default;
};

}  // namespace zr
