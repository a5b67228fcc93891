#include "agent/data/filters/FiltersPipe.h"

#include <gtest/gtest.h>

#include "agent/data/filters/testing/FiltersFixture.h"

namespace {

using zrtest::MemoryFileSystem;

class FiltersPipeTest : public filterstest::FiltersFixture {
 protected:
  std::vector<std::wstring> Names(const std::list<CFileInfo>& entries) {
    std::vector<std::wstring> names;
    for (const CFileInfo& entry : entries) names.push_back(entry.Name);
    return names;
  }
};

TEST_F(FiltersPipeTest, ParsesFilterStringsAndRecordsTheDeltaFilter) {
  auto pipe = MakePipe({L"xor", L"xdelta\\default.zrl", L"xor\\a\\b", L"unknown"});
  EXPECT_EQ(2u, pipe->GetFilterCount());
  EXPECT_EQ(1, pipe->GetDeltaFilterPosition());
  EXPECT_EQ(L".z", pipe->GetExtension());
  EXPECT_FALSE(pipe->IsManyToOne());
  // The connection reached the filter's link.
  const auto opened = Opened();
  ASSERT_EQ(1u, opened.size());
  EXPECT_EQ(L"Filters\\xdelta", opened[0].first);
  EXPECT_EQ(L"default.zrl", opened[0].second);
  EXPECT_EQ(1, zrtest::CountOf(xor_, zrtest::kFactory));

  auto none = MakePipe({});
  EXPECT_EQ(-1, none->GetDeltaFilterPosition());
  EXPECT_EQ(-1, none->LinkDeltaFilter(true));
}

TEST_F(FiltersPipeTest, WithoutFiltersEveryOperationReachesTheTargetUnchanged) {
  auto pipe = MakePipe({});
  target_.files[L"vault\\f"] = "data";
  ASSERT_EQ(0, pipe->SetRoot(L"vault"));
  EXPECT_EQ(0, Store(*pipe, L"vault\\g", "new"));
  EXPECT_EQ("new", target_.files[L"vault\\g"]);
  int result = 0;
  EXPECT_EQ("data", Load(*pipe, L"vault\\f", result));
  EXPECT_EQ(0, result);
  CFileAttributes attributes;
  EXPECT_EQ(0, pipe->SetElementAttributes(L"vault\\f", attributes));
  EXPECT_EQ(0, pipe->GetElementAttributes(L"vault\\f", attributes));
  EXPECT_EQ(0, pipe->CreateFolder(L"vault\\d"));
  EXPECT_EQ(0, pipe->DeleteFolder(L"vault\\d"));
  EXPECT_EQ(0, pipe->DeleteFile(L"vault\\g"));
  EXPECT_TRUE(pipe->IsPathExists(L"vault\\f"));
  EXPECT_FALSE(pipe->IsPathExists(L"vault\\g"));
  unsigned int handle = 0;
  EXPECT_EQ(0, pipe->OpenFilePatch(L"vault\\f", L"vault\\p", FileAccessMode::Write, handle));
  EXPECT_EQ(0, pipe->CloseFile(handle));
  std::list<CFileInfo> entries;
  EXPECT_EQ(0, pipe->GetListing(L"vault", entries));
  EXPECT_EQ((std::vector<std::wstring>{L"f", L"p"}), Names(entries));
  const size_t calls = target_.calls.size();
  EXPECT_EQ(0, pipe->CommitTransaction());
  EXPECT_EQ(calls, target_.calls.size());
  EXPECT_EQ((std::vector<std::string>{"OpenFile", "WriteFile", "CloseFile", "OpenFile", "ReadFile",
                                      "ReadFile", "CloseFile", "SetElementAttributes", "GetElementAttributes",
                                      "CreateFolder", "DeleteFolder", "DeleteFile", "GetElementAttributes",
                                      "GetElementAttributes", "OpenFilePatch", "CloseFile", "GetListing"}),
            target_.Operations());
  EXPECT_EQ(L"vault\\g", target_.CallsOf("OpenFile")[0].args[0]);
  // Data writes may go as deltas, index writes never.
  EXPECT_TRUE(target_.deltaAllowedOf.begin()->second);
  auto index = MakePipe({}, L"index", true);
  EXPECT_EQ(0, Store(*index, L"r", "x"));
  EXPECT_FALSE(target_.deltaAllowedOf.rbegin()->second);
}

TEST_F(FiltersPipeTest, PerFileChainStoresUnderTheExtensionAndListsWithout) {
  auto pipe = MakePipe({L"xor"});
  ASSERT_EQ(0, pipe->CreateFolder(L"docs"));
  ASSERT_EQ(0, Store(*pipe, L"docs\\a.txt", "hello"));
  ASSERT_EQ(1u, target_.files.count(L"docs\\a.txt.z"));
  EXPECT_NE("hello", target_.files[L"docs\\a.txt.z"]);
  EXPECT_EQ(5u, target_.files[L"docs\\a.txt.z"].size());
  int result = 1;
  EXPECT_EQ("hello", Load(*pipe, L"docs\\a.txt", result));
  EXPECT_EQ(0, result);
  target_.files[L"docs\\.z"] = "";
  std::list<CFileInfo> entries;
  ASSERT_EQ(0, pipe->GetListing(L"docs", entries));
  EXPECT_EQ((std::vector<std::wstring>{L".z", L"a.txt"}), Names(entries));
  EXPECT_TRUE(pipe->IsWritten());

  // Folders are stored without the extension and still found.
  CFileAttributes attributes;
  attributes.Mask = 99;
  EXPECT_EQ(0, pipe->GetElementAttributes(L"docs", attributes));
  EXPECT_TRUE(attributes.IsDirectory());
  EXPECT_TRUE(pipe->IsPathExists(L"docs"));
  EXPECT_TRUE(pipe->IsPathExists(L"docs\\a.txt"));
  EXPECT_FALSE(pipe->IsPathExists(L"docs\\b.txt"));
  EXPECT_EQ(3, pipe->GetElementAttributes(L"docs\\b.txt", attributes));
  EXPECT_EQ(0, pipe->SetElementAttributes(L"docs", attributes));
  EXPECT_EQ(L"docs", target_.CallsOf("SetElementAttributes").back().args[0]);
  EXPECT_EQ(0, pipe->SetElementAttributes(L"docs\\a.txt", attributes));
  EXPECT_EQ(L"docs\\a.txt.z", target_.CallsOf("SetElementAttributes").back().args[0]);
  EXPECT_EQ(0, pipe->DeleteFile(L"docs\\a.txt"));
  EXPECT_EQ(0u, target_.files.count(L"docs\\a.txt.z"));
}

TEST_F(FiltersPipeTest, PerFileFailuresCloseTheTargetAndAreReturned) {
  auto pipe = MakePipe({L"xor"});
  // A failed prepare closes what the target opened.
  SetFailStage(xor_, 1);
  unsigned int handle = 0;
  EXPECT_EQ(4, pipe->OpenFile(L"a", FileAccessMode::Write, handle));
  EXPECT_EQ(0u, target_.OpenHandles());
  // A failed final flush is the close's result; the target is closed anyway.
  SetFailStage(xor_, 2);
  EXPECT_EQ(7, Store(*pipe, L"b", "data"));
  EXPECT_EQ(0u, target_.OpenHandles());
  SetFailStage(xor_, 0);
  // The target's close failure is returned too.
  target_.SetResult("CloseFile", 1);
  EXPECT_EQ(1, Store(*pipe, L"c", "data"));
  target_.SetResult("CloseFile", 0);
  // A failing target open does not reach the chain.
  target_.SetResult("OpenFile", 4);
  SetFailStage(xor_, 1);
  EXPECT_EQ(4, pipe->OpenFile(L"d", FileAccessMode::Read, handle));
  SetFailStage(xor_, 0);
}

TEST_F(FiltersPipeTest, PerFileChainAbortsTheTargetFileOfAFailedCopy) {
  auto pipe = MakePipe({L"xor"});
  unsigned int handle = 0;
  ASSERT_EQ(0, pipe->OpenFile(L"a", FileAccessMode::Write, handle));
  unsigned int size = 3;
  ASSERT_EQ(0, pipe->WriteFile(reinterpret_cast<const unsigned char*>("abc"), size, handle));
  EXPECT_EQ(0, pipe->AbortFile(handle));
  EXPECT_EQ((std::vector<std::string>{"OpenFile", "WriteFile", "AbortFile"}), target_.Operations());
  // So is the target file of an open whose prepare fails.
  SetFailStage(xor_, 1);
  EXPECT_EQ(4, pipe->OpenFile(L"b", FileAccessMode::Write, handle));
  SetFailStage(xor_, 0);
  EXPECT_EQ("AbortFile", target_.Operations().back());
  EXPECT_EQ(0u, target_.OpenHandles());
}

TEST_F(FiltersPipeTest, ManyToOneTransactionWithAFailedItemIsNotCommitted) {
  auto pipe = MakePipe({L"pack"});
  ASSERT_EQ(0, pipe->SetRoot(L"vault"));
  ASSERT_EQ(0, Store(*pipe, L"vault\\a", "first"));
  ASSERT_EQ(0, pipe->CommitTransaction());
  const std::string stored = target_.files.at(L"vault\\backup.pk");

  ASSERT_EQ(0, pipe->SetRoot(L"vault"));
  unsigned int handle = 0;
  ASSERT_EQ(0, pipe->OpenFile(L"vault\\a", FileAccessMode::Write, handle));
  unsigned int size = 3;
  ASSERT_EQ(0, pipe->WriteFile(reinterpret_cast<const unsigned char*>("cut"), size, handle));
  EXPECT_EQ(0, pipe->AbortFile(handle));
  ASSERT_EQ(0, Store(*pipe, L"vault\\b", "fine"));
  EXPECT_TRUE(pipe->IsItemFailed());
  const size_t calls = target_.calls.size();
  EXPECT_EQ(1, pipe->CommitTransaction());
  EXPECT_EQ(calls, target_.calls.size());  // the object is not even opened
  EXPECT_EQ(stored, target_.files.at(L"vault\\backup.pk"));
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Can't commit 'vault\\backup.pk': an item of it failed"));
  // Aborting a read does not fail the next transaction.
  ASSERT_EQ(0, pipe->SetRoot(L"vault"));
  ASSERT_EQ(0, pipe->OpenFile(L"vault\\a", FileAccessMode::Read, handle));
  EXPECT_EQ(0, pipe->AbortFile(handle));
  ASSERT_EQ(0, Store(*pipe, L"vault\\b", "fine"));
  EXPECT_EQ(0, pipe->CommitTransaction());
  EXPECT_NE(stored, target_.files.at(L"vault\\backup.pk"));

  // A commit that fails part-way aborts the object's write.
  target_.SetResult("WriteFile", 7);
  EXPECT_EQ(7, pipe->CommitTransaction());
  EXPECT_EQ("AbortFile", target_.Operations().back());
  EXPECT_EQ(0u, target_.OpenHandles());
}

TEST_F(FiltersPipeTest, ManyToOneStoresOneObjectBelowTheRoot) {
  {
    auto pipe = MakePipe({L"pack"});
    ASSERT_TRUE(pipe->IsManyToOne());
    ASSERT_EQ(0, pipe->SetRoot(L"vault"));
    EXPECT_EQ(L"vault\\backup.pk", target_.CallsOf("GetElementAttributes").at(0).args[0]);
    EXPECT_EQ(1, zrtest::CountOf(pack_, zrtest::kBegin));
    EXPECT_EQ(0, Store(*pipe, L"vault\\x\\y", "why"));
    EXPECT_EQ(0, Store(*pipe, L"vault\\z", "zed"));
    EXPECT_EQ(0, pipe->CreateFolder(L"vault\\d"));
    EXPECT_EQ(0, pipe->DeleteFile(L"vault\\gone"));
    CFileAttributes attributes;
    EXPECT_EQ(6, pipe->SetElementAttributes(L"vault\\z", attributes));
    EXPECT_TRUE(target_.files.empty());
    EXPECT_TRUE(target_.folders.empty());
    ASSERT_EQ(0, pipe->CommitTransaction());
  }
  ASSERT_EQ(1u, target_.files.size());
  ASSERT_EQ(1u, target_.files.count(L"vault\\backup.pk"));
  EXPECT_EQ(0u, target_.OpenHandles());

  auto pipe = MakePipe({L"pack"});
  ASSERT_EQ(0, pipe->SetRoot(L"vault"));
  int result = 1;
  EXPECT_EQ("why", Load(*pipe, L"vault\\x\\y", result));
  EXPECT_EQ(0, result);
  std::list<CFileInfo> entries;
  ASSERT_EQ(0, pipe->GetListing(L"vault", entries));
  EXPECT_EQ((std::vector<std::wstring>{L"x", L"z"}), Names(entries));
  // An item attribute query only tells whether it exists.
  CFileAttributes attributes(1, 2, 3, 4, 128, 15);
  EXPECT_EQ(0, pipe->GetElementAttributes(L"vault\\z", attributes));
  EXPECT_EQ(0u, attributes.Mask);
  EXPECT_EQ(3, pipe->GetElementAttributes(L"vault\\nothing", attributes));
  EXPECT_TRUE(pipe->IsPathExists(L"vault\\z"));
  EXPECT_FALSE(pipe->IsPathExists(L"vault\\nothing"));
  EXPECT_EQ(L"", pipe->GetRelativePath(L"vault\\"));
  EXPECT_EQ(L"", pipe->GetRelativePath(L"vault"));
  // Two open items get their own handles.
  unsigned int first = 0, second = 0;
  ASSERT_EQ(0, pipe->OpenFile(L"vault\\z", FileAccessMode::Read, first));
  ASSERT_EQ(0, pipe->OpenFile(L"vault\\x\\y", FileAccessMode::Read, second));
  EXPECT_NE(first, second);
  EXPECT_EQ(0, pipe->CloseFile(first));
  EXPECT_EQ(0, pipe->CloseFile(second));
  // Nothing written: the object is not rewritten.
  const size_t calls = target_.calls.size();
  EXPECT_EQ(0, pipe->CommitTransaction());
  EXPECT_EQ(calls, target_.calls.size());
}

TEST_F(FiltersPipeTest, ManyToOneObjectNameAndCommitFailures) {
  auto pipe = MakePipe({L"pack"});
  ASSERT_EQ(0, pipe->SetRoot(L""));
  EXPECT_EQ(L"backup.pk", target_.CallsOf("GetElementAttributes").at(0).args[0]);
  EXPECT_EQ(0, Store(*pipe, L"q", "q"));
  ASSERT_EQ(0, pipe->CommitTransaction());
  EXPECT_EQ(1u, target_.files.count(L"backup.pk"));
  // The close of the object is where a remote write is applied.
  target_.SetResult("CloseFile", 7);
  EXPECT_EQ(7, pipe->CommitTransaction());
  target_.SetResult("OpenFile", 4);
  EXPECT_EQ(4, pipe->CommitTransaction());

  // The index stream lists a folder the object does not hold as empty.
  auto index = MakePipe({L"pack"}, L"index", true);
  ASSERT_EQ(0, index->SetRoot(L"vault"));
  std::list<CFileInfo> entries;
  EXPECT_EQ(0, index->GetListing(L"vault\\none", entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(3, pipe->GetListing(L"none", entries));
}

TEST_F(FiltersPipeTest, FailingFactoriesAreSkippedAndEveryFilterIsDestroyed) {
  zrtest::SetFactoryMode(xor_, 1);
  EXPECT_EQ(0u, MakePipe({L"xor"})->GetFilterCount());
  zrtest::SetFactoryMode(xor_, 2);
  EXPECT_EQ(1u, MakePipe({L"xor", L"pack"})->GetFilterCount());
  EXPECT_EQ(2, zrtest::CountOf(xor_, zrtest::kFactory));
  EXPECT_EQ(0, zrtest::CountOf(xor_, zrtest::kDestroy));
  zrtest::SetFactoryMode(xor_, 0);
  zrtest::ResetCounts(pack_);
  {
    auto pipe = MakePipe({L"xor", L"pack", L"xdelta\\c1"});
    EXPECT_EQ(3u, pipe->GetFilterCount());
  }
  EXPECT_EQ(1, zrtest::CountOf(xor_, zrtest::kDestroy));
  EXPECT_EQ(1, zrtest::CountOf(pack_, zrtest::kDestroy));
  EXPECT_EQ(1, zrtest::CountOf(xdelta_, zrtest::kDestroy));
  // The xdelta filter could still use its link while it was destroyed.
  EXPECT_FALSE(zrtest::LastTempPath(xdelta_).empty());
}

TEST_F(FiltersPipeTest, DeltaFilterSeesDataOnlyInsideTheGuard) {
  auto pipe = MakePipe({L"xdelta", L"xor"});
  EXPECT_EQ(0, Store(*pipe, L"a", "12345"));
  EXPECT_EQ(0, zrtest::CountOf(xdelta_, zrtest::kDirectBytes));
  {
    zr::CDeltaFilterGuard guard(*pipe);
    EXPECT_EQ(0, Store(*pipe, L"b", "1234567"));
    int result = 1;
    EXPECT_EQ("12345", Load(*pipe, L"a", result));
  }
  EXPECT_EQ(7, zrtest::CountOf(xdelta_, zrtest::kDirectBytes));
  EXPECT_EQ(5, zrtest::CountOf(xdelta_, zrtest::kReverseBytes));
  EXPECT_EQ(0, Store(*pipe, L"c", "1"));
  EXPECT_EQ(7, zrtest::CountOf(xdelta_, zrtest::kDirectBytes));
  // Its extension counts linked in or not.
  EXPECT_EQ(L".z", pipe->GetExtension());
}

}  // namespace
