// A workstation servant over the test plug-ins, a Coordinator in a second
// process and one open session: what a remote client of the agent sees.

#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "agent/service/servants/WorkstationServant.h"
#include "agent/service/servants/testing/ServantOrb.h"
#include "tests/coordinator/CoordinatorProcess.h"
#include "tests/plugins/PluginControl.h"

namespace zrtest {

class AgentFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    folder_ = TestHome() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "Plugins");
    fs::create_directories(folder_ / "Filters");
    fs::create_directories(PlainRoot());
    ::setenv("ZRTEST_FOLDER_ROOT", PlainRoot().c_str(), 1);
    folderPlugin_ = InstallLibrary(ZRTEST_FOLDER_PATH, folder_ / "Plugins", "folder.so");
    codesPlugin_ = InstallLibrary(ZRTEST_CODES_PATH, folder_ / "Plugins", "codes.so");
    InstallFilters();
    servant_ = new zr::WorkstationServant(AgentOrb(), L"ws", L"/opt/zr/wsagent",
                                          (folder_ / "Plugins/").wstring(), (folder_ / "Filters/").wstring());
    workstation_ = servant_->Activate();
    ResetCounts(folderPlugin_);
    ResetCounts(codesPlugin_);
    SetResult(codesPlugin_, 0);
    coordinator_ = std::make_unique<CoordinatorProcess>(AgentOrb().Orb(), folder_);
    session_ = Open();
  }
  void TearDown() override {
    servant_->Deactivate();
    servant_->_remove_ref();
    coordinator_.reset();
    std::filesystem::remove_all(folder_);
  }
  // Filter libraries a fixture wants in the filters folder.
  virtual void InstallFilters() {}

  ZavediDedozozuriz::Session_ptr Open() {
    Tessarine::Session_var session = coordinator_->Session();
    Tessarine::Log_var log = coordinator_->Log();
    return workstation_->OpenSession(session, log);
  }

  std::filesystem::path PlainRoot() const { return folder_ / "plain"; }
  static void MakeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
  }
  static std::string ReadBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // True once the Coordinator received the line `text` with the remote
  // event of the plug-in level `level` (Log::Write is oneway: it is waited
  // for, up to 30 s).
  bool Logged(LogEvent::ID level, const std::wstring& text) const {
    const std::wstring event = std::to_wstring(static_cast<unsigned>(zr::CLogWrapper::ToEvent(level)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
      for (const RecordedCall& call : coordinator_->Calls("Write"))
        if (call.args.size() == 2 && call.args[0] == event && call.args[1] == text) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  CapturedLog log_;
  std::filesystem::path folder_;
  std::string folderPlugin_, codesPlugin_;
  zr::WorkstationServant* servant_ = nullptr;
  ZavediDedozozuriz::Workstation_var workstation_;
  std::unique_ptr<CoordinatorProcess> coordinator_;
  ZavediDedozozuriz::Session_var session_;
};

}  // namespace zrtest
