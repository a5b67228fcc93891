// The sending side of delta copying. Data written to a CRsyncSource is
// turned into a delta against the signature of the base file that the
// target holds, and the delta is written to the target's patching stream:
// Open asks the target for the signature and opens the patching stream,
// Write passes data to the delta worker, Close ends the data and both
// target streams.
//
// Thread: one caller thread; the delta job runs on a worker thread. The
// worker does not call the target itself: it hands each signature read and
// delta write to the caller thread, which makes the call while it waits in
// Write or Close. A target that is a servant of the caller's own
// single-threaded POA can then be reached (the caller already holds the POA;
// a call from the worker would wait for it for ever).

#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "agent/data/delta/IRsyncSourceWrite.h"
#include "agent/data/delta/ThreadSync.h"
#include "plugin-api/ILog.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

class CRsyncSource {
 public:
  // Neither is owned; both must outlive the source.
  CRsyncSource(ILog* log, IRsyncSourceWrite* target);
  // Abandons an open job: its worker is cancelled and waited for, then the
  // target's streams are closed.
  ~CRsyncSource();

  CRsyncSource(const CRsyncSource&) = delete;
  CRsyncSource& operator=(const CRsyncSource&) = delete;

  // Opens the signature of `basePath` and the patching stream (`basePath`,
  // `path`) on the target and starts the delta worker; `handle` receives the
  // patching handle (the caller's token). The target's failure when either
  // open fails (the signature stream is then closed again); 1 while a job is
  // open or when the worker cannot be started.
  [[nodiscard]] int Open(const std::wstring& basePath, const std::wstring& path, unsigned int& handle);
  // Passes `size` bytes to the delta worker and returns once it took them:
  // 0 with `size` unchanged. 0-byte writes do nothing. 1 without an open job
  // or once the worker has ended.
  [[nodiscard]] int Write(const unsigned char* data, unsigned int& size);
  // Ends the data, waits for the worker, then closes the signature and the
  // patching stream. The first failure of: the delta job (1), the signature
  // close, the patching close. 0 without an open job.
  [[nodiscard]] int Close();
  // Abandons the open job, as the destructor does: the delta is cut off
  // before its end, so the target keeps the file it had. Nothing without an
  // open job.
  void Abort();

 private:
  static void Worker(void* source);
  static std::size_t ReadData(unsigned char* buffer, std::size_t capacity, void* source);
  static std::size_t ReadSignature(unsigned char* buffer, std::size_t capacity, void* source);
  static std::size_t WriteDelta(const unsigned char* data, std::size_t length, void* source);
  void LogError(const wchar_t* text);
  // Worker: runs `call` on the caller thread and waits for it. False (and
  // `call` not run) when the job was cancelled first.
  bool Relay(const std::function<int()>& call, int& result);
  // Caller: runs the call the worker handed over, if any; true when one ran.
  bool ServeRelayed();

  ILog* log_;
  IRsyncSourceWrite* target_;
  unsigned int signatureHandle_ = 0;
  unsigned int patchingHandle_ = 0;
  bool open_ = false;  // caller side: between Open and Close
  // Guarded by sync_'s mutex: the caller's published data and the flags.
  const unsigned char* data_ = nullptr;
  std::uint32_t length_ = 0;
  std::uint32_t consumed_ = 0;
  bool end_ = false;
  bool done_ = false;
  bool failed_ = false;
  const std::function<int()>* relayed_ = nullptr;  // the worker's call waiting for the caller
  int relayedResult_ = kSuccess;
  bool relayedDone_ = true;
  CThreadSync sync_;
};

}  // namespace zr
