// A chain of filter extensions between the copy engine (or the index) and a
// copy target.
//
// Without filters every operation goes straight to the target. A per-file
// chain (no filter is many-to-one) transforms each file's data on its way
// and stores it under its name plus the chain's extension. A many-to-one
// chain keeps every item of a transaction inside its filters and stores
// them as one object, root "\" stream name + extension, written at
// CommitTransaction and only when something changed.
//
// The filter named "xdelta" stays linked out of the chain except inside a
// CDeltaFilterGuard; its extension and many-to-one answer count always.
// Results are the remote result codes; the target's and the filters' pass
// through unchanged except where an operation says otherwise.
// REQUIRES: one thread at a time.

#pragma once

#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "agent/data/filters/Connectors.h"
#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/targets/IFileSystem.h"
#include "idl/RemoteRefs.h"
#include "plugin-api/IBackupDataFilter.h"
#include "plugin-api/ILog.h"

namespace zr {

class CPluginLink;

class CFiltersPipe {
 public:
  // Name of the filter that difference copies link in.
  static constexpr const wchar_t* kDeltaFilterName = L"xdelta";

  // `target`, `session`, `log` and `loader` are not owned and must outlive
  // the pipe. `filters` are "name" or "name\connection" strings, added in
  // order; `stream` names the many-to-one object ("backup" or "index");
  // `indexStream` marks the index stream, whose writes are never sent as
  // deltas.
  CFiltersPipe(IFileSystem* target, const std::vector<std::wstring>& filters, const std::wstring& stream,
               Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader, bool indexStream);
  // The same with the filter list of the copy settings.
  CFiltersPipe(IFileSystem* target, const ZavediDedozozuriz::ISettings& settings, const std::wstring& stream,
               Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader, bool indexStream);
  // Destroys every filter, then its link.
  virtual ~CFiltersPipe();

  CFiltersPipe(const CFiltersPipe&) = delete;
  CFiltersPipe& operator=(const CFiltersPipe&) = delete;

  // Splits each string at its backslashes: exactly two parts are (name,
  // connection), anything else is a name without connection.
  void AddFilters(const std::vector<std::wstring>& filters);
  // Appends the filter library registered as `name`. A name the loader does
  // not know, a library without "GetFilter", a factory that returns null or
  // throws: nothing is added, silently.
  void AddFilter(const std::wstring& name, const std::wstring& connection);
  // start, every filter in order (the delta filter only when
  // `includeDelta`), end.
  void LinkChain(bool includeDelta);
  // -1 without a delta filter; else relinks the chain and returns 0.
  int LinkDeltaFilter(bool includeDelta);
  // The part of `path` behind the root and one separator; empty when `path`
  // is not longer than that. The leading part is not compared.
  std::wstring GetRelativePath(const std::wstring& path) const;

  // Many-to-one: loads what the stored object holds into the chain (or
  // starts empty when there is none) and starts a transaction that no item
  // has failed in yet. Always 0 otherwise.
  [[nodiscard]] int SetRoot(const std::wstring& root);
  // Many-to-one and changed: writes the whole object and returns the first
  // failure of the chain's commit and the target's close; a failed commit
  // aborts the target's write (IFileSystem::AbortFile). 1 with an Error
  // line, the object not opened, when an item written in this transaction
  // failed (a failed write, final flush or AbortFile of a write handle):
  // the stored object stays as it was. 0 otherwise.
  [[nodiscard]] int CommitTransaction();

  // A failed PrepareTransform after a successful target open aborts the
  // target handle and is returned.
  [[nodiscard]] int OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle);
  [[nodiscard]] int OpenFilePatch(const std::wstring& basePath, const std::wstring& path,
                                  FileAccessMode::ID mode, unsigned int& handle);
  [[nodiscard]] int ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle);
  [[nodiscard]] int WriteFile(const unsigned char* data, unsigned int& size, const unsigned int& handle);
  // Per file: the first failure of the chain's final flush and the
  // target's close (the target is closed either way).
  [[nodiscard]] int CloseFile(const unsigned int& handle);
  // CloseFile for a copy that failed: the chain lets the handle go, and the
  // target ends it without completing the write (IFileSystem::AbortFile).
  // Many-to-one: a write handle fails the transaction (CommitTransaction).
  [[nodiscard]] int AbortFile(const unsigned int& handle);
  // Filtered listings are sorted (folders first, names ignoring case) and
  // show names without the chain's extension.
  [[nodiscard]] int GetListing(const std::wstring& path, std::list<CFileInfo>& entries);
  // Many-to-one: 3 for an item the chain does not hold, else 0 with
  // `attributes` reset (nothing valid). Per file: p + ext, or p when that
  // is a folder (folders are stored without the extension).
  [[nodiscard]] int GetElementAttributes(const std::wstring& path, CFileAttributes& attributes);
  // Many-to-one: 6.
  [[nodiscard]] int SetElementAttributes(const std::wstring& path, const CFileAttributes& attributes);
  // Many-to-one: 0, the target untouched.
  [[nodiscard]] int CreateFolder(const std::wstring& path);
  [[nodiscard]] int DeleteFolder(const std::wstring& path);
  [[nodiscard]] int DeleteFile(const std::wstring& path);
  bool IsPathExists(const std::wstring& path);

  bool IsManyToOne() const { return manyToOne_; }
  const std::wstring& GetExtension() const { return extension_; }
  int GetDeltaFilterPosition() const { return deltaPosition_; }
  size_t GetFilterCount() const { return chain_.size(); }
  bool IsWritten() const { return written_; }
  // Many-to-one: an item written since SetRoot failed.
  bool IsItemFailed() const { return itemFailed_; }
  const std::wstring& GetRoot() const { return root_; }

 private:
  // One filter with its link; destroys the filter before the link it may
  // still use.
  struct Stage {
    Stage(std::unique_ptr<CPluginLink> link, IBackupDataFilter* filter);
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;
    ~Stage();
    std::unique_ptr<CPluginLink> link;
    IBackupDataFilter* filter;
  };

  bool HasFilters() const { return !chain_.empty(); }
  // The stored many-to-one object: root "\" stream + ext, or stream + ext
  // for an empty root.
  std::wstring ObjectName() const;
  // True when `path` is a folder on the target.
  bool IsTargetFolder(const std::wstring& path);
  unsigned int NextHandle() { return ++lastHandle_; }
  // Many-to-one open of the item `path`; a write handle is remembered.
  int PrepareItem(const std::wstring& path, bool write, unsigned int& handle);
  // Many-to-one: forgets `handle`; a write handle that `failed` fails the
  // transaction.
  void EndItem(unsigned int handle, bool failed);
  // Per-file open: the target open, then the chain's prepare.
  template <class TargetOpen>
  int OpenPerFile(TargetOpen targetOpen, const std::wstring& name, bool write, unsigned int& handle);

  IFileSystem* target_;
  CExtensionLoader* loader_;
  std::wstring stream_;
  bool manyToOne_ = false;
  std::wstring extension_;
  std::list<Stage> chain_;  // a list: stages never move
  CFilterToWsConnector end_;
  CSrcToFilterConnector start_;
  Tessarine::Session_ptr session_;
  ILog* log_;
  bool indexStream_;
  int deltaPosition_ = -1;
  bool written_ = false;
  bool itemFailed_ = false;  // many-to-one: the transaction must not be committed
  std::wstring root_;
  unsigned int lastHandle_ = 0;        // many-to-one items are numbered by the pipe
  std::set<unsigned int> writeItems_;  // many-to-one write handles not yet finished
};

// Links the delta filter into the chain for its lifetime.
class CDeltaFilterGuard {
 public:
  explicit CDeltaFilterGuard(CFiltersPipe& pipe) : pipe_(pipe) { (void)pipe_.LinkDeltaFilter(true); }
  ~CDeltaFilterGuard() { (void)pipe_.LinkDeltaFilter(false); }
  CDeltaFilterGuard(const CDeltaFilterGuard&) = delete;
  CDeltaFilterGuard& operator=(const CDeltaFilterGuard&) = delete;

 private:
  CFiltersPipe& pipe_;
};

}  // namespace zr
