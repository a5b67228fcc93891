#include "agent/data/hosting/ExtensionLoader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "tests/plugins/PluginControl.h"
#include "tests/support/TempDir.h"
#include "tests/support/WideText.h"

namespace fs = std::filesystem;

namespace {

using namespace zr;

// Captures what the loader writes to its log (std::wcerr).
class LogCapture {
 public:
  LogCapture() : old_(std::wcerr.rdbuf(text_.rdbuf())) {}
  ~LogCapture() { std::wcerr.rdbuf(old_); }
  std::vector<std::wstring> Lines() const {
    std::vector<std::wstring> lines;
    std::wistringstream in(text_.str());
    for (std::wstring line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::wstringstream text_;
  std::wstreambuf* old_;
};

using zrtest::Wide;

std::vector<std::wstring> Sorted(std::vector<std::wstring> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

class ExtensionLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.fs();
    fs::create_directories(plugins());
    fs::create_directories(filters());
  }

  fs::path plugins() const { return root_ / "Plugins"; }
  fs::path filters() const { return root_ / "Filters"; }
  std::wstring PluginsArg() const { return Wide(plugins().string()) + L"/"; }
  std::wstring FiltersArg() const { return Wide(filters().string()) + L"/"; }

  zrtest::TempDir dir_{"zr_extloader_"};
  fs::path root_;
};

TEST_F(ExtensionLoaderTest, MissingFoldersAreLoggedAndGiveEmptyLists) {
  LogCapture log;
  {
    CExtensionLoader loader(L"/opt/zr/bin/wsagent", L"/nonexistent/zr/Plugins/", L"/nonexistent/zr/Filters/");
    EXPECT_TRUE(loader.GetPluginNames().empty());
    EXPECT_EQ(nullptr, loader.FindFilter(L""));
    EXPECT_EQ(L"/opt/zr/bin", loader.GetHomeFolder());
  }
  const std::vector<std::wstring> expected = {L"Loading extensions...",
                                              L"Plug-ins folder doesn't found: /nonexistent/zr/Plugins/",
                                              L"Plug-ins folder doesn't found: /nonexistent/zr/Filters/",
                                              L"Extensions loaded",
                                              L"Unloading extensions...",
                                              L"    Done"};
  EXPECT_EQ(expected, log.Lines());
}

TEST_F(ExtensionLoaderTest, EmptyFoldersLoadNothing) {
  LogCapture log;
  { CExtensionLoader loader(L"wsagent", PluginsArg(), FiltersArg()); }
  const std::vector<std::wstring> expected = {L"Loading extensions...", L"Extensions loaded",
                                              L"Unloading extensions...", L"    Done"};
  EXPECT_EQ(expected, log.Lines());
}

TEST_F(ExtensionLoaderTest, EveryKindOfFileGivesItsLogLine) {
  const std::string folder = zrtest::InstallLibrary(ZRTEST_FOLDER_PATH, plugins(), "folder.so");
  const std::string noinfo = zrtest::InstallLibrary(ZRTEST_NOINFO_PATH, plugins(), "noinfo.so");
  const std::string nullinfo = zrtest::InstallLibrary(ZRTEST_NULLINFO_PATH, plugins(), "nullinfo.so");
  const std::string unresolved = zrtest::InstallLibrary(ZRTEST_UNRESOLVED_PATH, plugins(), "unresolved.so");
  zrtest::InstallLibrary(ZRTEST_CODES_PATH, plugins(), "libx.so.1");
  zrtest::InstallLibrary(ZRTEST_CODES_PATH, plugins(), "libx.SO");
  zrtest::InstallLibrary(ZRTEST_CODES_PATH, plugins(), "libx");
  fs::create_directories(plugins() / "sub.so");
  const std::string text = (plugins() / "a.so").string();
  std::ofstream(text) << "not a library\n";

  // What dlopen itself says about the two files it refuses.
  auto dlopenError = [](const std::string& path) {
    EXPECT_EQ(nullptr, dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    return Wide(dlerror());
  };
  const std::wstring textError = dlopenError(text);
  const std::wstring unresolvedError = dlopenError(unresolved);
  EXPECT_NE(std::wstring::npos, unresolvedError.find(L"ZrTestNowhereDefined"));

  LogCapture log;
  {
    CExtensionLoader loader(L"wsagent", PluginsArg(), FiltersArg());
    EXPECT_EQ(std::list<std::wstring>{L"TestFolder"}, loader.GetPluginNames());
    // Libraries refused as plug-ins are not left loaded.
    EXPECT_FALSE(zrtest::IsLoaded(noinfo));
    EXPECT_FALSE(zrtest::IsLoaded(nullinfo));
    EXPECT_TRUE(zrtest::IsLoaded(folder));
  }
  EXPECT_FALSE(zrtest::IsLoaded(folder));

  const std::vector<std::wstring> lines = log.Lines();
  ASSERT_EQ(9u, lines.size());
  EXPECT_EQ(L"Loading extensions...", lines[0]);
  EXPECT_EQ(L"Extensions loaded", lines[6]);
  const std::vector<std::wstring> scanned(lines.begin() + 1, lines.begin() + 6);
  const std::vector<std::wstring> expected = {
      L"    a.so : Can't load plug-in '" + PluginsArg() + L"a.so'. " + textError, L"    folder.so",
      L"    noinfo.so : Not a valid plug-in '" + PluginsArg() + L"noinfo.so'",
      L"    nullinfo.so : Not a valid plug-in '" + PluginsArg() + L"nullinfo.so'",
      L"    unresolved.so : Can't load plug-in '" + PluginsArg() + L"unresolved.so'. " + unresolvedError};
  EXPECT_EQ(expected, Sorted(scanned));
}

// Named pipes, dangling links, names the locale cannot convert and libraries
// whose GetPluginInfo throws something else than a standard exception: the
// scan neither waits nor hides what it did. A link to a library is followed.
TEST_F(ExtensionLoaderTest, HostileFolderEntriesEachGetTheirLine) {
  fs::create_directories(root_ / "elsewhere");
  const std::string real = zrtest::InstallLibrary(ZRTEST_FOLDER_PATH, root_ / "elsewhere", "real.so");
  fs::create_symlink(real, plugins() / "link.so");
  fs::create_symlink(root_ / "nowhere.so", plugins() / "dangling.so");
  ASSERT_EQ(0, ::mkfifo((plugins() / "pipe.so").c_str(), 0600));
  zrtest::InstallLibrary(ZRTEST_THROWINFO_PATH, plugins(), "throwinfo.so");
  zrtest::InstallLibrary(ZRTEST_CODES_PATH, plugins(), "bad\xff.so");

  LogCapture log;
  {
    CExtensionLoader loader(L"wsagent", PluginsArg(), FiltersArg());
    EXPECT_EQ(std::list<std::wstring>{L"TestFolder"}, loader.GetPluginNames());
  }
  const std::vector<std::wstring> lines = log.Lines();
  ASSERT_GE(lines.size(), 5u);
  const std::vector<std::wstring> scanned(lines.begin() + 1, lines.begin() + 4);
  const std::vector<std::wstring> expected = {
      L"    bad\\xFF.so : Skipped, the file name can't be converted in the current locale", L"    link.so",
      L"    throwinfo.so : Not a valid plug-in '" + PluginsArg() + L"throwinfo.so'"};
  EXPECT_EQ(expected, Sorted(scanned));
  EXPECT_EQ(L"Extensions loaded", lines[4]);
}

// A plug-ins folder this process may not read is logged. Runs as an
// unprivileged user when root.
TEST_F(ExtensionLoaderTest, UnreadableFolderIsLogged) {
  zrtest::InstallLibrary(ZRTEST_FOLDER_PATH, plugins(), "folder.so");
  ASSERT_EQ(0, ::chmod(plugins().c_str(), 0300));
  const pid_t child = ::fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    LogCapture log;
    CExtensionLoader loader(L"wsagent", PluginsArg(), FiltersArg());
    const std::vector<std::wstring> lines = log.Lines();
    const bool logged =
        lines.size() > 1 && lines[1].rfind(L"Plug-ins folder can't be read: " + PluginsArg(), 0) == 0;
    ::_exit(logged && loader.GetPluginNames().empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ::chmod(plugins().c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(ExtensionLoaderTest, EntriesCarryThePluginInfo) {
  zrtest::InstallLibrary(ZRTEST_CODES_PATH, plugins(), "codes.so");
  zrtest::InstallLibrary(ZRTEST_FOLDERCONF_PATH, plugins(), "conf.so");
  LogCapture log;
  CExtensionLoader loader(L"wsagent", PluginsArg(), FiltersArg());

  const CPluginEntry* codes = loader.FindPlugin(L"TestCodes");
  ASSERT_NE(nullptr, codes);
  EXPECT_NE(nullptr, codes->GetLibrary());
  EXPECT_EQ(L"2.5", codes->GetVersion());
  EXPECT_EQ(3, codes->GetFileSystemType());
  EXPECT_FALSE(codes->IsSeekSupported());
  EXPECT_FALSE(codes->IsMoveSupported());
  EXPECT_FALSE(codes->IsConfigurable());

  const CPluginEntry* conf = loader.FindPlugin(L"TestFolderConf");
  ASSERT_NE(nullptr, conf);
  EXPECT_EQ(2, conf->GetFileSystemType());
  EXPECT_TRUE(conf->IsSeekSupported());
  EXPECT_TRUE(conf->IsMoveSupported());
  EXPECT_TRUE(conf->IsConfigurable());

  // Exact, case-sensitive names.
  EXPECT_EQ(nullptr, loader.FindPlugin(L"testcodes"));
  EXPECT_EQ(nullptr, loader.FindPlugin(L""));
}

TEST_F(ExtensionLoaderTest, FirstLoadedOfEqualNamesWins) {
  const std::string one = zrtest::InstallLibrary(ZRTEST_FOLDER_PATH, plugins(), "one.so");
  const std::string two = zrtest::InstallLibrary(ZRTEST_FOLDER_PATH, plugins(), "two.so");
  LogCapture log;
  CExtensionLoader loader(L"wsagent", PluginsArg(), FiltersArg());
  EXPECT_EQ((std::list<std::wstring>{L"TestFolder", L"TestFolder"}), loader.GetPluginNames());

  const std::vector<std::wstring> lines = log.Lines();
  ASSERT_GE(lines.size(), 3u);
  const std::string first = lines[1] == L"    one.so" ? one : two;
  void* handle = dlopen(first.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(nullptr, handle);
  dlclose(handle);
  ASSERT_NE(nullptr, loader.FindPlugin(L"TestFolder"));
  EXPECT_EQ(handle, loader.FindPlugin(L"TestFolder")->GetLibrary());
}

TEST_F(ExtensionLoaderTest, FiltersAreListedWithOrWithoutInfo) {
  const std::string filter = zrtest::InstallLibrary(ZRTEST_FILTER_PATH, filters(), "zip.so");
  const std::string bare = zrtest::InstallLibrary(ZRTEST_FILTERNOINFO_PATH, filters(), "bare.so");
  fs::create_directories(filters() / "dir.so");
  LogCapture log;
  {
    CExtensionLoader loader(L"wsagent", PluginsArg(), FiltersArg());
    EXPECT_TRUE(loader.GetPluginNames().empty());

    const CFilterEntry* named = loader.FindFilter(L"TestFilter");
    ASSERT_NE(nullptr, named);
    EXPECT_TRUE(named->IsValid());
    EXPECT_EQ(L"3.1", named->GetVersion());
    EXPECT_NE(nullptr, named->GetLibrary());

    const CFilterEntry* unnamed = loader.FindFilter(L"");
    ASSERT_NE(nullptr, unnamed);
    EXPECT_FALSE(unnamed->IsValid());
    EXPECT_TRUE(unnamed->GetVersion().empty());
    EXPECT_NE(nullptr, unnamed->GetLibrary());
    // The info object was released again.
    EXPECT_EQ(0, zrtest::CountOf(filter, zrtest::kFactory));
  }
  EXPECT_FALSE(zrtest::IsLoaded(filter));
  EXPECT_FALSE(zrtest::IsLoaded(bare));
  const std::vector<std::wstring> lines = log.Lines();
  const std::vector<std::wstring> scanned(lines.begin() + 1, lines.begin() + 3);
  EXPECT_EQ((std::vector<std::wstring>{L"    bare.so", L"    zip.so"}), Sorted(scanned));
}

}  // namespace
