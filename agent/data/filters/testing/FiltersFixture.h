// Test fixture for the filters pipe and its users: the hosting fixture
// (test Coordinator, session, recording log) plus the three test filters
// ("xor" per file ".z", "pack" many-to-one ".pk", "xdelta" counting) in a
// temporary filters folder with its own extension loader, and an in-memory
// target.

#pragma once

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "agent/data/filters/FiltersPipe.h"
#include "agent/data/hosting/testing/HostingFixture.h"
#include "tests/storage/MemoryFileSystem.h"

namespace filterstest {

class FiltersFixture : public hostingtest::HostingFixture {
 protected:
  void SetUp() override {
    HostingFixture::SetUp();
    std::filesystem::create_directories(base_ / "Filters");
    xor_ = zrtest::InstallLibrary(ZRTEST_XORFILTER_PATH, base_ / "Filters", "xor.so");
    pack_ = zrtest::InstallLibrary(ZRTEST_PACKFILTER_PATH, base_ / "Filters", "pack.so");
    xdelta_ = zrtest::InstallLibrary(ZRTEST_XDELTAFILTER_PATH, base_ / "Filters", "xdelta.so");
    std::wstringstream quiet;
    std::wstreambuf* old = std::wcerr.rdbuf(quiet.rdbuf());
    const std::string filters = (base_ / "Filters").string() + "/";
    filterLoader_ = std::make_unique<zr::CExtensionLoader>(L"wsagent", L"/nonexistent/Plugins/",
                                                           std::wstring(filters.begin(), filters.end()));
    std::wcerr.rdbuf(old);
    for (const std::string& library : {xor_, pack_, xdelta_}) zrtest::ResetCounts(library);
  }

  void TearDown() override {
    filterLoader_.reset();
    HostingFixture::TearDown();
  }

  std::unique_ptr<zr::CFiltersPipe> MakePipe(const std::vector<std::wstring>& filters,
                                             const std::wstring& stream = L"backup",
                                             bool indexStream = false) {
    return std::make_unique<zr::CFiltersPipe>(&target_, filters, stream, sessionRef_.in(), &log_,
                                              filterLoader_.get(), indexStream);
  }

  // Writes `data` to `path` through `pipe`; the close's result.
  static int Store(zr::CFiltersPipe& pipe, const std::wstring& path, const std::string& data) {
    unsigned int handle = 0;
    const int opened = pipe.OpenFile(path, FileAccessMode::Write, handle);
    if (opened != 0) return opened;
    unsigned int size = static_cast<unsigned int>(data.size());
    const int written = pipe.WriteFile(reinterpret_cast<const unsigned char*>(data.data()), size, handle);
    const int closed = pipe.CloseFile(handle);
    return written != 0 ? written : closed;
  }

  // Reads `path` through `pipe` to its end; `result` gets the first failure.
  static std::string Load(zr::CFiltersPipe& pipe, const std::wstring& path, int& result) {
    unsigned int handle = 0;
    result = pipe.OpenFile(path, FileAccessMode::Read, handle);
    if (result != 0) return std::string();
    std::string data;
    unsigned char buffer[7];
    for (;;) {
      unsigned int size = sizeof(buffer);
      const int read = pipe.ReadFile(buffer, size, handle);
      if (read != 0 || size == 0) break;
      data.append(reinterpret_cast<const char*>(buffer), size);
    }
    result = pipe.CloseFile(handle);
    return data;
  }

  static void SetFailStage(const std::string& library, int stage) {
    zrtest::WithExport<void (*)(int)>(library, "ZrTestSetFailStage", [&](auto fn) { fn(stage); });
  }

  std::string xor_, pack_, xdelta_;
  std::unique_ptr<zr::CExtensionLoader> filterLoader_;
  zrtest::MemoryFileSystem target_;
};

}  // namespace filterstest
