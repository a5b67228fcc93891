// Test-side access to the test plug-in libraries: where they are, copying
// them into a scanned folder, and reading the counters they export.

#pragma once

#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "tests/plugins/Counters.h"
#include "tests/plugins/FolderFaults.h"

namespace zrtest {

// Copies `library` into `folder` as `fileName` and returns the new path.
inline std::string InstallLibrary(const std::string& library, const std::filesystem::path& folder,
                                  const std::string& fileName) {
  const std::filesystem::path target = folder / fileName;
  std::filesystem::copy_file(library, target, std::filesystem::copy_options::overwrite_existing);
  return target.string();
}

// True when the library at `path` is loaded in this process.
inline bool IsLoaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

// Calls the exported function `symbol` of the loaded library at `path` with
// `f` (the library is not loaded by this); false when it is not loaded.
template <class Fn, class Call>
bool WithExport(const std::string& path, const char* symbol, Call call) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  auto fn = reinterpret_cast<Fn>(dlsym(handle, symbol));
  if (fn != nullptr) call(fn);
  dlclose(handle);
  return fn != nullptr;
}

// A counter of the loaded library at `path`; -1 when it is not loaded.
inline int CountOf(const std::string& path, Counter which) {
  int value = -1;
  WithExport<int (*)(int)>(path, "ZrTestCount", [&](auto fn) { value = fn(which); });
  return value;
}

inline void ResetCounts(const std::string& path) {
  WithExport<void (*)()>(path, "ZrTestReset", [](auto fn) { fn(); });
}

inline std::wstring LastTempPath(const std::string& path) {
  std::wstring value;
  WithExport<const wchar_t* (*)()>(path, "ZrTestLastTempPath", [&](auto fn) { value = fn(); });
  return value;
}

// Codes plug-in: the result of every operation (-1 raises CORBA::TRANSIENT).
inline void SetResult(const std::string& path, int code) {
  WithExport<void (*)(int)>(path, "ZrTestSetResult", [&](auto fn) { fn(code); });
}

// Codes plug-in: 0 factories make objects, 1 return null, 2 throw.
inline void SetFactoryMode(const std::string& path, int mode) {
  WithExport<void (*)(int)>(path, "ZrTestSetFactoryMode", [&](auto fn) { fn(mode); });
}

// Folder plug-in: sets one fault (tests/plugins/FolderFaults.h).
inline void SetFault(const std::string& path, Fault which, long long value) {
  WithExport<void (*)(int, long long)>(path, "ZrTestSetFault", [&](auto fn) { fn(which, value); });
}

// Folder plug-in: every fault off.
inline void ResetFaults(const std::string& path) {
  WithExport<void (*)()>(path, "ZrTestResetFaults", [](auto fn) { fn(); });
}

}  // namespace zrtest
