// A read-only copy target over the read plug-in broker, used to browse a
// stored backup. Every change is refused with 4 (access denied) without
// touching anything; patch streams are not supported (6).
// REQUIRES: one thread at a time.

#pragma once

#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/hosting/PluginBroker.h"
#include "agent/data/targets/IFileSystem.h"

namespace zr {

class CBackupFS final : public IFileSystem {
 public:
  // `session`, `log` and `loader` are not owned and must outlive the target.
  CBackupFS(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader);

  // The read broker's answers; listings without the temporary files of a
  // local target (HideTemporaryFiles).
  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override;
  int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override;
  int SetRoot(const std::wstring& path) override;
  // Opens for reading; 4 for any other mode (nothing is passed on).
  // `deltaAllowed` is not used.
  int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle,
               bool deltaAllowed) override;
  int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  int CloseFile(const unsigned int& handle) override;

  // 4.
  int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) override;
  int CreateFolder(const std::wstring& path) override;
  int DeleteFolder(const std::wstring& path) override;
  int DeleteFile(const std::wstring& path) override;
  int WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) override;
  int BeginTransaction() override;
  int CommitTransaction() override;
  // 6.
  int OpenFilePatch(const std::wstring& basePath, const std::wstring& path, FileAccessMode::ID mode,
                    unsigned int& handle) override;

 private:
  CPluginBroker<IBackupDataRead> broker_;
};

}  // namespace zr
