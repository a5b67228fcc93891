#include "agent/data/hosting/PluginLoader.h"

#include <gtest/gtest.h>

#include "agent/data/hosting/PluginLink.h"
#include "agent/data/hosting/testing/HostingFixture.h"
#include "agent/data/linkfs/LinkFS.h"

namespace {

using namespace zr;

using Loader = CPluginLoader<IBackupDataWrite>;

TEST(PluginLoaderPathTest, SplitsPluginConnectionAndRest) {
  struct Case {
    const wchar_t* path;
    const wchar_t* name;
    const wchar_t* connection;
  };
  const Case cases[] = {{L"", L"", L""},           {L"DB", L"DB", L""},
                        {L"DB\\c1", L"DB", L"c1"}, {L"DB\\c1\\x\\y", L"DB", L"c1"},
                        {L"DB\\", L"DB", L""},     {L"\\c1", L"", L"c1"}};
  for (const Case& c : cases) {
    std::wstring name = L"old";
    std::wstring connection = L"old";
    Loader::SplitPath(c.path, name, connection);
    EXPECT_EQ(c.name, name) << c.path;
    EXPECT_EQ(c.connection, connection) << c.path;
    EXPECT_EQ(c.name, Loader::GetPluginPart(c.path)) << c.path;
  }
}

class PluginLoaderTest : public hostingtest::HostingFixture {
 protected:
  void SetUp() override {
    HostingFixture::SetUp();
    link_ = std::make_unique<CPluginLink>(sessionRef_.in());
    folder_fs_ = std::make_unique<CLinkFS>(&log_, sessionRef_.in());
    loader_.Init(extensions_.get(), &log_, link_.get(), folder_fs_.get());
  }
  void TearDown() override {
    loader_.Shutdown();
    HostingFixture::TearDown();
  }

  // Makes the plain plug-in's object in `loader` and opens a file on it,
  // recorded as open.
  void OpenPlainFile(Loader& loader, unsigned int& handle) {
    MakeFile(plainRoot() / "a.txt", "abc");
    IBackupDataWrite* plain = loader.GetPluginInstance(L"TestFolder\\a.txt");
    ASSERT_NE(nullptr, plain);
    ASSERT_EQ(0, plain->OpenFile(L"a.txt", FileAccessMode::Read, handle));
    loader.AddOpenHandle(handle);
  }

  std::unique_ptr<CPluginLink> link_;
  std::unique_ptr<CLinkFS> folder_fs_;
  Loader loader_;
};

TEST_F(PluginLoaderTest, PlainPluginIgnoresTheConnectionPart) {
  IBackupDataWrite* first = loader_.GetPluginInstance(L"TestFolder\\x\\y");
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(L"x\\y", loader_.GetRestOfPath(L"TestFolder\\x\\y"));
  EXPECT_EQ(L"", loader_.GetRestOfPath(L"TestFolder"));
  EXPECT_EQ(first, loader_.GetPluginInstance(L"TestFolder\\z"));
  EXPECT_EQ(first, loader_.GetPluginInstance(L""));
  EXPECT_EQ(first, loader_.GetCurrentInstance());
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kFactory));
  EXPECT_EQ(0, zrtest::CountOf(folder_, zrtest::kDestroy));
  // The plug-in got the loader's link and no settings object was opened.
  EXPECT_FALSE(zrtest::LastTempPath(folder_).empty());
  EXPECT_TRUE(Opened().empty());
}

TEST_F(PluginLoaderTest, ConfigurablePluginSwitchesPerConnection) {
  ASSERT_NE(nullptr, loader_.GetPluginInstance(L"TestFolder\\x"));
  IBackupDataWrite* c1 = loader_.GetPluginInstance(L"TestFolderConf\\c1\\x\\y");
  ASSERT_NE(nullptr, c1);
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kDestroy));
  EXPECT_EQ(L"x\\y", loader_.GetRestOfPath(L"TestFolderConf\\c1\\x\\y"));
  EXPECT_EQ(L"", loader_.GetRestOfPath(L"TestFolderConf\\c1"));
  EXPECT_EQ(c1, loader_.GetPluginInstance(L"TestFolderConf\\c1\\other"));
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kFactory));

  ASSERT_NE(nullptr, loader_.GetPluginInstance(L"TestFolderConf\\c2\\x"));
  EXPECT_EQ(2, zrtest::CountOf(conf_, zrtest::kFactory));
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kDestroy));
  ASSERT_EQ(2u, Opened().size());
  EXPECT_EQ(L"Plugins\\TestFolderConf", Opened()[1].first);
  EXPECT_EQ(L"c2", Opened()[1].second);
  EXPECT_EQ(L"c2", loader_.GetConnection());
}

TEST_F(PluginLoaderTest, ConfigurablePluginNeedsItsConnectionSettings) {
  hostingtest::RaiseOn(*coordinator_, {"OpenLink"});
  EXPECT_EQ(nullptr, loader_.GetPluginInstance(L"TestFolderConf\\c1\\x"));
  EXPECT_EQ(0, zrtest::CountOf(conf_, zrtest::kFactory));
  // A plain plug-in opens no settings object and is made as before.
  EXPECT_NE(nullptr, loader_.GetPluginInstance(L"TestFolder\\x"));
  hostingtest::RaiseOn(*coordinator_, {});
  EXPECT_NE(nullptr, loader_.GetPluginInstance(L"TestFolderConf\\c1\\x"));
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kFactory));
}

TEST_F(PluginLoaderTest, ConfigurablePluginAloneIsTheConnectionFolder) {
  IBackupDataWrite* c1 = loader_.GetPluginInstance(L"TestFolderConf\\c1\\x");
  ASSERT_NE(nullptr, c1);
  EXPECT_EQ(folder_fs_.get(), loader_.GetPluginInstance(L"TestFolderConf"));
  EXPECT_EQ(folder_fs_.get(), loader_.GetPluginInstance(L"TestFolderConf\\"));
  // The running instance is kept for it.
  EXPECT_EQ(c1, loader_.GetCurrentInstance());
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kFactory));
  EXPECT_EQ(0, zrtest::CountOf(conf_, zrtest::kDestroy));
}

TEST_F(PluginLoaderTest, MissingPluginsAndFactoriesGiveNull) {
  IBackupDataWrite* current = loader_.GetPluginInstance(L"TestFolder\\x");
  ASSERT_NE(nullptr, current);
  EXPECT_EQ(nullptr, loader_.GetPluginInstance(L"Nope\\x"));
  EXPECT_EQ(current, loader_.GetCurrentInstance());  // a failed lookup keeps it

  EXPECT_EQ(nullptr, loader_.GetPluginInstance(L"TestNoFactory\\x"));
  EXPECT_EQ(nullptr, loader_.GetCurrentInstance());
  EXPECT_EQ(L"", loader_.GetPluginName());

  zrtest::SetFactoryMode(codes_, 1);
  EXPECT_EQ(nullptr, loader_.GetPluginInstance(L"TestCodes\\x"));
  zrtest::SetFactoryMode(codes_, 2);
  EXPECT_EQ(nullptr, loader_.GetPluginInstance(L"TestCodes\\x"));
  EXPECT_EQ(2, zrtest::CountOf(codes_, zrtest::kFactory));
  zrtest::SetFactoryMode(codes_, 0);
  EXPECT_NE(nullptr, loader_.GetPluginInstance(L"TestCodes\\x"));
}

TEST_F(PluginLoaderTest, NoInstanceWithoutALink) {
  Loader bare;
  bare.Init(extensions_.get(), &log_, nullptr, nullptr);
  EXPECT_EQ(nullptr, bare.GetPluginInstance(L"TestFolder\\x"));
  EXPECT_EQ(nullptr, bare.GetPluginInstance(L"TestFolderConf"));
  EXPECT_EQ(0, zrtest::CountOf(folder_, zrtest::kFactory));
}

TEST_F(PluginLoaderTest, SwitchClosesFilesLeftOpen) {
  unsigned int handle = 0;
  ASSERT_NO_FATAL_FAILURE(OpenPlainFile(loader_, handle));
  EXPECT_TRUE(loader_.IsHandleOpen(handle));

  ASSERT_NE(nullptr, loader_.GetPluginInstance(L"TestCodes\\x"));
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kClose));
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kDestroy));
  EXPECT_FALSE(loader_.IsHandleOpen(handle));
  EXPECT_EQ(1, CountLines(LogEvent::Warning, L"Closing 1 file(s) left open on the plug-in 'TestFolder'"));
}

// An ILog whose every write raises, as a log forwarding to a Coordinator
// that went away could.
class ThrowingLog final : public ILog {
 public:
  void Write(LogEvent::ID, const wchar_t*) override {
    if (armed) throw CORBA::TRANSIENT();
  }
  bool armed = false;
};

TEST_F(PluginLoaderTest, SwitchCompletesWhenTheLogThrows) {
  ThrowingLog throwing;
  Loader loader;
  loader.Init(extensions_.get(), &throwing, link_.get(), folder_fs_.get());
  unsigned int handle = 0;
  ASSERT_NO_FATAL_FAILURE(OpenPlainFile(loader, handle));

  // The old file is closed and forgotten, and the new object is made.
  throwing.armed = true;
  EXPECT_NE(nullptr, loader.GetPluginInstance(L"TestCodes\\x"));
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kClose));
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kDestroy));
  EXPECT_FALSE(loader.HasOpenHandles());
  loader.Shutdown();
}

TEST_F(PluginLoaderTest, DestroyReleasesThroughDestroy) {
  ASSERT_NE(nullptr, loader_.GetPluginInstance(L"TestFolder\\x"));
  loader_.DestroyPluginInstance();
  EXPECT_EQ(nullptr, loader_.GetCurrentInstance());
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kDestroy));
  loader_.DestroyPluginInstance();
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kDestroy));
}

}  // namespace
