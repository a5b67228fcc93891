#include "agent/data/hosting/PluginEntry.h"

#include "agent/data/hosting/FactoryLookup.h"
#include "agent/data/hosting/PluginPtr.h"
#include "agent/data/hosting/WsException.h"
#include "plugin-api/PluginExports.h"

namespace zr {

void ReadPluginInfo(CPluginEntry& entry, void* library) {
  entry.library_ = library;
  entry.name_.clear();
  entry.version_.clear();
  if (library == nullptr) throw CWsException("Not a valid plug-in");
  auto factory = FindFactory<GetPluginInfoFn>(library, kGetPluginInfoName);
  if (factory == nullptr) throw CWsException("Not a valid plug-in");
  PluginPtr<IPluginInfo> info(factory());
  if (!info) throw CWsException("Not a valid plug-in");
  const wchar_t* name = info->GetPluginName();
  const wchar_t* version = info->GetPluginVersion();
  entry.name_ = name != nullptr ? name : L"";
  entry.version_ = version != nullptr ? version : L"";
  entry.fileSystemType_ = info->GetFileSystemType();
  entry.seekSupported_ = info->IsSeekFileSupported();
  entry.moveSupported_ = info->IsMoveFileSupported();
  entry.configurable_ = info->IsConfigurable();
}

}  // namespace zr
