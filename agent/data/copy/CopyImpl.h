// The copy engine: moves file data between a plug-in of this machine (the
// source broker) and a backup target, through the filters pipe, keeping an
// index of stored items when asked. One engine per copy interface.
//
// The target of both streams is the remote target (another agent's write
// interface) when a target write reference was given, else the local one.
// Results are the codes of the object that failed, unmapped: the servant
// layer maps them for the remote side. Failures are logged at level 2
// (error) on the session's log.
// REQUIRES: one thread at a time (the ORB thread).

#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "agent/data/filters/FiltersPipe.h"
#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/hosting/PluginBroker.h"
#include "agent/data/index/Index.h"
#include "agent/data/targets/TargetLocalFS.h"
#include "agent/data/targets/TargetRemoteFS.h"
#include "idl/RemoteRefs.h"
#include "plugin-api/PluginApi.h"

namespace zr {

class CCopyImpl {
 public:
  // Size of the one copy buffer, allocated by StartCopying.
  static constexpr unsigned int kBufferSize = 1048576;
  // The filter entry that makes every difference copy take the xdelta path.
  static constexpr const wchar_t* kDeltaFilterEntry = L"xdelta\\default.zrl";

  // Which object opened a handle of a write-side view (their handle numbers
  // may collide).
  enum class Opener { kSource, kStream, kTarget };

  // `session`, `log` and `loader` are not owned and must outlive the engine;
  // `progress` and `targetWrite` are duplicated (either may be nil). Both
  // streams get the filters of `settings`.
  CCopyImpl(const ZavediDedozozuriz::ISettings& settings, Tessarine::Session_ptr session, ILog* log,
            Tessarine::OperationProgress_ptr progress, CExtensionLoader* loader,
            ZavediDedozozuriz::IDLBackupDataWrite_ptr targetWrite);
  // The same on the given target, which the engine owns (not null).
  CCopyImpl(const ZavediDedozozuriz::ISettings& settings, Tessarine::Session_ptr session, ILog* log,
            Tessarine::OperationProgress_ptr progress, CExtensionLoader* loader,
            std::unique_ptr<IFileSystem> target);
  virtual ~CCopyImpl();

  CCopyImpl(const CCopyImpl&) = delete;
  CCopyImpl& operator=(const CCopyImpl&) = delete;

  // Allocates the copy buffer and roots both streams (the index stream only
  // `withIndex`). 1 with "Can't allocate memory for copy buffer" when the
  // buffer cannot be had; a failed root is returned and nothing is started.
  [[nodiscard]] int StartCopying(const std::wstring& root, bool withIndex);

  // Copies the plug-in file `pluginPath` into the stored `storedPath`, or
  // back. 1 with "Missing StartCopying call" outside a started copy. A
  // stored path that fails to open while the copy root is applied by no
  // many-to-one chain and does not lead it gets an Error line saying so. Only
  // end of data ends the copy normally: a failed read or write is the
  // result, and every handle opened is closed on every path. A restore
  // returns the write failure, else a failed close of the plug-in file (a
  // database plug-in restores there), else the stream's close result.
  [[nodiscard]] int CopyFileToBackup(const std::wstring& pluginPath, const std::wstring& storedPath);
  [[nodiscard]] int CopyFileFromBackup(const std::wstring& pluginPath, const std::wstring& storedPath);
  // The same with the base `basePath` stored earlier: through the xdelta
  // filter when the settings name it, else as an rsync delta against the
  // base's signature on the target. There, to the backup the plug-in file
  // is opened first (a missing one leaves the stored file untouched); from
  // the backup the stored delta is opened first (a missing one leaves the
  // plug-in file unopened).
  [[nodiscard]] int CopyFileDiff(const std::wstring& pluginPath, const std::wstring& storedPath,
                                 const std::wstring& basePath, bool toBackup);
  // Commits the data stream, then (with index, and only when that
  // succeeded) the index stream; frees the buffer and ends the copy. A
  // many-to-one stream in which an item failed is not committed (1).
  [[nodiscard]] int FinishCopying(bool withIndex);
  void OnStop() {}

  // Write-side operations of the copy's views. `plugin`: act on the source
  // broker. Else while a copy is started: on the data stream, or (`index`)
  // on the index records; outside a copy: on the target.
  [[nodiscard]] int BeginTransaction(bool plugin);
  [[nodiscard]] int CommitTransaction(bool plugin);
  [[nodiscard]] int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes,
                                         bool plugin, bool index);
  [[nodiscard]] int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes, bool plugin,
                                         bool index);
  [[nodiscard]] bool IsPathExists(const std::wstring& path, bool plugin, bool index);
  [[nodiscard]] int GetListing(const std::wstring& path, std::list<CFileInfo>& entries, bool plugin,
                               bool index);
  // While started: the data stream's folder, then (`index`) the index's; a
  // failed index folder deletes the stream's folder again and is returned.
  [[nodiscard]] int CreateFolder(const std::wstring& path, bool plugin, bool index);
  // While started: the data stream's deletion, then (`index`) the record's.
  [[nodiscard]] int DeleteFolder(const std::wstring& path, bool plugin, bool index);
  [[nodiscard]] int DeleteFile(const std::wstring& path, bool plugin, bool index);
  [[nodiscard]] int SetRoot(const std::wstring& path, bool plugin);
  // `opener` receives the object that opened the handle; later handle
  // operations name it.
  [[nodiscard]] int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle,
                             bool plugin, Opener& opener);
  [[nodiscard]] int ReadFile(unsigned char* buffer, unsigned int& size, unsigned int handle, Opener opener);
  [[nodiscard]] int WriteFile(const unsigned char* data, unsigned int& size, unsigned int handle,
                              Opener opener);
  [[nodiscard]] int CloseFile(unsigned int handle, Opener opener);

  bool IsStarted() const { return started_; }

 private:
  using Reader = std::function<int(unsigned char*, unsigned int&)>;
  using Writer = std::function<int(const unsigned char*, unsigned int&)>;

  // Reads chunks until end of data, writing each whole and counting it.
  // 0 at end of data; else the first failed read or write.
  int Pump(const Reader& read, const Writer& write);
  // Writes all `size` bytes, also when the writer takes them in parts; 1
  // when it takes none.
  static int WriteAll(const Writer& write, const unsigned char* data, unsigned int size);
  // Copies between the open handles and closes both (the source first when
  // `sourceClosedFirst`).
  int ToBackup(unsigned int source, unsigned int stream);
  int FromBackup(unsigned int stream, unsigned int source, bool sourceClosedFirst);
  // Ends a stream handle whose data must not be taken as complete.
  void AbandonStream(unsigned int handle);
  int DiffThroughFilter(const std::wstring& pluginPath, const std::wstring& storedPath,
                        const std::wstring& basePath, bool toBackup);
  int DiffThroughSignature(const std::wstring& pluginPath, const std::wstring& storedPath,
                           const std::wstring& basePath, bool toBackup);
  // Opens the plug-in file and the stored file: to backup the plug-in file
  // for reading first, else the stored file for reading first. The first is
  // closed when the second fails.
  int OpenPair(const std::wstring& pluginPath, const std::wstring& storedPath, bool toBackup,
               unsigned int& source, unsigned int& stream);
  // Opens the stored file on the data stream (`basePath` non-empty: as a
  // patch against it); a failure is explained by ExplainStoredPath.
  int OpenStored(const std::wstring& storedPath, FileAccessMode::ID mode, unsigned int& stream,
                 const std::wstring& basePath = std::wstring());
  // Logs why a stored path that failed to open may be wrong: a path outside
  // the copy root reaches the target as it is unless the chain is many-to-one.
  void ExplainStoredPath(const std::wstring& storedPath);
  IFileSystem& Target() { return *target_; }
  // The object a write-side operation acts on: the source broker for the
  // plug-in side, else the data stream while started, else the target.
  Opener Side(bool plugin) const;
  // Calls `op` with the object `side` names; every handle and view
  // operation goes through here.
  template <typename Op>
  int Route(Opener side, Op&& op);
  // Route for a view operation: the index records instead of the data
  // stream when `index`.
  template <typename Op>
  int RouteView(bool plugin, bool index, Op&& op);
  void Log(const std::wstring& text) noexcept;
  int Missing();

  ILog* log_;
  OwnedRef<Tessarine::OperationProgress_ptr> progress_;
  CPluginBroker<IBackupDataWrite> source_;
  // Another agent's write interface (CTargetRemoteFS), or this machine's
  // plug-ins (CTargetLocalFS) when no target write reference was given.
  std::unique_ptr<IFileSystem> target_;
  CFiltersPipe dataStream_;
  CFiltersPipe indexStream_;
  CIndex index_;
  std::vector<unsigned char> buffer_;
  bool started_ = false;
  bool deltaFilter_ = false;
};

}  // namespace zr
