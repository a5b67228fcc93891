#include "plugin-api/FileTypes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

namespace {

CFileAttributes Attrs(int32_t creation, int32_t modification, uint64_t size, uint32_t mask) {
  return CFileAttributes(creation, 0, modification, size, 128, mask);
}

CFileInfo Entry(const std::wstring& name, bool directory) {
  return CFileInfo(name, CFileAttributes(0, 0, 0, 0, directory ? 16 | 128 : 128, 0));
}

TEST(FileTypes, ConstructorsFillTheFields) {
  const CFileAttributes none;
  EXPECT_EQ(none.Creation, 0);
  EXPECT_EQ(none.LastAccess, 0);
  EXPECT_EQ(none.Modification, 0);
  EXPECT_EQ(none.Size, 0u);
  EXPECT_EQ(none.Type, 0u);
  EXPECT_EQ(none.Mask, 0u);
  EXPECT_TRUE(none.CustomAttr.empty());

  CFileAttributes attrs(-1, 2, 3, 0x123456789ull, 0x80000010u, 15);
  EXPECT_EQ(attrs.Creation, -1);
  EXPECT_EQ(attrs.LastAccess, 2);
  EXPECT_EQ(attrs.Modification, 3);
  EXPECT_EQ(attrs.Size, 0x123456789ull);
  EXPECT_EQ(attrs.Type, 0x80000010u);
  EXPECT_EQ(attrs.Mask, 15u);
  EXPECT_TRUE(attrs.CustomAttr.empty());

  attrs.CustomAttr = L"owner=db2";
  const CFileInfo info(L"file.txt", attrs);
  EXPECT_EQ(info.Name, L"file.txt");
  EXPECT_EQ(info.Attrs.CustomAttr, L"owner=db2");
  EXPECT_EQ(info.Attrs.Size, 0x123456789ull);
  EXPECT_TRUE(info.Info.empty());
}

TEST(FileTypes, AttributesCompareOnlyFieldsValidOnBothSides) {
  // Nothing valid on both sides: unequal, even for identical fields.
  EXPECT_FALSE(Attrs(1, 2, 3, 0) == Attrs(1, 2, 3, 0));
  EXPECT_TRUE(Attrs(1, 2, 3, 0) != Attrs(1, 2, 3, 0));
  EXPECT_FALSE(Attrs(1, 2, 3, 1) == Attrs(1, 2, 3, 4));
  // Bit 2 (LastAccess) never takes part.
  EXPECT_FALSE(CFileAttributes(0, 5, 0, 0, 0, 2) == CFileAttributes(0, 5, 0, 0, 0, 2));

  // Masks 1|4 and 4: only Modification.
  EXPECT_TRUE(Attrs(1, 7, 0, 1 | 4) == Attrs(2, 7, 0, 4));
  EXPECT_FALSE(Attrs(1, 7, 0, 1 | 4) == Attrs(1, 8, 4, 4));
  // Both 1|4: both times must match.
  EXPECT_FALSE(Attrs(1, 7, 0, 1 | 4) == Attrs(2, 7, 0, 1 | 4));
  EXPECT_FALSE(Attrs(1, 7, 0, 1 | 4) == Attrs(1, 8, 0, 1 | 4));
  EXPECT_TRUE(Attrs(1, 7, 0, 1 | 4) == Attrs(1, 7, 0, 1 | 4));

  // Both 1|8: an equal size does not hide a different creation time.
  EXPECT_FALSE(Attrs(1, 0, 10, 1 | 8) == Attrs(2, 0, 10, 1 | 8));
  EXPECT_TRUE(Attrs(1, 0, 10, 1 | 8) == Attrs(1, 0, 10, 1 | 8));
  EXPECT_FALSE(Attrs(1, 0, 10, 1 | 8) == Attrs(1, 0, 11, 1 | 8));
  EXPECT_FALSE(Attrs(0, 1, 10, 4 | 8) == Attrs(0, 2, 10, 4 | 8));

  // Size alone compares all 64 bits.
  EXPECT_TRUE(Attrs(1, 2, 0x100000005ull, 8) == Attrs(3, 4, 0x100000005ull, 8));
  EXPECT_FALSE(Attrs(0, 0, 0x100000005ull, 8) == Attrs(0, 0, 0x200000005ull, 8));
  EXPECT_TRUE(Attrs(0, 0, 0x100000005ull, 8) != Attrs(0, 0, 5, 8));

  // Type, LastAccess and CustomAttr are ignored.
  CFileAttributes a(1, 2, 3, 4, 16, 15);
  CFileAttributes b(1, 9, 3, 4, 128, 15);
  b.CustomAttr = L"other";
  EXPECT_TRUE(a == b);
}

TEST(FileTypes, FileOrDirectoryFromTheDirectoryBit) {
  EXPECT_TRUE(CFileAttributes(0, 0, 0, 0, 0, 0).IsFile());
  EXPECT_FALSE(CFileAttributes(0, 0, 0, 0, 0, 0).IsDirectory());
  EXPECT_TRUE(CFileAttributes(0, 0, 0, 0, 128, 0).IsFile());
  EXPECT_TRUE(CFileAttributes(0, 0, 0, 0, 16 | 128, 0).IsDirectory());
  EXPECT_FALSE(CFileAttributes(0, 0, 0, 0, 16 | 128, 0).IsFile());
  EXPECT_TRUE(CFileAttributes(0, 0, 0, 0, ~16u, 0).IsFile());
}

TEST(FileTypes, EntriesSortDirectoriesFirstThenNamesIgnoringCase) {
  EXPECT_TRUE(Entry(L"z", true) < Entry(L"a", false));
  EXPECT_FALSE(Entry(L"a", false) < Entry(L"z", true));

  EXPECT_TRUE(Entry(L"abc", false) < Entry(L"ABCD", false));
  EXPECT_FALSE(Entry(L"ABCD", false) < Entry(L"abc", false));
  EXPECT_FALSE(Entry(L"B", false) < Entry(L"b", false));
  EXPECT_FALSE(Entry(L"b", false) < Entry(L"B", false));
  // Case-insensitive, not code-point order: 'a' before 'B'.
  EXPECT_TRUE(Entry(L"a", false) < Entry(L"B", false));
  EXPECT_FALSE(Entry(L"B", false) < Entry(L"a", false));

  EXPECT_TRUE(Entry(L"", false) < Entry(L"a", false));
  EXPECT_FALSE(Entry(L"a", false) < Entry(L"", false));
  EXPECT_FALSE(Entry(L"", false) < Entry(L"", false));
  EXPECT_FALSE(Entry(L"same", true) < Entry(L"same", true));

  std::list<CFileInfo> listing = {Entry(L"b.txt", false), Entry(L"Zeta", true), Entry(L"A.txt", false),
                                  Entry(L"alpha", true), Entry(L"a", false)};
  listing.sort();
  std::vector<std::wstring> names;
  for (const CFileInfo& entry : listing) names.push_back(entry.Name);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"alpha", L"Zeta", L"a", L"A.txt", L"b.txt"}));
}

TEST(FileTypes, EntriesEqualByExactNameAndAttributes) {
  CFileInfo a(L"Name", Attrs(1, 2, 3, 4));
  CFileInfo b(L"Name", Attrs(9, 2, 7, 4));
  b.Info = L"ignored";
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  EXPECT_FALSE(a == CFileInfo(L"name", Attrs(1, 2, 3, 4)));
  EXPECT_FALSE(a == CFileInfo(L"Name2", Attrs(1, 2, 3, 4)));
  EXPECT_FALSE(a == CFileInfo(L"Name", Attrs(1, 5, 3, 4)));
  // Masks 0: unequal although everything matches.
  EXPECT_FALSE(CFileInfo(L"x", Attrs(1, 2, 3, 0)) == CFileInfo(L"x", Attrs(1, 2, 3, 0)));
  EXPECT_TRUE(CFileInfo(L"x", Attrs(1, 2, 3, 0)) != CFileInfo(L"x", Attrs(1, 2, 3, 0)));
}

}  // namespace
