#include "plugins/db2/zip/ZipArchiveFilter.h"

#include <cstdint>
#include <ctime>
#include <cwchar>
#include <exception>
#include <memory>
#include <vector>

#include "plugin-api/ResultCodes.h"
#include "zrlib/filesystem/FileSystem.h"
#include "zrlib/strings/Strings.h"

namespace zipfilter {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// Consecutive empty successful reads tolerated from the next filter.
constexpr int kMaxEmptyReads = 16;

FILE* OpenFile(const std::wstring& path, const char* mode) {
  return std::fopen(ZRLib::strings::toAstr(path).c_str(), mode);
}

void RemoveFile(const std::wstring& path) {
  try {
    std::remove(ZRLib::strings::toAstr(path).c_str());
  } catch (const std::exception&) {
    // Nothing to remove that a narrow name could reach.
  }
}

// A destination name that stays one file inside the temporary folder.
std::wstring SafeFileName(std::wstring name) {
  for (wchar_t& c : name) {
    if (c == L'/' || c == L'\\' || c == L'\0') c = L'_';
  }
  if (name.empty() || name == L"." || name == L"..") name = L"_" + name;
  return name;
}

// A folder below root that does not exist yet, created; empty on failure.
std::wstring CreateUniqueFolder(std::wstring root, const void* identity) {
  // Agent paths use "\\" as separator; the link ends the folder with one.
  for (wchar_t& c : root) {
    if (c == L'\\') c = L'/';
  }
  if (root.empty()) root = ZRLib::filesystem::GetTempFolderPath();
  if (root.back() != L'/') root += L'/';
  wchar_t id[64];
  std::swprintf(id, sizeof(id) / sizeof(id[0]), L"ZR%lld_%llx", static_cast<long long>(std::time(nullptr)),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(identity)));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring folder = root + id;
    if (attempt != 0) folder += L"_" + std::to_wstring(attempt);
    if (ZRLib::filesystem::IsFolderExists(folder.c_str()) ||
        ZRLib::filesystem::IsFileExists(folder.c_str())) {
      continue;
    }
    if (ZRLib::filesystem::CreateFolder(folder)) return folder + L"/";
    return std::wstring();
  }
  return std::wstring();
}

}  // namespace

CFilter::CFilter(ILog* log, ILink* link) : PluginBase(log) {
  try {
    std::wstring root;
    if (link != nullptr) {
      link->GetValue(L"FileExtension", fileExtension_);
      link->GetValue(L"DstFile", destinationName_);
      link->GetValue(L"WSTempPath", root);
    }
    newName_ = destinationName_ + L"_new";
    tempFolder_ = CreateUniqueFolder(root, this);
    if (tempFolder_.empty()) {
      LogWrite(LogEvent::Error, L"Can't create temporary directory in '%ls'", root.c_str());
    }
    destinationPath_ = tempFolder_ + SafeFileName(destinationName_);
    newDestinationPath_ = tempFolder_ + SafeFileName(newName_);
  } catch (const std::exception& e) {
    tempFolder_.clear();
    LogException("CFilter", e.what());
  } catch (...) {
    tempFolder_.clear();
    LogException("CFilter", "unknown exception");
  }
}

CFilter::~CFilter() {
  try {
    CloseOutput();
    reader_.CloseZip();
    if (!tempFolder_.empty()) ZRLib::filesystem::DeleteNonEmptyFolder(tempFolder_);
  } catch (...) {
    // Nothing may leave a destructor.
  }
}

const wchar_t* CFilter::GetFileExtension() const { return fileExtension_.c_str(); }

bool CFilter::IsManyToOne() const { return true; }

// Every operation runs through this guard, so no exception leaves the filter.
template <typename Body>
int CFilter::Guarded(const char* operation, Body body) {
  try {
    return body();
  } catch (const std::exception& e) {
    LogException(operation, e.what());
  } catch (...) {
    LogException(operation, "unknown exception");
  }
  return zr::kFailed;
}

int CFilter::BeginTransaction(const unsigned int& handle) {
  return Guarded("BeginTransaction", [&] { return DoBeginTransaction(handle); });
}

int CFilter::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  return Guarded("GetListing", [&] { return DoGetListing(path, entries); });
}

int CFilter::PrepareTransform(const std::wstring& name, bool forward, const unsigned int& handle) {
  return Guarded("PrepareTransform", [&] { return DoPrepareTransform(name, forward, handle); });
}

int CFilter::DirectTransform(const unsigned char* data, unsigned int& size, const unsigned int&) {
  return Guarded("DirectTransform", [&] {
    if (!forward_) {
      size = 0;
      return zr::kFailed;
    }
    const int result = writer_.DirectTransform(data, size);
    if (result != zr::kSuccess) failed_ = true;
    return result;
  });
}

int CFilter::ReverseTransform(unsigned char* buffer, unsigned int& size, const unsigned int&) {
  return Guarded("ReverseTransform", [&] { return reader_.ReadFile(buffer, size); });
}

int CFilter::FinishTransform(const unsigned int&) {
  return Guarded("FinishTransform", [&] {
    if (!forward_) return reader_.CloseFile();
    const int result = writer_.FinishTransform();
    if (result != zr::kSuccess) failed_ = true;
    return result;
  });
}

int CFilter::CommitTransaction(const unsigned int& handle) {
  return Guarded("CommitTransaction", [&] { return DoCommitTransaction(handle); });
}

int CFilter::Write(const unsigned char* data, unsigned int& size) {
  if (output_ == nullptr || data == nullptr) {
    size = 0;
    return zr::kFailed;
  }
  const unsigned int asked = size;
  size = static_cast<unsigned int>(std::fwrite(data, 1, asked, output_));
  return size < asked ? zr::kFailed : zr::kSuccess;
}

int CFilter::DoBeginTransaction(const unsigned int& handle) {
  forward_ = false;
  failed_ = false;
  readerPath_.clear();
  reader_.CloseZip();
  // Leftovers of a transaction that never committed.
  CloseOutput();
  if (tempFolder_.empty()) {
    LogWrite(LogEvent::Error, L"Zip filter has no temporary folder");
    return zr::kFailed;
  }
  RemoveFile(newDestinationPath_);
  RemoveFile(destinationPath_);
  currentName_ = tempFolder_ + kArchiveName;
  if (m_next == nullptr) {
    LogWrite(LogEvent::Error, L"Zip filter has no next filter");
    return zr::kFailed;
  }
  int result = m_next->BeginTransaction(handle);
  if (result == zr::kSuccess) result = writer_.BeginTransaction(this);
  if (result == zr::kSuccess && handle != 0) {
    bool found = false;
    result = FetchArchive(handle, found);
  }
  return result;
}

int CFilter::DoGetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  int result = OpenReader();
  if (result != zr::kSuccess) return result;
  std::list<ZipFileInfo> items;
  result = reader_.GetListing(path, items);
  if (result != zr::kSuccess) return result;
  for (const ZipFileInfo& item : items) {
    std::wstring name = item.name;
    uint32_t type = CFileAttributes::kTypeNormal;
    if (!name.empty() && name.back() == L'/') {
      name.pop_back();
      type = CFileAttributes::kTypeDirectory;
    }
    entries.emplace_back(name,
                         CFileAttributes(0, 0, 0, item.uncompressedSize, type, CFileAttributes::kMaskSize));
  }
  return zr::kSuccess;
}

int CFilter::DoPrepareTransform(const std::wstring& name, bool forward, const unsigned int&) {
  forward_ = forward;
  if (tempFolder_.empty()) return zr::kFailed;
  if (!forward) {
    const int result = OpenReader();
    if (result != zr::kSuccess) return result;
    currentName_ = name;
    return reader_.OpenFile(name.c_str(), false);
  }
  currentName_.clear();
  if (output_ == nullptr) {
    output_ = OpenFile(newDestinationPath_, "wb");
    if (output_ == nullptr) {
      LogWrite(LogEvent::Error, L"Can't create temporary file '%ls'", newDestinationPath_.c_str());
      failed_ = true;
      return zr::kFailed;
    }
  }
  const int result = writer_.PrepareTransform(name, true);
  if (result != zr::kSuccess) failed_ = true;
  return result;
}

// The whole archive is sent only now, at commit: its central directory is
// known only when every entry has been written, and an archive fetched at
// begin must first give up the entries this transaction did not rewrite.
// The next filter commits on every path so that its transaction never stays
// open, but a failure here wins over its answer.
int CFilter::DoCommitTransaction(const unsigned int& handle) {
  if (m_next == nullptr) return zr::kFailed;
  if (!forward_) {
    reader_.CloseZip();
    readerPath_.clear();
    RemoveFile(destinationPath_);
    return m_next->CommitTransaction(handle);
  }

  int result = failed_ ? zr::kFailed : zr::kSuccess;
  if (result == zr::kSuccess && ZRLib::filesystem::IsFileExists(destinationPath_.c_str())) {
    result = writer_.CopyMissingFilesFromExistingArchive(destinationPath_.c_str());
    if (result != zr::kSuccess) {
      LogWrite(LogEvent::Error, L"Can't copy the entries of the stored archive '%ls'",
               destinationPath_.c_str());
    }
  }
  if (result == zr::kSuccess) result = writer_.CommitTransaction();
  if (result != zr::kSuccess) {
    LogWrite(LogEvent::Error, L"Can't complete temporary archive '%ls'", newDestinationPath_.c_str());
  }
  if (CloseOutput() != zr::kSuccess && result == zr::kSuccess) {
    LogWrite(LogEvent::Error, L"Can't write temporary file '%ls'", newDestinationPath_.c_str());
    result = zr::kFailed;
  }
  if (result == zr::kSuccess) result = SendNewArchive(handle);
  forward_ = false;
  RemoveFile(newDestinationPath_);
  RemoveFile(destinationPath_);
  const int next = m_next->CommitTransaction(handle);
  return result != zr::kSuccess ? result : next;
}

int CFilter::SendNewArchive(const unsigned int& handle) {
  FileHandle file(OpenFile(newDestinationPath_, "rb"));
  if (!file) {
    LogWrite(LogEvent::Error, L"Can't open temporary file '%ls'", newDestinationPath_.c_str());
    return zr::kFailed;
  }
  int result = m_next->PrepareTransform(newDestinationPath_, forward_, handle);
  if (result != zr::kSuccess) return result;
  std::vector<unsigned char> chunk(kChunkSize);
  for (;;) {
    const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file.get());
    if (n == 0) {
      if (std::ferror(file.get()) != 0) {
        LogWrite(LogEvent::Error, L"Can't read temporary file '%ls'", newDestinationPath_.c_str());
        return zr::kFailed;
      }
      break;
    }
    std::size_t sent = 0;
    while (sent < n) {
      const unsigned int offered = static_cast<unsigned int>(n - sent);
      unsigned int size = offered;
      result = m_next->DirectTransform(chunk.data() + sent, size, handle);
      if (result != zr::kSuccess) return result;
      if (size == 0 || size > offered) return zr::kFailed;
      sent += size;
    }
  }
  return m_next->FinishTransform(handle);
}

int CFilter::FetchArchive(const unsigned int& handle, bool& found) {
  found = false;
  FileHandle file(OpenFile(destinationPath_, "wb"));
  if (!file) {
    LogWrite(LogEvent::Error, L"Can't create temporary file '%ls'", destinationPath_.c_str());
    return zr::kFailed;
  }
  const int prepared = m_next->PrepareTransform(currentName_, forward_, handle);
  if (prepared != zr::kSuccess) {
    file.reset();
    RemoveFile(destinationPath_);
    // Only "not found" means nothing is stored yet. Any other failure would let
    // the commit replace the stored archive by one without its old entries.
    if (prepared == zr::kPathNotFound) return zr::kSuccess;
    LogWrite(LogEvent::Error, L"Can't fetch the stored archive '%ls'", currentName_.c_str());
    return prepared;
  }
  std::vector<unsigned char> chunk(kChunkSize);
  uint64_t total = 0;
  int result = zr::kSuccess;
  int empty = 0;
  for (;;) {
    unsigned int size = kChunkSize;
    const int read = m_next->ReverseTransform(chunk.data(), size, handle);
    if (read != zr::kSuccess && read != zr::kHandleEof) {
      result = read;
      break;
    }
    if (size > kChunkSize) {
      result = zr::kFailed;
      break;
    }
    if (size > 0 && std::fwrite(chunk.data(), 1, size, file.get()) != size) {
      LogWrite(LogEvent::Error, L"Can't write temporary file '%ls'", destinationPath_.c_str());
      result = zr::kFailed;
      break;
    }
    total += size;
    if (read == zr::kHandleEof) break;
    empty = size == 0 ? empty + 1 : 0;
    if (empty > kMaxEmptyReads) {
      result = zr::kFailed;
      break;
    }
  }
  const int finished = m_next->FinishTransform(handle);
  if (result == zr::kSuccess) result = finished;
  if (std::fclose(file.release()) != 0 && result == zr::kSuccess) {
    LogWrite(LogEvent::Error, L"Can't write temporary file '%ls'", destinationPath_.c_str());
    result = zr::kFailed;
  }
  if (result != zr::kSuccess || total == 0) RemoveFile(destinationPath_);
  if (result != zr::kSuccess) {
    LogWrite(LogEvent::Error, L"Can't fetch the stored archive '%ls'", currentName_.c_str());
    return result;
  }
  found = total != 0;
  return zr::kSuccess;
}

int CFilter::OpenReader() {
  if (readerPath_ == destinationPath_ && reader_.IsOpen()) return zr::kSuccess;
  readerPath_.clear();
  const int result = reader_.OpenZip(destinationPath_.c_str());
  if (result == zr::kSuccess) readerPath_ = destinationPath_;
  return result;
}

int CFilter::CloseOutput() {
  if (output_ == nullptr) return zr::kSuccess;
  const int result = std::fclose(output_) == 0 ? zr::kSuccess : zr::kFailed;
  output_ = nullptr;
  return result;
}

void CFilter::LogException(const char* operation, const char* what) {
  // Also reached when the log itself threw: nothing may leave the guard.
  try {
    LogWrite(LogEvent::Error, L"Zip filter: %s failed: %s", operation, what);
  } catch (...) {
  }
}

}  // namespace zipfilter
