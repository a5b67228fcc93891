#include "plugins/db2/standin/Db2Api.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plugins/db2/standin/StandinTestRoot.h"

namespace fs = std::filesystem;
using db2standin::StandinTestRoot;

namespace {

std::vector<fs::path> FilesIn(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
  return out;
}

int Backup(const std::string& alias, const std::string& folder) {
  std::string f = folder;
  char* locations[] = {&f[0]};
  db2MediaList media{'L', 1, locations};
  db2BackupParams params{};
  params.databaseAlias = alias.c_str();
  params.mediaList = &media;
  sqlca ca{};
  return db2Backup(DB2_VERSION_900, &params, &ca);
}

int Restore(const std::string& alias, const std::string& folder) {
  std::string f = folder;
  char* locations[] = {&f[0]};
  db2MediaList media{'L', 1, locations};
  db2RestoreParams params{};
  params.sourceAlias = alias.c_str();
  params.mediaList = &media;
  sqlca ca{};
  return db2Restore(DB2_VERSION_900, &params, &ca);
}

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.SetInstance("db2inst1");
    out_ = root_.path() / "out";
    fs::create_directories(out_);
  }
  StandinTestRoot root_;
  fs::path out_;
};

TEST_F(StandinTest, InstanceNameIsPaddedAndAttachChecksIt) {
  char name[9] = {};
  sqlca ca{};
  EXPECT_EQ(0, sqlegins_api(name, &ca));
  EXPECT_STREQ("DB2INST1", name);
  EXPECT_STREQ("00000", ca.sqlstate);

  EXPECT_EQ(DB2_SQL_NOT_ATTACHED, sqledtin_api(&ca));
  EXPECT_EQ(DB2_SQL_BAD_NODE, sqleatin_api("OTHER", "", "", &ca));
  EXPECT_EQ(0, sqleatin_api("db2inst1", "", "", &ca));
  EXPECT_EQ(0, sqledtin_api(&ca));

  root_.SetInstance("ab");
  EXPECT_EQ(0, sqlegins_api(name, &ca));
  EXPECT_STREQ("AB      ", name);
  fs::remove(root_.path() / "instance");
  EXPECT_EQ(DB2_SQL_NO_INSTANCE, sqlegins_api(name, &ca));
}

TEST_F(StandinTest, WithoutRootEveryCallFails) {
  unsetenv(DB2_STANDIN_ROOT_ENV);
  char name[9] = {};
  sqlca ca{};
  EXPECT_EQ(DB2_SQL_NOT_STARTED, sqlegins_api(name, &ca));
  EXPECT_EQ(DB2_SQL_NOT_STARTED, Backup("A", out_.string()));
}

TEST_F(StandinTest, DirectoryScanListsDatabasesAndLimitsOpenScans) {
  root_.AddDatabase("SAMPLE", {});
  root_.AddDatabase("TOOLS", {});
  sqlca ca{};
  db2DbDirOpenScanParams open{};
  ASSERT_EQ(0, db2DbDirOpenScan(DB2_VERSION_900, &open, &ca));
  EXPECT_EQ(2, open.numEntries);
  db2DbDirNextEntryParams next{open.handle, nullptr};
  ASSERT_EQ(0, db2DbDirGetNextEntry(DB2_VERSION_900, &next, &ca));
  EXPECT_EQ("SAMPLE  ", std::string(next.entry->alias, 8));
  EXPECT_EQ('2', next.entry->type);
  ASSERT_EQ(0, db2DbDirGetNextEntry(DB2_VERSION_900, &next, &ca));
  EXPECT_EQ("TOOLS   ", std::string(next.entry->alias, 8));
  EXPECT_EQ(DB2_SQL_BAD_HANDLE, db2DbDirGetNextEntry(DB2_VERSION_900, &next, &ca));
  EXPECT_EQ(DB2_SQL_BAD_VERSION, db2DbDirGetNextEntry(1, &next, &ca));

  std::vector<uint16_t> handles{open.handle};
  for (int i = 1; i < DB2_MAX_OPEN_SCANS; ++i) {
    db2DbDirOpenScanParams more{};
    ASSERT_EQ(0, db2DbDirOpenScan(DB2_VERSION_900, &more, &ca));
    handles.push_back(more.handle);
  }
  db2DbDirOpenScanParams refused{};
  EXPECT_EQ(DB2_SQL_TOO_MANY_SCANS, db2DbDirOpenScan(DB2_VERSION_900, &refused, &ca));
  for (uint16_t h : handles) {
    db2DbDirCloseScanParams close{h};
    EXPECT_EQ(0, db2DbDirCloseScan(DB2_VERSION_900, &close, &ca));
  }
  db2DbDirCloseScanParams again{handles[0]};
  db2DbDirOpenScanParams reopened{};
  EXPECT_EQ(0, db2DbDirOpenScan(DB2_VERSION_900, &reopened, &ca));
  again.handle = reopened.handle;
  EXPECT_EQ(0, db2DbDirCloseScan(DB2_VERSION_900, &again, &ca));
}

TEST_F(StandinTest, BackupWritesOneTimestampedImageAndRestoreBringsContentBack) {
  root_.AddDatabase("SAMPLE", {{"t1", std::string("rows\0\1\2", 7)}, {"t2", ""}});
  ASSERT_EQ(0, Backup("sample", out_.string()));
  const auto files = FilesIn(out_);
  ASSERT_EQ(1u, files.size());
  const std::string name = files[0].filename().string();
  EXPECT_EQ(0u, name.find("SAMPLE.0.DB2INST1.DBPART000."));
  EXPECT_EQ(".001", name.substr(name.size() - 4));
  EXPECT_EQ(name.size(), std::string("SAMPLE.0.DB2INST1.DBPART000.").size() + 14 + 4);

  const auto original = root_.ReadDatabase("SAMPLE");
  root_.AddDatabase("SAMPLE", {{"t1", "changed"}, {"t3", "new"}});
  ASSERT_EQ(0, Restore("SAMPLE", out_.string()));
  EXPECT_EQ(original, root_.ReadDatabase("SAMPLE"));
}

TEST_F(StandinTest, ImagesLargerThanOneCopyPieceGoBothWays) {
  // Files that cross the 1 MiB copy pieces, and lines that cross them too.
  std::string big(3 * 1024 * 1024 + 5, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 11));
  const std::string nearPiece(1024 * 1024 - 20, 'r');
  root_.AddDatabase("SAMPLE", {{"a", nearPiece}, {"b", big}, {"c", ""}, {"d", "tail"}});
  ASSERT_EQ(0, Backup("SAMPLE", out_.string()));
  const auto original = root_.ReadDatabase("SAMPLE");
  root_.AddDatabase("SAMPLE", {{"b", "short"}, {"e", "extra"}});
  ASSERT_EQ(0, Restore("SAMPLE", out_.string()));
  EXPECT_EQ(original, root_.ReadDatabase("SAMPLE"));
}

TEST_F(StandinTest, ABadImageLeavesTheDatabaseAsItWas) {
  const std::string image = (out_ / "SAMPLE.0.DB2INST1.DBPART000.20260101000000.001").string();
  const std::string head = "ZRDB2IMG1\nalias SAMPLE\n";
  const std::vector<std::string> bad = {
      head + "file 18446744073709551615 huge\nend\n",  // declared size far beyond the data
      head + "file 99999999999999999999 x\nend\n",     // size that overflows
      head + "file 10 short\n0123\nend\n",             // data cut short
      head + "file 2 ok\nabend\nmore",                 // bytes after the end
      head + "file 2 ok\nab",                          // no end line
      head + "file 1 ../up\nxend\n",                   // name leaves the folder
      head + "file -1 neg\nend\n",
      head + "file 1\nxend\n",        // no name
      head + std::string(5000, 'f'),  // endless line
      "ZRDB2IMG1\nalias OTHER\nend\n",
  };
  root_.AddDatabase("SAMPLE", {{"t1", "keep"}});
  const auto before = root_.ReadDatabase("SAMPLE");
  for (const std::string& content : bad) {
    std::ofstream(image, std::ios::binary | std::ios::trunc) << content;
    EXPECT_EQ(DB2_SQL_BAD_IMAGE, Restore("SAMPLE", out_.string())) << content.substr(0, 60);
    EXPECT_EQ(before, root_.ReadDatabase("SAMPLE"));
  }
  std::ofstream(image, std::ios::binary | std::ios::trunc) << head + "file 3 n\n\n\n\nend\n";
  EXPECT_EQ(0, Restore("SAMPLE", out_.string()));
  EXPECT_EQ((StandinTestRoot::Content{{"n", "\n\n\n"}}), root_.ReadDatabase("SAMPLE"));
}

TEST_F(StandinTest, RefusesWhatTheClientWouldRefuse) {
  root_.AddDatabase("SAMPLE", {{"t1", "x"}});
  EXPECT_EQ(DB2_SQL_DB_NOT_FOUND, Backup("NOPE", out_.string()));
  EXPECT_EQ(DB2_SQL_BAD_PATH, Backup("SAMPLE", (out_ / "missing").string()));
  EXPECT_EQ(DB2_SQL_NO_IMAGE, Restore("SAMPLE", out_.string()));
  ASSERT_EQ(0, Backup("SAMPLE", out_.string()));

  // Restore into a database that is not there fails until it is created.
  fs::rename(FilesIn(out_)[0], out_ / ("OTHER.0.DB2INST1.DBPART000.20260101000000.001"));
  EXPECT_EQ(DB2_SQL_DB_NOT_FOUND, Restore("OTHER", out_.string()));
  sqlca ca{};
  EXPECT_EQ(0, sqlecrea_api("OTHER", nullptr, nullptr, nullptr, nullptr, 0, nullptr, &ca));
  EXPECT_EQ(DB2_SQL_DB_EXISTS, sqlecrea_api("other", nullptr, nullptr, nullptr, nullptr, 0, nullptr, &ca));
  // The image names its own database: restoring it elsewhere is refused.
  EXPECT_EQ(DB2_SQL_BAD_IMAGE, Restore("OTHER", out_.string()));
  EXPECT_EQ(DB2_SQL_BAD_VERSION, sqlecrea_api("../x", nullptr, nullptr, nullptr, nullptr, 0, nullptr, &ca));
}

TEST_F(StandinTest, InjectedFailuresCountDownAndCarryTheirCode) {
  root_.AddDatabase("SAMPLE", {});
  root_.Fail("db2Backup", -968, 2);
  EXPECT_EQ(-968, Backup("SAMPLE", out_.string()));
  EXPECT_EQ(-968, Backup("SAMPLE", out_.string()));
  EXPECT_EQ(0, Backup("SAMPLE", out_.string()));
  EXPECT_TRUE(FilesIn(out_).size() == 1u);

  root_.Fail("sqlegins_api", -1390);
  char name[9] = {};
  sqlca ca{};
  EXPECT_EQ(-1390, sqlegins_api(name, &ca));
  EXPECT_EQ(-1390, sqlegins_api(name, &ca));
  root_.ClearFailures();
  EXPECT_EQ(0, sqlegins_api(name, &ca));
}

TEST_F(StandinTest, MessageTextsEndWithALineEnd) {
  sqlca ca{};
  Backup("NOPE", out_.string());
  ca.sqlcode = DB2_SQL_DB_NOT_FOUND;
  std::snprintf(ca.sqlerrmc, sizeof(ca.sqlerrmc), "NOPE");
  char text[1024];
  const int n = sqlaintp_api(text, sizeof(text), 1024, "db2sql.mo", &ca);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string("SQL1013N  The database alias name or database name \"NOPE\" could not be found.\n"),
            text);
  char small[8];
  EXPECT_EQ(7, sqlaintp_api(small, sizeof(small), 80, "db2sql.mo", &ca));
  EXPECT_STREQ("SQL1013", small);
  EXPECT_GT(sqlogstt(text, sizeof(text), 80, "42705"), 0);
  EXPECT_EQ(0u, std::string(text).find("SQLSTATE 42705: "));

  root_.Fail("sqlaintp_api", -1, 1);
  text[0] = 'Z';
  EXPECT_LT(sqlaintp_api(text, sizeof(text), 1024, "db2sql.mo", &ca), 0);
  EXPECT_EQ('Z', text[0]);
}

}  // namespace
