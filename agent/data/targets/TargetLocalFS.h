// A copy target on this machine: the write plug-in broker with the delta
// jobs (CRsyncTarget). A write-mode OpenFilePatch sends the data written as
// an rsync delta against the base file through a CRsyncSource over this
// object's own IRsyncSourceWrite side. Results are the broker's and the
// delta jobs', unchanged. One file at a time is written.
//
// Replacing a stored file: when the plug-in that holds a path reports that
// it can move files (asked before anything is opened), a write open of an
// existing file writes TemporaryName(path) beside it, and only a
// successful close moves that over the path (the plug-in's MoveFile must
// replace an existing destination); a failed write or close, or AbortFile,
// deletes the temporary file and the old file stays. A new file, and every
// file of a plug-in that cannot move (DB2: a write open of another name
// would restore into another database), is written in place. A temporary
// file left by a crash is hidden from listings (HideTemporaryFiles, also
// in CBackupFS) while its file lies beside it, is reused and moved away by the next replacement of that file,
// and is deleted with it. REQUIRES: IFileSystem operations from one thread at a time; the IRsyncSourceWrite
// side is also called by the CRsyncSource worker.

#pragma once

#include <map>

#include "agent/data/Settings.h"
#include "agent/data/delta/IRsyncSourceWrite.h"
#include "agent/data/delta/RsyncSource.h"
#include "agent/data/delta/RsyncTarget.h"
#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/targets/IFileSystem.h"

namespace zr {

class CTargetLocalFS final : public IFileSystem, public IRsyncSourceWrite {
 public:
  // `session`, `log` and `loader` are not owned and must outlive the target.
  // `settings` answers UseDeltaCopying for the patching jobs; null means the
  // process-wide settings object.
  CTargetLocalFS(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader,
                 const CSettings* settings = nullptr);
  // Abandons a delta write still open.
  ~CTargetLocalFS() override;

  // Without the temporary files of files listed beside them.
  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override;
  int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override;
  int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) override;
  int CreateFolder(const std::wstring& path) override;
  int DeleteFolder(const std::wstring& path) override;
  // Also deletes a temporary file left beside `path` (plug-ins that move).
  int DeleteFile(const std::wstring& path) override;
  int SetRoot(const std::wstring& path) override;
  // A plain broker open, through a temporary file when it replaces a
  // stored file (above); `deltaAllowed` is not used.
  int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle,
               bool deltaAllowed) override;
  // Write mode: the delta against `basePath` is stored as `path`. Read
  // mode: the file rebuilt from `basePath` and the delta stored at `path`.
  int OpenFilePatch(const std::wstring& basePath, const std::wstring& path, FileAccessMode::ID mode,
                    unsigned int& handle) override;
  int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  int WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) override;
  // A replacement is moved over its file: the close's failure, else the
  // move's result (the temporary file deleted on either failure).
  int CloseFile(const unsigned int& handle) override;
  // A delta write is cut off and a replacement deleted (the target keeps
  // its file): the close's result; else CloseFile.
  int AbortFile(const unsigned int& handle) override;
  int BeginTransaction() override;
  int CommitTransaction() override;

  int OpenFileSignature(const std::wstring& path, unsigned int& handle) override;
  int ReadFileSignature(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  int CloseFileSignature(const unsigned int& handle) override;
  // Equal paths: the delta is applied to the file in place. Different
  // paths: the delta itself is stored as the content of `path`.
  int OpenFilePatching(const std::wstring& basePath, const std::wstring& path, unsigned int& handle) override;
  int WriteFilePatching(const unsigned char* data, unsigned int& size, const unsigned int& handle) override;
  int CloseFilePatching(const unsigned int& handle) override;
  int OpenFilePatch(const std::wstring& basePath, const std::wstring& path, unsigned int& handle) override;
  int ReadFilePatch(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  int CloseFilePatch(const unsigned int& handle) override;

 private:
  // True when the plug-in that holds `path` reports that it moves files.
  bool CanMove(const std::wstring& path);
  // Ends a replacement: moves it over its file when `keep`, else (or when
  // that fails) deletes it. The close's failure, else the move's result.
  int EndReplacement(std::map<unsigned int, std::wstring>::iterator replacement, bool keep);

  CExtensionLoader* loader_;
  std::map<unsigned int, std::wstring> replacements_;  // write handle -> the file it replaces
  CRsyncTarget target_;
  CRsyncSource source_;  // after target_: destroyed first
  bool delta_ = false;   // the current write goes through source_
};

}  // namespace zr
