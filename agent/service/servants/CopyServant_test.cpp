// The copy servant and its engine, driven through object references: the
// session's own plug-ins as source and (through the session handed in as
// target) as local target; the Coordinator's log and progress in a second
// process.

#include <gtest/gtest.h>

#include <random>

#include "agent/service/servants/IBackupDataCopy_impl.h"
#include "agent/service/servants/SessionServant.h"
#include "agent/service/servants/testing/AgentFixture.h"
#include "tests/storage/StorageWorkstation.h"

namespace zrtest {
namespace {

namespace fs = std::filesystem;
using namespace ZavediDedozozuriz;

constexpr size_t kMiB = 1 << 20;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

class CopyTest : public AgentFixture {
 protected:
  void InstallFilters() override {
    xor_ = InstallLibrary(ZRTEST_XORFILTER_PATH, folder_ / "Filters", "xor.so");
    pack_ = InstallLibrary(ZRTEST_PACKFILTER_PATH, folder_ / "Filters", "pack.so");
    xdelta_ = InstallLibrary(ZRTEST_XDELTAFILTER_PATH, folder_ / "Filters", "xdelta.so");
  }

  // A copy interface of the session with `filters`, writing to `target`
  // (the session itself when nil).
  IDLBackupDataCopy_ptr Copier(bool useIndex, std::vector<std::wstring> filters = {},
                               Session_ptr target = Session::_nil()) {
    ISettings settings;
    settings.useIndex = useIndex;
    settings.filters.length(static_cast<CORBA::ULong>(filters.size()));
    for (size_t i = 0; i < filters.size(); ++i)
      settings.filters[static_cast<CORBA::ULong>(i)] = filters[i].c_str();
    settings.progress = coordinator_->Progress();
    return session_->GetCopyInterface(settings, CORBA::is_nil(target) ? session_.in() : target);
  }
  // The servant behind a copy reference of this agent.
  zr::IBackupDataCopy_impl* CopyServant(IDLBackupDataCopy_ptr copy) {
    PortableServer::ServantBase_var servant = AgentOrb().Poa()->reference_to_servant(copy);
    return dynamic_cast<zr::IBackupDataCopy_impl*>(servant.in());
  }
  zr::SessionServant* OwnSession() {
    PortableServer::ServantBase_var servant = AgentOrb().Poa()->reference_to_servant(session_);
    return dynamic_cast<zr::SessionServant*>(servant.in());
  }
  fs::path Plain(const std::string& relative) const { return PlainRoot() / relative; }

  std::string xor_, pack_, xdelta_;
};

TEST_F(CopyTest, TreeToTheBackupAndBackWithIndexRecordsFromTheView) {
  const std::vector<std::pair<std::string, size_t>> files = {{"empty", 0},        {"one", 1},
                                                             {"below", kMiB - 1}, {"exact", kMiB},
                                                             {"above", kMiB + 1}, {"sub/large", 50000000}};
  unsigned seed = 1;
  for (const auto& file : files) MakeFile(Plain("src/" + file.first), RandomBytes(file.second, seed++));

  IDLBackupDataCopy_var copy = Copier(true);
  EXPECT_FALSE(CopyServant(copy)->IsTargetRemote());
  ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
  IDLBackupDataWrite_var index = copy->GetTargetFS(true);
  EXPECT_EQ(index->CreateFolder(L"TestFolder\\bak\\sub"), SUCCESS);
  for (const auto& file : files) {
    std::wstring name(file.first.begin(), file.first.end());
    std::replace(name.begin(), name.end(), L'/', L'\\');
    ASSERT_EQ(
        copy->CopyFile((L"TestFolder\\src\\" + name).c_str(), (L"TestFolder\\bak\\" + name).c_str(), true),
        SUCCESS)
        << file.first;
    Attributes attributes{};
    attributes.Size = file.second;
    attributes.Type = 128;
    attributes.Mask = 0x0f;
    attributes.Modification = -1;
    attributes.CustomAttr = L"c";
    EXPECT_EQ(index->SetElementAttributes((L"TestFolder\\bak\\" + name).c_str(), attributes), SUCCESS);
  }
  MakeFile(Plain("src/unrecorded"), "x");
  ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\unrecorded", L"TestFolder\\bak\\unrecorded", true), SUCCESS);
  ASSERT_EQ(copy->FinishCopying(), SUCCESS);

  // The copy calls wrote no record themselves; the view's records are there.
  EXPECT_TRUE(fs::exists(Plain("bak/unrecorded")));
  EXPECT_FALSE(fs::exists(Plain("bak/.i/unrecorded.i")));
  EXPECT_TRUE(fs::is_directory(Plain("bak/sub/.i")));
  EXPECT_NE(ReadBytes(Plain("bak/sub/.i/large.i")).find("<sz>50000000</sz>"), std::string::npos);
  EXPECT_NE(ReadBytes(Plain("bak/.i/exact.i")).find("<ca>c</ca>"), std::string::npos);
  Attributes read{};
  EXPECT_EQ(index->GetElementAttributes(L"TestFolder\\bak\\above", read),
            SUCCESS);  // outside a copy: the target
  EXPECT_EQ(read.Size, kMiB + 1);

  ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
  EXPECT_EQ(index->GetElementAttributes(L"TestFolder\\bak\\one", read), SUCCESS);  // inside: the record
  EXPECT_EQ(read.Size, 1u);
  EXPECT_EQ(read.Modification, -1);
  List_var listing;
  EXPECT_EQ(index->GetListing(L"TestFolder\\bak", listing.out()), SUCCESS);
  EXPECT_EQ(listing->length(), 5u);
  for (const auto& file : files) {
    std::wstring name(file.first.begin(), file.first.end());
    std::replace(name.begin(), name.end(), L'/', L'\\');
    ASSERT_EQ(
        copy->CopyFile((L"TestFolder\\back\\" + name).c_str(), (L"TestFolder\\bak\\" + name).c_str(), false),
        SUCCESS);
    EXPECT_EQ(fs::file_size(Plain("back/" + file.first)), file.second);
    EXPECT_TRUE(ReadBytes(Plain("back/" + file.first)) == ReadBytes(Plain("src/" + file.first)))
        << file.first;
    EXPECT_TRUE(ReadBytes(Plain("bak/" + file.first)) == ReadBytes(Plain("src/" + file.first))) << file.first;
  }
  EXPECT_EQ(copy->FinishCopying(), SUCCESS);
}

TEST_F(CopyTest, CopyCallsOutsideAStartedCopyAreRefused) {
  MakeFile(Plain("src/a"), "abc");
  IDLBackupDataCopy_var copy = Copier(false);
  EXPECT_EQ(copy->CopyFile(L"TestFolder\\src\\a", L"TestFolder\\bak\\a", true), FAILED);
  EXPECT_EQ(copy->CopyFileDiff(L"TestFolder\\src\\a", L"TestFolder\\bak\\a", L"TestFolder\\bak\\b", true),
            FAILED);
  EXPECT_TRUE(Logged(LogEvent::Error, L"Missing StartCopying call"));
  EXPECT_FALSE(fs::exists(Plain("bak/a")));
}

TEST_F(CopyTest, FiltersPerFileAndManyToOne) {
  const std::string content = RandomBytes(3 * kMiB + 17, 7);
  MakeFile(Plain("src/a"), content);
  MakeFile(Plain("src/b"), "small");
  {
    IDLBackupDataCopy_var copy = Copier(false, {L"xor"});
    ASSERT_EQ(copy->StartCopying(L"TestFolder\\x"), SUCCESS);
    ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\a", L"TestFolder\\x\\a", true), SUCCESS);
    ASSERT_EQ(copy->FinishCopying(), SUCCESS);
    const std::string stored = ReadBytes(Plain("x/a.z"));
    ASSERT_EQ(stored.size(), content.size());
    EXPECT_EQ(static_cast<unsigned char>(stored[0]), static_cast<unsigned char>(content[0]) ^ 0x5a);
    ASSERT_EQ(copy->StartCopying(L"TestFolder\\x"), SUCCESS);
    ASSERT_EQ(copy->CopyFile(L"TestFolder\\xback\\a", L"TestFolder\\x\\a", false), SUCCESS);
    EXPECT_TRUE(ReadBytes(Plain("xback/a")) == content);
  }
  {
    IDLBackupDataCopy_var copy = Copier(true, {L"pack"});
    ASSERT_EQ(copy->StartCopying(L"TestFolder\\p"), SUCCESS);
    ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\a", L"TestFolder\\p\\a", true), SUCCESS);
    ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\b", L"TestFolder\\p\\b", true), SUCCESS);
    ASSERT_EQ(copy->FinishCopying(), SUCCESS);
    EXPECT_TRUE(fs::exists(Plain("p/backup.pk")));
    EXPECT_FALSE(fs::exists(Plain("p/a")));
    ASSERT_EQ(copy->StartCopying(L"TestFolder\\p"), SUCCESS);
    ASSERT_EQ(copy->CopyFile(L"TestFolder\\pback\\a", L"TestFolder\\p\\a", false), SUCCESS);
    ASSERT_EQ(copy->CopyFile(L"TestFolder\\pback\\b", L"TestFolder\\p\\b", false), SUCCESS);
    EXPECT_EQ(copy->FinishCopying(), SUCCESS);
    EXPECT_TRUE(ReadBytes(Plain("pback/a")) == content);
    EXPECT_EQ(ReadBytes(Plain("pback/b")), "small");
  }
}

TEST_F(CopyTest, AFailedDataCommitLeavesTheIndexUncommitted) {
  MakeFile(Plain("src/a"), "abc");
  IDLBackupDataCopy_var copy = Copier(true, {L"pack"});
  ASSERT_EQ(copy->StartCopying(L"TestFolder\\p"), SUCCESS);
  ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\a", L"TestFolder\\p\\a", true), SUCCESS);
  IDLBackupDataWrite_var index = copy->GetTargetFS(true);
  Attributes attributes{};
  EXPECT_EQ(index->SetElementAttributes(L"TestFolder\\p\\a", attributes), SUCCESS);
  // The data object's name is taken by a folder: its commit cannot write.
  fs::create_directories(Plain("p/backup.pk"));
  EXPECT_NE(copy->FinishCopying(), SUCCESS);
  EXPECT_FALSE(fs::exists(Plain("p/index.pk")));
}

TEST_F(CopyTest, DifferenceCopyThroughTheSignature) {
  const std::string base = RandomBytes(4 * kMiB, 3);
  std::string changed = base;
  for (size_t at = 0; at < changed.size(); at += kMiB) changed[at] ^= 0x01;
  changed += "tail";
  MakeFile(Plain("src/base"), base);
  MakeFile(Plain("src/new"), changed);
  IDLBackupDataCopy_var copy = Copier(false);
  ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
  ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\base", L"TestFolder\\bak\\base", true), SUCCESS);
  ASSERT_EQ(
      copy->CopyFileDiff(L"TestFolder\\src\\new", L"TestFolder\\bak\\delta", L"TestFolder\\bak\\base", true),
      SUCCESS);
  EXPECT_LT(fs::file_size(Plain("bak/delta")), changed.size() / 10);
  const std::string command = "rdiff patch '" + Plain("bak/base").string() + "' '" +
                              Plain("bak/delta").string() + "' '" + Plain("rdiff-out").string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(ReadBytes(Plain("rdiff-out")) == changed);

  ASSERT_EQ(copy->CopyFileDiff(L"TestFolder\\back\\new", L"TestFolder\\bak\\delta", L"TestFolder\\bak\\base",
                               false),
            SUCCESS);
  EXPECT_TRUE(ReadBytes(Plain("back/new")) == changed);
  EXPECT_EQ(copy->FinishCopying(), SUCCESS);
}

TEST_F(CopyTest, DifferenceCopyThroughTheDeltaFilter) {
  const std::string base = RandomBytes(kMiB + 5, 4);
  const std::string changed = RandomBytes(2 * kMiB, 5);
  MakeFile(Plain("src/base"), base);
  MakeFile(Plain("src/new"), changed);
  IDLBackupDataCopy_var copy = Copier(false, {L"xdelta\\default.zrl"});
  ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
  ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\base", L"TestFolder\\bak\\base", true), SUCCESS);
  EXPECT_EQ(CountOf(xdelta_, kReverseBytes), 0);  // linked in only for a difference copy
  ASSERT_EQ(
      copy->CopyFileDiff(L"TestFolder\\src\\new", L"TestFolder\\bak\\new", L"TestFolder\\bak\\base", true),
      SUCCESS);
  EXPECT_EQ(CountOf(xdelta_, kReverseBytes), static_cast<int>(base.size()));
  EXPECT_EQ(CountOf(xdelta_, kDirectBytes), static_cast<int>(changed.size()));
  EXPECT_TRUE(ReadBytes(Plain("bak/new")) == changed);
  ASSERT_EQ(
      copy->CopyFileDiff(L"TestFolder\\back\\new", L"TestFolder\\bak\\new", L"TestFolder\\bak\\base", false),
      SUCCESS);
  EXPECT_TRUE(ReadBytes(Plain("back/new")) == changed);
  EXPECT_EQ(
      copy->CopyFileDiff(L"TestFolder\\back\\x", L"TestFolder\\bak\\new", L"TestFolder\\bak\\nobase", false),
      PATH_NOT_FOUND);
  EXPECT_TRUE(Logged(LogEvent::Error, L"Can't open base file 'TestFolder\\bak\\nobase'"));
  EXPECT_EQ(copy->FinishCopying(), SUCCESS);
}

TEST_F(CopyTest, AFailedReadIsTheCopysResultAndEveryHandleIsClosed) {
  MakeFile(Plain("src/a"), RandomBytes(3 * kMiB, 9));
  MakeFile(Plain("bak/b"), RandomBytes(3 * kMiB, 10));
  IDLBackupDataCopy_var copy = Copier(false);
  ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
  ResetCounts(folderPlugin_);
  SetFault(folderPlugin_, kFailReadAfter, kMiB + kMiB / 2);
  EXPECT_EQ(copy->CopyFile(L"TestFolder\\src\\a", L"TestFolder\\bak\\a", true), FAILED);
  ResetFaults(folderPlugin_);
  SetFault(folderPlugin_, kFailReadAfter, kMiB);
  EXPECT_EQ(copy->CopyFile(L"TestFolder\\back\\b", L"TestFolder\\bak\\b", false), FAILED);
  ResetFaults(folderPlugin_);
  EXPECT_EQ(CountOf(folderPlugin_, kOpen), 4);
  EXPECT_EQ(CountOf(folderPlugin_, kClose), 4);
  EXPECT_EQ(copy->FinishCopying(), SUCCESS);
}

TEST_F(CopyTest, ARestoreReportsTheFailedCloseOfThePluginFile) {
  // A database plug-in restores in CloseFile and reports a failed restore there.
  MakeFile(Plain("bak/b"), "stored");
  IDLBackupDataCopy_var copy = Copier(false);
  ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
  SetFault(folderPlugin_, kFailWriteClose, 7);
  EXPECT_EQ(copy->CopyFile(L"TestFolder\\back\\b", L"TestFolder\\bak\\b", false), DISK_FULL);
  ResetFaults(folderPlugin_);
  EXPECT_EQ(copy->CopyFile(L"TestFolder\\back\\b", L"TestFolder\\bak\\b", false), SUCCESS);
  EXPECT_EQ(copy->FinishCopying(), SUCCESS);
}

TEST_F(CopyTest, DebugModeWritesThroughTheAgentsOwnWriteInterface) {
  LoadSettings("yes", "debug");
  const std::string base = RandomBytes(4 * kMiB, 30);
  std::string changed = base;
  changed[kMiB] ^= 0x10;
  MakeFile(Plain("src/base"), base);
  MakeFile(Plain("src/new"), changed);
  MakeFile(Plain("src/other"), RandomBytes(8 * kMiB, 31));
  IDLBackupDataCopy_var copy = Copier(false);
  EXPECT_TRUE(CopyServant(copy)->IsTargetRemote());
  ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
  ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\base", L"TestFolder\\bak\\base", true), SUCCESS);
  ASSERT_EQ(
      copy->CopyFileDiff(L"TestFolder\\src\\new", L"TestFolder\\bak\\delta", L"TestFolder\\bak\\base", true),
      SUCCESS);
  EXPECT_LT(fs::file_size(Plain("bak/delta")), kMiB / 10);
  ASSERT_EQ(copy->CopyFileDiff(L"TestFolder\\back\\new", L"TestFolder\\bak\\delta", L"TestFolder\\bak\\base",
                               false),
            SUCCESS);
  EXPECT_TRUE(ReadBytes(Plain("back/new")) == changed);
  // An existing stored file is overwritten as a delta against itself.
  ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\new", L"TestFolder\\bak\\base", true), SUCCESS);
  EXPECT_TRUE(ReadBytes(Plain("bak/base")) == changed);
  // A copy whose read fails cuts its delta off: the stored file stays, no temporary is left.
  ResetFaults(folderPlugin_);
  SetFault(folderPlugin_, kFailReadAfter, 7 * kMiB);
  EXPECT_EQ(copy->CopyFile(L"TestFolder\\src\\other", L"TestFolder\\bak\\base", true), FAILED);
  ResetFaults(folderPlugin_);
  EXPECT_TRUE(ReadBytes(Plain("bak/base")) == changed);
  size_t stored = 0;
  for (const auto& entry : fs::directory_iterator(Plain("bak"))) stored += entry.path().filename() != ".i";
  EXPECT_EQ(stored, 2u);  // base and delta
  EXPECT_EQ(copy->FinishCopying(), SUCCESS);
  LoadSettings("yes", "no");
}

TEST_F(CopyTest, ProgressAtMostEveryThreeSecondsAndNothingForAQuickFile) {
  constexpr unsigned kChunk = 65536;
  MakeFile(Plain("src/quick"), RandomBytes(15 * kChunk, 12));
  MakeFile(Plain("src/slow"), RandomBytes(45 * kChunk, 11));
  IDLBackupDataCopy_var copy = Copier(false);
  ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
  SetFault(folderPlugin_, kShortRead, kChunk);
  SetFault(folderPlugin_, kReadDelayMs, 100);
  ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\quick", L"TestFolder\\bak\\quick", true),
            SUCCESS);  // about 1.5 s
  EXPECT_FALSE(coordinator_->WaitForCalls("NextChunk", 1, std::chrono::milliseconds(300)));
  ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\slow", L"TestFolder\\bak\\slow", true),
            SUCCESS);  // about 4.5 s
  ResetFaults(folderPlugin_);
  EXPECT_TRUE(coordinator_->WaitForCalls("NextChunk", 1, std::chrono::seconds(30)));
  std::uint64_t sent = 0;
  const std::vector<RecordedCall> chunks = coordinator_->Calls("NextChunk");
  for (const RecordedCall& call : chunks) sent += std::stoull(call.args.at(0));
  // Every byte counted before the file's last report, none after it.
  EXPECT_EQ(chunks.size(), 1u);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, 45u * kChunk);
  EXPECT_EQ(sent % kChunk, 0u);
  EXPECT_GE(sent, 20u * kChunk);  // at least 3 s of 100 ms reads (allowing for time()'s whole seconds)
  EXPECT_EQ(copy->FinishCopying(), SUCCESS);
}

TEST_F(CopyTest, AProgressReportThatCannotBeDeliveredDoesNotStopTheCopy) {
  constexpr unsigned kChunk = 65536;
  const std::string content = RandomBytes(35 * kChunk, 13);
  MakeFile(Plain("src/slow"), content);
  ISettings settings;
  settings.useIndex = false;
  // NextChunk is oneway; one that cannot be delivered raises TRANSIENT.
  CORBA::Object_var dead = AgentOrb().Orb()->string_to_object("corbaloc::127.0.0.1:1/Nothing");
  settings.progress = Tessarine::OperationProgress::_unchecked_narrow(dead);
  IDLBackupDataCopy_var copy = session_->GetCopyInterface(settings, session_);
  ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
  SetFault(folderPlugin_, kShortRead, kChunk);
  SetFault(folderPlugin_, kReadDelayMs, 100);
  EXPECT_EQ(copy->CopyFile(L"TestFolder\\src\\slow", L"TestFolder\\bak\\slow", true),
            SUCCESS);  // about 3.5 s
  ResetFaults(folderPlugin_);
  EXPECT_TRUE(ReadBytes(Plain("bak/slow")) == content);
  EXPECT_EQ(copy->FinishCopying(), SUCCESS);
}

TEST_F(CopyTest, ViewsAreMadeOnceAndEndWithTheSession) {
  IDLBackupDataCopy_var copy = Copier(false);
  IDLBackupDataWrite_var source = copy->GetSourceFS();
  IDLBackupDataWrite_var again = copy->GetSourceFS();
  EXPECT_TRUE(source->_is_equivalent(again));
  IDLBackupDataWrite_var backup = copy->GetTargetFS(false);
  IDLBackupDataWrite_var indexless = copy->GetTargetFS(true);  // the settings keep no index
  EXPECT_TRUE(backup->_is_equivalent(indexless));
  EXPECT_FALSE(backup->_is_equivalent(source));
  CORBA::ULong handle = 0;
  EXPECT_EQ(backup->OpenFileSignature(L"TestFolder\\a", handle), NOT_SUPPORTED);
  EXPECT_EQ(backup->OpenFilePatch(L"TestFolder\\a", L"TestFolder\\b", handle), NOT_SUPPORTED);
  EXPECT_EQ(source->OpenFilePatching(L"TestFolder\\a", L"TestFolder\\a", handle), NOT_SUPPORTED);

  workstation_->CloseSession(session_);
  EXPECT_TRUE(log_.WaitFor(L"Close session of the user"));
  EXPECT_THROW(source->SetRoot(L""), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(backup->SetRoot(L""), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(copy->FinishCopying(), CORBA::OBJECT_NOT_EXIST);
}

TEST_F(CopyTest, ViewHandlesGoBackToTheObjectThatOpenedThem) {
  // Source and target number their handles alike: 1 on both sides.
  SetFault(folderPlugin_, kReuseHandles, 1);
  MakeFile(Plain("src/a"), "source bytes");
  MakeFile(Plain("bak/b"), "stored bytes");
  IDLBackupDataCopy_var copy = Copier(false);
  IDLBackupDataWrite_var source = copy->GetSourceFS();
  IDLBackupDataWrite_var backup = copy->GetTargetFS(false);
  CORBA::ULong fromSource = 0;
  CORBA::ULong fromTarget = 0;
  ASSERT_EQ(source->OpenFile(L"TestFolder\\src\\a", Read, fromSource), SUCCESS);
  ASSERT_EQ(backup->OpenFile(L"TestFolder\\bak\\b", Read, fromTarget), SUCCESS);
  EXPECT_EQ(fromSource, fromTarget);
  Tessarine::BinaryData data;
  data.length(64);
  CORBA::ULong size = 64;
  ASSERT_EQ(backup->ReadFile(data, size, fromTarget), SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get_buffer()), size), "stored bytes");
  size = 65;
  EXPECT_EQ(source->ReadFile(data, size, fromSource), FAILED);  // more than was sent
  EXPECT_EQ(backup->CloseFile(fromTarget), SUCCESS);
  EXPECT_EQ(backup->CloseFile(fromTarget), FAILED);
  EXPECT_EQ(source->CloseFile(fromSource), SUCCESS);

  // A write of more than was sent is refused with nothing written.
  CORBA::ULong written = 0;
  ASSERT_EQ(backup->OpenFile(L"TestFolder\\bak\\w", Write, written), SUCCESS);
  data.length(4);
  for (CORBA::ULong i = 0; i < 4; ++i) data[i] = static_cast<CORBA::Octet>('a' + i);
  size = 5;
  EXPECT_EQ(backup->WriteFile(data, size, written), FAILED);
  size = 4;
  EXPECT_EQ(backup->WriteFile(data, size, written), SUCCESS);
  EXPECT_EQ(backup->CloseFile(written), SUCCESS);
  EXPECT_EQ(ReadBytes(Plain("bak/w")), "abcd");
}

TEST_F(CopyTest, TargetsOfOtherWorkstations) {
  StorageWorkstation other(AgentOrb().Orb(), L"other", folder_ / "other");
  Workstation_var otherWorkstation = other.Workstation();
  Tessarine::Session_var coordinatorSession = coordinator_->Session();
  Session_var otherSession = otherWorkstation->OpenSession(coordinatorSession, Tessarine::Log::_nil());

  IDLBackupDataCopy_var remote = Copier(false, {}, otherSession);
  EXPECT_TRUE(CopyServant(remote)->IsTargetRemote());
  EXPECT_EQ(other.Calls("GetWriteInterface").size(), 1u);

  other.SetOpenMode(StorageWorkstation::OpenMode::kNilWriter);
  Session_var nilWriter = otherWorkstation->OpenSession(coordinatorSession, Tessarine::Log::_nil());
  const size_t before = OwnSession()->CopyServantCount();
  EXPECT_THROW(Copier(false, {}, nilWriter), CORBA::UNKNOWN);
  EXPECT_EQ(OwnSession()->CopyServantCount(), before);
  EXPECT_TRUE(log_.Contains(L"Can't get target write interface"));

  other.SetUpcallObserver([](const std::string& operation) {
    if (operation == "GetWriteInterface") throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
  });
  EXPECT_THROW(Copier(false, {}, otherSession), CORBA::UNKNOWN);
  EXPECT_EQ(OwnSession()->CopyServantCount(), before);

  // A closed session of this agent is no local target either.
  Session_var closed = Open();
  workstation_->CloseSession(closed);
  EXPECT_TRUE(log_.WaitFor(L"Close session of the user 'tester'"));
  EXPECT_THROW(Copier(false, {}, closed), CORBA::UNKNOWN);

  ISettings settings;
  settings.useIndex = false;
  IDLBackupDataCopy_var none = session_->GetCopyInterface(settings, Session::_nil());
  EXPECT_TRUE(CORBA::is_nil(none));
  EXPECT_EQ(OwnSession()->CopyServantCount(), before);
}

TEST_F(CopyTest, BrowseReadsTheBackupAndDescribesItFromTheIndex) {
  MakeFile(Plain("src/a"), "stored content");
  {
    IDLBackupDataCopy_var copy = Copier(true);
    ASSERT_EQ(copy->StartCopying(L"TestFolder\\bak"), SUCCESS);
    ASSERT_EQ(copy->CopyFile(L"TestFolder\\src\\a", L"TestFolder\\bak\\a", true), SUCCESS);
    IDLBackupDataWrite_var index = copy->GetTargetFS(true);
    Attributes attributes{};
    attributes.Size = 14;
    attributes.Type = 128;
    attributes.Mask = 0x08;
    ASSERT_EQ(index->SetElementAttributes(L"TestFolder\\bak\\a", attributes), SUCCESS);
    ASSERT_EQ(copy->FinishCopying(), SUCCESS);
  }
  Tessarine::WStringsList none;
  IDLBackupDataBrowse_var browse = session_->GetBackupInterface(none);
  EXPECT_EQ(browse->SetRoot(L"TestFolder\\bak"), SUCCESS);
  List_var list;
  ASSERT_EQ(browse->GetListing(L"TestFolder\\bak", list.out()), SUCCESS);
  ASSERT_EQ(list->length(), 1u);
  EXPECT_EQ(std::wstring(list[0].Name.in()), L"a");
  EXPECT_EQ(list[0].Attrs.Size, 14u);
  Attributes attributes{};
  EXPECT_EQ(browse->GetElementAttributes(L"TestFolder\\bak\\a", attributes), SUCCESS);
  EXPECT_EQ(attributes.Size, 14u);
  EXPECT_TRUE(browse->IsPathExists(L"TestFolder\\bak\\a"));
  EXPECT_FALSE(browse->IsPathExists(L"TestFolder\\bak\\missing"));

  CORBA::ULong handle = 0;
  EXPECT_EQ(browse->OpenFileSignature(L"TestFolder\\bak\\a", handle), NOT_SUPPORTED);
  EXPECT_EQ(browse->OpenFile(L"TestFolder\\bak\\a", Write, handle), NOT_SUPPORTED);
  EXPECT_EQ(ReadBytes(Plain("bak/a")), "stored content");
  ASSERT_EQ(browse->OpenFile(L"TestFolder\\bak\\a", Read, handle), SUCCESS);
  Tessarine::BinaryData data;
  data.length(100);
  CORBA::ULong size = 101;
  EXPECT_EQ(browse->ReadFile(data, size, handle), FAILED);
  size = 100;
  EXPECT_EQ(browse->ReadFile(data, size, handle), SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get_buffer()), size), "stored content");
  EXPECT_EQ(data.length(), 100u);
  EXPECT_EQ(browse->CloseFile(handle), SUCCESS);

  // Free commits the index stream: a many-to-one chain nothing was written to stays as it was.
  Tessarine::WStringsList packed;
  packed.length(1);
  packed[0] = L"pack";
  IDLBackupDataBrowse_var packedBrowse = session_->GetBackupInterface(packed);
  EXPECT_EQ(packedBrowse->SetRoot(L"TestFolder\\bak"), SUCCESS);
  packedBrowse->Free();
  EXPECT_FALSE(fs::exists(Plain("bak/index.pk")));
}

}  // namespace
}  // namespace zrtest
