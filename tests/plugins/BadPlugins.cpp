// Libraries that are not valid plug-ins, chosen by ZRTEST_KIND:
//   1  exports a factory but no GetPluginInfo;
//   2  GetPluginInfo returns null;
//   3  GetPluginInfo calls a function no library defines (refused at load);
//   4  GetPluginInfo throws something that is no standard exception.

#include "plugin-api/PluginExports.h"
#include "tests/plugins/Counters.h"

#if ZRTEST_KIND == 1
ZR_PLUGIN_EXPORT IBackupDataRead* GetBackupDataRead(ILog*, ILink*) {
  zrtest::Count(zrtest::kFactory);
  return nullptr;
}
#elif ZRTEST_KIND == 2
ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo() { return nullptr; }
#elif ZRTEST_KIND == 3
extern "C" IPluginInfo* ZrTestNowhereDefined();
ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo() { return ZrTestNowhereDefined(); }
#elif ZRTEST_KIND == 4
ZR_PLUGIN_EXPORT IPluginInfo* GetPluginInfo() { throw 42; }
#endif
