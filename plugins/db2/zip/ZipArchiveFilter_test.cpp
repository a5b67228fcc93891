#include "plugins/db2/zip/ZipArchiveFilter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>

#include "plugins/db2/zip/ZipReader.h"
#include "plugins/db2/zip/ZipTestSupport.h"
#include "tests/support/MapLink.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/WideText.h"

namespace {

using namespace ziptest;
using zipfilter::CFilter;

using zrtest::Narrow;
using zrtest::Wide;
using FakeLog = zrtest::RecordingLog;
using FakeLink = zrtest::MapLink;

// The end of the chain: keeps one stored object in memory. A sent object is
// stored only when it was finished before the commit.
class FakeStore : public IBackupDataFilter {
 public:
  const wchar_t* GetFileExtension() const override { return L""; }
  bool IsManyToOne() const override { return false; }
  int BeginTransaction(const unsigned int&) override { return 0; }
  int GetListing(const std::wstring&, std::list<CFileInfo>&) override { return 6; }
  int PrepareTransform(const std::wstring& name, bool forward, const unsigned int&) override {
    prepared.emplace_back(name, forward);
    if (forward) {
      if (failSend != 0) return failSend;
      incoming.clear();
      sending = true;
      finished = false;
      return 0;
    }
    if (!stored) return 3;
    if (failOpen != 0) return failOpen;
    position = 0;
    return 0;
  }
  int DirectTransform(const unsigned char* data, unsigned int& size, const unsigned int&) override {
    ++directCalls;
    if (failDirect != 0) {
      size = 0;
      return failDirect;
    }
    // Takes at most 1 MiB per call.
    if (size > (1u << 20)) size = 1u << 20;
    incoming.insert(incoming.end(), data, data + size);
    return 0;
  }
  int ReverseTransform(unsigned char* buffer, unsigned int& size, const unsigned int&) override {
    if (failFetchAt != 0 && position >= failFetchAt) {
      size = 0;
      return 1;
    }
    const std::size_t n = std::min<std::size_t>({size, stored->size() - position, 700000});
    std::copy(stored->begin() + static_cast<long>(position),
              stored->begin() + static_cast<long>(position + n), buffer);
    position += n;
    size = static_cast<unsigned int>(n);
    return n == 0 ? 5 : 0;
  }
  int FinishTransform(const unsigned int&) override {
    if (sending) finished = true;
    return 0;
  }
  int CommitTransaction(const unsigned int&) override {
    ++commits;
    if (sending && finished) stored = incoming;
    sending = false;
    return failCommit;
  }

  std::optional<Bytes> stored;
  std::vector<std::pair<std::wstring, bool>> prepared;
  int failSend = 0, failDirect = 0, failCommit = 0, failOpen = 0;
  std::size_t failFetchAt = 0;
  int directCalls = 0, commits = 0;

 private:
  Bytes incoming;
  bool sending = false, finished = false;
  std::size_t position = 0;
};

using Files = std::vector<std::pair<std::wstring, Bytes>>;

int Store(CFilter& filter, const Files& files, unsigned int handle = 1) {
  int r = filter.BeginTransaction(handle);
  if (r != 0) return r;
  for (const auto& [name, data] : files) {
    if ((r = filter.PrepareTransform(name, true, handle)) != 0) return r;
    for (std::size_t at = 0; at < data.size(); at += 300000) {
      unsigned int size = static_cast<unsigned int>(std::min<std::size_t>(300000, data.size() - at));
      if ((r = filter.DirectTransform(data.data() + at, size, handle)) != 0) return r;
    }
    if ((r = filter.FinishTransform(handle)) != 0) return r;
  }
  return filter.CommitTransaction(handle);
}

// Restores `name` inside an open restoring transaction.
int Restore(CFilter& filter, const std::wstring& name, Bytes& out) {
  int r = filter.PrepareTransform(name, false, 1);
  if (r != 0) return r;
  Bytes buffer(1 << 20);
  for (;;) {
    unsigned int size = static_cast<unsigned int>(buffer.size());
    r = filter.ReverseTransform(buffer.data(), size, 1);
    if (r != 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + size);
  }
  const int finished = filter.FinishTransform(1);
  return r == 5 ? finished : r;
}

bool FolderIsEmpty(const std::wstring& folder) {
  return std::filesystem::is_empty(std::filesystem::path(Narrow(folder)));
}

class ZipArchiveFilterTest : public testing::Test {
 protected:
  ZipArchiveFilterTest() {
    link.values[L"FileExtension"] = L".szip";
    link.values[L"DstFile"] = L"archive.dat";
    link.values[L"WSTempPath"] = Wide(dir.path());  // no trailing separator
  }
  // Inflates every entry of a stored archive by way of a file.
  std::map<std::wstring, Bytes> Entries(const Bytes& archive) {
    const std::string path = dir.File("check.zip");
    WriteAll(path, archive);
    EXPECT_EQ(Shell("unzip -tq '" + path + "' >/dev/null"), 0);
    CZipReader reader;
    EXPECT_EQ(reader.OpenZip(Wide(path).c_str()), 0);
    std::list<ZipFileInfo> listing;
    EXPECT_EQ(reader.GetListing(L"", listing), 0);
    std::map<std::wstring, Bytes> entries;
    for (const ZipFileInfo& info : listing) {
      EXPECT_EQ(reader.OpenFile(info.name.c_str(), false), 0);
      Bytes& data = entries[info.name];
      Bytes chunk(1 << 20);
      unsigned int size;
      int r;
      while ((r = reader.ReadFile(chunk.data(), size = static_cast<unsigned int>(chunk.size()))) == 0) {
        data.insert(data.end(), chunk.begin(), chunk.begin() + size);
      }
      EXPECT_EQ(r, 5) << Narrow(info.name);
    }
    return entries;
  }

  TempDir dir;
  FakeLog log;
  FakeLink link;
  FakeStore store;
  const Bytes a = MakeText(600000, 31), b = MakeBinary(400000, 32), b2 = MakeText(90000, 33),
              c = MakeBinary(2500000, 34);
};

TEST_F(ZipArchiveFilterTest, SecondTransactionKeepsTheEntriesItDoesNotRewrite) {
  std::wstring folder;
  {
    CFilter filter(&log, &link);
    filter.SetNextFilter(&store);
    folder = filter.TempFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.compare(0, dir.path().size() + 1, Wide(dir.path() + "/")), 0);
    EXPECT_STREQ(filter.GetFileExtension(), L".szip");
    EXPECT_TRUE(filter.IsManyToOne());

    // Nothing stored yet: the fetch finds nothing and the transaction goes on.
    ASSERT_EQ(Store(filter, {{L"A", a}, {L"B", b}}), 0);
    ASSERT_TRUE(store.stored.has_value());
    ASSERT_GE(store.prepared.size(), 2u);
    EXPECT_EQ(store.prepared[0], std::make_pair(folder + L"szip_filter.tmp", false));
    EXPECT_EQ(store.prepared[1], std::make_pair(folder + L"archive.dat_new", true));
    EXPECT_TRUE(FolderIsEmpty(folder));
    const Bytes first = *store.stored;
    auto entries = Entries(first);
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[L"A"], a);
    EXPECT_EQ(entries[L"B"], b);

    ASSERT_EQ(Store(filter, {{L"B", b2}, {L"C", c}}), 0);
    EXPECT_TRUE(FolderIsEmpty(folder));
    const Bytes second = *store.stored;
    entries = Entries(second);
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[L"A"], a);
    EXPECT_EQ(entries[L"B"], b2);
    EXPECT_EQ(entries[L"C"], c);

    // A went over raw: the same stored bytes in both archives.
    WriteAll(dir.File("first.zip"), first);
    WriteAll(dir.File("second.zip"), second);
    Bytes rawFirst, rawSecond;
    for (auto [name, out] :
         {std::make_pair("first.zip", &rawFirst), std::make_pair("second.zip", &rawSecond)}) {
      CZipReader reader;
      ASSERT_EQ(reader.OpenZip(Wide(dir.File(name)).c_str()), 0);
      ASSERT_EQ(reader.OpenFile(L"A", true), 0);
      Bytes chunk(1 << 20);
      unsigned int size;
      while (reader.ReadFile(chunk.data(), size = static_cast<unsigned int>(chunk.size())) == 0) {
        out->insert(out->end(), chunk.begin(), chunk.begin() + size);
      }
    }
    EXPECT_FALSE(rawFirst.empty());
    EXPECT_EQ(rawFirst, rawSecond);

    // The stream reader verifies every entry, the copied one included.
    ChunkedInput input(second, 0);
    EXPECT_EQ(StreamAll(input, 65536).size(), 3u);

    // Restore.
    ASSERT_EQ(filter.BeginTransaction(1), 0);
    std::list<CFileInfo> listing;
    ASSERT_EQ(filter.GetListing(L"", listing), 0);
    ASSERT_EQ(listing.size(), 3u);
    for (const CFileInfo& info : listing) {
      EXPECT_EQ(info.Attrs.Type, 128u);
      EXPECT_EQ(info.Attrs.Mask, 8u);
    }
    EXPECT_EQ(listing.front().Name, L"A");
    EXPECT_EQ(listing.front().Attrs.Size, a.size());
    for (const auto& [name, data] : Files{{L"C", c}, {L"A", a}, {L"B", b2}}) {
      Bytes got;
      EXPECT_EQ(Restore(filter, name, got), 0) << Narrow(name);
      EXPECT_TRUE(got == data) << Narrow(name);
    }
    Bytes none;
    EXPECT_EQ(Restore(filter, L"D", none), 3);
    EXPECT_EQ(filter.CommitTransaction(1), 0);
    EXPECT_TRUE(FolderIsEmpty(folder));
    EXPECT_EQ(*store.stored, second);
  }
  // Destroying the filter removes its folder.
  EXPECT_FALSE(std::filesystem::exists(Narrow(folder)));
}

TEST_F(ZipArchiveFilterTest, EmptyStoredObjectLeavesNoFileBehind) {
  CFilter filter(&log, &link);
  filter.SetNextFilter(&store);
  store.stored = Bytes();
  ASSERT_EQ(filter.BeginTransaction(1), 0);
  EXPECT_TRUE(FolderIsEmpty(filter.TempFolder()));
  ASSERT_EQ(filter.PrepareTransform(L"dir\\A", true, 1), 0);
  unsigned int size = static_cast<unsigned int>(a.size());
  ASSERT_EQ(filter.DirectTransform(a.data(), size, 1), 0);
  ASSERT_EQ(filter.FinishTransform(1), 0);
  ASSERT_EQ(filter.CommitTransaction(1), 0);
  const std::string path = dir.File("one.zip");
  WriteAll(path, *store.stored);
  EXPECT_EQ(Shell("unzip -tq '" + path + "' >/dev/null"), 0);

  // Folders show as folders.
  ASSERT_EQ(filter.BeginTransaction(1), 0);
  std::list<CFileInfo> listing;
  ASSERT_EQ(filter.GetListing(L"", listing), 0);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing.front().Name, L"dir");
  EXPECT_EQ(listing.front().Attrs.Type, 16u);
  listing.clear();
  ASSERT_EQ(filter.GetListing(L"dir", listing), 0);
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing.front().Name, L"A");
  EXPECT_EQ(filter.CommitTransaction(1), 0);
}

// Only "not found" from the next filter means nothing is stored: any other failure
// to open the stored archive fails the transaction and keeps that archive.
TEST_F(ZipArchiveFilterTest, StoredArchiveThatCannotBeOpenedIsKept) {
  CFilter filter(&log, &link);
  filter.SetNextFilter(&store);
  ASSERT_EQ(Store(filter, {{L"A", a}, {L"B", b}}), 0);
  const Bytes before = *store.stored;
  for (int failure : {1, 4, 7}) {
    store.failOpen = failure;
    EXPECT_EQ(Store(filter, {{L"C", c}}), failure);
    ASSERT_TRUE(store.stored.has_value());
    EXPECT_EQ(*store.stored, before) << failure;
  }
  EXPECT_TRUE(log.Contains(L"Can't fetch the stored archive"));
  store.failOpen = 0;
  ASSERT_EQ(Store(filter, {{L"C", c}}), 0);
  const auto entries = Entries(*store.stored);
  EXPECT_EQ(entries.size(), 3u);
}

// The agent's link ends WSTempPath with "\\": a separator, not part of a folder name.
TEST_F(ZipArchiveFilterTest, BackslashEndsTheTemporaryFolderPath) {
  link.values[L"WSTempPath"] = Wide(dir.path()) + L"\\";
  CFilter filter(&log, &link);
  const std::wstring folder = filter.TempFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.compare(0, dir.path().size() + 3, Wide(dir.path() + "/ZR")), 0) << Narrow(folder);
  EXPECT_EQ(folder.find(L'\\'), std::wstring::npos);
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++entries;
    EXPECT_EQ(entry.path().filename().string().rfind("ZR", 0), 0u) << entry.path();
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(ZipArchiveFilterTest, FailuresOfTheNextFilterFailTheCommit) {
  CFilter filter(&log, &link);
  filter.SetNextFilter(&store);
  ASSERT_EQ(Store(filter, {{L"A", a}}), 0);
  const Bytes good = *store.stored;

  // The send stops at the first failure and returns it.
  store.failDirect = 7;
  store.directCalls = 0;
  EXPECT_EQ(Store(filter, {{L"C", c}}), 7);
  EXPECT_EQ(store.directCalls, 1);
  EXPECT_EQ(*store.stored, good);
  store.failDirect = 0;

  store.failSend = 4;
  EXPECT_EQ(Store(filter, {{L"C", c}}), 4);
  store.failSend = 0;
  EXPECT_EQ(*store.stored, good);

  // A failing commit of the next filter after a good send.
  store.failCommit = 7;
  EXPECT_EQ(Store(filter, {{L"C", c}}), 7);
  store.failCommit = 0;
  EXPECT_TRUE(FolderIsEmpty(filter.TempFolder()));

  // A fetch that breaks off fails the transaction, so the old entries are
  // not lost, and leaves no partial file.
  store.stored = good;
  store.failFetchAt = 1000;
  const int commits = store.commits;
  EXPECT_EQ(Store(filter, {{L"C", c}}), 1);
  EXPECT_EQ(store.commits, commits);
  EXPECT_TRUE(FolderIsEmpty(filter.TempFolder()));
  EXPECT_TRUE(log.Contains(L"Can't fetch the stored archive '" + filter.TempFolder() + L"szip_filter.tmp'"));
  store.failFetchAt = 0;

  // A stored object that is no archive fails the commit; nothing is sent.
  store.stored = a;
  EXPECT_EQ(Store(filter, {{L"C", c}}), 1);
  EXPECT_EQ(*store.stored, a);
  EXPECT_TRUE(log.Contains(L"Can't copy the entries of the stored archive"));
}

TEST_F(ZipArchiveFilterTest, ProblemsAreLoggedNotThrown) {
  {
    // A temporary root that cannot hold folders.
    WriteAll(dir.File("file"), a);
    link.values[L"WSTempPath"] = Wide(dir.File("file"));
    CFilter filter(&log, &link);
    filter.SetNextFilter(&store);
    EXPECT_TRUE(filter.TempFolder().empty());
    EXPECT_TRUE(log.Contains(L"Can't create temporary directory in '" + Wide(dir.File("file")) + L"'"));
    EXPECT_EQ(filter.BeginTransaction(1), 1);
  }
  {
    // No next filter.
    link.values[L"WSTempPath"] = Wide(dir.path() + "/");
    CFilter filter(&log, &link);
    EXPECT_EQ(filter.BeginTransaction(1), 1);
    EXPECT_TRUE(log.Contains(L"no next filter"));
  }
  {
    // A name that the C locale cannot convert makes the conversion throw.
    link.values[L"DstFile"] = L"caf\u00e9";
    CFilter filter(&log, &link);
    filter.SetNextFilter(&store);
    EXPECT_EQ(filter.BeginTransaction(1), 1);
    EXPECT_TRUE(log.Contains(L"Zip filter: BeginTransaction failed"));
  }
  {
    // A destination name cannot leave the temporary folder.
    link.values[L"DstFile"] = L"../../escape";
    CFilter filter(&log, &link);
    filter.SetNextFilter(&store);
    ASSERT_EQ(Store(filter, {{L"A", b}}), 0);
    EXPECT_EQ(store.prepared.back().first, filter.TempFolder() + L".._.._escape_new");
  }
}

TEST_F(ZipArchiveFilterTest, AFailingLogNeverBreaksAnOperation) {
  zrtest::ThrowingLog failing;
  {
    CFilter filter(&failing, &link);  // no next filter: logged, then 1
    EXPECT_EQ(filter.BeginTransaction(1), 1);
  }
  {
    link.values[L"DstFile"] = L"caf\u00e9";  // the conversion throws
    CFilter filter(&failing, &link);
    filter.SetNextFilter(&store);
    EXPECT_EQ(filter.BeginTransaction(1), 1);
  }
}

}  // namespace
