// The workstation, session and settings servants in the agent's POA, driven
// through object references; the Coordinator runs in a second process where
// the agent calls it, and in this process where a test makes it fail.

#include "agent/service/servants/WorkstationServant.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "agent/data/Settings.h"
#include "agent/service/servants/testing/ServantOrb.h"
#include "tests/coordinator/CoordinatorProcess.h"
#include "tests/coordinator/TestCoordinator.h"
#include "zrlib/system/System.h"

namespace zrtest {
namespace {

using namespace zr;

namespace fs = std::filesystem;
using ZavediDedozozuriz::Workstation;

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class WorkstationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = TestHome() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(folder_ / "Plugins");
    fs::create_directories(folder_ / "Filters");
    servant_ = new zr::WorkstationServant(AgentOrb(), L"ws-name", L"/opt/zr/wsagent",
                                          (folder_ / "Plugins/").wstring(), (folder_ / "Filters/").wstring(),
                                          std::make_unique<CUserIdentity>(L"alice", L""));
    workstation_ = servant_->Activate();
    coordinator_ = std::make_unique<TestCoordinator>(AgentOrb().Orb());
  }
  void TearDown() override {
    servant_->Deactivate();
    servant_->_remove_ref();
    coordinator_.reset();
    LoadSettings("yes", "no");
    fs::remove_all(folder_);
  }

  // OpenSession with the in-process Coordinator's session and log.
  ZavediDedozozuriz::Session_ptr Open() {
    Tessarine::Session_var session = coordinator_->Session();
    Tessarine::Log_var log = coordinator_->Log();
    return workstation_->OpenSession(session, log);
  }
  // OpenSession that must be refused; the log line it wrote.
  void ExpectDenied(Tessarine::Session_ptr session, const std::wstring& line) {
    log_.Clear();
    const size_t open = servant_->SessionCount();
    EXPECT_THROW(workstation_->OpenSession(session, Tessarine::Log::_nil()), Workstation::AccessDenied);
    EXPECT_TRUE(log_.Contains(line + L"\n")) << log_.Text();
    EXPECT_EQ(servant_->SessionCount(), open);
  }

  // Session::login of the in-process Coordinator raises TRANSIENT while set.
  void RaiseOnLogin(bool raise) {
    if (!raise) {
      coordinator_->State().SetUpcallObserver(nullptr);
      return;
    }
    coordinator_->State().SetUpcallObserver([](const std::string& operation) {
      if (operation == "login") throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    });
  }

  CapturedLog log_;
  fs::path folder_;
  zr::WorkstationServant* servant_ = nullptr;
  ZavediDedozozuriz::Workstation_var workstation_;
  std::unique_ptr<TestCoordinator> coordinator_;
};

TEST_F(WorkstationTest, NameAndHost) {
  CORBA::WString_var name = workstation_->name();
  CORBA::WString_var host = workstation_->host();
  EXPECT_EQ(std::wstring(name.in()), L"ws-name");
  EXPECT_EQ(std::wstring(host.in()), ZRLib::system::GetComputerNetworkName());
}

TEST_F(WorkstationTest, EverySessionThatCannotBeTrustedIsDenied) {
  ExpectDenied(Tessarine::Session::_nil(), L"    Access denied. Invalid server session");

  RaiseOnLogin(true);
  Tessarine::Session_var raising = coordinator_->Session();
  ExpectDenied(raising, L"    Access denied. Broken server session");
  RaiseOnLogin(false);

  // A Coordinator session that was deactivated, and one of a process that is gone.
  Tessarine::Session_var gone;
  {
    TestCoordinator other(AgentOrb().Orb());
    gone = other.Session();
  }
  ExpectDenied(gone, L"    Access denied. Broken server session");
  CORBA::Object_var dead = AgentOrb().Orb()->string_to_object("corbaloc::127.0.0.1:1/Nothing");
  Tessarine::Session_var deadSession = Tessarine::Session::_unchecked_narrow(dead);
  ExpectDenied(deadSession, L"    Access denied. Broken server session");
}

TEST_F(WorkstationTest, AccessCheckOnlyWhenAuthorizationIsOn) {
  // Default: every login is accepted without asking the identity.
  ZavediDedozozuriz::Session_var open = Open();
  EXPECT_FALSE(CORBA::is_nil(open));

  LoadSettings("no", "no");
  Tessarine::Session_var session = coordinator_->Session();
  ExpectDenied(session, L"    Access denied for the user 'tester'");
  coordinator_->State().SetLogin(L"ALICE");
  ZavediDedozozuriz::Session_var alice = Open();
  EXPECT_FALSE(CORBA::is_nil(alice));

  // The identity took the environment's locale when it was built: a later change
  // of the environment (here to a locale that does not exist) changes no answer.
  const char* saved = std::getenv("LC_ALL");
  const std::string previous = saved != nullptr ? saved : "";
  ::setenv("LC_ALL", "xx_XX.NOSUCH", 1);
  ZavediDedozozuriz::Session_var again = Open();
  EXPECT_FALSE(CORBA::is_nil(again));
  if (saved != nullptr) {
    ::setenv("LC_ALL", previous.c_str(), 1);
  } else {
    ::unsetenv("LC_ALL");
  }
  EXPECT_EQ(servant_->SessionCount(), 3u);
}

TEST_F(WorkstationTest, SessionsWithACoordinatorInAnotherProcess) {
  CoordinatorProcessOptions options;
  options.hasLogin = true;
  options.login = L"Quillanbreck.exe";
  CoordinatorProcess coordinator(AgentOrb().Orb(), folder_, options);
  Tessarine::Session_var session = coordinator.Session();
  Tessarine::Log_var log = coordinator.Log();

  ZavediDedozozuriz::Session_var opened = workstation_->OpenSession(session, log);
  EXPECT_TRUE(log_.Contains(L"] Session opening requested\n"));
  EXPECT_TRUE(
      log_.Contains(L"] Session successfully opened for the backup server\n"
                    L"Tried to open session for the user 'Quillanbreck.exe'\n"))
      << log_.Text();

  ZavediDedozozuriz::WorkstationSettings_var first = opened->GetSettings();
  ZavediDedozozuriz::WorkstationSettings_var second = opened->GetSettings();
  EXPECT_TRUE(first->_is_equivalent(second));

  workstation_->CloseSession(opened);
  EXPECT_TRUE(log_.WaitFor(L"] Close session for the backup server\n")) << log_.Text();
  EXPECT_EQ(servant_->SessionCount(), 0u);
  EXPECT_THROW(first->GetTempFolder(), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(opened->GetSettings(), CORBA::OBJECT_NOT_EXIST);

  workstation_->CloseSession(opened);
  EXPECT_TRUE(log_.WaitFor(L"] Attempt to close unknown session\n")) << log_.Text();
}

TEST_F(WorkstationTest, ClosingWhatIsNoSessionTouchesNothing) {
  coordinator_->State().SetLogin(L"bob");
  ZavediDedozozuriz::Session_var opened = Open();
  EXPECT_TRUE(
      log_.Contains(L"] Session successfully opened for the user 'bob'\n"
                    L"Tried to open session for the user 'bob'\n"));
  ZavediDedozozuriz::WorkstationSettings_var settings = opened->GetSettings();

  auto unknownCount = [&]() {
    const std::wstring text = log_.Text();
    size_t count = 0;
    for (size_t at = text.find(L"Attempt to close unknown session"); at != std::wstring::npos;
         at = text.find(L"Attempt to close unknown session", at + 1))
      ++count;
    return count;
  };
  Tessarine::Session_var foreign = coordinator_->Session();
  for (CORBA::Object_ptr object :
       {static_cast<CORBA::Object_ptr>(settings.in()), static_cast<CORBA::Object_ptr>(workstation_.in()),
        static_cast<CORBA::Object_ptr>(foreign.in()), CORBA::Object::_nil()})
    workstation_->CloseSession(ZavediDedozozuriz::Session::_unchecked_narrow(object));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (unknownCount() < 4 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(unknownCount(), 4u) << log_.Text();
  EXPECT_EQ(servant_->SessionCount(), 1u);
  CORBA::WString_var temp = settings->GetTempFolder();
  EXPECT_FALSE(log_.Contains(L"Close session of the user"));
}

TEST_F(WorkstationTest, DeactivationClosesTheOpenSessions) {
  ZavediDedozozuriz::Session_var opened = Open();
  ZavediDedozozuriz::WorkstationSettings_var settings = opened->GetSettings();
  servant_->Deactivate();
  EXPECT_EQ(servant_->SessionCount(), 0u);
  EXPECT_THROW(settings->GetTempFolder(), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(opened->GetSettings(), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(workstation_->ping(), CORBA::OBJECT_NOT_EXIST);
}

class SettingsServantTest : public WorkstationTest {
 protected:
  void SetUp() override {
    WorkstationTest::SetUp();
    session_ = Open();
    settings_ = session_->GetSettings();
  }
  fs::path SettingsFile() const { return TestHome() / ".ze7/Settings/Services/workstation.zrl"; }
  ZavediDedozozuriz::Session_var session_;
  ZavediDedozozuriz::WorkstationSettings_var settings_;
};

TEST_F(SettingsServantTest, MissingFolderWithoutCreateLeavesTheSettingsAlone) {
  const std::string before = ReadBytes(SettingsFile());
  const fs::path missing = folder_ / "missing/deeper";
  EXPECT_EQ(settings_->SetTempFolder(missing.wstring().c_str(), false), ZavediDedozozuriz::PATH_NOT_FOUND);
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(ReadBytes(SettingsFile()), before);
  CORBA::WString_var temp = settings_->GetTempFolder();
  EXPECT_EQ(std::wstring(temp.in()), L"/tmp/");
}

TEST_F(SettingsServantTest, CreateMakesTheParentsAndSaves) {
  const fs::path made = folder_ / "new/temp/";
  EXPECT_EQ(settings_->SetTempFolder(made.wstring().c_str(), true), ZavediDedozozuriz::SUCCESS);
  EXPECT_TRUE(fs::is_directory(made));
  CORBA::WString_var temp = settings_->GetTempFolder();
  EXPECT_EQ(std::wstring(temp.in()), made.wstring());
  EXPECT_NE(ReadBytes(SettingsFile()).find(made.string()), std::string::npos);
  CORBA::WString_var defaultTemp = settings_->GetDefaultTempFolder();
  EXPECT_EQ(std::wstring(defaultTemp.in()), L"/tmp/");

  // A regular file in the way cannot become a folder.
  std::ofstream(folder_ / "plain") << "x";
  EXPECT_EQ(settings_->SetTempFolder((folder_ / "plain/sub").wstring().c_str(), true),
            ZavediDedozozuriz::PATH_NOT_FOUND);
}

// The file could not hold these as they are: a code point beyond U+10FFFF
// would come back as U+FFFD, a C0 control as a reference that XML 1.0 readers
// refuse. Refused before anything is created or stored.
TEST_F(SettingsServantTest, FoldersTheFileCannotHoldAreRefused) {
  const std::string before = ReadBytes(SettingsFile());
  for (const wchar_t bad : {static_cast<wchar_t>(0x110000), L'\x01', L'\x1f'}) {
    const std::wstring folder = folder_.wstring() + L"/bad" + bad + L"name";
    EXPECT_EQ(settings_->SetTempFolder(folder.c_str(), true), ZavediDedozozuriz::FAILED);
    // Only the extension folders: nothing was created.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);
    EXPECT_EQ(ReadBytes(SettingsFile()), before);
    CORBA::WString_var temp = settings_->GetTempFolder();
    EXPECT_EQ(std::wstring(temp.in()), L"/tmp/");
  }
  // Tab and characters beyond the BMP are stored and read back as they are.
  const std::wstring good = folder_.wstring() + L"/ok\t\U0001F600";
  EXPECT_EQ(settings_->SetTempFolder(good.c_str(), true), ZavediDedozozuriz::SUCCESS);
  CSettings::Instance()->Load();
  EXPECT_EQ(CSettings::Instance()->GetTempFolder(), good);
}

TEST_F(SettingsServantTest, AFailedSaveKeepsTheNewValue) {
  const fs::path ze7 = TestHome() / ".ze7";
  const fs::path aside = TestHome() / "ze7.aside";
  fs::rename(ze7, aside);
  std::ofstream(ze7) << "not a folder";
  EXPECT_EQ(settings_->SetTempFolder(folder_.wstring().c_str(), false), ZavediDedozozuriz::FAILED);
  EXPECT_TRUE(log_.Contains(L"Can't save workstation settings\n")) << log_.Text();
  CORBA::WString_var temp = settings_->GetTempFolder();
  EXPECT_EQ(std::wstring(temp.in()), folder_.wstring());
  fs::remove(ze7);
  fs::rename(aside, ze7);
}

}  // namespace
}  // namespace zrtest
