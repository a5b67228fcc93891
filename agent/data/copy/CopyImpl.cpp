#include "agent/data/copy/CopyImpl.h"

#include <algorithm>
#include <new>
#include <type_traits>

#include "Tessarine.hh"
#include "ZavediDedozozuriz.hh"
#include "agent/data/copy/ProgressCounter.h"
#include "plugin-api/ErrorBoundary.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

namespace {

// A reader that keeps answering success with no bytes would spin for ever.
constexpr int kMaxEmptyReads = 1000;

bool NamesDeltaFilter(const ZavediDedozozuriz::ISettings& settings) {
  for (CORBA::ULong i = 0; i < settings.filters.length(); ++i) {
    const CORBA::WChar* entry = settings.filters[i].in();
    if (entry != nullptr && std::wstring(entry) == CCopyImpl::kDeltaFilterEntry) return true;
  }
  return false;
}

std::unique_ptr<IFileSystem> MakeTarget(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader,
                                        ZavediDedozozuriz::IDLBackupDataWrite_ptr targetWrite) {
  if (CORBA::is_nil(targetWrite)) return std::make_unique<CTargetLocalFS>(session, log, loader);
  return std::make_unique<CTargetRemoteFS>(session, log, targetWrite);
}

}  // namespace

CCopyImpl::CCopyImpl(const ZavediDedozozuriz::ISettings& settings, Tessarine::Session_ptr session, ILog* log,
                     Tessarine::OperationProgress_ptr progress, CExtensionLoader* loader,
                     ZavediDedozozuriz::IDLBackupDataWrite_ptr targetWrite)
    : CCopyImpl(settings, session, log, progress, loader, MakeTarget(session, log, loader, targetWrite)) {}

CCopyImpl::CCopyImpl(const ZavediDedozozuriz::ISettings& settings, Tessarine::Session_ptr session, ILog* log,
                     Tessarine::OperationProgress_ptr progress, CExtensionLoader* loader,
                     std::unique_ptr<IFileSystem> target)
    : log_(log),
      progress_(Tessarine::OperationProgress::_duplicate(progress)),
      source_(session, log, loader),
      target_(std::move(target)),
      dataStream_(target_.get(), settings, L"backup", session, log, loader, false),
      indexStream_(target_.get(), settings, L"index", session, log, loader, true),
      index_(log, &indexStream_),
      deltaFilter_(NamesDeltaFilter(settings)) {}

CCopyImpl::~CCopyImpl() = default;

void CCopyImpl::Log(const std::wstring& text) noexcept { WriteLogLine(log_, LogEvent::Error, text); }

int CCopyImpl::Missing() {
  Log(L"Missing StartCopying call");
  return kFailed;
}

int CCopyImpl::StartCopying(const std::wstring& root, bool withIndex) {
  try {
    buffer_.resize(kBufferSize);
  } catch (const std::bad_alloc&) {
    Log(L"Can't allocate memory for copy buffer");
    return kFailed;
  }
  started_ = true;
  int result = withIndex ? indexStream_.SetRoot(root) : kSuccess;
  if (result == kSuccess) result = dataStream_.SetRoot(root);
  if (result != kSuccess) started_ = false;
  return result;
}

int CCopyImpl::FinishCopying(bool withIndex) {
  int result = dataStream_.CommitTransaction();
  if (result == kSuccess && withIndex) result = indexStream_.CommitTransaction();
  std::vector<unsigned char>().swap(buffer_);
  started_ = false;
  return result;
}

int CCopyImpl::WriteAll(const Writer& write, const unsigned char* data, unsigned int size) {
  while (size > 0) {
    unsigned int taken = size;
    const int result = write(data, taken);
    if (result != kSuccess) return result;
    if (taken == 0) return kFailed;
    taken = std::min(taken, size);
    data += taken;
    size -= taken;
  }
  return kSuccess;
}

int CCopyImpl::Pump(const Reader& read, const Writer& write) {
  CProgressCounter progress(progress_.get());
  int emptyReads = 0;
  for (;;) {
    unsigned int size = static_cast<unsigned int>(buffer_.size());
    const int result = read(buffer_.data(), size);
    if (result == kHandleEof) return kSuccess;
    if (result != kSuccess) return result;
    size = std::min(size, static_cast<unsigned int>(buffer_.size()));
    if (size == 0) {
      if (++emptyReads >= kMaxEmptyReads) return kFailed;
      continue;
    }
    emptyReads = 0;
    const int written = WriteAll(write, buffer_.data(), size);
    if (written != kSuccess) return written;
    progress.Add(size);
  }
}

int CCopyImpl::ToBackup(unsigned int source, unsigned int stream) {
  const int copied =
      Pump([&](unsigned char* buffer, unsigned int& size) { return source_.ReadFile(buffer, size, source); },
           [&](const unsigned char* data, unsigned int& size) {
             return dataStream_.WriteFile(data, size, stream);
           });
  static_cast<void>(source_.CloseFile(source));
  if (copied != kSuccess) {
    AbandonStream(stream);
    return copied;
  }
  return dataStream_.CloseFile(stream);
}

// A database plug-in runs its restore at the close of the file it was
// given, so that close is where a restore fails: its result comes before
// the stream's. Both are closed whatever the copy gave, since an open handle
// keeps the plug-in's work folder and the stream's transaction alive.
int CCopyImpl::FromBackup(unsigned int stream, unsigned int source, bool sourceClosedFirst) {
  const int copied = Pump(
      [&](unsigned char* buffer, unsigned int& size) { return dataStream_.ReadFile(buffer, size, stream); },
      [&](const unsigned char* data, unsigned int& size) { return source_.WriteFile(data, size, source); });
  int sourceClosed;
  int streamClosed;
  if (sourceClosedFirst) {
    sourceClosed = source_.CloseFile(source);
    streamClosed = dataStream_.CloseFile(stream);
  } else {
    streamClosed = dataStream_.CloseFile(stream);
    sourceClosed = source_.CloseFile(source);
  }
  if (copied != kSuccess) return copied;
  if (sourceClosed != kSuccess) return sourceClosed;
  return streamClosed;
}

void CCopyImpl::AbandonStream(unsigned int handle) { static_cast<void>(dataStream_.AbortFile(handle)); }

void CCopyImpl::ExplainStoredPath(const std::wstring& storedPath) {
  const std::wstring& root = dataStream_.GetRoot();
  if (root.empty() || dataStream_.IsManyToOne() ||
      storedPath.compare(0, root.size() + 1, root + L"\\") == 0) {
    return;
  }
  Log(L"Can't open stored file '" + storedPath + L"': it does not begin with the copy root '" + root +
      L"', which only a many-to-one filter chain takes off");
}

int CCopyImpl::OpenStored(const std::wstring& storedPath, FileAccessMode::ID mode, unsigned int& stream,
                          const std::wstring& basePath) {
  const int result = basePath.empty() ? dataStream_.OpenFile(storedPath, mode, stream)
                                      : dataStream_.OpenFilePatch(basePath, storedPath, mode, stream);
  if (result != kSuccess) ExplainStoredPath(storedPath);
  return result;
}

int CCopyImpl::OpenPair(const std::wstring& pluginPath, const std::wstring& storedPath, bool toBackup,
                        unsigned int& source, unsigned int& stream) {
  if (toBackup) {
    int result = source_.OpenFile(pluginPath, FileAccessMode::Read, source);
    if (result != kSuccess) return result;
    result = OpenStored(storedPath, FileAccessMode::Write, stream);
    if (result != kSuccess) static_cast<void>(source_.CloseFile(source));
    return result;
  }
  int result = OpenStored(storedPath, FileAccessMode::Read, stream);
  if (result != kSuccess) return result;
  result = source_.OpenFile(pluginPath, FileAccessMode::Write, source);
  if (result != kSuccess) static_cast<void>(dataStream_.CloseFile(stream));
  return result;
}

int CCopyImpl::CopyFileToBackup(const std::wstring& pluginPath, const std::wstring& storedPath) {
  if (!started_) return Missing();
  unsigned int source = 0;
  unsigned int stream = 0;
  const int opened = OpenPair(pluginPath, storedPath, true, source, stream);
  if (opened != kSuccess) return opened;
  return ToBackup(source, stream);
}

// The stored file is opened first: a plug-in starts restoring at its write
// open, so it must not be opened for data that cannot be read.
int CCopyImpl::CopyFileFromBackup(const std::wstring& pluginPath, const std::wstring& storedPath) {
  if (!started_) return Missing();
  unsigned int source = 0;
  unsigned int stream = 0;
  const int opened = OpenPair(pluginPath, storedPath, false, source, stream);
  if (opened != kSuccess) return opened;
  return FromBackup(stream, source, false);
}

int CCopyImpl::CopyFileDiff(const std::wstring& pluginPath, const std::wstring& storedPath,
                            const std::wstring& basePath, bool toBackup) {
  if (!started_) return Missing();
  return deltaFilter_ ? DiffThroughFilter(pluginPath, storedPath, basePath, toBackup)
                      : DiffThroughSignature(pluginPath, storedPath, basePath, toBackup);
}

// The delta filter works against a base it has seen: the base is read
// through the chain once, with the filter linked in for this copy only,
// before the real pair is copied as a plain file.
int CCopyImpl::DiffThroughFilter(const std::wstring& pluginPath, const std::wstring& storedPath,
                                 const std::wstring& basePath, bool toBackup) {
  CDeltaFilterGuard guard(dataStream_);
  unsigned int base = 0;
  int result = dataStream_.OpenFile(basePath, FileAccessMode::Read, base);
  if (result != kSuccess) {
    Log(L"Can't open base file '" + basePath + L"'");
    return result;
  }
  // The filter takes the base in as it passes; the bytes are not needed here.
  do {
    unsigned int size = static_cast<unsigned int>(buffer_.size());
    result = dataStream_.ReadFile(buffer_.data(), size, base);
  } while (result == kSuccess);
  const int closed = dataStream_.CloseFile(base);
  if (result != kHandleEof) return result;
  if (closed != kSuccess) return closed;

  unsigned int source = 0;
  unsigned int stream = 0;
  const int opened = OpenPair(pluginPath, storedPath, toBackup, source, stream);
  if (opened != kSuccess) return opened;
  return toBackup ? ToBackup(source, stream) : FromBackup(stream, source, false);
}

// Without the delta filter the target builds the delta itself from the
// base's signature (a patch open). Unlike a plain copy, each side's open
// order protects something: see the two branches.
int CCopyImpl::DiffThroughSignature(const std::wstring& pluginPath, const std::wstring& storedPath,
                                    const std::wstring& basePath, bool toBackup) {
  unsigned int stream = 0;
  unsigned int source = 0;
  if (toBackup) {
    // The source first: a write open of the stored delta empties it.
    int result = source_.OpenFile(pluginPath, FileAccessMode::Read, source);
    if (result != kSuccess) {
      Log(L"Can't open source file '" + pluginPath + L"'");
      return result;
    }
    result = OpenStored(storedPath, FileAccessMode::Write, stream, basePath);
    if (result != kSuccess) {
      static_cast<void>(source_.CloseFile(source));
      return result;
    }
    return ToBackup(source, stream);
  }
  // The stored delta first: a restoring plug-in starts at its write open.
  int result = OpenStored(storedPath, FileAccessMode::Read, stream, basePath);
  if (result != kSuccess) return result;
  result = source_.OpenFile(pluginPath, FileAccessMode::Write, source);
  if (result != kSuccess) {
    Log(L"Can't open source file '" + pluginPath + L"'");
    static_cast<void>(dataStream_.CloseFile(stream));
    return result;
  }
  return FromBackup(stream, source, true);
}

// --- Write-side operations ---------------------------------------------------

CCopyImpl::Opener CCopyImpl::Side(bool plugin) const {
  if (plugin) return Opener::kSource;
  return started_ ? Opener::kStream : Opener::kTarget;
}

template <typename Op>
int CCopyImpl::Route(Opener side, Op&& op) {
  switch (side) {
    case Opener::kSource: return op(source_);
    case Opener::kStream: return op(dataStream_);
    case Opener::kTarget: return op(Target());
  }
  return kFailed;
}

template <typename Op>
int CCopyImpl::RouteView(bool plugin, bool index, Op&& op) {
  const Opener side = Side(plugin);
  if (index && side == Opener::kStream) return op(index_);
  return Route(side, op);
}

int CCopyImpl::BeginTransaction(bool plugin) {
  return plugin ? source_.BeginTransaction() : Target().BeginTransaction();
}

int CCopyImpl::CommitTransaction(bool plugin) {
  return plugin ? source_.CommitTransaction() : Target().CommitTransaction();
}

int CCopyImpl::SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes, bool plugin,
                                    bool index) {
  return RouteView(plugin, index, [&](auto& on) { return on.SetElementAttributes(path, attributes); });
}

int CCopyImpl::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes, bool plugin,
                                    bool index) {
  return RouteView(plugin, index, [&](auto& on) { return on.GetElementAttributes(path, attributes); });
}

bool CCopyImpl::IsPathExists(const std::wstring& path, bool plugin, bool index) {
  CFileAttributes attributes;
  return GetElementAttributes(path, attributes, plugin, index) == kSuccess;
}

int CCopyImpl::GetListing(const std::wstring& path, std::list<CFileInfo>& entries, bool plugin, bool index) {
  return RouteView(plugin, index, [&](auto& on) { return on.GetListing(path, entries); });
}

int CCopyImpl::CreateFolder(const std::wstring& path, bool plugin, bool index) {
  const Opener side = Side(plugin);
  int result = Route(side, [&](auto& on) { return on.CreateFolder(path); });
  if (result != kSuccess || side != Opener::kStream || !index) return result;
  result = index_.CreateFolder(path);
  if (result != kSuccess) static_cast<void>(dataStream_.DeleteFolder(path));
  return result;
}

int CCopyImpl::DeleteFolder(const std::wstring& path, bool plugin, bool index) {
  const Opener side = Side(plugin);
  int result = Route(side, [&](auto& on) { return on.DeleteFolder(path); });
  if (result == kSuccess && side == Opener::kStream && index) result = index_.DeleteFolder(path);
  return result;
}

int CCopyImpl::DeleteFile(const std::wstring& path, bool plugin, bool index) {
  const Opener side = Side(plugin);
  int result = Route(side, [&](auto& on) { return on.DeleteFile(path); });
  if (result == kSuccess && side == Opener::kStream && index) result = index_.DeleteFile(path);
  return result;
}

int CCopyImpl::SetRoot(const std::wstring& path, bool plugin) {
  return plugin ? source_.SetRootPath(path) : Target().SetRoot(path);
}

int CCopyImpl::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle, bool plugin,
                        Opener& opener) {
  opener = Side(plugin);
  return Route(opener, [&](auto& on) {
    // A plain open on the target: outside a copy no delta against the
    // stored file is sent.
    if constexpr (std::is_same_v<std::decay_t<decltype(on)>, IFileSystem>) {
      return on.OpenFile(path, mode, handle, false);
    } else {
      return on.OpenFile(path, mode, handle);
    }
  });
}

int CCopyImpl::ReadFile(unsigned char* buffer, unsigned int& size, unsigned int handle, Opener opener) {
  return Route(opener, [&](auto& on) { return on.ReadFile(buffer, size, handle); });
}

int CCopyImpl::WriteFile(const unsigned char* data, unsigned int& size, unsigned int handle, Opener opener) {
  return Route(opener, [&](auto& on) { return on.WriteFile(data, size, handle); });
}

int CCopyImpl::CloseFile(unsigned int handle, Opener opener) {
  return Route(opener, [&](auto& on) { return on.CloseFile(handle); });
}

}  // namespace zr
