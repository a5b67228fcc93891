// A copy target on this machine: the write plug-in broker with the delta
// jobs (CRsyncTarget). A write-mode OpenFilePatch sends the data written as
// an rsync delta against the base file through a CRsyncSource over this
// object's own IRsyncSourceWrite side. Results are the broker's and the
// delta jobs', unchanged. One file at a time is written.
// REQUIRES: IFileSystem operations from one thread at a time; the
// IRsyncSourceWrite side is also called by the CRsyncSource worker.

#pragma once

#include "agent/data/Settings.h"
#include "agent/data/delta/IRsyncSourceWrite.h"
#include "agent/data/delta/RsyncSource.h"
#include "agent/data/delta/RsyncTarget.h"
#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/targets/FileSystem.h"

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

  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override;
  int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override;
  int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) override;
  int CreateFolder(const std::wstring& path) override;
  int DeleteFolder(const std::wstring& path) override;
  int DeleteFile(const std::wstring& path) override;
  int SetRoot(const std::wstring& path) override;
  // A plain broker open; `deltaAllowed` is not used.
  int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle,
               bool deltaAllowed) override;
  // Write mode: the delta against `basePath` is stored as `path`. Read
  // mode: the file rebuilt from `basePath` and the delta stored at `path`.
  int OpenFilePatch(const std::wstring& basePath, const std::wstring& path, FileAccessMode::ID mode,
                    unsigned int& handle) override;
  int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  int WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) override;
  int CloseFile(const unsigned int& handle) override;
  // A delta write is cut off (the target keeps its file); else CloseFile.
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
  CRsyncTarget target_;
  CRsyncSource source_;  // after target_: destroyed first
  bool delta_ = false;   // the current write goes through source_
};

}  // namespace zr
