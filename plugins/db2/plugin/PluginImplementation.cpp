#include "plugins/db2/plugin/PluginImplementation.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <new>
#include <vector>

#include "plugin-api/ErrorBoundary.h"
#include "plugin-api/ResultCodes.h"
#include "plugins/db2/admin/InInfo.h"
#include "plugins/db2/admin/Instance.h"
#include "plugins/db2/admin/PathRules.h"
#include "plugins/db2/admin/SqlInfo.h"
#include "plugins/db2/plugin/ImageReadAhead.h"
#include "plugins/db2/plugin/ImageWriteBehind.h"
#include "plugins/db2/plugin/Pipe.h"
#include "zrlib/strings/Strings.h"

using zr::kFailed;
using zr::kHandleEof;
using zr::kNotSupported;
using zr::kSuccess;
using ZRLib::strings::toAstr;
using ZRLib::strings::toWstr;
using ZRLib::strings::toWstrOrEscaped;

namespace {

constexpr unsigned int kHandle = 1;
constexpr unsigned int kChunk = 1024 * 1024;
constexpr unsigned int kMaxRead = 2 * 1024 * 1024;
constexpr unsigned int kPipeSize = 1024 * 1024;
constexpr unsigned int kFailedSize = 0xFFFFFFFF;

// The message text of a DB2 call without its line end.
std::wstring MessageLine(const char* message) {
  std::string text(message, strnlen(message, kDb2MessageSize));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return toWstrOrEscaped(text);
}

// Creates `folder` (parents as needed); false when it existed or cannot be made.
bool MakeFreshFolder(const std::string& folder) {
  std::error_code ec;
  const std::filesystem::path path(folder);
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  // The owner only: the folder holds a whole database image, whatever the umask.
  return ::mkdir(folder.c_str(), 0700) == 0;
}

// The first entry of `folder` other than "." and "..", or empty.
std::string FirstEntry(const std::string& folder) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return std::string();
  while (const dirent* entry = ::readdir(dir.get())) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) return entry->d_name;
  }
  return std::string();
}

// Deflate threads of a backup: the online CPUs, at most 8.
unsigned DeflateThreads() {
  constexpr long kMaxThreads = 8;
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<unsigned>(cpus < 1 ? 1 : cpus > kMaxThreads ? kMaxThreads : cpus);
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

}  // namespace

PluginImplementation::PluginImplementation(ILog* log, ILink* link)
    : log_(log), tempRoot_("/tmp/"), packer_(DeflateThreads()) {
  tempRoot_ = zr::Guard(nullptr, nullptr, std::string("/tmp/"), [link] {
    std::wstring value;
    if (link != nullptr) link->GetValue(L"WSTempPath", value);
    return db2::TempRootFromValue(value);
  });
}

PluginImplementation::~PluginImplementation() {
  zr::GuardVoid(nullptr, nullptr, [this] { Abort(); });
}

void PluginImplementation::LogWrite(LogEvent::ID level, const wchar_t* text) noexcept {
  // Logging is called from failure paths and the workers: a failing log
  // must not turn into a failure of the operation or end the process.
  zr::WriteLogLine(log_, level, text);
}

std::string PluginImplementation::FixPath(const std::string& path) {
  return "/" + ZRLib::strings::Replace(path, "\\", "/");
}

bool PluginImplementation::CreatePipeForZipData() {
  CloseZipDataPipe();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readFd_ = fds[0];
  writeFd_ = fds[1];
  // A larger pipe lets the worker run on while the caller is busy; the
  // system may grant less (its limit for a user), and the default pipe works.
  (void)::fcntl(writeFd_, F_SETPIPE_SZ, static_cast<int>(kPipeSize));
  // Straight to the descriptor: a wide stream would fix the orientation of
  // stderr for the whole process and silence the host's narrow output.
  char note[80];
  const int length =
      std::snprintf(note, sizeof(note), "Pipes Created: read = %d, write = %d\n", readFd_, writeFd_);
  if (length > 0) {
    const ssize_t ignored = ::write(STDERR_FILENO, note, static_cast<size_t>(length));
    (void)ignored;
  }
  return true;
}

void PluginImplementation::CloseZipDataPipe() {
  db2::CloseFd(writeFd_);
  db2::CloseFd(readFd_);
}

void PluginImplementation::FlushAndCloseZipDataPipeWriterEnd() { db2::CloseFd(writeFd_); }

void PluginImplementation::RemoveWorkFolder() {
  if (workFolder_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(workFolder_, ec);
}

void PluginImplementation::ResetState() {
  CloseZipDataPipe();
  archive_.reset();
  workFolder_.clear();
  backupFile_.clear();
  database_.clear();
  open_ = false;
  backupMode_ = false;
  endOfData_ = false;
}

void PluginImplementation::Abort() {
  if (worker_.joinable()) {
    // Closing the worker's peer end makes its next pipe call fail or see the
    // end, so the join cannot hang.
    if (backupMode_) {
      db2::CloseFd(readFd_);
    } else {
      archive_->End();
    }
    worker_.join();
  }
  if (open_) RemoveWorkFolder();
  ResetState();
}

// A database is not a file: DB2 writes or reads a whole image in a work
// folder, and a worker thread zips it into (or unzips it from) a pipe that
// the agent's reads and writes drain or fill. The open therefore makes the
// folder and the pipe and starts the worker (a backup runs the whole DB2
// backup here); whatever fails, the guard takes everything down again so
// the next open starts clean.
int PluginImplementation::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle) {
  const auto open = [&] {
    if (open_) {
      LogWrite(LogEvent::Error, L"A file is already open.");
      return kFailed;
    }
    if (mode != FileAccessMode::Read && mode != FileAccessMode::Write) return kFailed;
    backupFile_.clear();
    std::vector<std::string> fields;
    try {
      fields = ZRLib::strings::Split(toAstr(path), "\\");
    } catch (const std::bad_alloc&) {
      fields.clear();  // not convertible: refused below like any bad name
    }
    bool valid = fields.size() == 1 || fields.size() == 2;
    for (const std::string& field : fields) valid = valid && db2::IsDb2Name(field);
    if (!valid) {
      LogWrite(LogEvent::Error, L"Invalid path: " + path);
      return kFailed;
    }
    database_ = fields.back();
    workFolder_ = ZRLib::strings::Replace(
        tempRoot_ + "db2_" + std::to_string(static_cast<long long>(std::time(nullptr))) + "_" + database_,
        "\\", "/");
    if (!MakeFreshFolder(workFolder_)) {
      LogWrite(LogEvent::Error, L"Can't create temporary directory: " + toWstrOrEscaped(workFolder_));
      workFolder_.clear();
      database_.clear();
      return kFailed;
    }
    if (!CreatePipeForZipData()) {
      LogWrite(LogEvent::Error, L"Internal pipe creation failed.");
      RemoveWorkFolder();
      ResetState();
      return kFailed;
    }
    return mode == FileAccessMode::Write ? OpenRestore(handle) : OpenBackup(handle);
  };
  return zr::Guard(log_, L"Failed to open the database file.", kFailed, open, [this] {
    if (worker_.joinable()) Abort();
    RemoveWorkFolder();
    ResetState();
  });
}

int PluginImplementation::OpenRestore(unsigned int& handle) {
  backupMode_ = false;
  workerOk_ = false;
  workerFailed_ = false;
  archive_ = std::make_unique<db2::CArchiveHandoff>();
  worker_ = std::thread(&PluginImplementation::UnpackWorker, this);
  open_ = true;
  handle = kHandle;
  return kSuccess;
}

int PluginImplementation::OpenBackup(unsigned int& handle) {
  backupMode_ = true;
  char message[kDb2MessageSize] = {};
  InInfo info;
  if (info.Backup(database_.c_str(), workFolder_.c_str(), message) != 0) {
    RemoveWorkFolder();
    const std::wstring text = MessageLine(message);
    LogWrite(LogEvent::Error, text.empty() ? L"Backup of database " + toWstrOrEscaped(database_) + L" failed." : text);
    ResetState();
    return kFailed;
  }
  backupFile_ = FirstEntry(workFolder_);
  LogWrite(LogEvent::Warning, L"Found backup file: " + toWstrOrEscaped(backupFile_));
  if (backupFile_.empty()) {
    RemoveWorkFolder();
    LogWrite(LogEvent::Error, L"Database dump not found");
    ResetState();
    return kFailed;
  }
  if (readFd_ == -1 || writeFd_ == -1 || packer_.BeginTransaction(this) != kSuccess) {
    // The image stays in the work folder for the administrator.
    LogWrite(LogEvent::Error, L"Failed to initialize zip packer.");
    ResetState();
    return kFailed;
  }
  workerOk_ = false;
  worker_ = std::thread(&PluginImplementation::PackWorker, this);
  open_ = true;
  handle = kHandle;
  return kSuccess;
}

int PluginImplementation::ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  return zr::Guard(log_, nullptr, [&] {
    if (handle != kHandle || !open_ || !backupMode_ || readFd_ == -1) return kFailed;
    if (size == 0) return kSuccess;
    const ssize_t n = db2::ReadRetrying(readFd_, buffer, size);
    if (n < 0) return kFailed;
    if (n > 0) {
      size = static_cast<unsigned int>(n);
      return kSuccess;
    }
    // The worker closes its end last, so it is about to end.
    db2::CloseFd(readFd_);
    if (worker_.joinable()) worker_.join();
    size = 0;
    if (!workerOk_) return kFailed;
    endOfData_ = true;
    return kHandleEof;
  });
}

int PluginImplementation::SeekFile(const unsigned int&, const unsigned long long&) { return kNotSupported; }

int PluginImplementation::CloseFile(const unsigned int& handle) {
  return zr::Guard(
      log_, nullptr, kFailed,
      [&] {
        if (handle != kHandle || !open_) return kFailed;
        return backupMode_ ? CloseBackup() : CloseRestore();
      },
      [this] { Abort(); });
}

int PluginImplementation::CloseBackup() {
  const bool complete = endOfData_;
  if (!complete) {
    db2::CloseFd(readFd_);
    LogWrite(LogEvent::Warning, L"Backup stream closed before its end.");
  }
  if (worker_.joinable()) worker_.join();
  FlushAndCloseZipDataPipeWriterEnd();
  const bool ok = complete && workerOk_;
  RemoveWorkFolder();
  ResetState();
  return ok ? kSuccess : kFailed;
}

int PluginImplementation::CloseRestore() {
  archive_->End();
  if (worker_.joinable()) worker_.join();
  if (!workerOk_) {
    LogWrite(LogEvent::Error, L"The backup stream was incomplete or damaged; database " + toWstrOrEscaped(database_) +
                                  L" was not restored.");
    RemoveWorkFolder();
    ResetState();
    return kFailed;
  }
  char message[kDb2MessageSize] = {};
  InInfo info;
  if (info.Restore(database_.c_str(), workFolder_.c_str(), message) == 0) {
    RemoveWorkFolder();
    ResetState();
    return kSuccess;
  }
  const std::wstring text = MessageLine(message);
  if (!text.empty()) LogWrite(LogEvent::Error, text);
  LogWrite(LogEvent::Error, L"Failed to restore database " + toWstrOrEscaped(database_));
  LogWrite(LogEvent::Warning, L"Backup file is stored at\t: " + toWstrOrEscaped(workFolder_));
  ResetState();
  return kFailed;
}

int PluginImplementation::GetElementAttributes(const std::wstring&, CFileAttributes& attributes) {
  attributes.Mask &= ~(CFileAttributes::kMaskCreation | CFileAttributes::kMaskLastAccess |
                       CFileAttributes::kMaskModification | CFileAttributes::kMaskSize);
  attributes.Type = CFileAttributes::kTypeNormal;
  return kSuccess;
}

int PluginImplementation::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  // Whatever fails, the listing succeeds with what was found.
  return zr::Guard(log_, nullptr, kSuccess, [&] {
    InInfo info;
    if (path.empty()) {
      char name[16] = {};
      if (info.CurrentLocalInstanceNameGet(name) == 0 && name[0] != '\0') {
        entries.emplace_back(toWstr(name), CFileAttributes(0, 0, 0, 0, CFileAttributes::kTypeDirectory, 0));
      }
      return kSuccess;
    }
    const std::string instanceName = toAstr(path);
    Instance instance;
    if (!db2::IsDb2Name(instanceName) || !instance.setInstance(instanceName.c_str(), "", "")) {
      LogWrite(LogEvent::Error, L"Invalid path: " + path);
      return kSuccess;
    }
    // Without the attachment the directory would be another instance's.
    if (instance.Attach() != 0) return kSuccess;
    std::vector<std::string> aliases;
    (void)info.ListLocalDatabases(aliases);
    (void)instance.Detach();
    for (const std::string& alias : aliases) {
      entries.emplace_back(toWstr(alias), CFileAttributes(0, 0, 0, 0, CFileAttributes::kTypeNormal, 0));
    }
    return kSuccess;
  });
}

void PluginImplementation::OnStop() {}

int PluginImplementation::WriteFile(const unsigned char* data, unsigned int& size,
                                    const unsigned int& handle) {
  const bool written = zr::Guard(log_, nullptr, false, [&] {
    if (handle != kHandle || !open_ || backupMode_ || !archive_ || workerFailed_) return false;
    archive_->Give(data, size);
    return true;
  });
  if (written) return kSuccess;
  LogWrite(LogEvent::Error, L"Error occurred while writing the file");
  size = kFailedSize;
  return kFailed;
}

int PluginImplementation::SetElementAttributes(const std::wstring&, const CFileAttributes&) {
  return kSuccess;
}
int PluginImplementation::CreateFolder(const std::wstring&) { return kSuccess; }
int PluginImplementation::DeleteFolder(const std::wstring&) { return kSuccess; }
int PluginImplementation::DeleteFile(const std::wstring&) { return kSuccess; }
int PluginImplementation::MoveFile(const std::wstring&, const std::wstring&) { return kNotSupported; }
int PluginImplementation::BeginTransaction() { return kSuccess; }
int PluginImplementation::CommitTransaction() { return kSuccess; }

int PluginImplementation::Write(const unsigned char* data, unsigned int& size) {
  if (writeFd_ == -1) {
    size = kFailedSize;
    return kFailed;
  }
  const ssize_t n = db2::WriteNoSigpipe(writeFd_, data, size);
  if (n <= 0) {
    size = kFailedSize;
    return kFailed;
  }
  size = static_cast<unsigned int>(n);
  return kSuccess;
}

int PluginImplementation::Read(unsigned char* buffer, unsigned int& size) {
  if (!archive_) return kFailed;
  if (size == 0) return kSuccess;  // a read of nothing is not the end of the stream
  size = static_cast<unsigned int>(archive_->Take(buffer, size < kMaxRead ? size : kMaxRead));
  return size == 0 ? kHandleEof : kSuccess;
}

void PluginImplementation::PackWorker() {
  db2::BlockSigpipeInThisThread();
  workerOk_ = zr::Guard(log_, L"Packing failed.", false, [this] { return Pack(); });
  // The reader sees the end of data only after the result is stored.
  FlushAndCloseZipDataPipeWriterEnd();
}

bool PluginImplementation::Pack() {
  if (backupFile_.empty()) return false;
  const std::string fullPath = workFolder_ + "/" + backupFile_;
  LogWrite(LogEvent::Info, L"Packing file: " + toWstrOrEscaped(fullPath));
  bool ok = true;
  if (packer_.PrepareTransform(toWstr(backupFile_), true) != kSuccess) {
    LogWrite(LogEvent::Error, L"Packing failed on prepare stage.");
    ok = false;
  } else if (UniqueFile image{std::fopen(fullPath.c_str(), "rb")}; !image) {
    LogWrite(LogEvent::Error, L"Can't open file for packing. Path: " + toWstrOrEscaped(fullPath));
    ok = false;
  } else {
    // Reading and the CRC run on the read-ahead thread; this one only deflates.
    db2::CImageReadAhead pieces(image.get(), kChunk);
    for (;;) {
      db2::CImageReadAhead::Piece piece;
      const int next = pieces.Next(piece);
      if (next <= 0) {
        if (next < 0) {
          LogWrite(LogEvent::Error, L"Can't read file for packing. Path: " + toWstrOrEscaped(fullPath));
          ok = false;
        }
        break;
      }
      unsigned int count = piece.size;
      if (packer_.DirectTransformWithCrc(piece.data, count, piece.crc) != kSuccess) {
        LogWrite(LogEvent::Error, L"Packing failed.");
        ok = false;
        break;
      }
    }
  }
  const int finished = packer_.FinishTransform();
  const int committed = packer_.CommitTransaction();
  return ok && finished == kSuccess && committed == kSuccess;
}

void PluginImplementation::UnpackWorker() {
  db2::BlockSigpipeInThisThread();
  const bool ok = zr::Guard(log_, L"Could'not extract backup file", false, [this] { return Unpack(); });
  unpacker_.CloseZip();
  workerOk_ = ok;
  // Later writes of the caller fail at once; discarding releases a write
  // that waits now, and drops the archive's records after the entry.
  if (!ok) workerFailed_ = true;
  archive_->Discard();
}

bool PluginImplementation::Unpack() {
  // The write-behind thread takes the CRC; this one only inflates.
  unpacker_.LeaveCrcToCaller(true);
  if (unpacker_.OpenZip(this) != kSuccess || readFd_ == -1) {
    LogWrite(LogEvent::Error, L"Zip Unpacking not initialized");
    return false;
  }
  ZipFileHeader* header = nullptr;
  if (unpacker_.OpenCurrentFile(header) != kSuccess || header == nullptr) {
    LogWrite(LogEvent::Error, L"Could'not extract backup file");
    return false;
  }
  const std::string name = header->name;
  if (!db2::IsSafeFileName(name)) {
    LogWrite(LogEvent::Error, L"Invalid file name in the backup stream: " + toWstrOrEscaped(name));
    return false;
  }
  backupFile_ = name;
  const std::string fullPath = workFolder_ + "/" + name;
  LogWrite(LogEvent::Warning, L"Extracting file: " + toWstrOrEscaped(fullPath));
  const int fd = ::open(fullPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  UniqueFile out{fd == -1 ? nullptr : ::fdopen(fd, "wb")};
  if (!out) {
    if (fd != -1) ::close(fd);
    LogWrite(LogEvent::Error, L"Can't open file for writing:" + toWstrOrEscaped(fullPath));
    return false;
  }
  {
    // Writing and the CRC run on the write-behind thread; this one only inflates.
    db2::CImageWriteBehind image(out.get(), kChunk);
    for (;;) {
      unsigned char* buffer = image.Buffer();
      if (buffer == nullptr) {
        LogWrite(LogEvent::Error, L"Can't write file: " + toWstrOrEscaped(fullPath));
        return false;
      }
      unsigned int size = kChunk;
      const int result = unpacker_.ReadFile(buffer, size);
      if (result == kHandleEof) break;
      if (result != kSuccess) {
        LogWrite(LogEvent::Error, L"Could'not extract backup file");
        return false;
      }
      if (size > 0) image.Queue(size);
    }
    if (!image.Finish()) {
      LogWrite(LogEvent::Error, L"Can't write file: " + toWstrOrEscaped(fullPath));
      return false;
    }
    // Before the worker reports success, so no restore runs on bad data.
    if (unpacker_.VerifyCrc(image.Crc()) != kSuccess) {
      LogWrite(LogEvent::Error, L"Could'not extract backup file");
      return false;
    }
  }
  unpacker_.CloseFile();
  if (std::fclose(out.release()) != 0) {
    LogWrite(LogEvent::Error, L"Can't write file: " + toWstrOrEscaped(fullPath));
    return false;
  }
  return true;
}
