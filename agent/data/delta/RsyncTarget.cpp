#include "agent/data/delta/RsyncTarget.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>

#include "agent/data/delta/RsyncWrapper.h"
#include "plugin-api/ErrorBoundary.h"
#include "plugin-api/ResultCodes.h"

namespace zr {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// What one step of a hand-off loop found.
enum class Step { kCopied, kWait, kEnded };

unsigned int Clamp(std::size_t size) {
  return static_cast<unsigned int>(std::min<std::size_t>(size, CRsyncWrapper::kBufferLength));
}

}  // namespace

CRsyncTarget::CRsyncTarget(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader,
                           const CSettings* settings)
    : Broker(session, log, loader),
      settings_(settings != nullptr ? settings : CSettings::Instance()),
      // Seeded once: names drawn within one second differ.
      temporaryNames_(static_cast<std::minstd_rand::result_type>(
          std::chrono::high_resolution_clock::now().time_since_epoch().count() ^
          reinterpret_cast<std::uintptr_t>(this))) {}

CRsyncTarget::~CRsyncTarget() {
  if (signature_.open) {
    Abandon(signature_.sync, signature_.state);
    CloseQuietly(signature_.handle);
    signature_.open = false;
  }
  if (patch_.open) {
    Abandon(patch_.sync, patch_.state);
    CloseQuietly(patch_.baseHandle);
    CloseQuietly(patch_.destinationHandle);
    if (!patch_.temporaryPath.empty()) static_cast<void>(Broker::DeleteFile(patch_.temporaryPath));
    patch_.open = false;
  }
}

void CRsyncTarget::LogError(const wchar_t* text) { WriteLogLine(GetLog(), LogEvent::Error, text); }

void CRsyncTarget::Announce(const char* line) { CThreadSync::Print(line); }

void CRsyncTarget::CloseQuietly(unsigned int handle) {
  Lock lock(brokerMutex_);
  static_cast<void>(Broker::CloseFile(handle));
}

bool CRsyncTarget::Abandon(CThreadSync& sync, HandOff& state) {
  const bool ended = sync.Locked([&] { return state.done; });
  sync.Cancel();
  sync.Join();
  return ended;
}

bool CRsyncTarget::WouldSwitch(const std::wstring& path) {
  if (!JobOpen()) return false;
  const std::wstring joined = Join(path);
  return !joined.empty() && GetLoader().FindCurrentInstance(joined) == nullptr;
}

// ---- signature reading -------------------------------------------------

int CRsyncTarget::OpenFileSignature(const std::wstring& path, unsigned int& handle) {
  if (path.empty()) return kPathNotFound;
  unsigned int opened = 0;
  {
    Lock lock(brokerMutex_);
    if (signature_.open || WouldSwitch(path)) return kFailed;
    const int result = Broker::OpenFile(path, FileAccessMode::Read, opened);
    if (result != kSuccess) {
      LogError(L"Failed to open target file for signature reading");
      return result;
    }
    signature_.handle = opened;
    signature_.open = true;
  }
  signature_.sync.Locked([this] { signature_.state.Reset(); });
  Announce("Startint thread\t\t'Signature reading'\n");
  if (!signature_.sync.StartThread(&SignatureWorker, this)) {
    signature_.sync.Locked([this] { signature_.state.done = true; });
    LogError(L"Can't start thread for the file signature reading");
    Lock lock(brokerMutex_);
    signature_.open = false;
    CloseQuietly(opened);
    return kFailed;
  }
  handle = opened;
  return kSuccess;
}

void CRsyncTarget::SignatureWorker(void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  CThreadSync& sync = self.signature_.sync;
  int result = kFailed;
  try {
    CRsyncWrapper wrapper;
    result = wrapper.MakeSignature(&self, &ReadSignatureInput, &self, &WriteSignature);
  } catch (...) {
    result = kFailed;
  }
  try {
    const bool failed = sync.Locked([&] { return self.signature_.state.error; }) || result != 0;
    // A job abandoned by its caller is no error of its own.
    if (failed && !sync.IsCancelled())
      self.LogError(L"Error occured, while getting destination file signature");
    sync.Locked([&] {
      self.signature_.state.done = true;
      self.signature_.state.error = failed;
    });
    sync.NotifyReader();
  } catch (...) {
  }
  sync.NotifyThreadTermination();
}

std::size_t CRsyncTarget::ReadInput(CThreadSync& sync, unsigned int handle, unsigned char* buffer,
                                    std::size_t capacity, int& result) {
  result = kHandleEof;
  if (sync.IsCancelled()) return 0;
  unsigned int size = Clamp(capacity);
  {
    Lock lock(brokerMutex_);
    result = Broker::ReadFile(buffer, size, handle);
  }
  return result == kSuccess ? std::min<std::size_t>(size, capacity) : 0;
}

std::size_t CRsyncTarget::ReadSignatureInput(unsigned char* buffer, std::size_t capacity, void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  int result = kSuccess;
  const std::size_t read = self.ReadInput(self.signature_.sync, self.signature_.handle, buffer, capacity, result);
  if (result != kSuccess && result != kHandleEof) {
    self.signature_.sync.Locked([&] { self.signature_.state.error = true; });
  }
  return read;
}

std::size_t CRsyncTarget::WriteSignature(const unsigned char* data, std::size_t length, void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  return HandOver(self.signature_.sync, self.signature_.state, data, length);
}

std::size_t CRsyncTarget::HandOver(CThreadSync& sync, HandOff& state, const unsigned char* data,
                                   std::size_t length) {
  std::size_t copied = 0;
  while (copied < length) {
    bool full = false;
    const Step step = sync.Locked([&] {
      if (state.buffer == nullptr || state.filled >= state.capacity) return Step::kWait;
      const std::size_t n = std::min<std::size_t>(length - copied, state.capacity - state.filled);
      std::memcpy(state.buffer + state.filled, data + copied, n);
      state.filled += static_cast<std::uint32_t>(n);
      copied += n;
      full = state.filled == state.capacity;
      return Step::kCopied;
    });
    if (step == Step::kCopied) {
      if (full) sync.NotifyReader();
    } else if (!sync.WaitForReader()) {
      break;  // the caller abandoned the job
    }
  }
  return copied;
}

int CRsyncTarget::TakeOutput(CThreadSync& sync, HandOff& state, unsigned char* buffer, unsigned int& size) {
  // A buffer with no room would never be handed back.
  if (size == 0) return kSuccess;
  const bool done = sync.Locked([&] {
    state.buffer = buffer;
    state.capacity = size;
    state.filled = 0;
    return state.done;
  });
  if (!done) {
    sync.NotifyWriter();
    static_cast<void>(sync.WaitForWriter());
  }
  std::uint32_t filled = 0;
  bool ended = false;
  bool failed = false;
  sync.Locked([&] {
    filled = state.filled;
    ended = state.done;
    failed = state.error;
    state.buffer = nullptr;
    state.capacity = 0;
    state.filled = 0;
  });
  if (failed) return kFailed;
  if (filled == 0) return ended ? kHandleEof : kFailed;
  size = filled;
  return kSuccess;
}

int CRsyncTarget::CloseSignature() {
  const bool ended = Abandon(signature_.sync, signature_.state);
  const bool failed = signature_.sync.Locked([this] { return signature_.state.error; });
  Lock lock(brokerMutex_);
  const int result = Broker::CloseFile(signature_.handle);
  signature_.open = false;
  signature_.sync.Locked([this] { signature_.state.Reset(); });
  return !ended || failed ? kFailed : result;
}

// ---- patching and patch reading ---------------------------------------------

bool CRsyncTarget::DeltaAllowed(const std::wstring& basePath) {
  if (settings_ == nullptr || !settings_->GetUseDeltaCopying()) return false;
  const std::wstring& holder = GetRootPath().empty() ? basePath : GetRootPath();
  CExtensionLoader* extensions = GetLoader().GetExtensionLoader();
  if (extensions == nullptr) return false;
  const CPluginEntry* entry = extensions->FindPlugin(holder.substr(0, holder.find(L'\\')));
  // The patch job seeks in the base file; a rebuilt file replaces its
  // original by a move.
  return entry != nullptr && entry->IsSeekSupported() && entry->IsMoveSupported();
}

std::wstring CRsyncTarget::TemporaryPath(const std::wstring& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::wstring candidate = path + L"." + std::to_wstring(temporaryNames_() % 1000);
    CFileAttributes attributes;
    if (Broker::GetElementAttributes(candidate, attributes) != kSuccess) return candidate;
  }
  return std::wstring();
}

int CRsyncTarget::OpenFilePatching(const std::wstring& basePath, const std::wstring& path,
                                   unsigned int& handle) {
  if (basePath.empty() || path.empty()) return kPathNotFound;
  {
    Lock lock(brokerMutex_);
    if (patch_.open) return kFailed;
    if (!DeltaAllowed(basePath)) return kNotSupported;
    if (WouldSwitch(basePath) || WouldSwitch(path)) return kFailed;
    patch_.readMode = false;
    patch_.basePath = basePath;
    patch_.path = path;
    patch_.temporaryPath.clear();
    int result = Broker::OpenFile(basePath, FileAccessMode::Read, patch_.baseHandle);
    if (result != kSuccess) return result;
    // Base and result must live on one plug-in object: opening the result
    // elsewhere would release the object that holds the base.
    if (GetLoader().FindCurrentInstance(Join(path)) == nullptr) {
      CloseQuietly(patch_.baseHandle);
      return kNotSupported;
    }
    // Also for another path: writing `path` itself would truncate it before
    // the delta is known to be good.
    patch_.temporaryPath = TemporaryPath(path);
    if (patch_.temporaryPath.empty()) {
      LogError(L"Fatal error occurred while getting temporary file attributes");
      CloseQuietly(patch_.baseHandle);
      return kFailed;
    }
    result = Broker::OpenFile(patch_.temporaryPath, FileAccessMode::Write, patch_.destinationHandle);
    if (result != kSuccess) {
      CloseQuietly(patch_.baseHandle);
      return result;
    }
    patch_.open = true;
  }
  return StartPatchWorker("Startint thread\t\t'PatchThread'\n", handle);
}

int CRsyncTarget::OpenFilePatch(const std::wstring& basePath, const std::wstring& deltaPath,
                                unsigned int& handle) {
  if (basePath.empty() || deltaPath.empty()) return kPathNotFound;
  {
    Lock lock(brokerMutex_);
    if (patch_.open || WouldSwitch(basePath) || WouldSwitch(deltaPath)) return kFailed;
    patch_.readMode = true;
    patch_.basePath = basePath;
    patch_.path = deltaPath;
    patch_.temporaryPath.clear();
    int result = Broker::OpenFile(basePath, FileAccessMode::Read, patch_.baseHandle);
    if (result != kSuccess) return result;
    if (GetLoader().FindCurrentInstance(Join(deltaPath)) == nullptr) {
      CloseQuietly(patch_.baseHandle);
      return kNotSupported;
    }
    result = Broker::OpenFile(deltaPath, FileAccessMode::Read, patch_.destinationHandle);
    if (result != kSuccess) {
      CloseQuietly(patch_.baseHandle);
      return result;
    }
    patch_.open = true;
  }
  return StartPatchWorker("Startint thread\t\t'PatchThread11'\n", handle);
}

int CRsyncTarget::StartPatchWorker(const char* announcement, unsigned int& handle) {
  patch_.sync.Locked([this] { patch_.state.Reset(); });
  Announce(announcement);
  if (!patch_.sync.StartThread(&PatchWorker, this)) {
    patch_.sync.Locked([this] { patch_.state.done = true; });
    LogError(L"Can't start thread for the file patching");
    Lock lock(brokerMutex_);
    CloseQuietly(patch_.destinationHandle);
    CloseQuietly(patch_.baseHandle);
    if (!patch_.temporaryPath.empty()) static_cast<void>(Broker::DeleteFile(patch_.temporaryPath));
    patch_.open = false;
    return kFailed;
  }
  handle = patch_.destinationHandle;
  return kSuccess;
}

void CRsyncTarget::PatchWorker(void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  CThreadSync& sync = self.patch_.sync;
  HandOff& state = self.patch_.state;
  const bool reading = self.patch_.readMode;
  int result = kFailed;
  try {
    CRsyncWrapper wrapper;
    result = reading
                 ? wrapper.ApplyPatch(&self, &ReadBase, &self, &ReadStoredDelta, &self, &WritePatchOutput,
                                      &SeekBase)
                 : wrapper.ApplyPatch(&self, &ReadBase, &self, &ReadDelta, &self, &WriteResult, &SeekBase);
  } catch (...) {
    result = kFailed;
  }
  try {
    sync.Locked([&] {
      state.done = true;
      state.error = state.error || result != 0;
      if (!reading) {
        state.buffer = nullptr;  // the job's own buffer is gone
        state.capacity = 0;
        state.filled = 0;
      }
    });
    if (reading)
      sync.NotifyReader();
    else
      sync.NotifyWriter();
  } catch (...) {
  }
  sync.NotifyThreadTermination();
}

std::size_t CRsyncTarget::ReadBase(unsigned char* buffer, std::size_t capacity, void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  int ignored = kSuccess;
  return self.ReadInput(self.patch_.sync, self.patch_.baseHandle, buffer, capacity, ignored);
}

bool CRsyncTarget::SeekBase(std::uint64_t position, void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  Lock lock(self.brokerMutex_);
  return self.Broker::SeekFile(self.patch_.baseHandle, position) == kSuccess;
}

std::size_t CRsyncTarget::ReadStoredDelta(unsigned char* buffer, std::size_t capacity, void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  int ignored = kSuccess;
  return self.ReadInput(self.patch_.sync, self.patch_.destinationHandle, buffer, capacity, ignored);
}

std::size_t CRsyncTarget::WritePatchOutput(const unsigned char* data, std::size_t length, void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  return HandOver(self.patch_.sync, self.patch_.state, data, length);
}

std::size_t CRsyncTarget::WriteResult(const unsigned char* data, std::size_t length, void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  std::size_t written = 0;
  while (written < length) {
    unsigned int size = Clamp(length - written);
    int result;
    {
      Lock lock(self.brokerMutex_);
      result = self.Broker::WriteFile(data + written, size, self.patch_.destinationHandle);
    }
    if (result != kSuccess || size == 0) {
      self.patch_.sync.Locked([&] { self.patch_.state.error = true; });
      break;
    }
    written += size;
  }
  return written;
}

std::size_t CRsyncTarget::ReadDelta(unsigned char* buffer, std::size_t capacity, void* target) {
  auto& self = *static_cast<CRsyncTarget*>(target);
  CThreadSync& sync = self.patch_.sync;
  HandOff& state = self.patch_.state;
  const bool ended = sync.Locked([&] {
    if (state.inputEnded) return true;
    state.buffer = buffer;
    state.capacity = Clamp(capacity);
    state.filled = 0;
    return false;
  });
  if (ended) return 0;
  sync.NotifyWriter();
  // Each write hands its bytes over at once, so a wake-up may find them
  // already taken by the previous read: 0 bytes would read as the end.
  for (;;) {
    const bool woken = sync.WaitForWriter();
    if (!sync.Locked([&] { return woken && state.filled == 0 && !state.inputEnded; })) break;
  }
  return sync.Locked([&] {
    const std::size_t filled = state.filled;
    state.buffer = nullptr;
    state.capacity = 0;
    state.filled = 0;
    return filled;
  });
}

int CRsyncTarget::WritePatching(const unsigned char* data, unsigned int& size) {
  CThreadSync& sync = patch_.sync;
  HandOff& state = patch_.state;
  std::size_t copied = 0;
  while (copied < size) {
    bool full = false;
    const Step step = sync.Locked([&] {
      if (state.done) return Step::kEnded;
      if (state.buffer == nullptr || state.filled >= state.capacity) return Step::kWait;
      const std::size_t n = std::min<std::size_t>(size - copied, state.capacity - state.filled);
      std::memcpy(state.buffer + state.filled, data + copied, n);
      state.filled += static_cast<std::uint32_t>(n);
      copied += n;
      full = state.filled == state.capacity;
      return Step::kCopied;
    });
    if (step == Step::kEnded) {
      LogError(L"Unexpected stream termination");
      sync.Locked([&] { state.error = true; });
      return kFailed;
    }
    if (step == Step::kCopied) {
      if (full) sync.NotifyReader();
    } else {
      // Returns also when the worker ended; the next step sees that.
      static_cast<void>(sync.WaitForReader());
    }
  }
  // The rest goes over now rather than when the buffer is full: a delta of
  // copy commands is small, and the worker would idle until the close.
  if (sync.Locked([&] { return state.buffer != nullptr && state.filled > 0; })) sync.NotifyReader();
  return kSuccess;
}

int CRsyncTarget::ClosePatching() {
  CThreadSync& sync = patch_.sync;
  // Bytes still in the worker's buffer go with the end of input.
  sync.Locked([this] { patch_.state.inputEnded = true; });
  sync.NotifyReader();
  static_cast<void>(sync.WaitThreadTermination());
  sync.Join();
  bool failed = sync.Locked([this] { return patch_.state.error; });
  Lock lock(brokerMutex_);
  CloseQuietly(patch_.baseHandle);
  // A failed final flush leaves a truncated file: never store it.
  if (Broker::CloseFile(patch_.destinationHandle) != kSuccess) failed = true;
  int result = kSuccess;
  if (!patch_.temporaryPath.empty()) {
    if (!failed) result = Broker::MoveFile(patch_.temporaryPath, patch_.path);
    if (failed || result != kSuccess) static_cast<void>(Broker::DeleteFile(patch_.temporaryPath));
  }
  patch_.open = false;
  sync.Locked([this] { patch_.state.Reset(); });
  return failed ? kFailed : result;
}

int CRsyncTarget::ClosePatchReading() {
  const bool ended = Abandon(patch_.sync, patch_.state);
  const bool failed = patch_.sync.Locked([this] { return patch_.state.error; });
  Lock lock(brokerMutex_);
  CloseQuietly(patch_.baseHandle);
  CloseQuietly(patch_.destinationHandle);
  patch_.open = false;
  patch_.sync.Locked([this] { patch_.state.Reset(); });
  return !ended || failed ? kFailed : kSuccess;
}

// ---- routing -------------------------------------------------------------------

CRsyncTarget::Route CRsyncTarget::RouteOf(unsigned int handle) {
  Lock lock(brokerMutex_);
  if (signature_.open && handle == signature_.handle) return Route::kSignature;
  if (patch_.open && handle == patch_.destinationHandle)
    return patch_.readMode ? Route::kPatchReading : Route::kPatching;
  return Route::kBroker;
}

int CRsyncTarget::ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  switch (RouteOf(handle)) {
    case Route::kSignature: return TakeOutput(signature_.sync, signature_.state, buffer, size);
    case Route::kPatchReading: return TakeOutput(patch_.sync, patch_.state, buffer, size);
    default: break;
  }
  Lock lock(brokerMutex_);
  return Broker::ReadFile(buffer, size, handle);
}

int CRsyncTarget::WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle) {
  if (RouteOf(handle) == Route::kPatching) return size == 0 ? kSuccess : WritePatching(data, size);
  Lock lock(brokerMutex_);
  return Broker::WriteFile(data, size, handle);
}

int CRsyncTarget::CloseFile(const unsigned int& handle) {
  switch (RouteOf(handle)) {
    case Route::kSignature: return CloseSignature();
    case Route::kPatching: return ClosePatching();
    case Route::kPatchReading: return ClosePatchReading();
    default: break;
  }
  Lock lock(brokerMutex_);
  return Broker::CloseFile(handle);
}

// ---- the broker's other operations ----------------------------------------------

int CRsyncTarget::SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes) {
  Lock lock(brokerMutex_);
  return WouldSwitch(path) ? kFailed : Broker::SetElementAttributes(path, attributes);
}

int CRsyncTarget::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) {
  Lock lock(brokerMutex_);
  return WouldSwitch(path) ? kFailed : Broker::GetElementAttributes(path, attributes);
}

int CRsyncTarget::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  Lock lock(brokerMutex_);
  return WouldSwitch(path) ? kFailed : Broker::GetListing(path, entries);
}

void CRsyncTarget::OnStop() {
  Lock lock(brokerMutex_);
  if (!WouldSwitch(std::wstring())) Broker::OnStop();
}

int CRsyncTarget::CreateFolder(const std::wstring& path) {
  Lock lock(brokerMutex_);
  return WouldSwitch(path) ? kFailed : Broker::CreateFolder(path);
}

int CRsyncTarget::DeleteFolder(const std::wstring& path) {
  Lock lock(brokerMutex_);
  return WouldSwitch(path) ? kFailed : Broker::DeleteFolder(path);
}

int CRsyncTarget::DeleteFile(const std::wstring& path) {
  Lock lock(brokerMutex_);
  return WouldSwitch(path) ? kFailed : Broker::DeleteFile(path);
}

int CRsyncTarget::SetRootPath(const std::wstring& path) {
  Lock lock(brokerMutex_);
  // Open jobs name their files relative to the root.
  return JobOpen() ? kFailed : Broker::SetRootPath(path);
}

int CRsyncTarget::BeginTransaction() {
  Lock lock(brokerMutex_);
  return WouldSwitch(std::wstring()) ? kFailed : Broker::BeginTransaction();
}

int CRsyncTarget::CommitTransaction() {
  Lock lock(brokerMutex_);
  return WouldSwitch(std::wstring()) ? kFailed : Broker::CommitTransaction();
}

int CRsyncTarget::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle) {
  Lock lock(brokerMutex_);
  return WouldSwitch(path) ? kFailed : Broker::OpenFile(path, mode, handle);
}

int CRsyncTarget::SeekFile(const unsigned int& handle, const unsigned long long& position) {
  Lock lock(brokerMutex_);
  return Broker::SeekFile(handle, position);
}

int CRsyncTarget::MoveFile(const std::wstring& from, const std::wstring& to) {
  Lock lock(brokerMutex_);
  return WouldSwitch(from) ? kFailed : Broker::MoveFile(from, to);
}

}  // namespace zr
