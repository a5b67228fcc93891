// The copy engine on a local target over the folder test plug-in (with its
// fault switches) and the test filters: how failures part-way through a copy
// leave what was stored before.

#include "agent/data/copy/CopyImpl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "ZavediDedozozuriz.hh"
#include "agent/data/hosting/testing/HostingFixture.h"
#include "agent/data/targets/BackupFS.h"
#include "tests/storage/StoragePeer.h"

namespace {

namespace fs = std::filesystem;
using namespace zr;
using zrtest::kFailReadAfter;
using zrtest::kFailWriteAfter;

constexpr unsigned int kMiB = 1 << 20;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

class CopyEngineTest : public hostingtest::HostingFixture {
 protected:
  void SetUp() override {
    HostingFixture::SetUp();
    fs::create_directories(base_ / "Filters");
    pack_ = zrtest::InstallLibrary(ZRTEST_PACKFILTER_PATH, base_ / "Filters", "pack.so");
    zrtest::WriteAgentSettings(base_ / "home", true);
    settings_ = std::make_unique<CSettings>(L"/nonexistent", (base_ / "home").wstring());
    settings_->Load();
    zrtest::ResetFaults(folder_);
  }
  void TearDown() override {
    zrtest::ResetFaults(folder_);
    engine_.reset();
    loader_.reset();
    HostingFixture::TearDown();
  }

  // An engine on a local target with `filters`; the plug-ins' capabilities
  // are read now.
  CCopyImpl& Engine(const std::vector<std::wstring>& filters = {}) {
    std::wstringstream quiet;
    std::wstreambuf* old = std::wcerr.rdbuf(quiet.rdbuf());
    const std::string plugins = (base_ / "Plugins").string() + "/";
    const std::string filterFolder = (base_ / "Filters").string() + "/";
    loader_ = std::make_unique<CExtensionLoader>(L"wsagent", std::wstring(plugins.begin(), plugins.end()),
                                                 std::wstring(filterFolder.begin(), filterFolder.end()));
    std::wcerr.rdbuf(old);
    ZavediDedozozuriz::ISettings settings;
    settings.useIndex = false;
    settings.filters.length(static_cast<CORBA::ULong>(filters.size()));
    for (size_t i = 0; i < filters.size(); ++i)
      settings.filters[static_cast<CORBA::ULong>(i)] = filters[i].c_str();
    auto target = std::make_unique<CTargetLocalFS>(sessionRef_.in(), &log_, loader_.get(), settings_.get());
    engine_ =
        std::make_unique<CCopyImpl>(settings, sessionRef_.in(), &log_, Tessarine::OperationProgress::_nil(),
                                    loader_.get(), std::move(target));
    return *engine_;
  }

  // Sets one fault of the folder plug-in, counting bytes from now on.
  void Fault(zrtest::Fault which, long long value) {
    zrtest::ResetFaults(folder_);
    zrtest::SetFault(folder_, which, value);
  }
  fs::path Plain(const std::string& relative) const { return plainRoot() / relative; }
  // Stores src/a as the item a of TestFolder\p in a transaction of its
  // own (with "small" beside it as src/c); the archive's bytes.
  std::string StoreArchive(CCopyImpl& engine) {
    MakeFile(Plain("src/c"), "small");
    EXPECT_EQ(0, engine.StartCopying(L"TestFolder\\p", false));
    EXPECT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\a", L"TestFolder\\p\\a"));
    EXPECT_EQ(0, engine.FinishCopying(false));
    return ReadFileText(Plain("p/backup.pk"));
  }
  std::vector<std::string> Stored(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Plain(folder))) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  // The names the engine's target lists in `folder` outside a copy.
  std::vector<std::wstring> Listed(const std::wstring& folder) {
    std::list<CFileInfo> entries;
    EXPECT_EQ(0, engine_->GetListing(folder, entries, false, false));
    std::vector<std::wstring> names;
    for (const CFileInfo& entry : entries) names.push_back(entry.Name);
    return names;
  }

  std::string pack_;
  std::unique_ptr<CSettings> settings_;
  std::unique_ptr<CExtensionLoader> loader_;
  std::unique_ptr<CCopyImpl> engine_;
};

TEST_F(CopyEngineTest, ManyToOneItemFailingPartWayFailsTheTransaction) {
  const std::string first = RandomBytes(3 * kMiB, 1);
  MakeFile(Plain("src/a"), first);
  MakeFile(Plain("src/b"), RandomBytes(3 * kMiB, 2));
  CCopyImpl& engine = Engine({L"pack"});
  const std::string archive = StoreArchive(engine);

  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\p", false));
  Fault(kFailReadAfter, kMiB + kMiB / 2);
  EXPECT_EQ(1, engine.CopyFileToBackup(L"TestFolder\\src\\b", L"TestFolder\\p\\a"));
  zrtest::ResetFaults(folder_);
  EXPECT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\c", L"TestFolder\\p\\c"));
  EXPECT_EQ(1, engine.FinishCopying(false));
  EXPECT_TRUE(ReadFileText(Plain("p/backup.pk")) == archive);
  EXPECT_EQ(std::vector<std::string>{"backup.pk"}, Stored("p"));

  // The next copy restores what was stored before, and may commit again.
  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\p", false));
  EXPECT_EQ(0, engine.CopyFileFromBackup(L"TestFolder\\back\\a", L"TestFolder\\p\\a"));
  EXPECT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\c", L"TestFolder\\p\\c"));
  EXPECT_EQ(0, engine.FinishCopying(false));
  EXPECT_TRUE(ReadFileText(Plain("back/a")) == first);
}

TEST_F(CopyEngineTest, ManyToOneCommitsTheIndexStreamAfterTheData) {
  MakeFile(Plain("src/a"), "abc");
  CCopyImpl& engine = Engine({L"pack"});
  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\p", true));
  ASSERT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\a", L"TestFolder\\p\\a"));
  CFileAttributes attributes(1, 2, 3, 3, CFileAttributes::kTypeNormal, 15);
  ASSERT_EQ(0, engine.SetElementAttributes(L"TestFolder\\p\\a", attributes, false, true));
  ASSERT_EQ(0, engine.FinishCopying(true));
  EXPECT_EQ((std::vector<std::string>{"backup.pk", "index.pk"}), Stored("p"));
  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\p", true));
  CFileAttributes read;
  EXPECT_EQ(0, engine.GetElementAttributes(L"TestFolder\\p\\a", read, false, true));
  EXPECT_EQ(3, read.Modification);
  EXPECT_EQ(0, engine.FinishCopying(true));
}

TEST_F(CopyEngineTest, ManyToOneCommitFailingPartWayKeepsTheStoredArchive) {
  MakeFile(Plain("src/a"), RandomBytes(3 * kMiB, 3));
  CCopyImpl& engine = Engine({L"pack"});
  const std::string archive = StoreArchive(engine);

  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\p", false));
  ASSERT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\c", L"TestFolder\\p\\c"));
  Fault(kFailWriteAfter, kMiB + kMiB / 2);
  EXPECT_EQ(1, engine.FinishCopying(false));
  zrtest::ResetFaults(folder_);
  EXPECT_TRUE(ReadFileText(Plain("p/backup.pk")) == archive);
  EXPECT_EQ(std::vector<std::string>{"backup.pk"}, Stored("p"));
}

TEST_F(CopyEngineTest, ReplacingAStoredFileKeepsItUntilTheNewOneIsComplete) {
  const std::string old = RandomBytes(3 * kMiB, 4);
  const std::string newer = RandomBytes(3 * kMiB, 5);
  MakeFile(Plain("src/old"), old);
  MakeFile(Plain("src/new"), newer);
  CCopyImpl& engine = Engine();
  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\bak", false));
  ASSERT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\old", L"TestFolder\\bak\\a"));
  // Fails part-way: the old file stays, no temporary file is left.
  Fault(kFailReadAfter, kMiB + kMiB / 2);
  EXPECT_EQ(1, engine.CopyFileToBackup(L"TestFolder\\src\\new", L"TestFolder\\bak\\a"));
  zrtest::ResetFaults(folder_);
  EXPECT_TRUE(ReadFileText(Plain("bak/a")) == old);
  EXPECT_EQ(std::vector<std::string>{"a"}, Stored("bak"));
  // So does a failed close of the new content.
  Fault(zrtest::kFailWriteClose, 7);
  EXPECT_EQ(7, engine.CopyFileToBackup(L"TestFolder\\src\\new", L"TestFolder\\bak\\a"));
  zrtest::ResetFaults(folder_);
  EXPECT_TRUE(ReadFileText(Plain("bak/a")) == old);
  EXPECT_EQ(std::vector<std::string>{"a"}, Stored("bak"));
  // Complete: replaced.
  ASSERT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\new", L"TestFolder\\bak\\a"));
  EXPECT_TRUE(ReadFileText(Plain("bak/a")) == newer);
  EXPECT_EQ(std::vector<std::string>{"a"}, Stored("bak"));
  // A new file is written under its own name from the start.
  Fault(kFailReadAfter, kMiB);
  EXPECT_EQ(1, engine.CopyFileToBackup(L"TestFolder\\src\\new", L"TestFolder\\bak\\n"));
  zrtest::ResetFaults(folder_);
  EXPECT_EQ((std::vector<std::string>{"a", "n"}), Stored("bak"));
  EXPECT_EQ(kMiB, fs::file_size(Plain("bak/n")));
  EXPECT_EQ(0, engine.FinishCopying(false));
}

TEST_F(CopyEngineTest, LeftoverTemporaryFilesAreHiddenReusedAndDeleted) {
  MakeFile(Plain("bak/a"), "stored");
  MakeFile(Plain("bak/a.zrtmp"), "left by a crash");
  MakeFile(Plain("bak/lone.zrtmp"), "no file beside it");
  MakeFile(Plain("src/new"), "new");
  CCopyImpl& engine = Engine();
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"lone.zrtmp"}), Listed(L"TestFolder\\bak"));
  CBackupFS view(sessionRef_.in(), &log_, loader_.get());
  std::list<CFileInfo> browsed;
  ASSERT_EQ(0, view.GetListing(L"TestFolder\\bak", browsed));
  EXPECT_EQ(2u, browsed.size());
  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\bak", false));
  ASSERT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\new", L"TestFolder\\bak\\a"));
  ASSERT_EQ(0, engine.FinishCopying(false));
  EXPECT_EQ("new", ReadFileText(Plain("bak/a")));
  EXPECT_EQ((std::vector<std::string>{"a", "lone.zrtmp"}), Stored("bak"));
  MakeFile(Plain("bak/a.zrtmp"), "left again");
  EXPECT_EQ(0, engine.DeleteFile(L"TestFolder\\bak\\a", false, false));
  EXPECT_EQ(std::vector<std::string>{"lone.zrtmp"}, Stored("bak"));
}

TEST_F(CopyEngineTest, APluginThatCannotMoveIsWrittenInPlace) {
  ::setenv("ZRTEST_FOLDER_NO_MOVE", "1", 1);
  CCopyImpl& engine = Engine();
  ::unsetenv("ZRTEST_FOLDER_NO_MOVE");
  MakeFile(Plain("src/new"), RandomBytes(3 * kMiB, 6));
  MakeFile(Plain("bak/a"), RandomBytes(3 * kMiB, 7));
  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\bak", false));
  Fault(kFailReadAfter, kMiB + kMiB / 2);
  EXPECT_EQ(1, engine.CopyFileToBackup(L"TestFolder\\src\\new", L"TestFolder\\bak\\a"));
  zrtest::ResetFaults(folder_);
  EXPECT_EQ(kMiB + kMiB / 2, fs::file_size(Plain("bak/a")));
  EXPECT_EQ(std::vector<std::string>{"a"}, Stored("bak"));
  EXPECT_EQ(0, engine.FinishCopying(false));
}

TEST_F(CopyEngineTest, SignatureDifferenceCopyOpensTheSideThatMayBeMissingFirst) {
  const std::string base = RandomBytes(2 * kMiB, 8);
  std::string changed = base;
  changed[kMiB] ^= 0x01;
  MakeFile(Plain("src/base"), base);
  MakeFile(Plain("src/new"), changed);
  CCopyImpl& engine = Engine();
  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\bak", false));
  ASSERT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\base", L"TestFolder\\bak\\base"));
  ASSERT_EQ(
      0, engine.CopyFileDiff(L"TestFolder\\src\\new", L"TestFolder\\bak\\d", L"TestFolder\\bak\\base", true));
  const std::string delta = ReadFileText(Plain("bak/d"));
  ASSERT_FALSE(delta.empty());

  // To the backup a missing plug-in file leaves the stored delta as it was.
  EXPECT_EQ(3, engine.CopyFileDiff(L"TestFolder\\src\\missing", L"TestFolder\\bak\\d",
                                   L"TestFolder\\bak\\base", true));
  EXPECT_TRUE(ReadFileText(Plain("bak/d")) == delta);
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Can't open source file 'TestFolder\\src\\missing'"));
  // From the backup a missing delta is found before the plug-in file is opened.
  EXPECT_EQ(3, engine.CopyFileDiff(L"TestFolder\\back\\new", L"TestFolder\\bak\\none",
                                   L"TestFolder\\bak\\base", false));
  EXPECT_FALSE(fs::exists(Plain("back/new")));
  EXPECT_EQ(0, engine.CopyFileDiff(L"TestFolder\\back\\new", L"TestFolder\\bak\\d", L"TestFolder\\bak\\base",
                                   false));
  EXPECT_TRUE(ReadFileText(Plain("back/new")) == changed);
  EXPECT_EQ(0, engine.FinishCopying(false));
}

TEST_F(CopyEngineTest, AStoredPathOutsideTheRootIsExplainedWithoutFilters) {
  MakeFile(Plain("src/a"), "abc");
  CCopyImpl& engine = Engine();
  ASSERT_EQ(0, engine.StartCopying(L"TestFolder\\bak", false));
  EXPECT_NE(0, engine.CopyFileToBackup(L"TestFolder\\src\\a", L"a"));
  EXPECT_EQ(1, CountLines(LogEvent::Error,
                          L"Can't open stored file 'a': it does not begin with the copy root "
                          L"'TestFolder\\bak', which only a many-to-one filter chain takes off"));
  EXPECT_EQ(0, engine.CopyFileToBackup(L"TestFolder\\src\\a", L"TestFolder\\bak\\a"));
  EXPECT_EQ(0, engine.FinishCopying(false));
}

}  // namespace
