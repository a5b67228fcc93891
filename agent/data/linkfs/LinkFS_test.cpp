#include "agent/data/linkfs/LinkFS.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/coordinator/CoordinatorProcess.h"
#include "tests/coordinator/TestCoordinator.h"
#include "tests/coordinator/TestOrb.h"
#include "tests/storage/StorageWorkstation.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/TempDir.h"

namespace {

using namespace zr;

using zrtest::RecordedCall;
using zrtest::RecordingLog;
using zrtest::StorageWorkstation;

CORBA::ORB_ptr g_orb = CORBA::ORB::_nil();

class OrbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { g_orb = zrtest::InitTestOrb(); }
  void TearDown() override {
    g_orb->destroy();
    CORBA::release(g_orb);
    g_orb = CORBA::ORB::_nil();
  }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

// Collects what is written to std::wcerr while it lives.
class WcerrCapture {
 public:
  WcerrCapture() : saved_(std::wcerr.rdbuf(text_.rdbuf())) {}
  ~WcerrCapture() { std::wcerr.rdbuf(saved_); }
  std::wstring Text() const { return text_.str(); }

 private:
  std::wostringstream text_;
  std::wstreambuf* saved_;
};

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

template <typename Condition>
bool WaitFor(Condition condition) {
  // Up to 30 s: only a fault takes that long, however busy the machine.
  for (int i = 0; i < 3000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

class LinkFSTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.fs();
    folder_ = root_ / "store" / "Plugins" / "DB2";
    std::filesystem::create_directories(folder_);
    for (const char* name : {"a.zrl", ".zrl", "b.txt", "D.ZRL", "c1.zrl"}) Touch(name, "settings");

    coordinator_ = std::make_unique<zrtest::TestCoordinator>(g_orb);
    storage_ = std::make_unique<StorageWorkstation>(g_orb, L"WS1", root_);
    ZavediDedozozuriz::Workstation_var workstation = storage_->Workstation();
    coordinator_->State().AddWorkstation(workstation);
    coordinator_->State().SetDataStorage(L"Plugins\\DB2", L"WS1\\store\\Plugins\\DB2");
    session_ = coordinator_->Session();
    fs_ = std::make_unique<CLinkFS>(&log_, session_.in());
  }

  void TearDown() override {
    fs_.reset();
    session_ = Tessarine::Session::_nil();
    storage_.reset();
    coordinator_.reset();
  }

  void Touch(const char* name, const std::string& content) { std::ofstream(folder_ / name) << content; }

  void RaiseOnCoordinator(const std::string& operation) {
    coordinator_->State().SetUpcallObserver([operation](const std::string& called) {
      if (called == operation) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    });
  }

  void RaiseOnStorage(const std::string& operation) {
    storage_->SetUpcallObserver([operation](const std::string& called) {
      if (called == operation) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    });
  }

  zrtest::TempDir dir_{"linkfs_test."};
  std::filesystem::path root_;
  std::filesystem::path folder_;
  std::unique_ptr<zrtest::TestCoordinator> coordinator_;
  std::unique_ptr<StorageWorkstation> storage_;
  Tessarine::Session_var session_;
  RecordingLog log_;
  std::unique_ptr<CLinkFS> fs_;
};

TEST_F(LinkFSTest, SetPluginSplitsTheStorageAnswer) {
  coordinator_->State().SetDataStorage(L"Plugins\\X", L"WS1\\D:\\store\\Plugins\\X");
  coordinator_->State().SetDataStorage(L"Plugins\\Y", L"NoSeparator");
  fs_->SetPlugin(L"X");
  EXPECT_EQ(fs_->WorkstationName(), L"WS1");
  EXPECT_EQ(fs_->Folder(), L"D:\\store\\Plugins\\X");
  fs_->SetPlugin(L"Y");
  EXPECT_EQ(fs_->WorkstationName(), L"NoSeparator");
  EXPECT_EQ(fs_->Folder(), L"NoSeparator");
  fs_->SetPlugin(L"Unknown");
  EXPECT_EQ(fs_->WorkstationName(), L"");
  EXPECT_EQ(fs_->Folder(), L"");
  const auto calls = coordinator_->State().Calls("GetDataStorageVRK");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].args, std::vector<std::wstring>{L"Plugins\\X"});
  EXPECT_TRUE(log_.Lines().empty());

  std::list<CFileInfo> entries;
  EXPECT_EQ(fs_->GetListing(L"", entries), 1);
  EXPECT_TRUE(entries.empty());
  EXPECT_TRUE(storage_->Calls().empty());
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(LinkFSTest, FailedLookupDropsThePreviousPluginsFolder) {
  fs_->SetPlugin(L"DB2");
  std::list<CFileInfo> entries;
  ASSERT_EQ(fs_->GetListing(L"", entries), 0);
  EXPECT_EQ(storage_->OpenSessions(), 1);

  RaiseOnCoordinator("GetDataStorageVRK");
  std::wstring err;
  {
    WcerrCapture capture;
    fs_->SetPlugin(L"Other");
    err = capture.Text();
  }
  // On the wide stream, the agent's log, where the other lines go.
  EXPECT_EQ(
      err.rfind(L"Can't load connection settings files list. TRANSIENT. IDL:omg.org/CORBA/TRANSIENT:1.0", 0),
      0u);
  ASSERT_EQ(log_.Size(), 1u);
  EXPECT_EQ(log_.Lines()[0].level, LogEvent::Error);
  EXPECT_EQ(log_.Lines()[0].text, L"Can't load connection settings files list");
  EXPECT_EQ(fs_->Folder(), L"");
  EXPECT_EQ(fs_->WorkstationName(), L"");
  EXPECT_TRUE(WaitFor([&] { return storage_->OpenSessions() == 0; }));

  const size_t before = storage_->Calls().size();
  entries.clear();
  EXPECT_EQ(fs_->GetListing(L"", entries), 1);
  EXPECT_EQ(fs_->DeleteFolder(L"a"), 1);
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(storage_->Calls().size(), before);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "a.zrl"));
}

TEST_F(LinkFSTest, ListingShowsConnectionFilesAsFolders) {
  fs_->SetPlugin(L"DB2");
  std::list<CFileInfo> entries;
  ASSERT_EQ(fs_->GetListing(L"", entries), 0);
  ASSERT_EQ(entries.size(), 2u);
  const CFileInfo& first = entries.front();
  EXPECT_EQ(first.Name, L"a.zrl");
  EXPECT_EQ(first.Info, L"info a.zrl");
  EXPECT_EQ(first.Attrs.Type, 16u);
  EXPECT_EQ(first.Attrs.Mask, 15u);
  EXPECT_EQ(first.Attrs.Size, 8u);
  EXPECT_EQ(first.Attrs.Creation, 5);
  EXPECT_EQ(first.Attrs.LastAccess, 6);
  EXPECT_EQ(first.Attrs.Modification, 7);
  EXPECT_EQ(first.Attrs.CustomAttr, L"");
  EXPECT_EQ(entries.back().Name, L"c1.zrl");

  const auto listings = storage_->Calls("GetListing");
  ASSERT_EQ(listings.size(), 1u);
  EXPECT_EQ(listings[0].args, std::vector<std::wstring>{L"store\\Plugins\\DB2"});
  const auto opens = storage_->Calls("OpenSession");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].args, (std::vector<std::wstring>{L"session", L"nil"}));
  EXPECT_EQ(coordinator_->State().Calls("GetWorkstations").size(), 1u);

  // A held connection is checked with ping and reused; the entries are appended.
  ASSERT_EQ(fs_->GetListing(L"", entries), 0);
  EXPECT_EQ(entries.size(), 4u);
  EXPECT_EQ(storage_->Calls("OpenSession").size(), 1u);
  EXPECT_EQ(storage_->Calls("ping").size(), 2u);
  EXPECT_TRUE(log_.Lines().empty());

  // The next SetPlugin closes the session.
  fs_->SetPlugin(L"DB2");
  EXPECT_TRUE(WaitFor([&] { return storage_->OpenSessions() == 0; }));
  EXPECT_EQ(storage_->Calls("CloseSession").size(), 1u);
}

TEST_F(LinkFSTest, ListingFailuresLeaveTheListAlone) {
  fs_->SetPlugin(L"DB2");
  std::list<CFileInfo> entries(1);
  entries.front().Name = L"kept";

  storage_->SetResult("GetListing", ZavediDedozozuriz::PATH_NOT_FOUND);
  EXPECT_EQ(fs_->GetListing(L"", entries), 1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries.front().Name, L"kept");
  EXPECT_TRUE(log_.Lines().empty());

  RaiseOnStorage("GetListing");
  EXPECT_EQ(fs_->GetListing(L"", entries), 1);
  EXPECT_EQ(entries.size(), 1u);
  ASSERT_EQ(log_.Size(), 1u);
  EXPECT_EQ(log_.Lines()[0].level, LogEvent::Error);
  EXPECT_TRUE(
      StartsWith(log_.Lines()[0].text, L"Failed to get listing. TRANSIENT. IDL:omg.org/CORBA/TRANSIENT:1.0"))
      << log_.Lines()[0].text.c_str();

  // The failed session was dropped: the next listing opens a fresh one.
  EXPECT_TRUE(WaitFor([&] { return storage_->OpenSessions() == 0; }));
  storage_->SetUpcallObserver(nullptr);
  storage_->SetResult("GetListing", ZavediDedozozuriz::SUCCESS);
  EXPECT_EQ(fs_->GetListing(L"", entries), 0);
  EXPECT_EQ(storage_->Calls("OpenSession").size(), 2u);

  // A path that would leave the connection folder is refused before any call.
  log_.Clear();
  const size_t before = storage_->Calls().size();
  EXPECT_EQ(fs_->GetListing(L"..", entries), 1);
  EXPECT_EQ(storage_->Calls().size(), before);
  ASSERT_EQ(log_.Size(), 1u);
  EXPECT_EQ(log_.Lines()[0].level, LogEvent::Warning);
}

TEST_F(LinkFSTest, NoUsableSessionMeansFailureWithoutALine) {
  fs_->SetPlugin(L"DB2");
  const StorageWorkstation::OpenMode modes[] = {
      StorageWorkstation::OpenMode::kAccessDenied, StorageWorkstation::OpenMode::kSessionLimit,
      StorageWorkstation::OpenMode::kNilSession, StorageWorkstation::OpenMode::kNilWriter};
  for (StorageWorkstation::OpenMode mode : modes) {
    storage_->SetOpenMode(mode);
    std::list<CFileInfo> entries;
    CFileAttributes attributes;
    EXPECT_EQ(fs_->GetListing(L"", entries), 1);
    EXPECT_EQ(fs_->GetElementAttributes(L"a.zrl", attributes), 1);
    EXPECT_EQ(fs_->DeleteFile(L"a"), 1);
    EXPECT_TRUE(entries.empty());
    // A session whose write interface is nil is not left open.
    EXPECT_TRUE(WaitFor([&] { return storage_->OpenSessions() == 0; }));
  }
  EXPECT_TRUE(storage_->Calls("GetListing").empty());
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_TRUE(std::filesystem::exists(folder_ / "a.zrl"));

  // No workstation of that name; and a Coordinator whose list raises.
  coordinator_->State().SetDataStorage(L"Plugins\\Z", L"WS9\\store");
  storage_->SetOpenMode(StorageWorkstation::OpenMode::kNormal);
  fs_->SetPlugin(L"Z");
  std::list<CFileInfo> entries;
  EXPECT_EQ(fs_->GetListing(L"", entries), 1);
  fs_->SetPlugin(L"DB2");
  RaiseOnCoordinator("GetWorkstations");
  EXPECT_EQ(fs_->GetListing(L"", entries), 1);
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(LinkFSTest, DeadWorkstationIsSkippedAndTheConnectionRebuilt) {
  fs_->SetPlugin(L"DB2");
  std::list<CFileInfo> entries;
  ASSERT_EQ(fs_->GetListing(L"", entries), 0);

  // The held workstation dies; the Coordinator also lists a live one of the same name.
  StorageWorkstation second(g_orb, L"WS1", root_);
  ZavediDedozozuriz::Workstation_var live = second.Workstation();
  coordinator_->State().AddWorkstation(live);
  storage_->Kill();

  entries.clear();
  ASSERT_EQ(fs_->GetListing(L"", entries), 0);
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_EQ(second.Calls("OpenSession").size(), 1u);
  EXPECT_EQ(second.Calls("GetListing").size(), 1u);
  fs_.reset();
  EXPECT_TRUE(WaitFor([&] { return second.OpenSessions() == 0; }));
}

TEST_F(LinkFSTest, ElementAttributes) {
  fs_->SetPlugin(L"DB2");
  CFileAttributes attributes(1, 2, 3, 4, 128, 0);
  attributes.CustomAttr = L"mine";
  EXPECT_EQ(fs_->GetElementAttributes(L"", attributes), 0);
  EXPECT_EQ(fs_->GetElementAttributes(L"x\\y", attributes), 0);
  EXPECT_EQ(attributes.Creation, 1);
  EXPECT_EQ(attributes.Type, 128u);
  EXPECT_TRUE(storage_->Calls().empty());

  ASSERT_EQ(fs_->GetElementAttributes(L"a.zrl", attributes), 0);
  EXPECT_EQ(attributes.Type, 16u);
  EXPECT_EQ(attributes.Mask, 15u);
  EXPECT_EQ(attributes.Size, 8u);
  EXPECT_EQ(attributes.Creation, 5);
  EXPECT_EQ(attributes.Modification, 7);
  EXPECT_EQ(attributes.CustomAttr, L"mine");
  const auto calls = storage_->Calls("GetElementAttributes");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, std::vector<std::wstring>{L"store\\Plugins\\DB2\\a.zrl"});

  EXPECT_EQ(fs_->GetElementAttributes(L"missing.zrl", attributes), 1);
  EXPECT_TRUE(log_.Lines().empty());
  RaiseOnStorage("GetElementAttributes");
  EXPECT_EQ(fs_->GetElementAttributes(L"a.zrl", attributes), 1);
  ASSERT_EQ(log_.Size(), 1u);
  EXPECT_EQ(log_.Lines()[0].level, LogEvent::Error);
  EXPECT_TRUE(StartsWith(log_.Lines()[0].text, L"Failed to get link attributes. TRANSIENT. "));
}

TEST_F(LinkFSTest, CreateFolderOpensAndClosesTheLink) {
  fs_->SetPlugin(L"DB2");
  EXPECT_EQ(fs_->CreateFolder(L"c2"), 0);
  const auto opens = coordinator_->State().Calls("OpenLink");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].args, (std::vector<std::wstring>{L"Plugins\\DB2", L"c2"}));
  EXPECT_EQ(coordinator_->State().Calls("name").size(), 1u);
  EXPECT_EQ(coordinator_->State().Calls("CloseLink").size(), 1u);
  EXPECT_EQ(coordinator_->State().OpenLinks(), 0);
  EXPECT_TRUE(storage_->Calls().empty());
  EXPECT_TRUE(log_.Lines().empty());

  // The Coordinator raising: 1 and one line; a link that was opened is closed.
  for (const char* operation : {"OpenLink", "name", "CloseLink"}) {
    log_.Clear();
    RaiseOnCoordinator(operation);
    EXPECT_EQ(fs_->CreateFolder(L"c3"), 1) << operation;
    ASSERT_EQ(log_.Size(), 1u) << operation;
    EXPECT_EQ(log_.Lines()[0].level, LogEvent::Error);
    EXPECT_EQ(log_.Lines()[0].text, L"Fatal error occurred while creating the folder");
  }
  coordinator_->State().SetUpcallObserver(nullptr);
  EXPECT_EQ(coordinator_->State().OpenLinks(), 1);  // only the one whose CloseLink raised
}

TEST_F(LinkFSTest, DeleteRemovesTheConnectionFile) {
  Touch("c2.zrl", "x");
  fs_->SetPlugin(L"DB2");
  EXPECT_EQ(fs_->DeleteFolder(L"c1"), 0);
  EXPECT_EQ(fs_->DeleteFile(L"c2.zrl"), 0);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "c1.zrl"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "c2.zrl"));
  const auto calls = storage_->Calls("DeleteFile");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].args, std::vector<std::wstring>{L"store\\Plugins\\DB2\\c1.zrl"});
  EXPECT_EQ(calls[1].args, std::vector<std::wstring>{L"store\\Plugins\\DB2\\c2.zrl"});

  EXPECT_EQ(fs_->DeleteFolder(L"c1"), 1);  // already gone
  EXPECT_TRUE(log_.Lines().empty());
  RaiseOnStorage("DeleteFile");
  EXPECT_EQ(fs_->DeleteFile(L"a"), 1);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "a.zrl"));
}

TEST_F(LinkFSTest, UnsafeConnectionNamesAreRefusedBeforeAnyCall) {
  fs_->SetPlugin(L"DB2");
  const size_t coordinatorCalls = coordinator_->State().Calls().size();
  const std::wstring names[] = {
      L"",        L".",       L"..",      L"a/b",
      L"..\\x",   L"a\\b",    L"a\tb",    std::wstring(L"a\0b", 3),
      L"a\x7f",   L"a\x85",   L"a\x9f",   L"a\u2028",
      L"a\u2029", L"a\xd800", L"a\xdfff", std::wstring(1, static_cast<wchar_t>(0x110000))};
  for (const std::wstring& name : names) {
    log_.Clear();
    EXPECT_EQ(fs_->CreateFolder(name), 1);
    EXPECT_EQ(fs_->DeleteFolder(name), 1);
    EXPECT_EQ(fs_->DeleteFile(name), 1);
    ASSERT_EQ(log_.Size(), 3u);
    for (const auto& line : log_.Lines()) {
      EXPECT_EQ(line.level, LogEvent::Warning);
      EXPECT_TRUE(StartsWith(line.text, L"Invalid connection name '"));
      for (wchar_t c : line.text) {
        const auto value = static_cast<unsigned>(c);
        EXPECT_TRUE(value >= 0x20 && (value < 0x7f || value > 0x9f) && value != 0x2028 && value != 0x2029 &&
                    (value < 0xd800 || value > 0xdfff) && value <= 0x10ffff);
      }
    }
  }
  EXPECT_EQ(coordinator_->State().Calls().size(), coordinatorCalls);
  EXPECT_TRUE(storage_->Calls().empty());
}

TEST_F(LinkFSTest, OperationsWithoutRemoteWork) {
  unsigned int handle = 77;
  unsigned int size = 9;
  unsigned char buffer[4] = {1, 2, 3, 4};
  EXPECT_EQ(fs_->OpenFile(L"a", FileAccessMode::Write, handle), 0);
  EXPECT_EQ(handle, 77u);
  EXPECT_EQ(fs_->ReadFile(buffer, size, handle), 0);
  EXPECT_EQ(fs_->WriteFile(buffer, size, handle), 0);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(fs_->CloseFile(handle), 0);
  EXPECT_EQ(fs_->SetElementAttributes(L"a", CFileAttributes()), 0);
  EXPECT_EQ(fs_->BeginTransaction(), 0);
  EXPECT_EQ(fs_->CommitTransaction(), 0);
  fs_->OnStop();
  EXPECT_EQ(fs_->SeekFile(handle, 5), 6);
  EXPECT_EQ(fs_->MoveFile(L"a", L"b"), 6);
  EXPECT_TRUE(coordinator_->State().Calls().empty());
}

TEST_F(LinkFSTest, NullSessionAndNullLog) {
  CLinkFS lonely(nullptr, Tessarine::Session::_nil());
  {
    WcerrCapture capture;
    lonely.SetPlugin(L"DB2");
    EXPECT_NE(capture.Text().find(L"Can't load connection settings files list. "), std::wstring::npos);
  }
  std::list<CFileInfo> entries;
  CFileAttributes attributes;
  EXPECT_EQ(lonely.GetListing(L"", entries), 1);
  EXPECT_EQ(lonely.GetElementAttributes(L"a.zrl", attributes), 1);
  EXPECT_EQ(lonely.CreateFolder(L"c"), 1);
  EXPECT_EQ(lonely.DeleteFolder(L"c"), 1);
  EXPECT_EQ(lonely.CreateFolder(L""), 1);

  // Without SetPlugin nothing is created under "Plugins\".
  EXPECT_EQ(fs_->CreateFolder(L"c"), 1);
  EXPECT_TRUE(coordinator_->State().Calls("OpenLink").empty());
}

// The same connection case with the Coordinator in a process of its own, so
// every Coordinator call and the workstation references really travel.
TEST_F(LinkFSTest, ThroughACoordinatorProcess) {
  zrtest::CoordinatorProcessOptions options;
  ZavediDedozozuriz::Workstation_var workstation = storage_->Workstation();
  CORBA::String_var ior = g_orb->object_to_string(workstation);
  options.workstationIors.push_back(ior.in());
  options.storage.emplace_back(L"Plugins\\DB2", L"WS1\\store\\Plugins\\DB2");
  std::filesystem::create_directories(root_ / "coordinator");
  zrtest::CoordinatorProcess process(g_orb, root_ / "coordinator", options);
  Tessarine::Session_var remote = process.Session();
  {
    CLinkFS fs(&log_, remote);
    fs.SetPlugin(L"DB2");
    EXPECT_EQ(fs.WorkstationName(), L"WS1");
    EXPECT_EQ(fs.Folder(), L"store\\Plugins\\DB2");
    std::list<CFileInfo> entries;
    ASSERT_EQ(fs.GetListing(L"", entries), 0);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries.front().Name, L"a.zrl");
    EXPECT_EQ(fs.CreateFolder(L"c\u00e9\U0001F600"), 0);
    EXPECT_EQ(fs.DeleteFolder(L"c1"), 0);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "c1.zrl"));
  }
  EXPECT_TRUE(WaitFor([&] { return storage_->OpenSessions() == 0; }));
  const auto opens = process.Calls("OpenLink");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].args, (std::vector<std::wstring>{L"Plugins\\DB2", L"c\u00e9\U0001F600"}));
  EXPECT_EQ(process.Calls("name").size(), 1u);
  EXPECT_EQ(process.Calls("CloseLink").size(), 1u);
  EXPECT_EQ(process.Calls("GetWorkstations").size(), 1u);
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_TRUE(process.Stop());
}

}  // namespace
