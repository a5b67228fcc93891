#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "agent/data/targets/IFileSystem.h"

namespace zrtest {

// An IFileSystem in memory that records every call. Paths are compared
// exactly ("\" separated, no root applied); a folder exists when it was
// created or when a file lies below it. A write open truncates; the data
// is visible at once.
class MemoryFileSystem final : public zr::IFileSystem {
 public:
  struct Call {
    std::string operation;
    std::vector<std::wstring> args;  // paths, then the mode as "r"/"w" where there is one
  };

  int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override;
  int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override;
  int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) override;
  int CreateFolder(const std::wstring& path) override;
  int DeleteFolder(const std::wstring& path) override;
  int DeleteFile(const std::wstring& path) override;
  int SetRoot(const std::wstring& path) override;
  int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle,
               bool deltaAllowed) override;
  int OpenFilePatch(const std::wstring& basePath, const std::wstring& path, FileAccessMode::ID mode,
                    unsigned int& handle) override;
  int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  int WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) override;
  int CloseFile(const unsigned int& handle) override;
  // Recorded as "AbortFile"; otherwise as CloseFile (the data stays).
  int AbortFile(const unsigned int& handle) override;
  int BeginTransaction() override;
  int CommitTransaction() override;

  // --- Test controls ---------------------------------------------------------
  // From now on `operation` answers `result` without doing its work.
  void SetResult(const std::string& operation, int result) { results_[operation] = result; }
  // At most this many bytes per ReadFile / WriteFile (0: no limit).
  void SetReadChunk(unsigned int bytes) { readChunk_ = bytes; }
  void SetWriteChunk(unsigned int bytes) { writeChunk_ = bytes; }

  std::map<std::wstring, std::string> files;
  std::set<std::wstring> folders;
  std::map<std::wstring, CFileAttributes> attributes;
  std::vector<Call> calls;
  std::map<unsigned int, bool> deltaAllowedOf;  // by handle, as OpenFile got it

  // Names of the recorded operations, in order.
  std::vector<std::string> Operations() const;
  // Recorded calls of `operation`.
  std::vector<Call> CallsOf(const std::string& operation) const;
  // Handles open now.
  size_t OpenHandles() const { return open_.size(); }
  bool IsFolder(const std::wstring& path) const;

 private:
  struct Open {
    std::wstring path;
    bool write = false;
    size_t position = 0;
  };
  int OpenStream(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle);
  bool Forced(const std::string& operation, int& result) const;
  // Recorded as `operation`: forgets `handle`.
  int EndHandle(const std::string& operation, unsigned int handle);
  void Record(const std::string& operation, std::vector<std::wstring> args);

  std::map<std::string, int> results_;
  std::map<unsigned int, Open> open_;
  unsigned int nextHandle_ = 100;
  unsigned int readChunk_ = 0;
  unsigned int writeChunk_ = 0;
};

}  // namespace zrtest
