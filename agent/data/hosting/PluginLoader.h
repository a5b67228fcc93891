// Turns a path into a live plug-in object. A path reads
//   plug-in "\" connection "\" rest   for a configurable plug-in,
//   plug-in "\" rest                  for any other.
// The loader keeps at most one object (the current instance), reuses it while
// plug-in and connection stay the same and replaces it otherwise.
//
// I is IBackupDataRead or IBackupDataWrite.
// REQUIRES: one thread at a time (the broker's caller).

#pragma once

#include <set>
#include <string>
#include <type_traits>

#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/hosting/PluginPtr.h"
#include "plugin-api/ErrorBoundary.h"
#include "plugin-api/IBackupDataWrite.h"
#include "plugin-api/ILog.h"

namespace zr {

class CPluginLink;
class CLinkFS;

template <class I>
class CPluginLoader {
 public:
  CPluginLoader() = default;
  // Closes what is still open on the current instance and releases it.
  ~CPluginLoader() { Shutdown(); }

  CPluginLoader(const CPluginLoader&) = delete;
  CPluginLoader& operator=(const CPluginLoader&) = delete;

  // None of the four is owned; any may be null.
  void Init(CExtensionLoader* loader, ILog* log, CPluginLink* link, CLinkFS* connectionFolder) {
    DestroyPluginInstance();
    loader_ = loader;
    log_ = log;
    link_ = link;
    connectionFolder_ = connectionFolder;
  }

  // name: the text before the first "\" (the whole path without one);
  // connection: the text between the first and the second "\" (to the end
  // without a second), empty without a first.
  static void SplitPath(const std::wstring& path, std::wstring& name, std::wstring& connection) {
    name.clear();
    connection.clear();
    const std::size_t first = path.find(L'\\');
    name = path.substr(0, first);
    if (first == std::wstring::npos) return;
    const std::size_t second = path.find(L'\\', first + 1);
    connection =
        path.substr(first + 1, second == std::wstring::npos ? std::wstring::npos : second - first - 1);
  }

  // The text before the first "\" (the whole path without one).
  static std::wstring GetPluginPart(const std::wstring& path) { return path.substr(0, path.find(L'\\')); }

  // The part of `path` handed to the object that serves it: empty without a
  // "\"; after the second "\" (empty without one) when the current instance
  // serves the path with a connection; else (a plug-in without connections,
  // the connection folder) after the first "\". Only the path decides: an
  // instance of another connection that stays current changes nothing.
  std::wstring GetRestOfPath(const std::wstring& path) const {
    const std::size_t first = path.find(L'\\');
    if (first == std::wstring::npos) return std::wstring();
    std::wstring name;
    std::wstring connection;
    SplitPath(path, name, connection);
    if (connection_.empty() || !IsCurrent(name, connection)) return path.substr(first + 1);
    const std::size_t second = path.find(L'\\', first + 1);
    return second == std::wstring::npos ? std::wstring() : path.substr(second + 1);
  }

  // True when an instance of plug-in `name` exists and serves `connection`
  // (an instance without a connection serves every connection).
  bool IsCurrent(const std::wstring& name, const std::wstring& connection) const {
    return instance_ && name == name_ && (connection_.empty() || connection_ == connection);
  }

  // The object for `path`: the current instance when it serves the path
  // (an empty path included), the connection folder for a configurable
  // plug-in named without a connection, else a new instance made by the
  // plug-in's factory. The instance it replaces is released first, after its
  // open files are closed (logged). Null when there is no such plug-in, no
  // link to give it, no settings object for the connection of a
  // configurable plug-in, or it makes no object; the current instance is
  // kept when there is no such plug-in or the path's connection name is
  // refused (zr::IsValidConnectionName, logged at level 1).
  I* GetPluginInstance(const std::wstring& path);

  // The current instance (null when none), without any lookup.
  I* GetCurrentInstance() const { return instance_.get(); }

  // The current instance when it serves `path` (an empty path: any current
  // instance), else null. Never creates or releases anything.
  I* FindCurrentInstance(const std::wstring& path) const {
    if (path.empty()) return instance_.get();
    std::wstring name;
    std::wstring connection;
    SplitPath(path, name, connection);
    return IsCurrent(name, connection) ? instance_.get() : nullptr;
  }

  // True when `object` is the current instance (not the connection folder).
  bool IsInstance(const IBackupDataRead* object) const {
    return object != nullptr && instance_ && object == instance_.get();
  }

  // Closes the files still open on the current instance (logged at level 1),
  // releases it, and empties name and connection. A transaction still open
  // on it is marked lost.
  void DestroyPluginInstance() {
    if (instance_) {
      if (!openHandles_.empty()) {
        Log(LogEvent::Warning, L"Closing " + std::to_wstring(openHandles_.size()) +
                                   L" file(s) left open on the plug-in '" + name_ + L"'");
        for (unsigned int handle : openHandles_) {
          try {
            static_cast<void>(instance_->CloseFile(handle));
          } catch (...) {
          }
        }
      }
      if (inTransaction_) transactionLost_ = true;
      instance_.reset();
    }
    openHandles_.clear();
    inTransaction_ = false;
    name_.clear();
    connection_.clear();
  }

  // DestroyPluginInstance without logging, for owners being destroyed (their
  // log may already be gone). The loader is unusable afterwards.
  void Shutdown() {
    log_ = nullptr;
    DestroyPluginInstance();
    loader_ = nullptr;
    link_ = nullptr;
    connectionFolder_ = nullptr;
  }

  // Files open on the current instance.
  void AddOpenHandle(unsigned int handle) { openHandles_.insert(handle); }
  void RemoveOpenHandle(unsigned int handle) { openHandles_.erase(handle); }
  bool IsHandleOpen(unsigned int handle) const { return openHandles_.count(handle) != 0; }
  bool HasOpenHandles() const { return !openHandles_.empty(); }

  // Transaction state of the current instance.
  void SetInTransaction(bool open) {
    inTransaction_ = open;
    if (open) transactionLost_ = false;
  }
  bool IsInTransaction() const { return inTransaction_; }
  // True (once) when an instance was released inside its transaction.
  bool TakeTransactionLost() {
    const bool lost = transactionLost_;
    transactionLost_ = false;
    return lost;
  }

  CExtensionLoader* GetExtensionLoader() const { return loader_; }
  const std::wstring& GetPluginName() const { return name_; }
  const std::wstring& GetConnection() const { return connection_; }

 private:
  PluginPtr<I> CreateInstance(const CPluginEntry& entry);

  // A log that throws must not stop a switch half-way (the old handles
  // would then stay recorded for the next object).
  void Log(LogEvent::ID level, const std::wstring& text) noexcept { WriteLogLine(log_, level, text); }

  CExtensionLoader* loader_ = nullptr;
  PluginPtr<I> instance_;
  std::wstring name_;
  std::wstring connection_;
  ILog* log_ = nullptr;
  CPluginLink* link_ = nullptr;
  CLinkFS* connectionFolder_ = nullptr;
  std::set<unsigned int> openHandles_;
  bool inTransaction_ = false;
  bool transactionLost_ = false;
};

extern template class CPluginLoader<IBackupDataRead>;
extern template class CPluginLoader<IBackupDataWrite>;

}  // namespace zr
