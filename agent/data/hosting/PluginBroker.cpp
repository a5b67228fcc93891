#include "agent/data/hosting/PluginBroker.h"

#include "Tessarine.hh"
#include "agent/data/hosting/PluginLink.h"
#include "agent/data/linkfs/LinkFS.h"
#include "idl/CorbaBoundary.h"
#include "plugin-api/ErrorBoundary.h"
#include "plugin-api/ResultCodes.h"

namespace zr {

namespace {

const wchar_t kFolderInfo[] = L"<ftype>Link</ftype>";

std::wstring RootInfo(const CPluginEntry& entry) {
  std::wstring info = entry.IsConfigurable() ? L"<ftype>Plugin</ftype><conf>yes</conf><fs>"
                                             : L"<ftype>Plugin</ftype><conf>no</conf><fs>";
  const bool source = (entry.GetFileSystemType() & 1) != 0;
  const bool destination = (entry.GetFileSystemType() & 2) != 0;
  if (source && destination)
    info += L"S|D";
  else if (source)
    info += L"S";
  else if (destination)
    info += L"D";
  else
    info += L"B";
  return info + L"</fs>";
}

CFileAttributes FolderAttributes() {
  CFileAttributes attributes;
  attributes.Type = CFileAttributes::kTypeDirectory;
  return attributes;
}

}  // namespace

template <class I>
CPluginBroker<I>::CPluginBroker(Tessarine::Session_ptr session, ILog* log, CExtensionLoader* loader)
    : session_(session), log_(log), extensions_(loader) {
  // A failure leaves the pointer null.
  GuardVoid(nullptr, nullptr, [&] { link_ = std::make_unique<CPluginLink>(session); });
  GuardVoid(nullptr, nullptr, [&] { connectionFolder_ = std::make_unique<CLinkFS>(log, session); });
  loader_.Init(loader, log, link_.get(), connectionFolder_.get());
}

template <class I>
CPluginBroker<I>::~CPluginBroker() {
  // The plug-in object goes before the link and folder it was given.
  loader_.Shutdown();
}

template <class I>
std::wstring CPluginBroker<I>::Join(const std::wstring& path) const {
  if (path.empty()) return root_;
  if (root_.empty()) return path;
  return root_ + L"\\" + path;
}

template <class I>
void CPluginBroker<I>::Log(LogEvent::ID level, const wchar_t* text) const {
  if (log_ != nullptr) log_->Write(level, text);
}

template <class I>
int CPluginBroker<I>::Refuse(const wchar_t* what) const {
  const std::wstring line = std::wstring(what) +
                            L" doesn't supported by the filesystem read interface, use write "
                            L"interface instead";
  Log(LogEvent::Warning, line.c_str());
  return kNotSupported;
}

template <class I>
int CPluginBroker<I>::SetElementAttributes([[maybe_unused]] const std::wstring& path,
                                           [[maybe_unused]] const CFileAttributes& attributes) {
  if constexpr (!kWrite) {
    return Refuse(L"Setting attributes");
  } else {
    return Guard(log_, L"Fatal error occurred while setting file attributes", [&] {
      const std::wstring joined = Join(path);
      if (joined.empty()) return kSuccess;
      I* plugin = loader_.GetPluginInstance(joined);
      if (plugin == nullptr) return kFailed;
      return plugin->SetElementAttributes(loader_.GetRestOfPath(joined), attributes);
    });
  }
}

template <class I>
int CPluginBroker<I>::GetElementAttributes(const std::wstring& path, CFileAttributes& attributes) {
  attributes.Mask = 0;
  return Guard(log_, L"Fatal error occurred while getting file attributes", [&] {
    const std::wstring joined = Join(path);
    if (joined.empty()) {
      attributes.Type = CFileAttributes::kTypeDirectory;
      return kSuccess;
    }
    if (joined.find(L'\\') == std::wstring::npos) {
      if (extensions_ == nullptr || extensions_->FindPlugin(joined) == nullptr) return kPathNotFound;
    } else {
      I* plugin = loader_.GetPluginInstance(joined);
      if (plugin == nullptr) return kFailed;
      const std::wstring rest = loader_.GetRestOfPath(joined);
      if (!rest.empty()) return plugin->GetElementAttributes(rest, attributes);
    }
    attributes.Creation = attributes.LastAccess = attributes.Modification = 0;
    attributes.Size = 0;
    attributes.Type = CFileAttributes::kTypeDirectory;
    return kSuccess;
  });
}

template <class I>
int CPluginBroker<I>::GetListing(const std::wstring& path, std::list<CFileInfo>& entries) {
  // Only a CORBA failure (of the link or the connection folder) leaves a line.
  const int result = Guard(
      log_, CorbaLine{L"Fatal error occurred while getting directory listing"}, kFailed,
      [&] {
        if (!root_.empty()) return ListBelowRoot(Join(path), entries);
        if (path.empty()) return RootListing(entries);
        return ListBelowRoot(path, entries);
      },
      [&] { entries.clear(); });
  entries.sort();
  return result;
}

template <class I>
int CPluginBroker<I>::RootListing(std::list<CFileInfo>& entries) {
  if (extensions_ == nullptr) return kSuccess;
  for (const std::wstring& name : extensions_->GetPluginNames()) {
    const CPluginEntry* entry = extensions_->FindPlugin(name);
    if (entry == nullptr) continue;
    CFileInfo info(name, FolderAttributes());
    info.Info = RootInfo(*entry);
    entries.push_back(info);
  }
  return kSuccess;
}

template <class I>
int CPluginBroker<I>::ListBelowRoot(const std::wstring& path, std::list<CFileInfo>& entries) {
  const std::wstring name = CPluginLoader<I>::GetPluginPart(path);
  const CPluginEntry* entry = extensions_ != nullptr ? extensions_->FindPlugin(name) : nullptr;
  int result = kFailed;
  if (path == name && entry != nullptr && entry->IsConfigurable()) {
    if (!connectionFolder_) return kFailed;
    std::list<CFileInfo> connections;
    connectionFolder_->SetPlugin(name);
    result = connectionFolder_->GetListing(std::wstring(), connections);
    if (result == kSuccess) {
      for (CFileInfo& connection : connections) connection.Info = kFolderInfo;
      entries.splice(entries.end(), connections);
    }
  } else {
    I* plugin = loader_.GetPluginInstance(path);
    if (plugin == nullptr) {
      result = kFailed;
    } else {
      result = plugin->GetListing(loader_.GetRestOfPath(path), entries);
    }
  }
  if (result != kSuccess) entries.clear();
  return result;
}

template <class I>
void CPluginBroker<I>::OnStop() {
  // Only the object doing the work is told; none is made for it.
  I* plugin = loader_.GetCurrentInstance();
  if (plugin == nullptr) return;
  GuardVoid(nullptr, nullptr, [plugin] { plugin->OnStop(); });
}

template <class I>
const CPluginEntry* CPluginBroker<I>::ConnectionPath(const std::wstring& joined, std::wstring& connection) {
  std::wstring name;
  CPluginLoader<I>::SplitPath(joined, name, connection);
  if (name.size() + connection.size() + 1 != joined.size()) return nullptr;
  const CPluginEntry* entry = extensions_ != nullptr ? extensions_->FindPlugin(name) : nullptr;
  return entry != nullptr && entry->IsConfigurable() ? entry : nullptr;
}

template <class I>
int CPluginBroker<I>::ChangeFolder(const std::wstring& path,
                                   [[maybe_unused]] int (IBackupDataWrite::*operation)(const std::wstring&),
                                   const wchar_t* refusal, [[maybe_unused]] const wchar_t* fatal) {
  if constexpr (!kWrite) {
    return Refuse(refusal);
  } else {
    return Guard(log_, fatal, [&] {
      const std::wstring joined = Join(path);
      std::wstring connection;
      if (const CPluginEntry* entry = ConnectionPath(joined, connection)) {
        if (!connectionFolder_) return kFailed;
        connectionFolder_->SetPlugin(entry->GetName());
        return (connectionFolder_.get()->*operation)(connection);
      }
      I* plugin = loader_.GetPluginInstance(joined);
      if (plugin == nullptr) return kFailed;
      return (plugin->*operation)(loader_.GetRestOfPath(joined));
    });
  }
}

template <class I>
int CPluginBroker<I>::CreateFolder(const std::wstring& path) {
  return ChangeFolder(path, &IBackupDataWrite::CreateFolder, L"Folders creation",
                      L"Fatal error occurred while creating the folder");
}

template <class I>
int CPluginBroker<I>::DeleteFolder(const std::wstring& path) {
  // An empty path would reach whichever object is current and delete its root.
  if (kWrite && path.empty()) return RefuseEmptyPath(L"Folder deletion");
  return ChangeFolder(path, &IBackupDataWrite::DeleteFolder, L"Folders deletion",
                      L"Fatal error occurred while deleting the folder");
}

template <class I>
int CPluginBroker<I>::DeleteFile(const std::wstring& path) {
  if (kWrite && path.empty()) return RefuseEmptyPath(L"File deletion");
  return ChangeFolder(path, &IBackupDataWrite::DeleteFile, L"File deletion",
                      L"Fatal error occurred while deleting the file");
}

template <class I>
int CPluginBroker<I>::RefuseEmptyPath(const wchar_t* what) const {
  Log(LogEvent::Warning, (std::wstring(what) + L" refused: the path is empty").c_str());
  return kFailed;
}

template <class I>
int CPluginBroker<I>::SetRootPath(const std::wstring& path) {
  root_ = !path.empty() && (path.front() == L'\\' || path.front() == L'/') ? path.substr(1) : path;
  return kSuccess;
}

template <class I>
int CPluginBroker<I>::BeginTransaction() {
  if constexpr (!kWrite) {
    return Refuse(L"Transactions");
  } else {
    return Guard(log_, L"Fatal error occurred while beginning transaction", [&] {
      I* plugin = loader_.FindCurrentInstance(root_);
      if (plugin == nullptr) {
        if (loader_.GetCurrentInstance() != nullptr &&
            (loader_.HasOpenHandles() || loader_.IsInTransaction())) {
          Log(LogEvent::Error,
              L"Can't begin a transaction while another plug-in object has work in progress");
          return kFailed;
        }
        plugin = loader_.GetPluginInstance(root_);
      }
      if (plugin == nullptr) return kFailed;
      const int result = plugin->BeginTransaction();
      if (result == kSuccess && loader_.IsInstance(plugin)) loader_.SetInTransaction(true);
      return result;
    });
  }
}

template <class I>
int CPluginBroker<I>::CommitTransaction() {
  if constexpr (!kWrite) {
    return Refuse(L"Transactions");
  } else {
    return Guard(log_, L"Fatal error occurred while commiting transaction", [&] {
      if (loader_.TakeTransactionLost()) {
        Log(LogEvent::Error, L"Can't commit the transaction: its plug-in object was released before");
        return kFailed;
      }
      I* plugin = loader_.FindCurrentInstance(root_);
      if (plugin == nullptr) {
        if (loader_.GetCurrentInstance() != nullptr) {
          Log(LogEvent::Error, L"Can't commit the transaction: the root names another plug-in object");
          return kFailed;
        }
        plugin = loader_.GetPluginInstance(root_);
      }
      if (plugin == nullptr) return kFailed;
      const int result = plugin->CommitTransaction();
      if (loader_.IsInstance(plugin)) loader_.SetInTransaction(false);
      return result;
    });
  }
}

template <class I>
int CPluginBroker<I>::OpenFile(const std::wstring& path, FileAccessMode::ID mode, unsigned int& handle) {
  if (path.empty()) return kPathNotFound;
  return Guard(log_, L"Fatal error occurred while opening the file", [&] {
    const std::wstring joined = Join(path);
    I* plugin = loader_.GetPluginInstance(joined);
    // The connection folder holds no files: its "open" would hand out a
    // handle that no later operation accepts.
    if (!loader_.IsInstance(plugin)) return kFailed;
    const int result = plugin->OpenFile(loader_.GetRestOfPath(joined), mode, handle);
    if (result == kSuccess) loader_.AddOpenHandle(handle);
    return result;
  });
}

template <class I>
int CPluginBroker<I>::ReadFile(unsigned char* buffer, unsigned int& size, const unsigned int& handle) {
  return Guard(log_, L"Fatal error occurred while reading the file", [&] {
    I* plugin = loader_.GetCurrentInstance();
    if (plugin == nullptr || !loader_.IsHandleOpen(handle)) return kFailed;
    return plugin->ReadFile(buffer, size, handle);
  });
}

template <class I>
int CPluginBroker<I>::WriteFile([[maybe_unused]] const unsigned char* data,
                                [[maybe_unused]] unsigned int& size,
                                [[maybe_unused]] const unsigned int& handle) {
  if constexpr (!kWrite) {
    return Refuse(L"Writing the file");
  } else {
    return Guard(log_, L"Fatal error occurred while writing the file", [&] {
      I* plugin = loader_.GetCurrentInstance();
      if (plugin == nullptr || !loader_.IsHandleOpen(handle)) return kFailed;
      return plugin->WriteFile(data, size, handle);
    });
  }
}

template <class I>
int CPluginBroker<I>::CloseFile(const unsigned int& handle) {
  return Guard(log_, L"Fatal error occurred while closing the file", [&] {
    I* plugin = loader_.GetCurrentInstance();
    if (plugin == nullptr || !loader_.IsHandleOpen(handle)) return kFailed;
    // The handle is gone whatever the plug-in answers.
    loader_.RemoveOpenHandle(handle);
    return plugin->CloseFile(handle);
  });
}

template <class I>
int CPluginBroker<I>::SeekFile(const unsigned int& handle, const unsigned long long& position) {
  return Guard(log_, L"Fatal error occurred while seeking the file", [&] {
    I* plugin = loader_.GetCurrentInstance();
    if (plugin == nullptr || !loader_.IsHandleOpen(handle)) return kFailed;
    return plugin->SeekFile(handle, position);
  });
}

template <class I>
int CPluginBroker<I>::MoveFile([[maybe_unused]] const std::wstring& from,
                               [[maybe_unused]] const std::wstring& to) {
  if constexpr (!kWrite) {
    return Refuse(L"Moving the file");
  } else {
    return Guard(log_, L"Fatal error occurred while moving the file", [&] {
      const std::wstring source = Join(from);
      const std::wstring target = Join(to);
      std::wstring sourceName, sourceConnection, targetName, targetConnection;
      CPluginLoader<I>::SplitPath(source, sourceName, sourceConnection);
      CPluginLoader<I>::SplitPath(target, targetName, targetConnection);
      const CPluginEntry* entry = extensions_ != nullptr ? extensions_->FindPlugin(sourceName) : nullptr;
      if (sourceName != targetName ||
          (entry != nullptr && entry->IsConfigurable() && sourceConnection != targetConnection)) {
        Log(LogEvent::Warning, L"Moving the file between plug-ins or connections isn't supported");
        return kNotSupported;
      }
      I* plugin = loader_.GetPluginInstance(source);
      if (plugin == nullptr) return kFailed;
      return plugin->MoveFile(loader_.GetRestOfPath(source), loader_.GetRestOfPath(target));
    });
  }
}

template class CPluginBroker<IBackupDataRead>;
template class CPluginBroker<IBackupDataWrite>;

}  // namespace zr
