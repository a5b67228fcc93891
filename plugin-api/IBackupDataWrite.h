// Write side of a plug-in: the data target the agent copies into.
//
// Derives virtually from IBackupDataRead, which stays its primary base, so the
// read operations keep their places and the ones below follow them in this
// fixed order. Results and threading as in IBackupDataRead.

#pragma once

#include <string>

#include "plugin-api/FileTypes.h"
#include "plugin-api/IBackupDataRead.h"

class IBackupDataWrite : public virtual IBackupDataRead {
 public:
  ~IBackupDataWrite() override = default;

  // Writes up to `size` bytes of `data` to `handle` and stores in `size` the
  // bytes taken.
  [[nodiscard]] virtual int WriteFile(const unsigned char* data, unsigned int& size,
                                      const unsigned int& handle) = 0;
  // Sets the attributes of `path` from the valid fields of `attributes`.
  [[nodiscard]] virtual int SetElementAttributes(const std::wstring& path,
                                                 const CFileAttributes& attributes) = 0;
  // Creates the folder `path`.
  [[nodiscard]] virtual int CreateFolder(const std::wstring& path) = 0;
  // Deletes the folder `path`.
  [[nodiscard]] virtual int DeleteFolder(const std::wstring& path) = 0;
  // Deletes the file `path`.
  [[nodiscard]] virtual int DeleteFile(const std::wstring& path) = 0;
  // Renames `from` to `to`; 6 when not supported.
  [[nodiscard]] virtual int MoveFile(const std::wstring& from, const std::wstring& to) = 0;
  // Starts a group of writes that CommitTransaction completes.
  [[nodiscard]] virtual int BeginTransaction() = 0;
  // Completes the writes since BeginTransaction.
  [[nodiscard]] virtual int CommitTransaction() = 0;

 protected:
  IBackupDataWrite() = default;
};
