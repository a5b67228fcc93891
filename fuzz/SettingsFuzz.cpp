// The settings file on any content: load it, read every getter, save, load the saved file into a new
// object: every value must come back (the words "once" and "debug" are not kept by a save, so the
// delta-copy debug flag is not compared).
#include <stdlib.h>

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "agent/data/Settings.h"
#include "fuzz/FuzzCheck.h"

namespace {

std::filesystem::path g_root;

void RemoveRoot() {
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
}

struct Values {
  std::wstring name, host, port, debugLevel, tempFolder, logFile, initRef;
  std::string narrowName;
  bool autoSearch, delta, disableAuthorization;
  bool operator==(const Values& o) const {
    return name == o.name && host == o.host && port == o.port && debugLevel == o.debugLevel &&
           tempFolder == o.tempFolder && logFile == o.logFile && initRef == o.initRef &&
           narrowName == o.narrowName && autoSearch == o.autoSearch && delta == o.delta &&
           disableAuthorization == o.disableAuthorization;
  }
};

Values Read(const zr::CSettings& settings) {
  Values v;
  v.name = settings.GetName();
  v.narrowName = settings.GetNarrowName();
  v.host = settings.GetCoordinatorHost();
  v.port = settings.GetCoordinatorPort();
  v.debugLevel = settings.GetDebugLevel();
  v.tempFolder = settings.GetTempFolder();
  v.autoSearch = settings.GetEnableCoordinatorAutoSearch();
  v.delta = settings.GetUseDeltaCopying();
  (void)settings.GetUseDeltaCopyingDebug();
  v.disableAuthorization = settings.GetDisableAuthorization();
  (void)settings.IsDefaulted();
  v.logFile = settings.GetLogFilePath();
  v.initRef = settings.GetNameServiceInitRef();
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  char pattern[] = "/tmp/zrfuzz-settings-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  g_root = pattern;
  std::atexit(RemoveRoot);
  // The load's notes go to the wide error stream: keep the run's output readable.
  std::wcerr.setstate(std::ios::badbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
  const std::filesystem::path system = g_root / "system";
  const std::filesystem::path home = g_root / "home";
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  std::filesystem::create_directories(system);
  {
    std::FILE* f = std::fopen((system / "workstation.zrl").c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
  }
  Values first;
  {
    zr::CSettings settings(system.wstring(), home.wstring());
    settings.Load();
    first = Read(settings);
    FUZZ_CHECK(settings.Save());
  }
  zr::CSettings again(system.wstring(), home.wstring());
  again.Load();
  FUZZ_CHECK(Read(again) == first);
  FUZZ_CHECK(!again.IsDefaulted() || first.name == again.GetName());
  return 0;
}
