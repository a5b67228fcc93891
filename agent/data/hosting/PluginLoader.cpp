#include "agent/data/hosting/PluginLoader.h"

#include "agent/data/hosting/FactoryLookup.h"
#include "agent/data/hosting/PluginLink.h"
#include "agent/data/linkfs/ConnectionName.h"
#include "agent/data/linkfs/LinkFS.h"
#include "plugin-api/PluginExports.h"

namespace zr {

template <class I>
I* CPluginLoader<I>::GetPluginInstance(const std::wstring& path) {
  if (path.empty() && instance_) return instance_.get();
  std::wstring name;
  std::wstring connection;
  SplitPath(path, name, connection);
  if (IsCurrent(name, connection)) return instance_.get();
  try {
    CPluginEntry* entry = loader_ != nullptr ? loader_->FindPlugin(name) : nullptr;
    if (entry == nullptr) return nullptr;
    if (entry->IsConfigurable() && connection.empty()) {
      if (connectionFolder_ == nullptr) return nullptr;
      connectionFolder_->SetPlugin(name);
      return connectionFolder_;
    }
    if (entry->IsConfigurable() && !zr::IsValidConnectionName(connection)) {
      Log(LogEvent::Warning, L"Invalid connection name '" + zr::PrintableConnectionName(connection) + L"'");
      return nullptr;
    }
    // Plug-ins use the link they are given without testing it for null.
    if (entry->GetLibrary() == nullptr || link_ == nullptr) return nullptr;
    DestroyPluginInstance();
    // Without its connection's settings a configurable plug-in would work
    // on its defaults (another folder, another database): no object then.
    if (!link_->SetPlugin(*entry, connection) && entry->IsConfigurable()) return nullptr;
    instance_ = CreateInstance(*entry);
    if (instance_) {
      name_ = name;
      connection_ = entry->IsConfigurable() ? connection : std::wstring();
    }
  } catch (...) {
    // Nothing of a half-made switch may survive: no object, and no handle
    // or transaction recorded for one.
    DestroyPluginInstance();
  }
  return instance_.get();
}

template <class I>
PluginPtr<I> CPluginLoader<I>::CreateInstance(const CPluginEntry& entry) {
  const char* symbol = nullptr;
  if constexpr (std::is_same_v<I, IBackupDataWrite>) symbol = kGetBackupDataWriteName;
  if constexpr (std::is_same_v<I, IBackupDataRead>) symbol = kGetBackupDataReadName;
  if (symbol == nullptr) return nullptr;
  auto factory = FindFactory<I* (*)(ILog*, ILink*)>(entry.GetLibrary(), symbol);
  if (factory == nullptr) return nullptr;
  try {
    return PluginPtr<I>(factory(log_, link_));
  } catch (...) {
    return nullptr;
  }
}

template class CPluginLoader<IBackupDataRead>;
template class CPluginLoader<IBackupDataWrite>;

}  // namespace zr
