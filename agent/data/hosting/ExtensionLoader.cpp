#include "agent/data/hosting/ExtensionLoader.h"

#include <dlfcn.h>

#include <exception>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "agent/data/hosting/FactoryLookup.h"
#include "agent/data/hosting/PluginPtr.h"
#include "plugin-api/PluginExports.h"
#include "zrlib/strings/Strings.h"

namespace zr {

namespace {

std::wstring WithSlash(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'/') folder += L'/';
  return folder;
}

// Opens a library with every symbol resolved now, so that a library with an
// unresolved symbol is refused here instead of failing at its first call.
// Returns null and the loader's message on failure.
void* OpenLibrary(const std::wstring& path, std::wstring& error) {
  dlerror();
  void* library = dlopen(ZRLib::strings::toAstr(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* text = dlerror();
    error = L" : Can't load plug-in '" + path + L"'. " +
            ZRLib::strings::toWstrOrEscaped(text != nullptr ? text : "");
  }
  return library;
}

}  // namespace

CExtensionLoader::CExtensionLoader(const std::wstring& path, const std::wstring& pluginsFolder,
                                   const std::wstring& filtersFolder)
    : pluginsFolder_(WithSlash(pluginsFolder)), filtersFolder_(WithSlash(filtersFolder)) {
  const std::size_t slash = path.rfind(L'/');
  homeFolder_ = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
  LoadExtensions();
}

CExtensionLoader::~CExtensionLoader() { UnloadExtensions(); }

void CExtensionLoader::LoadExtensions() {
  std::wcerr << L"Loading extensions..." << std::endl;
  ScanFolder(pluginsFolder_, plugins_);
  ScanFolder(filtersFolder_, filters_);
  std::wcerr << L"Extensions loaded" << std::endl;
}

void CExtensionLoader::UnloadExtensions() {
  std::wcerr << L"Unloading extensions..." << std::endl;
  while (!plugins_.empty()) {
    if (plugins_.front().GetLibrary() != nullptr) dlclose(plugins_.front().GetLibrary());
    plugins_.pop_front();
  }
  while (!filters_.empty()) {
    if (filters_.front().GetLibrary() != nullptr) dlclose(filters_.front().GetLibrary());
    filters_.pop_front();
  }
  std::wcerr << L"    Done" << std::endl;
}

template <class Entry>
void CExtensionLoader::ScanFolder(const std::wstring& folder, std::list<Entry>& entries) {
  namespace fs = std::filesystem;
  entries.clear();
  std::error_code ec;
  std::string narrow;
  try {
    narrow = ZRLib::strings::toAstr(folder);
  } catch (const std::exception&) {
  }
  if (narrow.empty() || !fs::is_directory(narrow, ec)) {
    std::wcerr << L"Plug-ins folder doesn't found: " << folder << std::endl;
    return;
  }
  fs::directory_iterator it(narrow, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    // Regular files only, after following links: opening a named pipe or a
    // device would wait for ever or read something that is no library.
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    const std::string fileName = it->path().filename().string();
    const std::size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || fileName.compare(dot, std::string::npos, ".so") != 0) continue;
    std::wstring line = L"    ";
    std::wstring wideName;
    if (!ZRLib::strings::toWstrOrEscaped(fileName, wideName)) {
      line += wideName + L" : Skipped, the file name can't be converted in the current locale";
    } else {
      line += wideName;
      try {
        line += LoadLibrary(folder + wideName, entries);
      } catch (...) {
        // One bad file must not stop the scan.
        line += L" : Not loaded '" + folder + wideName + L"'";
      }
    }
    std::wcerr << line << std::endl;
  }
  if (ec) {
    std::wcerr << L"Plug-ins folder can't be read: " << folder << L" : "
               << ZRLib::strings::toWstrOrEscaped(ec.message()) << std::endl;
  }
}

std::wstring CExtensionLoader::LoadLibrary(const std::wstring& path, std::list<CPluginEntry>& entries) {
  std::wstring error;
  void* library = OpenLibrary(path, error);
  if (library == nullptr) return error;
  CPluginEntry entry;
  try {
    ReadPluginInfo(entry, library);
  } catch (const std::exception&) {
    dlclose(library);
    return L" : Not a valid plug-in '" + path + L"'";
  } catch (...) {
    // Whatever GetPluginInfo threw, the library is not loaded as a plug-in.
    dlclose(library);
    return L" : Not a valid plug-in '" + path + L"'";
  }
  entries.push_back(entry);
  return std::wstring();
}

std::wstring CExtensionLoader::LoadLibrary(const std::wstring& path, std::list<CFilterEntry>& entries) {
  std::wstring error;
  void* library = OpenLibrary(path, error);
  if (library == nullptr) return error;
  std::wstring name;
  std::wstring version;
  bool valid = false;
  try {
    auto factory = FindFactory<GetFilterInfoFn>(library, kGetFilterInfoName);
    if (factory != nullptr) {
      PluginPtr<IPluginInfo> info(factory());
      if (info) {
        const wchar_t* text = info->GetPluginName();
        name = text != nullptr ? text : L"";
        text = info->GetPluginVersion();
        version = text != nullptr ? text : L"";
        valid = true;
      }
    }
  } catch (...) {
    // A filter that fails to describe itself is kept without a name.
    name.clear();
    version.clear();
    valid = false;
  }
  entries.emplace_back(library, name, version, valid);
  return std::wstring();
}

CPluginEntry* CExtensionLoader::FindPlugin(const std::wstring& name) {
  for (auto& entry : plugins_)
    if (entry.GetName() == name) return &entry;
  return nullptr;
}

CFilterEntry* CExtensionLoader::FindFilter(const std::wstring& name) {
  for (auto& entry : filters_)
    if (entry.GetName() == name) return &entry;
  return nullptr;
}

std::list<std::wstring> CExtensionLoader::GetPluginNames() const {
  std::list<std::wstring> names;
  for (const auto& entry : plugins_) names.push_back(entry.GetName());
  return names;
}

}  // namespace zr
