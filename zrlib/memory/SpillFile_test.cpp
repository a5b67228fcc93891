#include "zrlib/memory/SpillFile.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/TempDir.h"

namespace {

using ZRLib::memory::CreateSpillFile;

class SpillFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
    target_ = dir_ + "/target";
    std::ofstream(target_) << "keep";
  }

  // Creates a spill file at name inside the folder and checks it is a new,
  // empty, private file elsewhere than name when name is taken.
  void ExpectFreshFile(const std::string& name, bool taken) {
    std::string narrow = dir_ + "/" + name;
    std::wstring path(narrow.begin(), narrow.end());
    std::FILE* f = CreateSpillFile(path, narrow);
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(narrow, std::string(path.begin(), path.end()));
    EXPECT_EQ(taken, narrow != dir_ + "/" + name);
    EXPECT_EQ(dir_ + "/", narrow.substr(0, narrow.rfind('/') + 1));
    struct stat st;
    ASSERT_EQ(0, ::lstat(narrow.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    EXPECT_EQ(0, st.st_size);
    EXPECT_EQ(5u, std::fwrite("bytes", 1, 5, f));
    std::fclose(f);
    std::string content;
    std::ifstream(target_) >> content;
    EXPECT_EQ("keep", content);
  }

  zrtest::TempDir temp_{"spillfile_test."};
  std::string dir_;
  std::string target_;
};

TEST_F(SpillFile, FreeNameIsUsed) { ExpectFreshFile("free", false); }

TEST_F(SpillFile, LinkToAFileIsNotFollowed) {
  ASSERT_EQ(0, ::symlink(target_.c_str(), (dir_ + "/link").c_str()));
  ExpectFreshFile("link", true);
}

TEST_F(SpillFile, DanglingLinkIsNotFollowed) {
  const std::string absent = dir_ + "/absent";
  ASSERT_EQ(0, ::symlink(absent.c_str(), (dir_ + "/dangling").c_str()));
  ExpectFreshFile("dangling", true);
  struct stat st;
  EXPECT_NE(0, ::lstat(absent.c_str(), &st));
}

TEST_F(SpillFile, ExistingFileIsLeftAlone) { ExpectFreshFile("target", true); }

TEST_F(SpillFile, MissingFolderFails) {
  std::string narrow = dir_ + "/missing/x";
  std::wstring path(narrow.begin(), narrow.end());
  EXPECT_EQ(nullptr, CreateSpillFile(path, narrow));
  EXPECT_EQ(dir_ + "/missing/x", narrow);
}

}  // namespace
