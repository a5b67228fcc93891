#include "tests/plugins/Counters.h"

#include <atomic>

namespace {
std::atomic<int> counters[zrtest::kCounterCount];
std::wstring lastTempPath;
}  // namespace

namespace zrtest {
void Count(Counter which) { ++counters[which]; }
void Add(Counter which, int amount) { counters[which] += amount; }
void SetLastTempPath(const std::wstring& path) { lastTempPath = path; }
}  // namespace zrtest

ZR_PLUGIN_EXPORT int ZrTestCount(int which) {
  if (which < 0 || which >= zrtest::kCounterCount) return 0;
  return counters[which].load();
}

ZR_PLUGIN_EXPORT void ZrTestReset() {
  for (auto& counter : counters) counter = 0;
  lastTempPath.clear();
}

ZR_PLUGIN_EXPORT const wchar_t* ZrTestLastTempPath() { return lastTempPath.c_str(); }
