#include "zrlib/filesystem/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "tests/support/ScopedLocale.h"
#include "tests/support/TempDir.h"
#include "tests/support/WideText.h"

namespace {

using namespace ZRLib::filesystem;

using zrtest::Narrow;
using zrtest::ScopedLocale;
using zrtest::Wide;

bool IsDir(const std::wstring& path) {
  struct stat st {};
  return ::stat(Narrow(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool Exists(const std::wstring& path) {
  struct stat st {};
  return ::lstat(Narrow(path).c_str(), &st) == 0;
}
void Touch(const std::wstring& path) { std::ofstream(Narrow(path)) << "x"; }

bool IsDirBytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A fresh folder under /tmp, removed with its content afterwards.
class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    root_ = Wide(dir_.path());
  }
  // Gives back what tests took away, so the folder can be removed.
  void TearDown() override { ASSERT_EQ(std::system(("chmod -R u+rwx " + dir_.path()).c_str()), 0); }
  zrtest::TempDir dir_{"zrfs_test_"};
  std::wstring root_;
};

TEST_F(FileSystemTest, TempFolder) { EXPECT_EQ(GetTempFolderPath(), L"/tmp/"); }

TEST_F(FileSystemTest, UniqueTempFilePathLiesDirectlyInFolderAndIsFree) {
  for (const std::wstring& folder : {root_, root_ + L"/"}) {
    const std::wstring path = GetUniqueTempFilePath(folder);
    ASSERT_EQ(path.compare(0, root_.size() + 1, root_ + L"/"), 0) << Narrow(path);
    const std::wstring name = path.substr(root_.size() + 1);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find(L'/'), std::wstring::npos);
    EXPECT_FALSE(Exists(path));  // nothing is created
  }
  EXPECT_EQ(GetUniqueTempFilePath(L"").substr(0, 1), L"/");
  // A folder the locale cannot spell still gets a name, without looping.
  const std::wstring odd = root_ + L"/\u00E9";
  EXPECT_EQ(GetUniqueTempFilePath(odd).compare(0, odd.size() + 1, odd + L"/"), 0);

  // Names taken in the folder are never handed out.
  std::set<std::wstring> taken;
  for (int i = 0; i < 200; ++i) {
    const std::wstring path = GetUniqueTempFilePath(root_);
    EXPECT_TRUE(taken.insert(path).second);
    Touch(path);
  }
}

TEST_F(FileSystemTest, ExistenceTests) {
  const std::wstring file = root_ + L"/f";
  Touch(file);
  EXPECT_TRUE(IsFolderExists(root_.c_str()));
  EXPECT_FALSE(IsFileExists(root_.c_str()));
  EXPECT_TRUE(IsFileExists(file.c_str()));
  EXPECT_FALSE(IsFolderExists(file.c_str()));
  const std::wstring missing = root_ + L"/missing";
  EXPECT_FALSE(IsFolderExists(missing.c_str()));
  EXPECT_FALSE(IsFileExists(missing.c_str()));
  EXPECT_FALSE(IsFolderExists(nullptr));
  EXPECT_FALSE(IsFileExists(nullptr));
}

TEST_F(FileSystemTest, CreateFolder) {
  EXPECT_FALSE(CreateFolder(L"abc"));
  EXPECT_FALSE(Exists(L"abc"));
  EXPECT_FALSE(CreateFolder(L""));

  const std::wstring deep = root_ + L"/a/b/c";
  EXPECT_TRUE(CreateFolder(deep));
  EXPECT_TRUE(IsDir(deep));
  EXPECT_TRUE(CreateFolder(deep));  // already there

  const std::wstring file = root_ + L"/file";
  Touch(file);
  EXPECT_FALSE(CreateFolder(file));
  EXPECT_FALSE(CreateFolder(file + L"/sub"));

  // Backslashes are plain name characters here; each prefix up to one is created.
  const std::wstring backslashed = root_ + L"/x\\y";
  EXPECT_TRUE(CreateFolder(backslashed));
  EXPECT_TRUE(IsDir(root_ + L"/x\\y"));
}

TEST_F(FileSystemTest, CreateFolderReportsFileSystemErrorsAsFalse) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  const std::wstring locked = root_ + L"/locked";
  ASSERT_EQ(::mkdir(Narrow(locked).c_str(), 0500), 0);
  EXPECT_FALSE(CreateFolder(locked + L"/sub"));
}

TEST_F(FileSystemTest, DeleteNonEmptyFolder) {
  EXPECT_TRUE(DeleteNonEmptyFolder(root_ + L"/missing"));
  const std::wstring tree = root_ + L"/tree";
  ASSERT_TRUE(CreateFolder(tree + L"/inner/deeper"));
  Touch(tree + L"/inner/file");
  Touch(tree + L"/top");
  EXPECT_TRUE(DeleteNonEmptyFolder(tree));
  EXPECT_FALSE(Exists(tree));
}

TEST_F(FileSystemTest, DeleteNonEmptyFolderFailureGivesFalse) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  const std::wstring tree = root_ + L"/tree";
  ASSERT_TRUE(CreateFolder(tree + L"/inner"));
  Touch(tree + L"/inner/file");
  ASSERT_EQ(::chmod(Narrow(tree + L"/inner").c_str(), 0500), 0);
  EXPECT_FALSE(DeleteNonEmptyFolder(tree));
}

TEST_F(FileSystemTest, FileSystemErrorsRaiseOrGiveFalse) {
  const std::wstring loop = root_ + L"/loop";
  ASSERT_EQ(::symlink(Narrow(loop).c_str(), Narrow(loop).c_str()), 0);
  const std::wstring looped = loop + L"/x";
  EXPECT_ANY_THROW(IsFolderExists(looped.c_str()));
  EXPECT_ANY_THROW(IsFileExists(looped.c_str()));
  EXPECT_FALSE(CreateFolder(looped));
  EXPECT_FALSE(CreateFolder(loop));

  const std::wstring tooLong = root_ + L"/" + std::wstring(300, L'n');
  EXPECT_FALSE(CreateFolder(tooLong));
  EXPECT_FALSE(DeleteNonEmptyFolder(tooLong));
}

TEST_F(FileSystemTest, NonAsciiPathsFollowTheProcessLocale) {
  const std::wstring folder = root_ + L"/d\u00FCr";
  const std::string folderBytes = Narrow(root_) + "/d\xC3\xBCr";
  {
    ScopedLocale utf8("C.UTF-8");
    EXPECT_TRUE(CreateFolder(folder + L"/\u00E9t\u00E9"));
    EXPECT_TRUE(IsDirBytes(folderBytes + "/\xC3\xA9t\xC3\xA9"));
    EXPECT_TRUE(IsFolderExists(folder.c_str()));
    std::ofstream(folderBytes + "/\xE2\x82\xAC") << "x";
    EXPECT_TRUE(IsFileExists((folder + L"/\u20AC").c_str()));
    EXPECT_FALSE(IsFolderExists((folder + L"/\u20AC").c_str()));
  }
  {
    // The "C" locale cannot spell these names: nothing is found, created or
    // removed, and nothing is thrown.
    ScopedLocale c("C");
    EXPECT_NO_THROW(EXPECT_FALSE(IsFolderExists(folder.c_str())));
    EXPECT_NO_THROW(EXPECT_FALSE(IsFileExists((folder + L"/\u20AC").c_str())));
    EXPECT_FALSE(CreateFolder(root_ + L"/\u00E0/b"));
    EXPECT_FALSE(DeleteNonEmptyFolder(folder));
    EXPECT_TRUE(IsDirBytes(folderBytes));
    EXPECT_TRUE(IsFolderExists(root_.c_str()));
  }
  ScopedLocale utf8("C.UTF-8");
  EXPECT_TRUE(DeleteNonEmptyFolder(folder));
  EXPECT_FALSE(IsDirBytes(folderBytes));
}

// An environment that names a locale this system lacks (a common
// misconfiguration) must not stop plain paths from working. Runs in a fresh
// process so that nothing from earlier tests is cached.
TEST_F(FileSystemTest, MissingEnvironmentLocaleDoesNotAffectPaths) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* old = std::getenv("LC_ALL");
  const std::string saved = old != nullptr ? old : "";
  ASSERT_EQ(::setenv("LC_ALL", "xx_YY.UTF-8", 1), 0);
  EXPECT_EXIT(
      {
        const std::wstring made = root_ + L"/made";
        Touch(root_ + L"/f");
        const bool ok = IsFolderExists(root_.c_str()) && IsFileExists((root_ + L"/f").c_str()) &&
                        CreateFolder(made + L"/deeper") && IsDir(made + L"/deeper") &&
                        DeleteNonEmptyFolder(root_) && !Exists(root_);
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  if (old != nullptr) {
    ::setenv("LC_ALL", saved.c_str(), 1);
  } else {
    ::unsetenv("LC_ALL");
  }
}

TEST_F(FileSystemTest, UnsearchableFolderRaises) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  const std::wstring locked = root_ + L"/locked";
  ASSERT_EQ(::mkdir(Narrow(locked).c_str(), 0), 0);
  const std::wstring inside = locked + L"/x";
  EXPECT_ANY_THROW(IsFolderExists(inside.c_str()));
  EXPECT_ANY_THROW(IsFileExists(inside.c_str()));
}

}  // namespace
