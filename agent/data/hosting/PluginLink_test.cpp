#include "agent/data/hosting/PluginLink.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "agent/data/Settings.h"
#include "agent/data/hosting/FilterEntry.h"
#include "agent/data/hosting/PluginEntry.h"
#include "agent/data/hosting/testing/FakeCoordinator.h"
#include "zrlib/strings/Strings.h"

namespace {

using hostingtest::FakeSession;
using hostingtest::Served;

// Entries read from the test plug-ins, loaded for the whole suite.
class PluginLinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::filesystem::temp_directory_path() / ("zr_link_" + std::to_string(::getpid()));
    std::filesystem::create_directories(home_);
    ::setenv("HOME", home_.c_str(), 1);
    configurableLibrary_ = dlopen(ZRTEST_FOLDERCONF_PATH, RTLD_NOW | RTLD_LOCAL);
    plainLibrary_ = dlopen(ZRTEST_FOLDER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, configurableLibrary_);
    ASSERT_NE(nullptr, plainLibrary_);
  }
  static void TearDownTestSuite() {
    dlclose(configurableLibrary_);
    dlclose(plainLibrary_);
    CSettings::Release();
    std::filesystem::remove_all(home_);
  }
  void SetUp() override {
    ReadPluginInfo(configurable_, configurableLibrary_);
    ReadPluginInfo(plain_, plainLibrary_);
    session_ = fake_.Reference();
    fake_->LinkFor(L"Plugins\\TestFolderConf", L"c1").parameters = {{L"Folder", L"/data/c1"},
                                                                    {L"ModifTime", L"param"}};
    fake_->LinkFor(L"Plugins\\TestFolderConf", L"c1").headers = {{L"ModifTime", L"1234"}};
    fake_->LinkFor(L"Plugins\\TestFolderConf", L"c2").parameters = {{L"Folder", L"/data/c2"}};
  }

  static std::filesystem::path home_;
  static void* configurableLibrary_;
  static void* plainLibrary_;
  CPluginEntry configurable_;
  CPluginEntry plain_;
  Served<FakeSession> fake_;
  Tessarine::Session_var session_;
};

std::filesystem::path PluginLinkTest::home_;
void* PluginLinkTest::configurableLibrary_ = nullptr;
void* PluginLinkTest::plainLibrary_ = nullptr;

TEST_F(PluginLinkTest, AnswersItsOwnNamesWithoutASettingsObject) {
  CSettings* settings = CSettings::Instance();
  ASSERT_NE(nullptr, settings);
  ASSERT_TRUE(settings->SetTempFolder(L"/var/tmp/zr"));
  CPluginLink link(session_.in());
  std::wstring value;
  EXPECT_TRUE(link.GetValue(L"WSTempPath", value));
  EXPECT_EQ(L"/var/tmp/zr\\", value);
  EXPECT_TRUE(link.GetValue(L"CoordinatorHost", value));
  EXPECT_EQ(settings->GetCoordinatorHost(), value);
  EXPECT_TRUE(link.GetValue(L"CoordinatorPort", value));
  EXPECT_EQ(settings->GetCoordinatorPort(), value);
  EXPECT_TRUE(link.GetValue(L"ServerSession", value));
  CORBA::String_var ior = hostingtest::Orb()->object_to_string(session_.in());
  EXPECT_EQ(ZRLib::strings::toWstr(ior.in()), value);

  // No settings object: every other name fails and leaves the value alone.
  value = L"kept";
  EXPECT_FALSE(link.GetValue(L"Folder", value));
  EXPECT_FALSE(link.GetValue(L"LinkModifTime", value));
  EXPECT_FALSE(link.GetValue(L"wstemppath", value));  // names are case-sensitive
  EXPECT_FALSE(link.GetValue(nullptr, value));
  EXPECT_EQ(L"kept", value);
  EXPECT_FALSE(link.SetValue(L"Folder", L"x"));

  // A folder already ending in "\" gets none added.
  ASSERT_TRUE(settings->SetTempFolder(L"C:\\Temp\\"));
  CPluginLink second(session_.in());
  EXPECT_TRUE(second.GetValue(L"WSTempPath", value));
  EXPECT_EQ(L"C:\\Temp\\", value);
}

TEST_F(PluginLinkTest, ConfigurablePluginReadsAndWritesItsConnection) {
  CPluginLink link(session_.in());
  ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
  ASSERT_EQ(1u, fake_->opened.size());
  EXPECT_EQ(L"Plugins\\TestFolderConf", fake_->opened[0].first);
  EXPECT_EQ(L"c1", fake_->opened[0].second);

  std::wstring value;
  EXPECT_TRUE(link.GetValue(L"Folder", value));
  EXPECT_EQ(L"/data/c1", value);
  // "LinkModifTime" is the header "ModifTime", not the parameter of that name.
  EXPECT_TRUE(link.GetValue(L"LinkModifTime", value));
  EXPECT_EQ(L"1234", value);
  value = L"kept";
  EXPECT_FALSE(link.GetValue(L"Missing", value));
  EXPECT_EQ(L"kept", value);

  // Only existing parameters change; "WSTempPath" never goes to the Coordinator.
  EXPECT_TRUE(link.SetValue(L"Folder", L"/data/new"));
  EXPECT_EQ(L"/data/new", (fake_->LinkFor(L"Plugins\\TestFolderConf", L"c1").parameters[L"Folder"]));
  EXPECT_FALSE(link.SetValue(L"Missing", L"x"));
  EXPECT_EQ(0u, fake_->LinkFor(L"Plugins\\TestFolderConf", L"c1").parameters.count(L"Missing"));
  EXPECT_FALSE(link.SetValue(L"WSTempPath", L"/elsewhere"));
  EXPECT_TRUE(link.GetValue(L"WSTempPath", value));
  EXPECT_NE(L"/elsewhere", value);
  fake_->LinkFor(L"Plugins\\TestFolderConf", L"c1").refuseSet = true;
  EXPECT_FALSE(link.SetValue(L"Folder", L"/data/refused"));

  // Rebinding closes the first link and reads the second connection.
  ASSERT_TRUE(link.SetPlugin(configurable_, L"c2"));
  EXPECT_EQ(1, fake_->closed);
  EXPECT_TRUE(link.GetValue(L"Folder", value));
  EXPECT_EQ(L"/data/c2", value);
}

TEST_F(PluginLinkTest, FailedRelinkLeavesNoLink) {
  CPluginLink link(session_.in());
  ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
  fake_->raiseOnOpen = true;
  fake_->raiseOnClose = true;
  EXPECT_FALSE(link.SetPlugin(configurable_, L"c2"));
  EXPECT_FALSE(link.HasLink());
  std::wstring value = L"kept";
  EXPECT_FALSE(link.GetValue(L"Folder", value));  // not c1's value
  EXPECT_EQ(L"kept", value);
  EXPECT_FALSE(link.SetValue(L"Folder", L"x"));
  EXPECT_EQ(L"/data/c1", (fake_->LinkFor(L"Plugins\\TestFolderConf", L"c1").parameters[L"Folder"]));
}

TEST_F(PluginLinkTest, PlainPluginGetsNoSettingsObject) {
  CPluginLink link(session_.in());
  ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
  EXPECT_FALSE(link.SetPlugin(plain_, L"c1"));
  EXPECT_EQ(1u, fake_->opened.size());
  EXPECT_EQ(1, fake_->closed);
  std::wstring value;
  EXPECT_FALSE(link.GetValue(L"Folder", value));
  EXPECT_TRUE(link.GetValue(L"WSTempPath", value));
}

TEST_F(PluginLinkTest, RemoteFailuresAnswerFalse) {
  CPluginLink link(session_.in());
  ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
  fake_->LinkFor(L"Plugins\\TestFolderConf", L"c1").raise = true;
  std::wstring value = L"kept";
  EXPECT_FALSE(link.GetValue(L"Folder", value));
  EXPECT_FALSE(link.GetValue(L"LinkModifTime", value));
  EXPECT_EQ(L"kept", value);
  EXPECT_FALSE(link.SetValue(L"Folder", L"x"));
}

TEST_F(PluginLinkTest, DestructorClosesTheLinkAndIgnoresFailures) {
  {
    CPluginLink link(session_.in());
    ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
  }
  EXPECT_EQ(1, fake_->closed);
  {
    CPluginLink link(session_.in());
    ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
    fake_->raiseOnClose = true;
  }
  EXPECT_EQ(2, fake_->closed);
}

TEST_F(PluginLinkTest, FiltersOpenTheirOwnFolder) {
  CPluginLink link(session_.in());
  EXPECT_TRUE(link.SetFilter(CFilterEntry(nullptr, L"zip", L"1", true), L"c1"));
  ASSERT_EQ(1u, fake_->opened.size());
  EXPECT_EQ(L"Filters\\zip", fake_->opened[0].first);
  EXPECT_FALSE(link.SetFilter(CFilterEntry(nullptr, L"", L"", false), L"c1"));
  EXPECT_EQ(1u, fake_->opened.size());
}

TEST_F(PluginLinkTest, NilSessionIsHarmless) {
  CPluginLink link(Tessarine::Session::_nil());
  EXPECT_FALSE(link.SetPlugin(configurable_, L"c1"));
  std::wstring value;
  EXPECT_FALSE(link.GetValue(L"ServerSession", value));
  EXPECT_TRUE(link.GetValue(L"WSTempPath", value));
}

}  // namespace
