// The target side of delta copying: a write plug-in broker that also runs
// three jobs on worker threads, each coupled with its caller by a
// CThreadSync:
//   signature reading  the signature of a file the target holds, read by the
//                      caller through ReadFile;
//   patching           a delta written by the caller through WriteFile is
//                      applied to a base file and the result stored;
//   patch reading      a stored delta is applied to its base file and the
//                      rebuilt file read by the caller through ReadFile.
// ReadFile, WriteFile and CloseFile on the handle a job open returned go to
// that job; on any other handle they are the broker's. A job's handle is a
// job handle only from its open to its close.
//
// One signature job and one patch job (patching or patch reading) may be
// open at a time; a second open of the same kind gives 1. While a job is
// open, a broker call that would switch to another plug-in or connection
// (which would release the object the worker uses) gives 1.
//
// Thread: the caller's operations may come from two threads at once (the
// serving thread and a CRsyncSource worker that drives the signature and
// patching streams); every plug-in call of callers and workers is serialised
// by one mutex per target.

#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <string>

#include "agent/data/Settings.h"
#include "agent/data/delta/ThreadSync.h"
#include "agent/data/hosting/PluginBroker.h"

namespace zr {

class CRsyncTarget : public CPluginBroker<IBackupDataWrite> {
 public:
  using Broker = CPluginBroker<IBackupDataWrite>;

  // As the broker's; `settings` (not owned) answers UseDeltaCopying, null
  // means the process-wide settings object.
  CRsyncTarget(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader,
               const CSettings* settings = nullptr);
  // Abandons the jobs still open (their workers are cancelled and waited
  // for, their files closed, a temporary file deleted), then the broker's.
  ~CRsyncTarget() override;

  // Starts reading the signature of `path`; `handle` receives the job's
  // handle. 3 for an empty path, 1 while a signature job is open or when
  // the worker cannot be started, else the broker's failure to open.
  [[nodiscard]] int OpenFileSignature(const std::wstring& path, unsigned int& handle);

  // Starts patching: WriteFile takes a delta against `basePath`, CloseFile
  // stores the rebuilt file at `path` (which may be `basePath`). The file is
  // written to `path` "." <0-999> and moved onto `path` at a successful
  // close, so `path` never holds partial output. 3 for an empty path; 6
  // when delta copying is off in the settings or the plug-in of `basePath`
  // is unknown or cannot seek and move; 1 while a patch job is open, when no
  // free temporary name was found or the worker cannot be started; else the
  // broker's failure to open.
  [[nodiscard]] int OpenFilePatching(const std::wstring& basePath, const std::wstring& path,
                                     unsigned int& handle);

  // Starts patch reading: ReadFile gives the file rebuilt from `basePath`
  // and the delta stored at `deltaPath`. 3 for an empty path, 1 while a
  // patch job is open or when the worker cannot be started, else the
  // broker's failure to open either file.
  [[nodiscard]] int OpenFilePatch(const std::wstring& basePath, const std::wstring& deltaPath,
                                  unsigned int& handle);

  // Signature and patch-reading handles: up to `size` bytes of the job's
  // output; 5 after the last byte; 1 once the job failed. The broker's
  // ReadFile on any other handle.
  [[nodiscard]] int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override;
  // Patching handle: takes `size` delta bytes (0 bytes: nothing happens);
  // 1 once the job ended early. The broker's WriteFile on any other handle.
  [[nodiscard]] int WriteFile(const unsigned char* data, unsigned int& size,
                              const unsigned int& handle) override;
  // Signature and patch-reading handles: abandons a job that has not ended
  // (1) and closes its files; 1 also when the job failed. Patching handle:
  // marks the end of the delta, waits for the job, closes both files and,
  // with a temporary file, moves it onto the path; 1 (the path left as it
  // was, the temporary file deleted) when the delta was bad or cut off, a
  // write or the final close failed; else the move's result. The broker's
  // CloseFile on any other handle.
  [[nodiscard]] int CloseFile(const unsigned int& handle) override;

  // The broker's operations, serialised with the workers' plug-in calls and
  // refused (1) while a job is open when they would switch the plug-in
  // object.
  [[nodiscard]] int SetElementAttributes(const std::wstring& path,
                                         const CFileAttributes& attributes) override;
  [[nodiscard]] int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) override;
  [[nodiscard]] int GetListing(const std::wstring& path, std::list<CFileInfo>& entries) override;
  void OnStop() override;
  [[nodiscard]] int CreateFolder(const std::wstring& path) override;
  [[nodiscard]] int DeleteFolder(const std::wstring& path) override;
  [[nodiscard]] int DeleteFile(const std::wstring& path) override;
  [[nodiscard]] int SetRootPath(const std::wstring& path) override;
  [[nodiscard]] int BeginTransaction() override;
  [[nodiscard]] int CommitTransaction() override;
  [[nodiscard]] int OpenFile(const std::wstring& path, FileAccessMode::ID mode,
                             unsigned int& handle) override;
  [[nodiscard]] int SeekFile(const unsigned int& handle, const unsigned long long& position) override;
  [[nodiscard]] int MoveFile(const std::wstring& from, const std::wstring& to) override;

 private:
  // The hand-off buffer of one job: published by the side that receives,
  // filled by the other. Guarded by the job's CThreadSync mutex.
  struct HandOff {
    unsigned char* buffer = nullptr;
    std::uint32_t capacity = 0;
    std::uint32_t filled = 0;
    bool done = false;        // the worker has ended
    bool error = false;       // the job failed
    bool inputEnded = false;  // patching: the caller closed the delta stream
    void Reset() { *this = HandOff(); }
  };

  struct SignatureJob {
    CThreadSync sync;
    HandOff state;
    bool open = false;  // caller side: between open and close
    unsigned int handle = 0;
  };

  struct PatchJob {
    CThreadSync sync;
    HandOff state;
    bool open = false;
    bool readMode = false;  // patch reading
    unsigned int baseHandle = 0;
    unsigned int destinationHandle = 0;  // patching: the file written; reading: the delta
    std::wstring basePath;
    std::wstring path;
    std::wstring temporaryPath;  // empty when not used
  };

  enum class Route { kBroker, kSignature, kPatching, kPatchReading };
  // Which job, if any, `handle` belongs to.
  Route RouteOf(unsigned int handle);

  static void SignatureWorker(void* target);
  static void PatchWorker(void* target);
  // One broker read of a job's input, under the broker lock: the bytes read,
  // 0 with `result` kHandleEof once `sync` is cancelled, 0 on a failed read.
  std::size_t ReadInput(CThreadSync& sync, unsigned int handle, unsigned char* buffer, std::size_t capacity,
                        int& result);
  // Worker-side callbacks of the librsync jobs (`target` is this object).
  static std::size_t ReadSignatureInput(unsigned char* buffer, std::size_t capacity, void* target);
  static std::size_t WriteSignature(const unsigned char* data, std::size_t length, void* target);
  static std::size_t ReadBase(unsigned char* buffer, std::size_t capacity, void* target);
  static bool SeekBase(std::uint64_t position, void* target);
  static std::size_t ReadDelta(unsigned char* buffer, std::size_t capacity, void* target);
  static std::size_t ReadStoredDelta(unsigned char* buffer, std::size_t capacity, void* target);
  static std::size_t WriteResult(const unsigned char* data, std::size_t length, void* target);
  static std::size_t WritePatchOutput(const unsigned char* data, std::size_t length, void* target);
  // Worker side of a job whose output the caller reads: copies into the
  // caller's published buffers; short only when the job was abandoned.
  static std::size_t HandOver(CThreadSync& sync, HandOff& state, const unsigned char* data,
                              std::size_t length);
  // Caller side of such a job: one ReadFile.
  int TakeOutput(CThreadSync& sync, HandOff& state, unsigned char* buffer, unsigned int& size);
  // Caller side of patching: one WriteFile.
  int WritePatching(const unsigned char* data, unsigned int& size);
  int StartPatchWorker(const char* announcement, unsigned int& handle);
  int CloseSignature();
  int ClosePatching();
  int ClosePatchReading();
  // Cancels a job's worker and waits for it to end; true when it had ended
  // on its own before.
  static bool Abandon(CThreadSync& sync, HandOff& state);

  // True when a job is open and the joined `path` is not served by the
  // current plug-in object. REQUIRES: brokerMutex_ held.
  bool WouldSwitch(const std::wstring& path);
  bool JobOpen() const { return signature_.open || patch_.open; }
  // A free temporary name for `path`, empty when three tries found none.
  std::wstring TemporaryPath(const std::wstring& path);
  bool DeltaAllowed(const std::wstring& basePath);
  void CloseQuietly(unsigned int handle);
  void LogError(const wchar_t* text);
  static void Announce(const char* line);

  const CSettings* settings_;
  // Serialises every plug-in call (callers and workers) and the job flags
  // the callers read. Never held across a CThreadSync wait. Recursive: the
  // broker's operations may call each other.
  std::recursive_mutex brokerMutex_;
  std::minstd_rand temporaryNames_;
  PatchJob patch_;
  SignatureJob signature_;
};

}  // namespace zr
