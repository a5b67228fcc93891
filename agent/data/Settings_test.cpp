#include "agent/data/Settings.h"

#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"
#include "zrlib/system/System.h"

namespace {

using namespace zr;

namespace fs = std::filesystem;

const char kBom[] = "\xEF\xBB\xBF";

// One settings file as the product writes it, with the given param lines.
std::string FileWith(const std::string& params, const std::string& version = "7.3.4.12277") {
  std::string header = "\t<header>\n\t\t<related_object>Workstation</related_object>\n";
  if (!version.empty()) header += "\t\t<version>" + version + "</version>\n";
  header += "\t</header>\n";
  return std::string(kBom) + "<?xml version=\"1.0\"?>\n<link>\n" + header + "\t<parameters>\n" + params +
         "\t</parameters>\n</link>\n";
}

std::string Param(const std::string& key, const std::string& value) {
  return "\t\t<param name=\"" + key + "\">" + value + "</param>\n";
}

std::string NineKeys(const std::string& name, const std::string& host, const std::string& port,
                     const std::string& autoSearch = "no", const std::string& delta = "no",
                     const std::string& temp = "/tmp/") {
  return Param("Name", name) + Param("CoordinatorHost", host) + Param("CoordinatorPort", port) +
         Param("DebugLevel", "1") + Param("IsSecure", "no") + Param("TempFolder", temp) +
         Param("EnableCoordinatorAutoSearch", autoSearch) + Param("DisableAuthorization", "yes") +
         Param("UseDeltaCopying", delta);
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    root_ = dir_.fs();
    fs::create_directories(root_ / "etc");
    fs::create_directories(root_ / "home");
    savedLog_ = std::wcerr.rdbuf(log_.rdbuf());
  }
  void TearDown() override { std::wcerr.rdbuf(savedLog_); }

  std::unique_ptr<CSettings> Make() const {
    return std::make_unique<CSettings>((root_ / "etc").wstring(), (root_ / "home").wstring());
  }
  fs::path UserFile() const { return root_ / "home/.ze7/Settings/Services/workstation.zrl"; }
  fs::path SystemFile() const { return root_ / "etc/workstation.zrl"; }
  static void Write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::wstring Log() const { return log_.str(); }

  zrtest::TempDir dir_{"zr-settings-"};
  fs::path root_;
  std::wostringstream log_;
  std::wstreambuf* savedLog_ = nullptr;
};

TEST_F(SettingsTest, NoFileAnywhereWritesTheDefaults) {
  auto settings = Make();
  settings->Load();
  const std::wstring host = ZRLib::system::GetComputerNetworkName();
  EXPECT_EQ(settings->GetName(), host);
  EXPECT_EQ(settings->GetCoordinatorHost(), host);
  EXPECT_EQ(settings->GetCoordinatorPort(), L"1755");
  EXPECT_EQ(settings->GetDebugLevel(), L"1");
  EXPECT_EQ(settings->GetTempFolder(), L"/tmp/");
  EXPECT_TRUE(settings->GetDisableAuthorization());
  EXPECT_FALSE(settings->GetUseDeltaCopying());
  EXPECT_FALSE(settings->GetUseDeltaCopyingDebug());
  EXPECT_FALSE(settings->GetEnableCoordinatorAutoSearch());
  EXPECT_TRUE(settings->IsDefaulted());
  EXPECT_EQ(Log(),
            L"Update workstation settings with defaults\n"
            L"Workstation settings successfully updated\n");
  const std::string narrowHost(host.begin(), host.end());
  EXPECT_EQ(Read(UserFile()), FileWith(NineKeys(narrowHost, narrowHost, "1755")));
  EXPECT_FALSE(fs::exists(SystemFile()));
}

TEST_F(SettingsTest, PathsAndDerivedTexts) {
  Write(UserFile(), FileWith(Param("Name", "ws") + Param("CoordinatorHost", "coord") +
                             Param("CoordinatorPort", "2809") + Param("IsSecure", "yes")));
  auto settings = Make();
  settings->Load();
  const std::wstring home = (root_ / "home").wstring();
  EXPECT_EQ(settings->GetUserSettingsFolderPath(), home + L"/.ze7/Settings/Services");
  EXPECT_EQ(settings->GetUserSettingsFilePath(), home + L"/.ze7/Settings/Services/workstation.zrl");
  EXPECT_EQ(settings->GetSystemSettingsFilePath(), (root_ / "etc").wstring() + L"/workstation.zrl");
  EXPECT_EQ(settings->GetLogFilePath(), home + L"/.ze7/logs/ws.ws.log");
  EXPECT_EQ(settings->GetNameServiceInitRef(), L"NameService=ssliop://coord:2809/NameService");
  EXPECT_EQ(settings->GetNarrowName(), "ws");
  EXPECT_FALSE(settings->IsDefaulted());
  EXPECT_EQ(Log(), L"");
}

TEST_F(SettingsTest, DefaultFoldersAreTheFixedOnes) {
  const char* savedHome = std::getenv("HOME");
  const std::string restore = savedHome != nullptr ? savedHome : "";
  ::setenv("HOME", "/some/home", 1);
  CSettings fromHome;
  EXPECT_EQ(fromHome.GetUserSettingsFilePath(), L"/some/home/.ze7/Settings/Services/workstation.zrl");
  EXPECT_EQ(fromHome.GetSystemSettingsFilePath(), L"/etc/ze7/Settings/Services/workstation.zrl");
  // No usable HOME: the password entry, and never an empty or null folder.
  ::setenv("HOME", "", 1);
  EXPECT_FALSE(CSettings::DefaultHomeFolder().empty());
  ::unsetenv("HOME");
  EXPECT_FALSE(CSettings::DefaultHomeFolder().empty());
  EXPECT_EQ(CSettings::DefaultHomeFolder().front(), L'/');
  if (savedHome != nullptr) ::setenv("HOME", restore.c_str(), 1);
}

TEST_F(SettingsTest, KeysReadFromTheFile) {
  const std::string file = FileWith(
      Param("Name", "ws") + Param("CoordinatorHost", "") + Param("CoordinatorPort", "2809") +
      Param("DebugLevel", "5") + Param("TempFolder", "/var/tmp") + Param("DisableAuthorization", "no") +
      Param("EnableCoordinatorAutoSearch", "yes") + Param("UseDeltaCopying", "no"));
  Write(UserFile(), file);
  auto settings = Make();
  settings->Load();
  EXPECT_EQ(settings->GetName(), L"ws");
  EXPECT_EQ(settings->GetCoordinatorHost(), ZRLib::system::GetComputerNetworkName());  // empty value
  EXPECT_EQ(settings->GetCoordinatorPort(), L"2809");
  EXPECT_EQ(settings->GetDebugLevel(), L"5");
  EXPECT_EQ(settings->GetTempFolder(), L"/var/tmp");
  EXPECT_FALSE(settings->GetDisableAuthorization());
  EXPECT_TRUE(settings->GetEnableCoordinatorAutoSearch());
  EXPECT_FALSE(settings->GetUseDeltaCopying());
  // Current version: the file is not written again.
  EXPECT_EQ(Read(UserFile()), file);
  EXPECT_EQ(Log(), L"");
}

TEST_F(SettingsTest, DeltaCopyingWords) {
  struct Case {
    const char* params;
    bool on;
    bool debug;
  };
  const std::string name = Param("Name", "ws");
  const Case cases[] = {{"", true, false},
                        {"\t\t<param name=\"UseDeltaCopying\">debug</param>\n", true, true},
                        {"\t\t<param name=\"UseDeltaCopying\">True</param>\n", false, false},
                        {"\t\t<param name=\"UseDeltaCopying\">1</param>\n", true, false},
                        {"\t\t<param name=\"UseDeltaCopying\"></param>\n", true, false}};
  for (const Case& c : cases) {
    Write(UserFile(), FileWith(name + c.params));
    auto settings = Make();
    settings->Load();
    EXPECT_EQ(settings->GetUseDeltaCopying(), c.on) << c.params;
    EXPECT_EQ(settings->GetUseDeltaCopyingDebug(), c.debug) << c.params;
  }
}

TEST_F(SettingsTest, MissingVersionTurnsAutoSearchOffAndUpgradesTheFile) {
  Write(UserFile(), FileWith(Param("Name", "fromfile") + Param("CoordinatorHost", "coord") +
                                 Param("EnableCoordinatorAutoSearch", "yes"),
                             ""));
  auto settings = Make();
  settings->Load();
  EXPECT_FALSE(settings->GetEnableCoordinatorAutoSearch());
  EXPECT_FALSE(settings->IsDefaulted());
  EXPECT_EQ(Log(), L"");
  EXPECT_EQ(Read(UserFile()), FileWith(NineKeys("fromfile", "coord", "1755", "no", "yes")));
}

TEST_F(SettingsTest, OtherVersionIsSavedAgain) {
  Write(UserFile(), FileWith(Param("Name", "ws") + Param("EnableCoordinatorAutoSearch", "yes"), "7.0.0.1"));
  auto settings = Make();
  settings->Load();
  EXPECT_TRUE(settings->GetEnableCoordinatorAutoSearch());
  EXPECT_NE(Read(UserFile()).find("<version>7.3.4.12277</version>"), std::string::npos);
  EXPECT_NE(Read(UserFile()).find(Param("EnableCoordinatorAutoSearch", "yes")), std::string::npos);
}

TEST_F(SettingsTest, AutoSearchOnceEndsWithTheFirstAddressChange) {
  Write(UserFile(), FileWith(NineKeys("ws", "coord", "1755", "once", "debug")));
  auto settings = Make();
  settings->Load();
  EXPECT_TRUE(settings->GetEnableCoordinatorAutoSearch());
  // An unrelated save keeps both special words.
  ASSERT_TRUE(settings->SetTempFolder(L"/var/tmp"));
  EXPECT_EQ(Read(UserFile()), FileWith(NineKeys("ws", "coord", "1755", "once", "debug", "/var/tmp")));

  ASSERT_TRUE(settings->SetCoordinatorHost(L"other"));
  EXPECT_FALSE(settings->GetEnableCoordinatorAutoSearch());
  EXPECT_EQ(Read(UserFile()), FileWith(NineKeys("ws", "other", "1755", "no", "debug", "/var/tmp")));

  auto reloaded = Make();
  reloaded->Load();
  EXPECT_FALSE(reloaded->GetEnableCoordinatorAutoSearch());
  EXPECT_TRUE(reloaded->GetUseDeltaCopyingDebug());
  ASSERT_TRUE(reloaded->SetCoordinatorPort(L"2809"));
  EXPECT_EQ(reloaded->GetCoordinatorPort(), L"2809");
}

TEST_F(SettingsTest, PortChangeAlsoEndsAutoSearchOnceButNotPlainAutoSearch) {
  Write(UserFile(), FileWith(NineKeys("ws", "coord", "1755", "once")));
  auto once = Make();
  once->Load();
  ASSERT_TRUE(once->SetCoordinatorPort(L"1"));
  EXPECT_FALSE(once->GetEnableCoordinatorAutoSearch());

  Write(UserFile(), FileWith(NineKeys("ws", "coord", "1755", "yes")));
  auto plain = Make();
  plain->Load();
  ASSERT_TRUE(plain->SetCoordinatorHost(L"h"));
  EXPECT_TRUE(plain->GetEnableCoordinatorAutoSearch());
  EXPECT_NE(Read(UserFile()).find(Param("EnableCoordinatorAutoSearch", "yes")), std::string::npos);
}

TEST_F(SettingsTest, UserFileTakesPrecedenceOverTheSystemFile) {
  Write(SystemFile(), FileWith(NineKeys("system", "syscoord", "1")));
  auto first = Make();
  first->Load();
  EXPECT_EQ(first->GetName(), L"system");
  EXPECT_EQ(first->GetCoordinatorHost(), L"syscoord");
  EXPECT_FALSE(fs::exists(UserFile()));  // current version, nothing to save
  ASSERT_TRUE(first->SetCoordinatorPort(L"2"));
  EXPECT_TRUE(fs::exists(UserFile()));

  Write(SystemFile(), FileWith(NineKeys("changed", "syscoord", "3")));
  auto second = Make();
  second->Load();
  EXPECT_EQ(second->GetName(), L"system");
  EXPECT_EQ(second->GetCoordinatorPort(), L"2");

  // An unreadable per-user file falls back to the system file.
  Write(UserFile(), "<link>");
  auto third = Make();
  third->Load();
  EXPECT_EQ(third->GetName(), L"changed");
}

TEST_F(SettingsTest, NonAsciiNameRoundTrips) {
  const std::wstring name = L"\u0421\u0442\u0430\u043d\u0446\u0438\u044f-\u20ac-\U0001F600";
  Write(UserFile(), FileWith(Param("Name",
                                   "\xD0\xA1\xD1\x82\xD0\xB0\xD0\xBD\xD1\x86\xD0\xB8\xD1\x8F-\xE2\x82\xAC-"
                                   "\xF0\x9F\x98\x80")));
  auto settings = Make();
  settings->Load();
  EXPECT_EQ(settings->GetName(), name);
  ASSERT_TRUE(settings->SetTempFolder(L"/tmp/\u00e9"));
  auto again = Make();
  again->Load();
  EXPECT_EQ(again->GetName(), name);
  EXPECT_EQ(again->GetTempFolder(), L"/tmp/\u00e9");
  // The "C" locale cannot hold the name: the narrow name falls back to UTF-8.
  EXPECT_EQ(again->GetNarrowName(),
            "\xD0\xA1\xD1\x82\xD0\xB0\xD0\xBD\xD1\x86\xD0\xB8\xD1\x8F-\xE2\x82\xAC-\xF0\x9F\x98\x80");
}

TEST_F(SettingsTest, FolderThatCannotBeCreatedFailsTheSave) {
  Write(root_ / "home/.ze7", "a file where the folder should be");
  auto settings = Make();
  settings->Load();
  EXPECT_EQ(Log(),
            L"Update workstation settings with defaults\n"
            L"Can't save workstation settings\n"
            L"Workstation settings update failed\n");
  EXPECT_TRUE(settings->IsDefaulted());
  EXPECT_FALSE(settings->SetTempFolder(L"/x"));
  EXPECT_EQ(settings->GetTempFolder(), L"/x");
}

// An unreadable per-user file is kept beside it (a later one replaces the older
// copy) before the defaults are written, and the log says so.
TEST_F(SettingsTest, UnreadableFileIsKeptAsBad) {
  const fs::path bad = UserFile().string() + ".bad";
  for (const std::string& broken :
       {FileWith(NineKeys("mine", "coord", "1755")).substr(0, 150), std::string("<link><header></link>")}) {
    Write(UserFile(), broken);
    log_.str(L"");
    auto settings = Make();
    settings->Load();
    EXPECT_EQ(Read(bad), broken);
    EXPECT_TRUE(settings->IsDefaulted());
    EXPECT_EQ(Log(), L"Workstation settings file '" + UserFile().wstring() +
                         L"' can't be read; it is kept as '" + bad.wstring() + L"'\n" +
                         L"Update workstation settings with defaults\n" +
                         L"Workstation settings successfully updated\n");
    EXPECT_NE(Read(UserFile()), broken);
  }
  // A readable file leaves the kept copy alone.
  log_.str(L"");
  auto settings = Make();
  settings->Load();
  EXPECT_EQ(Read(bad), "<link><header></link>");
  EXPECT_EQ(Log(), L"");
}

TEST_F(SettingsTest, FailedWriteKeepsThePreviousFile) {
  const std::string previous = FileWith(NineKeys("ws", "coord", "1755"));
  Write(UserFile(), previous);
  auto settings = Make();
  settings->Load();
  // Limit file size so the temporary file cannot be written whole.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit tiny = saved;
  tiny.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  const bool saved_ok = settings->SetCoordinatorHost(L"changed");
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(saved_ok);
  EXPECT_EQ(Read(UserFile()), previous);
  EXPECT_EQ(std::distance(fs::directory_iterator(UserFile().parent_path()), fs::directory_iterator()), 1);
}

TEST_F(SettingsTest, ConcurrentReadersSeeWholeValues) {
  auto settings = Make();
  settings->Load();
  const std::wstring a(200, L'a');
  const std::wstring b(300, L'b');
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        const std::wstring seen = settings->GetTempFolder();
        if (seen != a && seen != b && seen != L"/tmp/") ++bad;
        (void)settings->GetLogFilePath();
      }
    });
  }
  for (int i = 0; i < 50; ++i) {
    EXPECT_TRUE(settings->SetTempFolder(i % 2 ? a : b));
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(bad, 0);
}

TEST_F(SettingsTest, ReloadNeverUndoesAConcurrentChange) {
  auto settings = Make();
  settings->Load();
  std::atomic<bool> stop{false};
  std::thread reloader([&] {
    while (!stop) settings->Load();
  });
  std::wstring last;
  for (int i = 0; i < 200; ++i) {
    last = L"host-" + std::to_wstring(i);
    EXPECT_TRUE(settings->SetCoordinatorHost(last));
    EXPECT_EQ(settings->GetCoordinatorHost(), last);
  }
  stop = true;
  reloader.join();
  EXPECT_EQ(settings->GetCoordinatorHost(), last);
  settings->Load();
  EXPECT_EQ(settings->GetCoordinatorHost(), last);
}

TEST(SettingsInstanceTest, OneInstanceForAllThreads) {
  std::vector<std::thread> threads;
  std::vector<CSettings*> seen(8, nullptr);
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = CSettings::Instance(); });
  }
  for (std::thread& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (CSettings* s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_EQ(seen[0]->GetSystemSettingsFilePath(), L"/etc/ze7/Settings/Services/workstation.zrl");
  CSettings::Release();
  CSettings::Release();  // nothing left to release
  CSettings* fresh = CSettings::Instance();
  ASSERT_NE(fresh, nullptr);
  CSettings::Release();
}

}  // namespace
