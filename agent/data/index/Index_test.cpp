#include "agent/data/index/Index.h"

#include <gtest/gtest.h>

#include "agent/data/filters/testing/FiltersFixture.h"

namespace {

class IndexTest : public filterstest::FiltersFixture {
 protected:
  static CFileAttributes Sample() {
    CFileAttributes attributes(-5, 0x7fffffff, -2147483647 - 1, (1ull << 40) + 3, 128, 15);
    attributes.CustomAttr = L"c\u00e4 <&>";
    return attributes;
  }
  static void ExpectSame(const CFileAttributes& expected, const CFileAttributes& got) {
    EXPECT_EQ(expected.Creation, got.Creation);
    EXPECT_EQ(expected.LastAccess, got.LastAccess);
    EXPECT_EQ(expected.Modification, got.Modification);
    EXPECT_EQ(expected.Size, got.Size);
    EXPECT_EQ(expected.Type, got.Type);
    EXPECT_EQ(expected.Mask, got.Mask);
    EXPECT_EQ(expected.CustomAttr, got.CustomAttr);
  }
  static std::string Record(const std::string& am, const std::string& ca, const std::string& cr = "1") {
    return "<?xml version=\"1.0\"?><item><nm>a</nm><tp>128</tp><sz>1</sz><cr>" + cr +
           "</cr><la>2</la><mo>3</mo><am>" + am + "</am><ca>" + ca + "</ca></item>";
  }
  std::vector<std::wstring> Names(const std::list<CFileInfo>& entries) {
    std::vector<std::wstring> names;
    for (const CFileInfo& entry : entries) names.push_back(entry.Name);
    return names;
  }
  // Stores, lists and reads back three items through `pipe`.
  void RoundTrip(zr::CFiltersPipe& pipe) {
    zr::CIndex index(&log_, &pipe);
    const CFileAttributes sample = Sample();
    ASSERT_EQ(0, index.SetElementAttributes(L"vault\\docs\\b.txt", sample));
    ASSERT_EQ(0, index.SetElementAttributes(L"vault\\docs\\\u00e9t\u00e9", sample));
    ASSERT_EQ(0, index.CreateFolder(L"vault\\docs\\sub"));
    CFileAttributes folder;
    folder.Type = CFileAttributes::kTypeDirectory;
    ASSERT_EQ(0, index.SetElementAttributes(L"vault\\docs\\sub", folder));
    CFileAttributes got;
    ASSERT_EQ(0, index.GetElementAttributes(L"vault\\docs\\b.txt", got));
    ExpectSame(sample, got);
    EXPECT_EQ(3, index.GetElementAttributes(L"vault\\docs\\none", got));
    std::list<CFileInfo> entries;
    ASSERT_EQ(0, index.GetListing(L"vault\\docs", entries));
    EXPECT_EQ((std::vector<std::wstring>{L"sub", L"b.txt", L"\u00e9t\u00e9"}), Names(entries));
    ExpectSame(sample, entries.back().Attrs);
    EXPECT_EQ(0, index.DeleteFile(L"vault\\docs\\b.txt"));
    EXPECT_EQ(6, index.DeleteFile(L""));
  }
};

TEST_F(IndexTest, RecordPaths) {
  EXPECT_EQ(L"docs\\.i\\a.txt.i", zr::CIndex::RecordPathOf(L"docs\\a.txt"));
  EXPECT_EQ(L".i\\a.txt.i", zr::CIndex::RecordPathOf(L"a.txt"));
  EXPECT_EQ(L"docs\\.i\\.i", zr::CIndex::RecordPathOf(L"docs\\"));
}

TEST_F(IndexTest, RecordIsByteExact) {
  auto pipe = MakePipe({}, L"index", true);
  zr::CIndex index(&log_, pipe.get());
  CFileAttributes attributes(-1, 2, 3, 4294967296ull, 128, 9);
  ASSERT_EQ(0, index.SetElementAttributes(L"docs\\a.txt", attributes));
  EXPECT_EQ(std::string("\xef\xbb\xbf<?xml version=\"1.0\"?>\n<item>\n\t<nm>a.txt</nm>\n\t<tp>128</tp>\n"
                        "\t<sz>4294967296</sz>\n\t<cr>-1</cr>\n\t<la>2</la>\n\t<mo>3</mo>\n\t<am>9</am>\n"
                        "\t<ca></ca>\n</item>\n"),
            target_.files[L"docs\\.i\\a.txt.i"]);
  EXPECT_TRUE(target_.IsFolder(L"docs\\.i"));
}

TEST_F(IndexTest, FieldsDecideWhetherARecordIsReadable) {
  auto pipe = MakePipe({}, L"index", true);
  zr::CIndex index(&log_, pipe.get());
  CFileAttributes attributes;
  target_.files[L".i\\a.i"] = Record("7", "");
  ASSERT_EQ(0, index.GetElementAttributes(L"a", attributes));
  EXPECT_EQ(L"", attributes.CustomAttr);
  EXPECT_EQ(7u, attributes.Mask);
  target_.files[L".i\\a.i"] = Record("", "x");
  EXPECT_EQ(1, index.GetElementAttributes(L"a", attributes));
  target_.files[L".i\\a.i"] = Record("seven", "x");
  EXPECT_EQ(1, index.GetElementAttributes(L"a", attributes));
  target_.files[L".i\\a.i"] = "not xml";
  EXPECT_EQ(1, index.GetElementAttributes(L"a", attributes));
  EXPECT_EQ(3, index.GetElementAttributes(L"b", attributes));
}

TEST_F(IndexTest, NumbersMustBeWhollyDecimal) {
  auto pipe = MakePipe({}, L"index", true);
  zr::CIndex index(&log_, pipe.get());
  for (const std::string bad :
       {"-21474\xff\xff"
        "83648",
        "12\xed\xa0\x80", "12\xc3", " 12", "+12", "12 ", "--12", "-", "0x12", "2147483648"}) {
    target_.files[L".i\\a.i"] = Record("7", "", bad);
    CFileAttributes attributes;
    attributes.Creation = 99;
    EXPECT_EQ(1, index.GetElementAttributes(L"a", attributes)) << bad;
    EXPECT_EQ(99, attributes.Creation) << bad;
  }
  target_.files[L".i\\a.i"] = Record("7", "", "-2147483648");
  CFileAttributes attributes;
  ASSERT_EQ(0, index.GetElementAttributes(L"a", attributes));
  EXPECT_EQ(-2147483647 - 1, attributes.Creation);
}

TEST_F(IndexTest, RecordsOfNamesWithLoneSurrogatesReadBack) {
  auto pipe = MakePipe({}, L"index", true);
  zr::CIndex index(&log_, pipe.get());
  const std::wstring high(1, static_cast<wchar_t>(0xD800));
  const std::wstring low(1, static_cast<wchar_t>(0xDFFF));
  CFileAttributes attributes = Sample();
  attributes.CustomAttr = L"x" + low + L"y" + high;
  ASSERT_EQ(0, index.SetElementAttributes(L"docs\\" + high, attributes));
  EXPECT_NE(std::string::npos, target_.files[L"docs\\.i\\" + high + L".i"].find("<nm>\xed\xa0\x80</nm>"));
  CFileAttributes got;
  ASSERT_EQ(0, index.GetElementAttributes(L"docs\\" + high, got));
  ExpectSame(attributes, got);
  std::list<CFileInfo> entries;
  ASSERT_EQ(0, index.GetListing(L"docs", entries));
  EXPECT_EQ(std::vector<std::wstring>{high}, Names(entries));
}

TEST_F(IndexTest, ListingDropsIndexFolderEntriesAndUnreadableRecords) {
  auto pipe = MakePipe({}, L"index", true);
  zr::CIndex index(&log_, pipe.get());
  target_.files[L".i\\b.txt.i"] = Record("1", "");
  target_.files[L".i\\A.txt.i"] = Record("2", "");
  target_.files[L".i\\bad.i"] = "<item/>";
  target_.files[L".i\\.i"] = Record("3", "");
  std::list<CFileInfo> entries;
  ASSERT_EQ(0, index.GetListing(L"", entries));
  ASSERT_EQ((std::vector<std::wstring>{L"A.txt", L"b.txt"}), Names(entries));
  EXPECT_EQ(2u, entries.front().Attrs.Mask);
  EXPECT_EQ(3, index.GetListing(L"nowhere", entries));
}

TEST_F(IndexTest, LongRecordsShortReadsAndShortWrites) {
  auto pipe = MakePipe({}, L"index", true);
  zr::CIndex index(&log_, pipe.get());
  CFileAttributes attributes = Sample();
  attributes.CustomAttr = std::wstring(3000, L'\u00fc');
  target_.SetWriteChunk(10);
  ASSERT_EQ(0, index.SetElementAttributes(L"long", attributes));
  EXPECT_GT(target_.files[L".i\\long.i"].size(), 6000u);
  target_.SetReadChunk(100);
  CFileAttributes got;
  ASSERT_EQ(0, index.GetElementAttributes(L"long", got));
  ExpectSame(attributes, got);
  // A target that takes nothing and says 0 would loop for ever.
  target_.SetResult("WriteFile", 0);
  EXPECT_EQ(1, index.SetElementAttributes(L"stuck", attributes));
  // A target that delivers nothing and says 0 ends the read.
  target_.SetResult("ReadFile", 0);
  EXPECT_EQ(1, index.GetElementAttributes(L"long", got));
}

TEST_F(IndexTest, FolderFailuresAreLogged) {
  auto pipe = MakePipe({}, L"index", true);
  zr::CIndex index(&log_, pipe.get());
  target_.SetResult("CreateFolder", 7);
  EXPECT_EQ(7, index.SetElementAttributes(L"d\\a", Sample()));
  EXPECT_EQ(7, index.CreateFolder(L"d"));
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Can't create index folder"));
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Can't create index directory"));
}

TEST_F(IndexTest, RoundTripsWithoutFilters) {
  auto pipe = MakePipe({}, L"index", true);
  RoundTrip(*pipe);
}

TEST_F(IndexTest, RoundTripsOverThePerFilePipe) {
  auto pipe = MakePipe({L"xor"}, L"index", true);
  RoundTrip(*pipe);
  EXPECT_EQ(1u, target_.files.count(L"vault\\docs\\.i\\\u00e9t\u00e9.i.z"));
}

TEST_F(IndexTest, RoundTripsOverTheManyToOnePipe) {
  {
    auto pipe = MakePipe({L"pack"}, L"index", true);
    ASSERT_EQ(0, pipe->SetRoot(L"vault"));
    RoundTrip(*pipe);
    ASSERT_EQ(0, pipe->CommitTransaction());
  }
  ASSERT_EQ(1u, target_.files.count(L"vault\\index.pk"));
  auto pipe = MakePipe({L"pack"}, L"index", true);
  ASSERT_EQ(0, pipe->SetRoot(L"vault"));
  zr::CIndex index(&log_, pipe.get());
  CFileAttributes got;
  ASSERT_EQ(0, index.GetElementAttributes(L"vault\\docs\\\u00e9t\u00e9", got));
  ExpectSame(Sample(), got);
}

}  // namespace
