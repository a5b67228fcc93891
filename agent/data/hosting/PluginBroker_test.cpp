#include "agent/data/hosting/PluginBroker.h"

#include <gtest/gtest.h>

#include "agent/data/hosting/testing/HostingFixture.h"

namespace {

using namespace zr;

using WriteBroker = CPluginBroker<IBackupDataWrite>;
using ReadBroker = CPluginBroker<IBackupDataRead>;

class PluginBrokerTest : public hostingtest::HostingFixture {
 protected:
  std::unique_ptr<WriteBroker> MakeWrite() {
    return std::make_unique<WriteBroker>(sessionRef_.in(), &log_, extensions_.get());
  }
  std::unique_ptr<ReadBroker> MakeRead() {
    return std::make_unique<ReadBroker>(sessionRef_.in(), &log_, extensions_.get());
  }
  // Every operation of the write broker, in slot order, answers 1 (the
  // listing also comes back empty); the handle is one open on the broker.
  static void ExpectEveryOperationFails(WriteBroker& broker, unsigned int& handle) {
    CFileAttributes attributes;
    std::list<CFileInfo> entries;
    unsigned char buffer[4] = {};
    unsigned int size = sizeof(buffer);
    EXPECT_EQ(1, broker.SetElementAttributes(L"x", attributes));
    EXPECT_EQ(1, broker.GetElementAttributes(L"x", attributes));
    EXPECT_EQ(1, broker.GetListing(L"x", entries));
    EXPECT_TRUE(entries.empty());
    broker.OnStop();
    EXPECT_EQ(1, broker.CreateFolder(L"x"));
    EXPECT_EQ(1, broker.DeleteFolder(L"x"));
    EXPECT_EQ(1, broker.DeleteFile(L"x"));
    EXPECT_EQ(1, broker.BeginTransaction());
    EXPECT_EQ(1, broker.CommitTransaction());
    EXPECT_EQ(1, broker.ReadFile(buffer, size, handle));
    EXPECT_EQ(1, broker.WriteFile(buffer, size, handle));
    EXPECT_EQ(1, broker.SeekFile(handle, 0));
    EXPECT_EQ(1, broker.MoveFile(L"x", L"y"));
    EXPECT_EQ(1, broker.CloseFile(handle));
    EXPECT_EQ(1, broker.OpenFile(L"x", FileAccessMode::Read, handle));
  }
  static std::vector<std::wstring> Names(const std::list<CFileInfo>& entries) {
    std::vector<std::wstring> names;
    for (const CFileInfo& entry : entries) names.push_back(entry.Name);
    return names;
  }
};

TEST_F(PluginBrokerTest, RootListsEveryPluginWithItsDescription) {
  auto broker = MakeRead();
  std::list<CFileInfo> entries;
  ASSERT_EQ(0, broker->GetListing(L"", entries));
  const std::vector<std::pair<std::wstring, std::wstring>> expected = {
      {L"TestCodes", L"<ftype>Plugin</ftype><conf>no</conf><fs>S|D</fs>"},
      {L"TestFolder", L"<ftype>Plugin</ftype><conf>no</conf><fs>S</fs>"},
      {L"TestFolderConf", L"<ftype>Plugin</ftype><conf>yes</conf><fs>D</fs>"},
      {L"TestNoFactory", L"<ftype>Plugin</ftype><conf>no</conf><fs>B</fs>"}};
  std::vector<std::pair<std::wstring, std::wstring>> got;
  for (const CFileInfo& entry : entries) {
    got.emplace_back(entry.Name, entry.Info);
    EXPECT_EQ(16u, entry.Attrs.Type);
    EXPECT_EQ(0u, entry.Attrs.Mask);
    EXPECT_EQ(0u, entry.Attrs.Size);
  }
  EXPECT_EQ(expected, got);
  // Nothing was instantiated for the root.
  EXPECT_EQ(0, zrtest::CountOf(folder_, zrtest::kFactory));
}

TEST_F(PluginBrokerTest, ListsPluginFoldersSortedAndBelowTheRoot) {
  MakeFile(plainRoot() / "b.txt", "b");
  MakeFile(plainRoot() / "A.txt", "a");
  MakeFile(plainRoot() / "zdir" / "inner.txt", "i");
  auto broker = MakeWrite();
  std::list<CFileInfo> entries;
  ASSERT_EQ(0, broker->GetListing(L"TestFolder", entries));
  EXPECT_EQ((std::vector<std::wstring>{L"zdir", L"A.txt", L"b.txt"}), Names(entries));

  ASSERT_EQ(0, broker->SetRootPath(L"\\TestFolder"));
  EXPECT_EQ(L"TestFolder", broker->GetRootPath());
  entries.clear();
  ASSERT_EQ(0, broker->GetListing(L"", entries));
  EXPECT_EQ(3u, entries.size());
  entries.clear();
  ASSERT_EQ(0, broker->GetListing(L"zdir", entries));
  EXPECT_EQ((std::vector<std::wstring>{L"inner.txt"}), Names(entries));
  ASSERT_EQ(0, broker->SetRootPath(L"/TestFolder\\zdir"));
  EXPECT_EQ(L"TestFolder\\zdir", broker->GetRootPath());
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kFactory));

  // A failing plug-in leaves the list empty; a working one has it sorted.
  ASSERT_EQ(0, broker->SetRootPath(L""));
  entries.clear();
  zrtest::SetResult(codes_, 4);
  EXPECT_EQ(4, broker->GetListing(L"TestCodes\\x", entries));
  EXPECT_TRUE(entries.empty());
  zrtest::SetResult(codes_, 0);
  EXPECT_EQ(0, broker->GetListing(L"TestCodes\\x", entries));
  EXPECT_EQ((std::vector<std::wstring>{L"A", L"b"}), Names(entries));
  entries.clear();
  EXPECT_EQ(1, broker->GetListing(L"Nope\\x", entries));
  EXPECT_EQ(1, broker->GetListing(L"TestNoFactory", entries));
}

TEST_F(PluginBrokerTest, ConfigurablePluginListsItsConnectionsThroughTheFolder) {
  auto broker = MakeWrite();
  std::list<CFileInfo> entries;
  // No storage workstation is known: the folder cannot list.
  EXPECT_EQ(1, broker->GetListing(L"TestFolderConf", entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(0, zrtest::CountOf(conf_, zrtest::kFactory));

  MakeFile(connectionRoot(L"c1") / "one.txt", "1");
  MakeFile(connectionRoot(L"c2") / "two.txt", "2");
  ASSERT_EQ(0, broker->GetListing(L"TestFolderConf\\c1", entries));
  EXPECT_EQ((std::vector<std::wstring>{L"one.txt"}), Names(entries));
  entries.clear();
  ASSERT_EQ(0, broker->GetListing(L"TestFolderConf\\c2", entries));
  EXPECT_EQ((std::vector<std::wstring>{L"two.txt"}), Names(entries));
  EXPECT_EQ(2, zrtest::CountOf(conf_, zrtest::kFactory));
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kDestroy));
}

TEST_F(PluginBrokerTest, AttributesOfRootPluginsAndFiles) {
  MakeFile(plainRoot() / "a.txt", "hello");
  auto broker = MakeRead();
  CFileAttributes attributes;
  attributes.Mask = 15;
  EXPECT_EQ(0, broker->GetElementAttributes(L"", attributes));
  EXPECT_EQ(16u, attributes.Type);
  EXPECT_EQ(0u, attributes.Mask);
  EXPECT_EQ(3, broker->GetElementAttributes(L"Nope", attributes));
  EXPECT_EQ(1, broker->GetElementAttributes(L"Nope\\x", attributes));
  EXPECT_EQ(0, broker->GetElementAttributes(L"TestFolderConf", attributes));
  EXPECT_EQ(16u, attributes.Type);
  EXPECT_EQ(0, zrtest::CountOf(conf_, zrtest::kFactory));
  attributes.Size = 9;
  EXPECT_EQ(0, broker->GetElementAttributes(L"TestFolderConf\\c1", attributes));
  EXPECT_EQ(16u, attributes.Type);
  EXPECT_EQ(0u, attributes.Size);
  EXPECT_EQ(0, broker->GetElementAttributes(L"TestFolder\\a.txt", attributes));
  EXPECT_EQ(128u, attributes.Type);
  EXPECT_EQ(5u, attributes.Size);
  EXPECT_EQ(3, broker->GetElementAttributes(L"TestFolder\\missing", attributes));
}

TEST_F(PluginBrokerTest, CopiesRealDataThroughHandles) {
  auto broker = MakeWrite();
  unsigned int handle = 0;
  EXPECT_EQ(3, broker->OpenFile(L"", FileAccessMode::Read, handle));
  EXPECT_EQ(0, zrtest::CountOf(folder_, zrtest::kFactory));
  EXPECT_EQ(1, broker->OpenFile(L"TestFolderConf", FileAccessMode::Read, handle));

  ASSERT_EQ(0, broker->OpenFile(L"TestFolder\\dir\\new.txt", FileAccessMode::Write, handle));
  const std::string text = "hello world";
  unsigned int size = static_cast<unsigned int>(text.size());
  ASSERT_EQ(0, broker->WriteFile(reinterpret_cast<const unsigned char*>(text.data()), size, handle));
  EXPECT_EQ(text.size(), size);
  ASSERT_EQ(0, broker->CloseFile(handle));
  EXPECT_EQ(text, ReadFileText(plainRoot() / "dir" / "new.txt"));
  EXPECT_EQ(1, broker->CloseFile(handle));  // no longer open

  ASSERT_EQ(0, broker->OpenFile(L"TestFolder\\dir\\new.txt", FileAccessMode::Read, handle));
  ASSERT_EQ(0, broker->SeekFile(handle, 6));
  unsigned char buffer[32];
  size = sizeof(buffer);
  ASSERT_EQ(0, broker->ReadFile(buffer, size, handle));
  EXPECT_EQ("world", std::string(reinterpret_cast<char*>(buffer), size));
  size = sizeof(buffer);
  EXPECT_EQ(5, broker->ReadFile(buffer, size, handle));
  EXPECT_EQ(1, broker->ReadFile(buffer, size, handle + 100));
  EXPECT_EQ(1, broker->SeekFile(handle + 100, 0));

  ASSERT_EQ(0, broker->MoveFile(L"TestFolder\\dir\\new.txt", L"TestFolder\\dir\\moved.txt"));
  EXPECT_TRUE(std::filesystem::exists(plainRoot() / "dir" / "moved.txt"));
  ASSERT_EQ(0, broker->DeleteFile(L"TestFolder\\dir\\moved.txt"));
  ASSERT_EQ(0, broker->CreateFolder(L"TestFolder\\made"));
  EXPECT_TRUE(std::filesystem::is_directory(plainRoot() / "made"));
  ASSERT_EQ(0, broker->DeleteFolder(L"TestFolder\\made"));
  EXPECT_FALSE(std::filesystem::exists(plainRoot() / "made"));
  CFileAttributes attributes;
  EXPECT_EQ(0, broker->SetElementAttributes(L"", attributes));
  EXPECT_EQ(3, broker->SetElementAttributes(L"TestFolder\\gone", attributes));
  ASSERT_EQ(0, broker->CloseFile(handle));
}

TEST_F(PluginBrokerTest, OldHandlesNeverReachANewInstance) {
  MakeFile(plainRoot() / "a.txt", "abc");
  auto broker = MakeWrite();
  unsigned int handle = 0;
  ASSERT_EQ(0, broker->OpenFile(L"TestFolder\\a.txt", FileAccessMode::Read, handle));
  std::list<CFileInfo> entries;
  ASSERT_EQ(0, broker->GetListing(L"TestCodes\\x", entries));  // switches instance
  EXPECT_EQ(1, zrtest::CountOf(folder_, zrtest::kClose));
  EXPECT_EQ(1, CountLines(LogEvent::Warning, L"Closing 1 file(s) left open on the plug-in 'TestFolder'"));
  unsigned char buffer[8];
  unsigned int size = sizeof(buffer);
  EXPECT_EQ(1, broker->ReadFile(buffer, size, handle));  // the codes plug-in would answer 0
  EXPECT_EQ(1, broker->WriteFile(buffer, size, handle));
  EXPECT_EQ(1, broker->SeekFile(handle, 0));
  EXPECT_EQ(1, broker->CloseFile(handle));
  EXPECT_EQ(0, zrtest::CountOf(codes_, zrtest::kClose));

  // The broker's destructor closes what is open, then destroys the instance.
  ASSERT_EQ(0, broker->OpenFile(L"TestCodes\\x", FileAccessMode::Read, handle));
  broker.reset();
  EXPECT_EQ(1, zrtest::CountOf(codes_, zrtest::kClose));
  EXPECT_EQ(1, zrtest::CountOf(codes_, zrtest::kDestroy));
}

TEST_F(PluginBrokerTest, MovesStayInsideOnePluginAndConnection) {
  MakeFile(plainRoot() / "a.txt", "abc");
  auto broker = MakeWrite();
  const std::wstring refused = L"Moving the file between plug-ins or connections isn't supported";
  EXPECT_EQ(6, broker->MoveFile(L"TestFolder\\a.txt", L"TestCodes\\a.txt"));
  EXPECT_EQ(6, broker->MoveFile(L"TestFolderConf\\c1\\a", L"TestFolderConf\\c2\\a"));
  EXPECT_EQ(2, CountLines(LogEvent::Warning, refused));
  EXPECT_TRUE(std::filesystem::exists(plainRoot() / "a.txt"));
  // The connection part of a plain plug-in is not a connection.
  EXPECT_EQ(0, broker->MoveFile(L"TestFolder\\a.txt", L"TestFolder\\b.txt"));
  EXPECT_TRUE(std::filesystem::exists(plainRoot() / "b.txt"));
  MakeFile(connectionRoot(L"c1") / "x", "x");
  EXPECT_EQ(0, broker->MoveFile(L"TestFolderConf\\c1\\x", L"TestFolderConf\\c1\\y"));
  EXPECT_TRUE(std::filesystem::exists(connectionRoot(L"c1") / "y"));
}

TEST_F(PluginBrokerTest, FolderPluginStaysInsideItsRoot) {
  auto broker = MakeWrite();
  MakeFile(base_ / "outside.txt", "keep");
  EXPECT_EQ(3, broker->DeleteFile(L"TestFolder\\..\\outside.txt"));
  EXPECT_EQ(3, broker->DeleteFolder(L"TestFolder\\..\\Plugins"));
  EXPECT_TRUE(std::filesystem::exists(base_ / "outside.txt"));
  EXPECT_TRUE(std::filesystem::exists(base_ / "Plugins" / "folder.so"));
}

TEST_F(PluginBrokerTest, ConnectionPathsGoToTheConnectionFolder) {
  auto broker = MakeWrite();
  EXPECT_EQ(0, broker->CreateFolder(L"TestFolderConf\\c9"));
  ASSERT_FALSE(Opened().empty());
  EXPECT_EQ(L"Plugins\\TestFolderConf", Opened().back().first);
  EXPECT_EQ(L"c9", Opened().back().second);
  // Without a storage workstation deleting fails; no plug-in object is made.
  EXPECT_EQ(1, broker->DeleteFolder(L"TestFolderConf\\c9"));
  EXPECT_EQ(1, broker->DeleteFile(L"TestFolderConf\\c9"));
  EXPECT_EQ(0, zrtest::CountOf(conf_, zrtest::kFactory));
  // Deeper paths go to the plug-in of the connection.
  EXPECT_EQ(0, broker->CreateFolder(L"TestFolderConf\\c1\\sub"));
  EXPECT_TRUE(std::filesystem::is_directory(connectionRoot(L"c1") / "sub"));
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kFactory));

  hostingtest::RaiseOn(*coordinator_, {"OpenLink"});
  EXPECT_EQ(1, broker->CreateFolder(L"TestFolderConf\\c8"));
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Fatal error occurred while creating the folder"));
}

// An empty path would reach whichever object is current and delete its root.
TEST_F(PluginBrokerTest, EmptyPathDeletionsAreRefused) {
  MakeFile(plainRoot() / "a.txt", "a");
  auto broker = MakeWrite();
  std::list<CFileInfo> entries;
  ASSERT_EQ(0, broker->GetListing(L"TestFolder", entries));  // an object is current
  EXPECT_EQ(1, broker->DeleteFolder(L""));
  EXPECT_EQ(1, broker->DeleteFile(L""));
  ASSERT_EQ(0, broker->SetRootPath(L"TestFolder"));
  EXPECT_EQ(1, broker->DeleteFolder(L""));
  EXPECT_EQ(1, broker->DeleteFile(L""));
  EXPECT_TRUE(std::filesystem::exists(plainRoot() / "a.txt"));
  EXPECT_EQ(2, CountLines(LogEvent::Warning, L"Folder deletion refused: the path is empty"));
  EXPECT_EQ(2, CountLines(LogEvent::Warning, L"File deletion refused: the path is empty"));
}

// A connection name taken from a path passes the same check as one being
// created, before anything reaches the Coordinator.
TEST_F(PluginBrokerTest, ConnectionNamesFromPathsAreChecked) {
  auto broker = MakeWrite();
  const size_t opened = Opened().size();
  const std::wstring names[] = {
      L"..", L".", L"a/b", L"a\x01", L"a\x85", L"a\u2028", L"a\u2029", L"a\xd800", std::wstring(L"a\0b", 3)};
  unsigned int handle = 0;
  for (const std::wstring& name : names) {
    std::list<CFileInfo> entries;
    EXPECT_EQ(1, broker->GetListing(L"TestFolderConf\\" + name + L"\\x", entries));
    EXPECT_EQ(1, broker->OpenFile(L"TestFolderConf\\" + name + L"\\x", FileAccessMode::Read, handle));
    EXPECT_EQ(1, broker->CreateFolder(L"TestFolderConf\\" + name));
  }
  EXPECT_EQ(opened, Opened().size());
  EXPECT_EQ(0, zrtest::CountOf(conf_, zrtest::kFactory));
}

// How a path served by the connection folder is cut depends on that path
// alone, not on the plug-in object left from an earlier call.
TEST_F(PluginBrokerTest, ConnectionFolderPathsAreCutByThePathAlone) {
  auto broker = MakeWrite();
  EXPECT_EQ(1, broker->DeleteFile(L"TestFolderConf\\\\c2"));
  EXPECT_EQ(1, CountLines(LogEvent::Warning, L"Invalid connection name '\\c2'"));
  ASSERT_EQ(0, broker->CreateFolder(L"TestFolderConf\\c1\\sub"));  // an object of c1 is current
  EXPECT_EQ(1, broker->DeleteFile(L"TestFolderConf\\\\c2"));
  EXPECT_EQ(1, broker->DeleteFolder(L"TestFolderConf\\\\c2"));
  EXPECT_EQ(3, CountLines(LogEvent::Warning, L"Invalid connection name '\\c2'"));
}

TEST_F(PluginBrokerTest, TransactionsNeverDestroyTheRunningInstance) {
  auto broker = MakeWrite();
  ASSERT_EQ(0, broker->SetRootPath(L"TestFolderConf\\c1"));
  broker->OnStop();  // nothing to stop: no object is made for it
  EXPECT_EQ(0, zrtest::CountOf(conf_, zrtest::kFactory));
  ASSERT_EQ(0, broker->BeginTransaction());
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kBegin));
  broker->OnStop();
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kOnStop));

  // A root naming the plug-in alone (its connection folder) must not take
  // the running instance away, nor commit in its place.
  ASSERT_EQ(0, broker->SetRootPath(L"TestFolderConf"));
  EXPECT_EQ(1, broker->CommitTransaction());
  EXPECT_EQ(
      1, CountLines(LogEvent::Error, L"Can't commit the transaction: the root names another plug-in object"));
  EXPECT_EQ(1, broker->BeginTransaction());
  EXPECT_EQ(1, CountLines(LogEvent::Error,
                          L"Can't begin a transaction while another plug-in object has work in "
                          L"progress"));
  EXPECT_EQ(0, zrtest::CountOf(conf_, zrtest::kDestroy));

  ASSERT_EQ(0, broker->SetRootPath(L"TestFolderConf\\c1"));
  ASSERT_EQ(0, broker->CommitTransaction());
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kCommit));
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kFactory));

  // An instance released inside its transaction: the commit fails.
  ASSERT_EQ(0, broker->BeginTransaction());
  ASSERT_EQ(0, broker->SetRootPath(L""));
  std::list<CFileInfo> entries;
  ASSERT_EQ(0, broker->GetListing(L"TestCodes\\x", entries));
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kDestroy));
  ASSERT_EQ(0, broker->SetRootPath(L"TestFolderConf\\c1"));
  EXPECT_EQ(1, broker->CommitTransaction());
  EXPECT_EQ(1, CountLines(LogEvent::Error,
                          L"Can't commit the transaction: its plug-in object was released before"));
  EXPECT_EQ(1, zrtest::CountOf(conf_, zrtest::kCommit));
}

TEST_F(PluginBrokerTest, ReadBrokerRefusesChanges) {
  auto broker = MakeRead();
  CFileAttributes attributes;
  unsigned char buffer[4] = {};
  unsigned int size = sizeof(buffer);
  const std::wstring tail =
      L" doesn't supported by the filesystem read interface, use write "
      L"interface instead";
  EXPECT_EQ(6, broker->SetElementAttributes(L"TestFolder\\a", attributes));
  EXPECT_EQ(6, broker->CreateFolder(L"TestFolder\\a"));
  EXPECT_EQ(6, broker->DeleteFolder(L"TestFolder\\a"));
  EXPECT_EQ(6, broker->DeleteFile(L"TestFolder\\a"));
  EXPECT_EQ(6, broker->BeginTransaction());
  EXPECT_EQ(6, broker->CommitTransaction());
  EXPECT_EQ(6, broker->WriteFile(buffer, size, 1));
  EXPECT_EQ(6, broker->MoveFile(L"TestFolder\\a", L"TestFolder\\b"));
  const std::vector<hostingtest::RecordingLog::Line> expected = {
      {LogEvent::Warning, L"Setting attributes" + tail}, {LogEvent::Warning, L"Folders creation" + tail},
      {LogEvent::Warning, L"Folders deletion" + tail},   {LogEvent::Warning, L"File deletion" + tail},
      {LogEvent::Warning, L"Transactions" + tail},       {LogEvent::Warning, L"Transactions" + tail},
      {LogEvent::Warning, L"Writing the file" + tail},   {LogEvent::Warning, L"Moving the file" + tail}};
  EXPECT_EQ(expected, log_.Lines());
  EXPECT_EQ(1, broker->ReadFile(buffer, size, 1));  // no object
  EXPECT_EQ(0, zrtest::CountOf(folder_, zrtest::kFactory));
}

TEST_F(PluginBrokerTest, CoordinatorFailuresBecomeFatalLines) {
  auto broker = MakeWrite();
  unsigned int handle = 0;
  ASSERT_EQ(0, broker->OpenFile(L"TestCodes\\x", FileAccessMode::Read, handle));
  ASSERT_EQ(0, broker->SetRootPath(L"TestCodes"));
  log_.Clear();
  zrtest::SetResult(codes_, -1);
  ExpectEveryOperationFails(*broker, handle);
  const std::vector<hostingtest::RecordingLog::Line> expected = {
      {LogEvent::Error, L"Fatal error occurred while setting file attributes"},
      {LogEvent::Error, L"Fatal error occurred while getting file attributes"},
      {LogEvent::Error, L"Fatal error occurred while getting directory listing"},
      {LogEvent::Error, L"Fatal error occurred while creating the folder"},
      {LogEvent::Error, L"Fatal error occurred while deleting the folder"},
      {LogEvent::Error, L"Fatal error occurred while deleting the file"},
      {LogEvent::Error, L"Fatal error occurred while beginning transaction"},
      {LogEvent::Error, L"Fatal error occurred while commiting transaction"},
      {LogEvent::Error, L"Fatal error occurred while reading the file"},
      {LogEvent::Error, L"Fatal error occurred while writing the file"},
      {LogEvent::Error, L"Fatal error occurred while seeking the file"},
      {LogEvent::Error, L"Fatal error occurred while moving the file"},
      {LogEvent::Error, L"Fatal error occurred while closing the file"},
      {LogEvent::Error, L"Fatal error occurred while opening the file"}};
  EXPECT_EQ(expected, log_.Lines());
  EXPECT_EQ(1, zrtest::CountOf(codes_, zrtest::kOnStop));  // raised, swallowed, no line
  zrtest::SetResult(codes_, 0);
}

TEST_F(PluginBrokerTest, AnyOtherThrowIsAFailureToo) {
  auto broker = MakeWrite();
  unsigned int handle = 0;
  ASSERT_EQ(0, broker->OpenFile(L"TestCodes\\x", FileAccessMode::Read, handle));
  ASSERT_EQ(0, broker->SetRootPath(L"TestCodes"));
  zrtest::SetResult(codes_, -2);  // throws neither a CORBA nor a standard exception
  ExpectEveryOperationFails(*broker, handle);
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Fatal error occurred while opening the file"));
  zrtest::SetResult(codes_, 0);
}

TEST_F(PluginBrokerTest, ReadBrokerReportsFatalLinesToo) {
  auto broker = MakeRead();
  unsigned int handle = 0;
  ASSERT_EQ(0, broker->OpenFile(L"TestCodes\\x", FileAccessMode::Read, handle));
  log_.Clear();
  zrtest::SetResult(codes_, -1);
  std::list<CFileInfo> entries;
  unsigned char buffer[4] = {};
  unsigned int size = sizeof(buffer);
  EXPECT_EQ(1, broker->GetListing(L"TestCodes\\x", entries));
  EXPECT_EQ(1, broker->ReadFile(buffer, size, handle));
  EXPECT_EQ(1, broker->CloseFile(handle));
  zrtest::SetResult(codes_, 0);
  const std::vector<hostingtest::RecordingLog::Line> expected = {
      {LogEvent::Error, L"Fatal error occurred while getting directory listing"},
      {LogEvent::Error, L"Fatal error occurred while reading the file"},
      {LogEvent::Error, L"Fatal error occurred while closing the file"}};
  EXPECT_EQ(expected, log_.Lines());
}

}  // namespace
