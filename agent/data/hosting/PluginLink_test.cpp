#include "agent/data/hosting/PluginLink.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "agent/data/Settings.h"
#include "agent/data/hosting/FilterEntry.h"
#include "agent/data/hosting/PluginEntry.h"
#include "agent/data/hosting/testing/HostingOrb.h"
#include "tests/coordinator/TestCoordinator.h"
#include "tests/support/TempDir.h"
#include "zrlib/strings/Strings.h"

namespace {

using namespace zr;

using Table = zrtest::CoordinatorState::LinkTable;

// Entries read from the test plug-ins, loaded for the whole suite.
class PluginLinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new zrtest::TempDir("zr_link_");
    ::setenv("HOME", home_->path().c_str(), 1);
    configurableLibrary_ = dlopen(ZRTEST_FOLDERCONF_PATH, RTLD_NOW | RTLD_LOCAL);
    plainLibrary_ = dlopen(ZRTEST_FOLDER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, configurableLibrary_);
    ASSERT_NE(nullptr, plainLibrary_);
  }
  static void TearDownTestSuite() {
    dlclose(configurableLibrary_);
    dlclose(plainLibrary_);
    CSettings::Release();
    delete home_;
    home_ = nullptr;
  }
  void SetUp() override {
    ReadPluginInfo(configurable_, configurableLibrary_);
    ReadPluginInfo(plain_, plainLibrary_);
    coordinator_ = std::make_unique<zrtest::TestCoordinator>(hostingtest::Orb());
    session_ = coordinator_->Session();
    zrtest::CoordinatorState& state = coordinator_->State();
    state.SetLinkValue(Table::kParameters, kFolder, L"c1", L"Folder", L"/data/c1");
    state.SetLinkValue(Table::kParameters, kFolder, L"c1", L"ModifTime", L"param");
    state.SetLinkValue(Table::kHeaders, kFolder, L"c1", L"ModifTime", L"1234");
    state.SetLinkValue(Table::kParameters, kFolder, L"c2", L"Folder", L"/data/c2");
  }
  void TearDown() override {
    session_ = Tessarine::Session::_nil();
    coordinator_.reset();
  }

  // The (folder, link) of every OpenLink call, in order.
  std::vector<std::pair<std::wstring, std::wstring>> Opened() const {
    std::vector<std::pair<std::wstring, std::wstring>> opened;
    for (const zrtest::RecordedCall& call : coordinator_->State().Calls("OpenLink"))
      opened.emplace_back(call.args.at(0), call.args.at(1));
    return opened;
  }
  int Closed() const { return static_cast<int>(coordinator_->State().Calls("CloseLink").size()); }
  // The parameter `name` of the link `link` of the configurable plug-in;
  // empty when there is none.
  std::wstring Parameter(const std::wstring& link, const std::wstring& name) const {
    std::wstring value;
    static_cast<void>(coordinator_->State().LinkValue(Table::kParameters, kFolder, link, name, value));
    return value;
  }
  bool HasParameter(const std::wstring& link, const std::wstring& name) const {
    std::wstring value;
    return coordinator_->State().LinkValue(Table::kParameters, kFolder, link, name, value);
  }

  static constexpr const wchar_t* kFolder = L"Plugins\\TestFolderConf";

  static zrtest::TempDir* home_;
  static void* configurableLibrary_;
  static void* plainLibrary_;
  CPluginEntry configurable_;
  CPluginEntry plain_;
  std::unique_ptr<zrtest::TestCoordinator> coordinator_;
  Tessarine::Session_var session_;
};

zrtest::TempDir* PluginLinkTest::home_ = nullptr;
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
  ASSERT_EQ(1u, Opened().size());
  EXPECT_EQ(L"Plugins\\TestFolderConf", Opened()[0].first);
  EXPECT_EQ(L"c1", Opened()[0].second);

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
  EXPECT_EQ(L"/data/new", Parameter(L"c1", L"Folder"));
  EXPECT_FALSE(link.SetValue(L"Missing", L"x"));
  EXPECT_FALSE(HasParameter(L"c1", L"Missing"));
  EXPECT_FALSE(link.SetValue(L"WSTempPath", L"/elsewhere"));
  EXPECT_TRUE(link.GetValue(L"WSTempPath", value));
  EXPECT_NE(L"/elsewhere", value);
  coordinator_->State().SetRefuseLinkChanges(true);
  EXPECT_FALSE(link.SetValue(L"Folder", L"/data/refused"));

  // Rebinding closes the first link and reads the second connection.
  ASSERT_TRUE(link.SetPlugin(configurable_, L"c2"));
  EXPECT_EQ(1, Closed());
  EXPECT_TRUE(link.GetValue(L"Folder", value));
  EXPECT_EQ(L"/data/c2", value);
}

TEST_F(PluginLinkTest, FailedRelinkLeavesNoLink) {
  CPluginLink link(session_.in());
  ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
  hostingtest::RaiseOn(*coordinator_, {"OpenLink", "CloseLink"});
  EXPECT_FALSE(link.SetPlugin(configurable_, L"c2"));
  EXPECT_FALSE(link.HasLink());
  std::wstring value = L"kept";
  EXPECT_FALSE(link.GetValue(L"Folder", value));  // not c1's value
  EXPECT_EQ(L"kept", value);
  EXPECT_FALSE(link.SetValue(L"Folder", L"x"));
  EXPECT_EQ(L"/data/c1", Parameter(L"c1", L"Folder"));
}

TEST_F(PluginLinkTest, PlainPluginGetsNoSettingsObject) {
  CPluginLink link(session_.in());
  ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
  EXPECT_FALSE(link.SetPlugin(plain_, L"c1"));
  EXPECT_EQ(1u, Opened().size());
  EXPECT_EQ(1, Closed());
  std::wstring value;
  EXPECT_FALSE(link.GetValue(L"Folder", value));
  EXPECT_TRUE(link.GetValue(L"WSTempPath", value));
}

TEST_F(PluginLinkTest, RemoteFailuresAnswerFalse) {
  CPluginLink link(session_.in());
  ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
  hostingtest::RaiseOn(*coordinator_, {"GetParameter", "GetHeader", "SetParameter"});
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
  EXPECT_EQ(1, Closed());
  {
    CPluginLink link(session_.in());
    ASSERT_TRUE(link.SetPlugin(configurable_, L"c1"));
    hostingtest::RaiseOn(*coordinator_, {"CloseLink"});
  }
  EXPECT_EQ(2, Closed());
}

TEST_F(PluginLinkTest, FiltersOpenTheirOwnFolder) {
  CPluginLink link(session_.in());
  EXPECT_TRUE(link.SetFilter(CFilterEntry(nullptr, L"zip", L"1", true), L"c1"));
  ASSERT_EQ(1u, Opened().size());
  EXPECT_EQ(L"Filters\\zip", Opened()[0].first);
  EXPECT_FALSE(link.SetFilter(CFilterEntry(nullptr, L"", L"", false), L"c1"));
  EXPECT_EQ(1u, Opened().size());
}

TEST_F(PluginLinkTest, NilSessionIsHarmless) {
  CPluginLink link(Tessarine::Session::_nil());
  EXPECT_FALSE(link.SetPlugin(configurable_, L"c1"));
  std::wstring value;
  EXPECT_FALSE(link.GetValue(L"ServerSession", value));
  EXPECT_TRUE(link.GetValue(L"WSTempPath", value));
}

}  // namespace
