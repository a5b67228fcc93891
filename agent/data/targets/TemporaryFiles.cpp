#include "agent/data/targets/TemporaryFiles.h"

#include <set>

namespace zr {

std::wstring TemporaryName(const std::wstring& path) { return path + kTemporarySuffix; }

void HideTemporaryFiles(std::list<CFileInfo>& entries) {
  const std::wstring suffix = kTemporarySuffix;
  std::set<std::wstring> names;
  for (const CFileInfo& entry : entries) names.insert(entry.Name);
  entries.remove_if([&](const CFileInfo& entry) {
    const std::wstring& name = entry.Name;
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
           names.count(name.substr(0, name.size() - suffix.size())) != 0;
  });
}

}  // namespace zr
