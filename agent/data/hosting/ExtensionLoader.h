// The plug-in and filter libraries of the agent, loaded once and kept until
// destruction.

#pragma once

#include <list>
#include <string>

#include "agent/data/hosting/FilterEntry.h"
#include "agent/data/hosting/PluginEntry.h"

namespace zr {

class CExtensionLoader {
 public:
  static constexpr const wchar_t* kPluginsFolder = L"/usr/lib/zr/Plugins/";
  static constexpr const wchar_t* kFiltersFolder = L"/usr/lib/zr/Filters/";

  // `path` is the program path; the part before its last "/" is kept as the
  // home folder. Loads every "*.so" of the two folders (not recursive) that is
  // a regular file after following links, writing one log line per file taken
  // (std::wcerr): its name and what went wrong, if anything. A file name the
  // locale cannot convert is logged escaped and skipped; a folder that cannot
  // be read gets a line of its own. Never throws for a missing or unreadable
  // folder or a bad library.
  explicit CExtensionLoader(const std::wstring& path, const std::wstring& pluginsFolder = kPluginsFolder,
                            const std::wstring& filtersFolder = kFiltersFolder);
  // Unloads every library. Every entry, and every object a library made,
  // must be gone before.
  ~CExtensionLoader();

  CExtensionLoader(const CExtensionLoader&) = delete;
  CExtensionLoader& operator=(const CExtensionLoader&) = delete;

  // Scans both folders into the lists (replaced, nothing is closed).
  // REQUIRES: the lists are empty (the constructor runs it once).
  void LoadExtensions();
  // Closes every plug-in library, then every filter library.
  void UnloadExtensions();

  // The first entry loaded under `name` (exact comparison), or null. The
  // pointer stays valid until the loader is destroyed.
  CPluginEntry* FindPlugin(const std::wstring& name);
  CFilterEntry* FindFilter(const std::wstring& name);

  // Names of all plug-ins, in load order.
  std::list<std::wstring> GetPluginNames() const;

  const std::wstring& GetHomeFolder() const { return homeFolder_; }

 private:
  template <class Entry>
  void ScanFolder(const std::wstring& folder, std::list<Entry>& entries);
  // Loads one file; returns what goes after the file name on its log line.
  std::wstring LoadLibrary(const std::wstring& path, std::list<CPluginEntry>& entries);
  std::wstring LoadLibrary(const std::wstring& path, std::list<CFilterEntry>& entries);

  std::wstring homeFolder_;
  std::wstring pluginsFolder_;
  std::wstring filtersFolder_;
  std::list<CPluginEntry> plugins_;
  std::list<CFilterEntry> filters_;
};

}  // namespace zr
