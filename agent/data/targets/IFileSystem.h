// A copy target: where the copy engine stores data and from where it
// restores it, seen as files, folders and attributes.
//
// Results are the remote result codes (0 success, 1 failed, 3 path not
// found, 4 access denied, 5 end of data, 6 not supported, 7 disk full).
// Paths use "\" as separator. Handles are the target's own numbers.
// REQUIRES: one thread at a time.

#pragma once

#include <list>
#include <string>

#include "plugin-api/FileTypes.h"

namespace zr {

class IFileSystem {
 public:
  IFileSystem(const IFileSystem&) = delete;
  IFileSystem& operator=(const IFileSystem&) = delete;

  // Appends the entries of the folder `path` to `entries`.
  [[nodiscard]] virtual int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) = 0;
  // Stores the attributes of `path` in `attributes`; 3 when it does not exist.
  [[nodiscard]] virtual int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) = 0;
  // Sets the valid fields of `attributes` on `path`.
  [[nodiscard]] virtual int SetElementAttributes(const std::wstring& path,
                                                 const CFileAttributes& attributes) = 0;
  [[nodiscard]] virtual int CreateFolder(const std::wstring& path) = 0;
  [[nodiscard]] virtual int DeleteFolder(const std::wstring& path) = 0;
  [[nodiscard]] virtual int DeleteFile(const std::wstring& path) = 0;
  // The folder later paths are taken against.
  [[nodiscard]] virtual int SetRoot(const std::wstring& path) = 0;
  // Opens `path`; `deltaAllowed` lets a writing target send a write of an
  // existing file as a delta against its old content.
  [[nodiscard]] virtual int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle,
                                     bool deltaAllowed) = 0;
  // Write mode: the data written is stored at `path` as a delta against
  // `basePath`. Read mode: reads `basePath` with the delta stored at `path`
  // applied.
  [[nodiscard]] virtual int OpenFilePatch(const std::wstring& basePath, const std::wstring& path,
                                          FileAccessMode::ID mode, unsigned int& handle) = 0;
  // Delivers up to `size` bytes into `buffer`; `size` becomes the count
  // delivered; 5 at the end of the data.
  [[nodiscard]] virtual int ReadFile(unsigned char* buffer, unsigned int& size,
                                     const unsigned int& handle) = 0;
  // Takes up to `size` bytes of `data`; `size` becomes the count taken.
  [[nodiscard]] virtual int WriteFile(const unsigned char* data, unsigned int& size,
                                      const unsigned int& handle) = 0;
  // Ends `handle`; a write is complete (or failed) only when this returns.
  [[nodiscard]] virtual int CloseFile(const unsigned int& handle) = 0;
  // Ends `handle` without completing its write, after a failed copy: a
  // write sent as a delta is cut off, so the stored file stays as it was.
  // Any other handle is closed as CloseFile does.
  [[nodiscard]] virtual int AbortFile(const unsigned int& handle) { return CloseFile(handle); }
  [[nodiscard]] virtual int BeginTransaction() = 0;
  [[nodiscard]] virtual int CommitTransaction() = 0;

  virtual ~IFileSystem() = default;

 protected:
  IFileSystem() = default;
};

}  // namespace zr
