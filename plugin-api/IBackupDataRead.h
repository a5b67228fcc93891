// Read side of a plug-in: the data source the agent copies from.
//
// Objects come from a library's factory and cross the library boundary only as
// pointers to this class, so the order of the virtual operations below is
// fixed. Results are the remote result codes: 0 success, 1 failed, 3 path not
// found, 4 access denied, 5 end of data, 6 not supported, 7 disk full.
// Operations never throw. The agent calls an object from one thread at a time.

#pragma once

#include <list>
#include <string>

#include "plugin-api/FileTypes.h"

class IBackupDataRead {
 public:
  IBackupDataRead(const IBackupDataRead&) = delete;
  IBackupDataRead& operator=(const IBackupDataRead&) = delete;

  virtual ~IBackupDataRead() = default;

  // Frees the object inside the library that made it. The only way to release
  // an object a factory returned; callers check for null before calling.
  virtual void Destroy() { delete this; }

  // Opens `path` in `mode` and stores the new handle in `handle`.
  [[nodiscard]] virtual int OpenFile(const std::wstring& path, FileAccessMode::ID mode,
                                     unsigned int& handle) = 0;
  // Reads up to `size` bytes (the room in `buffer`) and stores in `size` the
  // bytes delivered; 5 when no data is left.
  [[nodiscard]] virtual int ReadFile(unsigned char* buffer, unsigned int& size,
                                     const unsigned int& handle) = 0;
  // Moves the read position of `handle` to `position`; 6 when not supported.
  [[nodiscard]] virtual int SeekFile(const unsigned int& handle, const unsigned long long& position) = 0;
  // Closes `handle`; the handle is invalid afterwards.
  [[nodiscard]] virtual int CloseFile(const unsigned int& handle) = 0;
  // Stores the attributes of `path` in `attributes`.
  [[nodiscard]] virtual int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) = 0;
  // Appends the entries of the folder `path` to `entries`.
  [[nodiscard]] virtual int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) = 0;
  // Tells the object that the current operation is being stopped.
  virtual void OnStop() = 0;

 protected:
  IBackupDataRead() = default;
};
