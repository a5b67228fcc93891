// Call counters kept inside each test plug-in library, read by the tests
// through the exported functions below (dlopen with RTLD_NOLOAD + dlsym).

#pragma once

#include <string>

#include "plugin-api/PluginExports.h"

namespace zrtest {

enum Counter {
  kFactory = 0,  // GetBackupDataRead / GetBackupDataWrite / GetFilter calls
  kDestroy = 1,  // Destroy() of a plug-in or filter object
  kOnStop = 2,
  kBegin = 3,
  kCommit = 4,
  kOpen = 5,          // successful OpenFile
  kClose = 6,         // CloseFile
  kDirectBytes = 7,   // bytes a filter saw in the storing direction
  kReverseBytes = 8,  // bytes a filter saw in the restoring direction
  kCounterCount = 9
};

// Adds one to `which`.
void Count(Counter which);
// Adds `amount` to `which`.
void Add(Counter which, int amount);
// Remembers the "WSTempPath" value a plug-in object got from its link.
void SetLastTempPath(const std::wstring& path);

}  // namespace zrtest

// The current value of counter `which` (0 for an unknown counter).
ZR_PLUGIN_EXPORT int ZrTestCount(int which);
// Sets every counter to 0.
ZR_PLUGIN_EXPORT void ZrTestReset();
// The last value given to SetLastTempPath (empty before).
ZR_PLUGIN_EXPORT const wchar_t* ZrTestLastTempPath();
