#include "plugins/db2/plugin/PluginInfo.h"

const wchar_t* PluginInfo::GetPluginVersion() const { return L"1.0"; }
const wchar_t* PluginInfo::GetPluginName() const { return L"DB2"; }
int PluginInfo::GetFileSystemType() const { return 1; }
bool PluginInfo::IsSeekFileSupported() const { return false; }
bool PluginInfo::IsMoveFileSupported() const { return false; }
bool PluginInfo::IsConfigurable() const { return false; }
