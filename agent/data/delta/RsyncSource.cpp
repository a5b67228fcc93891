#include "agent/data/delta/RsyncSource.h"

#include <algorithm>
#include <cstring>

#include "agent/data/delta/RsyncWrapper.h"
#include "plugin-api/ErrorBoundary.h"
#include "plugin-api/ResultCodes.h"

namespace zr {
namespace {

enum class Step { kCopied, kWait, kEnded };
enum class Handed { kTaken, kPending, kFailed };

}  // namespace

CRsyncSource::CRsyncSource(ILog* log, IRsyncSourceWrite* target) : log_(log), target_(target) {}

CRsyncSource::~CRsyncSource() { Abort(); }

void CRsyncSource::Abort() {
  if (!open_) return;
  open_ = false;
  sync_.Cancel();
  sync_.Join();
  try {
    static_cast<void>(target_->CloseFileSignature(signatureHandle_));
    static_cast<void>(target_->CloseFilePatching(patchingHandle_));
  } catch (...) {
  }
}

bool CRsyncSource::Relay(const std::function<int()>& call, int& result) {
  sync_.Locked([&] {
    relayed_ = &call;
    relayedDone_ = false;
  });
  sync_.NotifyWriter();
  for (;;) {
    const bool woken = sync_.WaitForWriter();
    bool ran = false;
    const bool over = sync_.Locked([&] {
      ran = relayedDone_;
      if (!ran && woken) return false;
      // Done, or cancelled before the caller took the call.
      relayed_ = nullptr;
      relayedDone_ = true;
      result = relayedResult_;
      return true;
    });
    if (over) return ran;
  }
}

bool CRsyncSource::ServeRelayed() {
  const std::function<int()>* call = sync_.Locked([&] { return relayedDone_ ? nullptr : relayed_; });
  if (call == nullptr) return false;
  int result = kFailed;
  try {
    result = (*call)();
  } catch (...) {
  }
  sync_.Locked([&] {
    relayedResult_ = result;
    relayedDone_ = true;
  });
  sync_.NotifyReader();
  return true;
}

void CRsyncSource::LogError(const wchar_t* text) { WriteLogLine(log_, LogEvent::Error, text); }

int CRsyncSource::Open(const std::wstring& basePath, const std::wstring& path, unsigned int& handle) {
  if (open_ || target_ == nullptr) return kFailed;
  int result = target_->OpenFileSignature(basePath, signatureHandle_);
  if (result != kSuccess) return result;
  result = target_->OpenFilePatching(basePath, path, patchingHandle_);
  if (result != kSuccess) {
    LogError(L"Delta coping: Failed to open target file for writing ( Linux )");
    static_cast<void>(target_->CloseFileSignature(signatureHandle_));
    return result;
  }
  sync_.Locked([this] {
    data_ = nullptr;
    length_ = 0;
    consumed_ = 0;
    end_ = false;
    done_ = false;
    failed_ = false;
    relayed_ = nullptr;
    relayedDone_ = true;
  });
  if (!sync_.StartThread(&Worker, this)) {
    LogError(L"Delta coping: Can't start thread for the delta");
    static_cast<void>(target_->CloseFileSignature(signatureHandle_));
    static_cast<void>(target_->CloseFilePatching(patchingHandle_));
    return kFailed;
  }
  open_ = true;
  handle = patchingHandle_;
  return kSuccess;
}

void CRsyncSource::Worker(void* source) {
  auto& self = *static_cast<CRsyncSource*>(source);
  int result = kFailed;
  try {
    CRsyncWrapper wrapper;
    result = wrapper.MakeDelta(&self, &ReadData, &self, &ReadSignature, &self, &WriteDelta);
  } catch (...) {
    result = kFailed;
  }
  try {
    if (result != 0 && !self.sync_.IsCancelled())
      self.LogError(L"Delta coping: Error occured, while getting source file delta");
    self.sync_.Locked([&] {
      self.done_ = true;
      self.failed_ = self.failed_ || result != 0;
    });
    self.sync_.NotifyWriter();
  } catch (...) {
  }
  self.sync_.NotifyThreadTermination();
}

std::size_t CRsyncSource::ReadData(unsigned char* buffer, std::size_t capacity, void* source) {
  auto& self = *static_cast<CRsyncSource*>(source);
  for (;;) {
    std::size_t n = 0;
    bool usedUp = false;
    const Step step = self.sync_.Locked([&] {
      if (self.data_ != nullptr && self.consumed_ < self.length_) {
        n = std::min<std::size_t>(capacity, self.length_ - self.consumed_);
        std::memcpy(buffer, self.data_ + self.consumed_, n);
        self.consumed_ += static_cast<std::uint32_t>(n);
        if (self.consumed_ == self.length_) {
          self.data_ = nullptr;
          usedUp = true;
        }
        return Step::kCopied;
      }
      return self.end_ ? Step::kEnded : Step::kWait;
    });
    if (step == Step::kCopied) {
      if (usedUp) self.sync_.NotifyWriter();
      return n;
    }
    if (step == Step::kEnded || !self.sync_.WaitForWriter()) return 0;
  }
}

std::size_t CRsyncSource::ReadSignature(unsigned char* buffer, std::size_t capacity, void* source) {
  auto& self = *static_cast<CRsyncSource*>(source);
  if (self.sync_.IsCancelled()) return 0;
  unsigned int size =
      static_cast<unsigned int>(std::min<std::size_t>(capacity, CRsyncWrapper::kBufferLength));
  int result = kFailed;
  const std::function<int()> read = [&] {
    return self.target_->ReadFileSignature(buffer, size, self.signatureHandle_);
  };
  if (!self.Relay(read, result)) return 0;
  if (result == kSuccess) return std::min<std::size_t>(size, capacity);
  // A signature cut short by a failure is no signature to trust.
  if (result != kHandleEof) self.sync_.Locked([&] { self.failed_ = true; });
  return 0;
}

std::size_t CRsyncSource::WriteDelta(const unsigned char* data, std::size_t length, void* source) {
  auto& self = *static_cast<CRsyncSource*>(source);
  if (self.sync_.IsCancelled()) return 0;
  unsigned int size = static_cast<unsigned int>(length);
  int result = kFailed;
  const std::function<int()> write = [&] {
    return self.target_->WriteFilePatching(data, size, self.patchingHandle_);
  };
  if (!self.Relay(write, result)) return 0;
  return result == kSuccess ? length : 0;
}

int CRsyncSource::Write(const unsigned char* data, unsigned int& size) {
  // Nothing to pass: an empty hand-over would read as the end of the data.
  if (size == 0) return kSuccess;
  if (!open_) return kFailed;
  const bool refused = sync_.Locked([&] {
    if (done_) return true;
    data_ = data;
    length_ = size;
    consumed_ = 0;
    return false;
  });
  if (refused) return kFailed;
  sync_.NotifyReader();
  for (;;) {
    const bool woken = sync_.WaitForReader();
    // A wake-up may carry both a handed-over call and the data taken.
    const bool served = ServeRelayed();
    const Handed handed = sync_.Locked([&] {
      if (data_ == nullptr) return Handed::kTaken;
      if (done_ || (!woken && !served)) {
        data_ = nullptr;
        return Handed::kFailed;
      }
      return Handed::kPending;
    });
    if (handed == Handed::kTaken) return kSuccess;
    if (handed == Handed::kFailed) return kFailed;
  }
}

int CRsyncSource::Close() {
  if (!open_) return kSuccess;
  sync_.Locked([this] { end_ = true; });
  sync_.NotifyReader();
  // The worker still hands over its last target calls (the end of the delta,
  // a whole signature for an empty file) until it ends.
  for (;;) {
    const bool woken = sync_.WaitForReader();
    if (ServeRelayed()) continue;
    if (!woken) break;
  }
  static_cast<void>(sync_.WaitThreadTermination());
  sync_.Join();
  open_ = false;
  const bool failed = sync_.Locked([this] { return failed_; });
  const int signature = target_->CloseFileSignature(signatureHandle_);
  const int patching = target_->CloseFilePatching(patchingHandle_);
  if (failed) return kFailed;
  return signature != kSuccess ? signature : patching;
}

}  // namespace zr
