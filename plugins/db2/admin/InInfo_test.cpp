#include "plugins/db2/admin/InInfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plugins/db2/admin/Instance.h"
#include "plugins/db2/admin/SqlInfo.h"
#include "plugins/db2/standin/StandinTestRoot.h"

namespace fs = std::filesystem;
using db2standin::StandinTestRoot;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class InInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.SetInstance("db2inst1");
    folder_ = (root_.path() / "work").string();
    fs::create_directories(folder_);
  }
  size_t ImageCount() const {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(folder_)) n += e.is_regular_file() ? 1 : 0;
    return n;
  }
  StandinTestRoot root_;
  std::string folder_;
  InInfo info_;
  char message_[kDb2MessageSize];
};

TEST_F(InInfoTest, InstanceNameLosesTrailingBlanks) {
  char name[9];
  ASSERT_EQ(0, info_.CurrentLocalInstanceNameGet(name));
  EXPECT_STREQ("DB2INST1", name);
  root_.SetInstance("ab");
  ASSERT_EQ(0, info_.CurrentLocalInstanceNameGet(name));
  EXPECT_STREQ("AB", name);
  root_.SetInstance("");
  ASSERT_EQ(0, info_.CurrentLocalInstanceNameGet(name));
  EXPECT_STREQ("", name);

  root_.Fail("sqlegins_api", -1390, 1);
  CaptureStdout();
  EXPECT_EQ(1, info_.CurrentLocalInstanceNameGet(name));
  const std::string out = GetCapturedStdout();
  EXPECT_STREQ("", name);
  EXPECT_NE(std::string::npos,
            out.find("\napp. message = CurrentLocalInstanceName -- Get\nline         = 75\n"
                     "file         = ininfo.cpp\nSQLCODE      = -1390\n\n"));
  EXPECT_NE(std::string::npos, out.find("---- end error report ------------------------"));
}

TEST_F(InInfoTest, ListingGivesAliasesAndAlwaysClosesTheScan) {
  root_.AddDatabase("SAMPLE", {});
  root_.AddDatabase("TOOLS", {});
  std::vector<std::string> aliases{"KEPT"};
  CaptureStdout();
  ASSERT_EQ(0, info_.ListLocalDatabases(aliases));
  const std::string out = GetCapturedStdout();
  EXPECT_EQ((std::vector<std::string>{"KEPT", "SAMPLE", "TOOLS"}), aliases);
  EXPECT_NE(std::string::npos, out.find("\n    database alias       : SAMPLE  \n"));
  EXPECT_NE(std::string::npos,
            out.find("    database entry type  : home\n    authentication       : SERVER\n"));

  // Failed reads must not leak scans: more failures than the client has handles.
  root_.Fail("db2DbDirGetNextEntry", -1031, 2 * DB2_MAX_OPEN_SCANS);
  for (int i = 0; i < 2 * DB2_MAX_OPEN_SCANS; ++i) {
    std::vector<std::string> partial;
    CaptureStdout();
    EXPECT_EQ(1, info_.ListLocalDatabases(partial));
    GetCapturedStdout();
    EXPECT_TRUE(partial.empty());
  }
  aliases.clear();
  ASSERT_EQ(0, info_.ListLocalDatabases(aliases));
  EXPECT_EQ(2u, aliases.size());

  root_.Fail("db2DbDirOpenScan", -1029, 1);
  CaptureStdout();
  EXPECT_EQ(1, info_.ListLocalDatabases(aliases));
  EXPECT_NE(std::string::npos, GetCapturedStdout().find("line         = 436"));
}

TEST_F(InInfoTest, BackupWritesOneImageOrGivesTheMessage) {
  root_.AddDatabase("SAMPLE", {{"t", "data"}});
  ASSERT_EQ(0, info_.Backup("SAMPLE", folder_.c_str(), message_));
  EXPECT_EQ(1u, ImageCount());

  CaptureStdout();
  EXPECT_EQ(1, info_.Backup("NOPE", folder_.c_str(), message_));
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(std::string("SQL1013N  The database alias name or database name \"NOPE\" could not be found.\n"),
            message_);
  EXPECT_NE(std::string::npos, out.find("app. message = Backup DB2\nline         = 922\n"));
  EXPECT_EQ(1, info_.Backup("SAMPLE", (folder_ + "/missing").c_str(), message_));
  EXPECT_EQ(1u, ImageCount());
}

TEST_F(InInfoTest, UnwrittenMessageBufferIsEmpty) {
  root_.AddDatabase("SAMPLE", {});
  root_.Fail("db2Backup", -2044, 1);
  root_.Fail("sqlaintp_api", -1);
  std::memset(message_, 'x', sizeof(message_));
  CaptureStdout();
  EXPECT_EQ(1, info_.Backup("SAMPLE", folder_.c_str(), message_));
  GetCapturedStdout();
  EXPECT_STREQ("", message_);
}

TEST_F(InInfoTest, RestoreCreatesAMissingDatabaseAndRetriesOnce) {
  root_.AddDatabase("SAMPLE", {{"t1", "one"}, {"t2", "two"}});
  const auto original = root_.ReadDatabase("SAMPLE");
  ASSERT_EQ(0, info_.Backup("SAMPLE", folder_.c_str(), message_));

  root_.AddDatabase("SAMPLE", {{"t1", "changed"}});
  ASSERT_EQ(0, info_.Restore("SAMPLE", folder_.c_str(), message_));
  EXPECT_EQ(original, root_.ReadDatabase("SAMPLE"));

  root_.DropDatabase("SAMPLE");
  CaptureStdout();
  ASSERT_EQ(0, info_.Restore("SAMPLE", folder_.c_str(), message_));
  const std::string out = GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("Failed to restore nicely:SQL1013N"));
  EXPECT_EQ(original, root_.ReadDatabase("SAMPLE"));
  EXPECT_STREQ("SQL0000W  The command completed successfully.\n", message_);
}

TEST_F(InInfoTest, RestoreFailuresKeepTheFinalMessage) {
  root_.AddDatabase("SAMPLE", {{"t1", "one"}});
  ASSERT_EQ(0, info_.Backup("SAMPLE", folder_.c_str(), message_));

  // Present database: no creation, no second attempt.
  root_.Fail("db2Restore", -2530, 1);
  CaptureStdout();
  EXPECT_EQ(1, info_.Restore("SAMPLE", folder_.c_str(), message_));
  std::string out = GetCapturedStdout();
  EXPECT_EQ(0u, std::string(message_).find("SQL2530N"));
  EXPECT_NE(std::string::npos, out.find("line         = 1003"));

  // Aliases are case-insensitive: a name given in lower case is present too.
  root_.Fail("db2Restore", -2530, 1);
  CaptureStdout();
  EXPECT_EQ(1, info_.Restore("sample", folder_.c_str(), message_));
  out = GetCapturedStdout();
  EXPECT_EQ(0u, std::string(message_).find("SQL2530N")) << message_;
  EXPECT_EQ(std::string::npos, out.find("Create database"));

  // Missing database whose creation fails: the creation's message.
  root_.DropDatabase("SAMPLE");
  root_.Fail("sqlecrea_api", -1005, 1);
  CaptureStdout();
  EXPECT_EQ(1, info_.Restore("SAMPLE", folder_.c_str(), message_));
  GetCapturedStdout();
  EXPECT_EQ(0u, std::string(message_).find("SQL1005N"));
  EXPECT_FALSE(root_.HasDatabase("SAMPLE"));

  // Created, but the second attempt fails too.
  root_.Fail("db2Restore", -2530, 2);
  CaptureStdout();
  EXPECT_EQ(1, info_.Restore("SAMPLE", folder_.c_str(), message_));
  GetCapturedStdout();
  EXPECT_TRUE(root_.HasDatabase("SAMPLE"));
  EXPECT_EQ(0u, std::string(message_).find("SQL2530N"));
}

TEST(InstanceTest, AttachAndDetachOnlyWithANodeName) {
  StandinTestRoot root;
  root.SetInstance("db2inst1");
  Instance empty;
  EXPECT_EQ(0, empty.Attach());
  EXPECT_EQ(0, empty.Detach());

  Instance instance;
  ASSERT_TRUE(instance.setInstance("DB2INST1", "", ""));
  CaptureStdout();
  EXPECT_EQ(0, instance.Attach());
  EXPECT_EQ(0, instance.Detach());
  const std::string out = GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("\n\n##############  ATTACH TO THE INSTANCE: DB2INST1 #######\n\n"));
  EXPECT_NE(std::string::npos,
            out.find("\n\n##############  DETACH FROM THE INSTANCE: DB2INST1 #######\n\n"));

  Instance other;
  ASSERT_TRUE(other.setInstance("OTHER", nullptr, nullptr));
  CaptureStdout();
  EXPECT_EQ(1, other.Attach());
  EXPECT_NE(std::string::npos, GetCapturedStdout().find("line         = 105\nfile         = utilapi.cpp"));

  Instance tooLong;
  EXPECT_FALSE(tooLong.setInstance("NINECHARS", "", ""));
  EXPECT_EQ(0, tooLong.Attach());  // nothing was kept
  EXPECT_FALSE(tooLong.setInstance("A", "", std::string(18, 'p').c_str()));
}

}  // namespace
