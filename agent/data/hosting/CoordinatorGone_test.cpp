// The hosting objects against the test Coordinator running as a process of
// its own, before and after it went away.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "agent/data/hosting/LogWrapper.h"
#include "agent/data/hosting/PluginBroker.h"
#include "agent/data/hosting/PluginLink.h"
#include "tests/coordinator/CoordinatorProcess.h"
#include "tests/coordinator/TestOrb.h"
#include "tests/plugins/PluginControl.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/TempDir.h"

namespace {

using namespace zr;

using namespace std::chrono_literals;
using zrtest::RecordingLog;

class CoordinatorGoneTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { orb_ = zrtest::InitTestOrb(); }
  static void TearDownTestSuite() {
    orb_->destroy();
    CORBA::release(orb_);
  }

  void SetUp() override {
    namespace fs = std::filesystem;
    base_ = dir_.fs();
    fs::create_directories(base_ / "Plugins");
    fs::create_directories(base_ / "plain");
    fs::create_directories(base_ / "c1");
    fs::create_directories(base_ / "coordinator");
    ::setenv("HOME", base_.c_str(), 1);
    ::setenv("ZRTEST_FOLDER_ROOT", (base_ / "plain").c_str(), 1);
    conf_ = zrtest::InstallLibrary(ZRTEST_FOLDERCONF_PATH, base_ / "Plugins", "conf.so");
    std::wstringstream quiet;
    std::wstreambuf* old = std::wcerr.rdbuf(quiet.rdbuf());
    const std::string plugins = (base_ / "Plugins").string() + "/";
    extensions_ = std::make_unique<CExtensionLoader>(L"wsagent", std::wstring(plugins.begin(), plugins.end()),
                                                     L"/nonexistent/");
    std::wcerr.rdbuf(old);

    zrtest::CoordinatorProcessOptions options;
    const std::string c1 = (base_ / "c1").string();
    options.linkValues.push_back({zrtest::CoordinatorState::LinkTable::kParameters,
                                  L"Plugins\\TestFolderConf", L"c1", L"Folder",
                                  std::wstring(c1.begin(), c1.end())});
    options.linkValues.push_back({zrtest::CoordinatorState::LinkTable::kHeaders, L"Plugins\\TestFolderConf",
                                  L"c1", L"ModifTime", L"777"});
    coordinator_ = std::make_unique<zrtest::CoordinatorProcess>(orb_, base_ / "coordinator", options);
  }
  void TearDown() override {
    coordinator_.reset();
    extensions_.reset();
  }

  static CORBA::ORB_ptr orb_;
  zrtest::TempDir dir_{"zr_gone_"};
  std::filesystem::path base_;
  std::string conf_;
  std::unique_ptr<CExtensionLoader> extensions_;
  std::unique_ptr<zrtest::CoordinatorProcess> coordinator_;
};

CORBA::ORB_ptr CoordinatorGoneTest::orb_ = nullptr;

TEST_F(CoordinatorGoneTest, LogLinesAreDroppedOnceTheCoordinatorIsGone) {
  CLogWrapper log(coordinator_->Log());
  log.Write(LogEvent::Warning, L"before");
  ASSERT_TRUE(coordinator_->WaitForCalls("Write", 1, 5s));
  EXPECT_EQ((std::vector<std::wstring>{L"4", L"before"}), coordinator_->Calls("Write")[0].args);
  ASSERT_TRUE(coordinator_->Stop());
  for (int i = 0; i < 3; ++i) {
    EXPECT_NO_THROW(log.Write(LogEvent::Error, L"after"));
    EXPECT_NO_THROW(log.WriteFormat(LogEvent::Info, L"after %d", i));
  }
}

TEST_F(CoordinatorGoneTest, LinkReadsAndWritesRemoteParameters) {
  Tessarine::Session_var session = coordinator_->Session();
  const CPluginEntry* entry = extensions_->FindPlugin(L"TestFolderConf");
  ASSERT_NE(nullptr, entry);
  CPluginLink link(session.in());
  ASSERT_TRUE(link.SetPlugin(*entry, L"c1"));
  std::wstring value;
  ASSERT_TRUE(link.GetValue(L"LinkModifTime", value));
  EXPECT_EQ(L"777", value);
  ASSERT_TRUE(link.SetValue(L"Folder", L"/changed"));
  ASSERT_TRUE(link.GetValue(L"Folder", value));
  EXPECT_EQ(L"/changed", value);
  EXPECT_FALSE(link.SetValue(L"NoSuchParameter", L"x"));

  ASSERT_TRUE(coordinator_->Stop());
  value = L"kept";
  EXPECT_FALSE(link.GetValue(L"Folder", value));
  EXPECT_FALSE(link.SetValue(L"Folder", L"again"));
  EXPECT_EQ(L"kept", value);
  EXPECT_FALSE(link.SetPlugin(*entry, L"c2"));
  EXPECT_FALSE(link.HasLink());
}

TEST_F(CoordinatorGoneTest, BrokerReportsTheGoneCoordinator) {
  Tessarine::Session_var session = coordinator_->Session();
  RecordingLog log;
  CPluginBroker<IBackupDataWrite> broker(session.in(), &log, extensions_.get());
  std::filesystem::create_directories(base_ / "c1" / "inside");
  std::list<CFileInfo> entries;
  // The connection's folder comes from the Coordinator's link.
  ASSERT_EQ(0, broker.GetListing(L"TestFolderConf\\c1", entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ(L"inside", entries.front().Name);
  ASSERT_TRUE(coordinator_->WaitForCalls("OpenLink", 1, 5s));

  ASSERT_TRUE(coordinator_->Stop());
  log.Clear();
  EXPECT_EQ(1, broker.CreateFolder(L"TestFolderConf\\c2"));
  // The connection folder reports its failed lookup first, then the broker.
  ASSERT_FALSE(log.Lines().empty());
  EXPECT_EQ(LogEvent::Error, log.Lines().back().level);
  EXPECT_EQ(L"Fatal error occurred while creating the folder", log.Lines().back().text);

  // Another connection cannot be linked: no plug-in object works on its
  // defaults (nor with the settings of c1) in its place.
  entries.clear();
  EXPECT_EQ(1, broker.GetListing(L"TestFolderConf\\c2", entries));
  EXPECT_TRUE(entries.empty());
}

}  // namespace
