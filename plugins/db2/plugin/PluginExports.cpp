// The factories of the DB2 plug-in library, its only exported symbols.
#include "plugin-api/PluginExports.h"

#include "plugins/db2/plugin/PluginImplementation.h"
#include "plugins/db2/plugin/PluginInfo.h"

ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo() { return new PluginInfo(); }

ZR_PLUGIN_EXPORT IBackupDataRead* GetBackupDataRead(ILog* log, ILink* link) {
  return new PluginImplementation(log, link);
}

ZR_PLUGIN_EXPORT IBackupDataWrite* GetBackupDataWrite(ILog* log, ILink* link) {
  return new PluginImplementation(log, link);
}
