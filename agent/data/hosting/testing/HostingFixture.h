// A test fixture with the test plug-ins installed in a temporary plug-ins
// folder, an extension loader over it, the shared test Coordinator in this
// process and a log that records what brokers and loaders write.

#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "agent/data/hosting/ExtensionLoader.h"
#include "agent/data/hosting/testing/HostingOrb.h"
#include "plugin-api/ILog.h"
#include "tests/coordinator/TestCoordinator.h"
#include "tests/plugins/PluginControl.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/TempDir.h"

namespace hostingtest {

using namespace zr;

using zrtest::RecordingLog;

class HostingFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    base_ = dir_.fs();
    fs::create_directories(base_ / "Plugins");
    fs::create_directories(plainRoot());
    fs::create_directories(connectionRoot(L"c1"));
    fs::create_directories(connectionRoot(L"c2"));
    ::setenv("HOME", base_.c_str(), 1);
    ::setenv("ZRTEST_FOLDER_ROOT", plainRoot().c_str(), 1);
    folder_ = zrtest::InstallLibrary(ZRTEST_FOLDER_PATH, base_ / "Plugins", "folder.so");
    conf_ = zrtest::InstallLibrary(ZRTEST_FOLDERCONF_PATH, base_ / "Plugins", "conf.so");
    codes_ = zrtest::InstallLibrary(ZRTEST_CODES_PATH, base_ / "Plugins", "codes.so");
    nofactory_ = zrtest::InstallLibrary(ZRTEST_NOFACTORY_PATH, base_ / "Plugins", "nofactory.so");
    {
      std::wstringstream quiet;
      std::wstreambuf* old = std::wcerr.rdbuf(quiet.rdbuf());
      const std::string plugins = (base_ / "Plugins").string() + "/";
      extensions_ = std::make_unique<CExtensionLoader>(
          L"wsagent", std::wstring(plugins.begin(), plugins.end()), L"/nonexistent/Filters/");
      std::wcerr.rdbuf(old);
    }
    for (const std::string& library : {folder_, conf_, codes_}) zrtest::ResetCounts(library);
    zrtest::SetResult(codes_, 0);
    zrtest::SetFactoryMode(codes_, 0);
    coordinator_ = std::make_unique<zrtest::TestCoordinator>(Orb());
    for (const wchar_t* connection : {L"c1", L"c2"}) {
      const std::string root = connectionRoot(connection).string();
      coordinator_->State().SetLinkValue(zrtest::CoordinatorState::LinkTable::kParameters,
                                         L"Plugins\\TestFolderConf", connection, L"Folder",
                                         std::wstring(root.begin(), root.end()));
    }
    sessionRef_ = coordinator_->Session();
  }

  void TearDown() override { extensions_.reset(); }

  std::filesystem::path plainRoot() const { return base_ / "plain"; }
  std::filesystem::path connectionRoot(const std::wstring& connection) const {
    return base_ / ("conf_" + std::string(connection.begin(), connection.end()));
  }
  // Writes `text` into a file below `folder`.
  static void MakeFile(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }
  static std::string ReadFileText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The (folder, link) of every OpenLink call that reached the Coordinator.
  std::vector<std::pair<std::wstring, std::wstring>> Opened() const {
    std::vector<std::pair<std::wstring, std::wstring>> opened;
    for (const zrtest::RecordedCall& call : coordinator_->State().Calls("OpenLink"))
      opened.emplace_back(call.args.at(0), call.args.at(1));
    return opened;
  }

  // Lines of the log with `level` whose text is `text`.
  int CountLines(LogEvent::ID level, const std::wstring& text) { return log_.Count(level, text); }

  zrtest::TempDir dir_{"zr_hosting_"};
  std::filesystem::path base_;
  std::string folder_, conf_, codes_, nofactory_;
  std::unique_ptr<CExtensionLoader> extensions_;
  // Destroyed after the members of derived fixtures (links and connection
  // folders that still close what they opened on it).
  std::unique_ptr<zrtest::TestCoordinator> coordinator_;
  Tessarine::Session_var sessionRef_;
  RecordingLog log_;
};

}  // namespace hostingtest
