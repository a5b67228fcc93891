#include "plugins/db2/admin/PathRules.h"

#include <gtest/gtest.h>

namespace {

TEST(PathRulesTest, Db2NamesAreShortAndPlain) {
  for (const char* ok : {"SAMPLE", "a", "db2inst1", "$X@#_9", "ABCDEFGH"})
    EXPECT_TRUE(db2::IsDb2Name(ok)) << ok;
  for (const char* bad :
       {"", "ABCDEFGHI", "..", ".", "a/b", "a\\b", "../etc", "1ABC", "_A", "A B", "A.B", "\xc3\xa4"}) {
    EXPECT_FALSE(db2::IsDb2Name(bad)) << bad;
  }
  EXPECT_FALSE(db2::IsDb2Name(std::string("A\0B", 3)));
}

TEST(PathRulesTest, FileNamesAreOneSafeComponent) {
  EXPECT_TRUE(db2::IsSafeFileName("SAMPLE.0.DB2INST1.DBPART000.20260101000000.001"));
  EXPECT_TRUE(db2::IsSafeFileName("..x"));
  for (const char* bad : {"", ".", "..", "../x", "/etc/passwd", "a\\b", "a/b"}) {
    EXPECT_FALSE(db2::IsSafeFileName(bad)) << bad;
  }
  EXPECT_FALSE(db2::IsSafeFileName(std::string("a\0b", 3)));
  EXPECT_FALSE(db2::IsSafeFileName(std::string(256, 'a')));
}

TEST(PathRulesTest, TempRootAlwaysEndsWithASeparator) {
  EXPECT_EQ("/tmp/", db2::TempRootFromValue(L""));
  EXPECT_EQ("/tmp/", db2::TempRootFromValue(L"C:\\Temp\\"));
  EXPECT_EQ("/var/zr/", db2::TempRootFromValue(L"/var/zr"));
  EXPECT_EQ("/var/zr/", db2::TempRootFromValue(L"/var/zr/"));
  // One trailing "\\" (the agent's link always appends it) is a separator.
  EXPECT_EQ("/var/zr/", db2::TempRootFromValue(L"/var/zr\\"));
  EXPECT_EQ("/var/zr/", db2::TempRootFromValue(L"/var/zr/\\"));
  EXPECT_EQ("/tmp/", db2::TempRootFromValue(L"/var\\zr\\"));
  EXPECT_EQ("/tmp/", db2::TempRootFromValue(L"C:\\Temp"));
  EXPECT_EQ("/tmp/", db2::TempRootFromValue(L"\\"));
}

}  // namespace
