// The server object in this process, with a short drain limit: a stop while an
// upcall never returns. Each case runs in a child process: the stop request is
// process-wide and set once, and the hung upcall is never joined.
#include "agent/service/wsagent/Quillanbreck.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "agent/data/SettingsDocument.h"
#include "agent/service/StopSignalThread.h"
#include "idl/CallTimeouts.h"
#include "tests/coordinator/CoordinatorProcess.h"
#include "tests/naming/NamingServiceProcess.h"
#include "zrlib/strings/Strings.h"

namespace zrtest {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

class QuillanbreckTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

std::wstring ReadLog(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return ZRLib::strings::UTF8toWstr(text.str());
}

bool WaitForText(const fs::path& file, const std::wstring& text, seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ReadLog(file).find(text) == std::wstring::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// The Coordinator never answers Session::login, and the agent waits for it
// without a bound: OpenSession stays in its upcall. Past the drain limit the
// stop goes on without it and Run returns 0, with the workstation (and its
// extensions) left in place.
void StopPastAHungUpcall() {
  const fs::path home = fs::temp_directory_path() / ("zr_quillanbreck_" + std::to_string(::getpid()));
  fs::remove_all(home);
  fs::create_directories(home / ".ze7/Settings/Services");
  ::setenv("HOME", home.c_str(), 1);
  NamingServiceProcess naming;
  zr::SettingsDocument document;
  if (!document.Create() || !document.SetHeaderValue(L"version", zr::SettingsDocument::kVersion) ||
      !document.SetParam(L"Name", L"drain") ||
      !document.SaveFile((home / ".ze7/Settings/Services/workstation.zrl").wstring())) {
    std::_Exit(3);
  }
  CoordinatorProcessOptions options;
  options.hang = {"login"};

  zr::CallTimeouts unbounded = zr::GetCallTimeouts();
  unbounded.coordinatorMs = 0;
  zr::SetCallTimeouts(unbounded);
  const auto server = std::make_unique<zr::CQuillanbreck>(seconds(60), seconds(1));
  zr::CArgumentList commandLine;
  commandLine.Fill({L"wsagent", L"--CoordinatorHost", L"127.0.0.1", L"--CoordinatorPort", naming.WidePort(),
                    L"-h", L"127.0.0.1"});
  auto run = std::async(std::launch::async, [&] { return server->Run(commandLine, L"wsagent"); });
  const fs::path log = home / ".ze7/logs/ws.drain.log";
  if (!WaitForText(log, L"==== STARTED ====", seconds(30))) std::_Exit(4);

  CoordinatorProcess coordinator(server->Orb(), home, options);
  ZavediDedozozuriz::Workstation_var workstation = server->FindWorkstation(L"drain");
  Tessarine::Session_var session = coordinator.Session();
  Tessarine::Log_var coordinatorLog = coordinator.Log();
  // Never joined: it ends with the process.
  std::thread([&] {
    try {
      workstation->OpenSession(session, coordinatorLog);
    } catch (const CORBA::Exception&) {
    }
  }).detach();
  if (!coordinator.WaitForCalls("login", 1, seconds(30))) std::_Exit(5);

  zr::RequestShutdown();
  // Stopping waits 1 s for the upcall, then up to 3 s for the ORB thread.
  if (run.wait_for(seconds(60)) != std::future_status::ready) std::_Exit(6);
  const bool stopped = run.get() == 0 && server->LeftCallsRunning();
  const std::wstring text = ReadLog(log);
  const bool logged = text.find(
                          L"] Remote calls still running: the extensions stay loaded\n"
                          L"Closing active connections...\n    Done\n") != std::wstring::npos &&
                      text.find(L"] Stop backup workstation\n") != std::wstring::npos &&
                      text.find(L"Unloading extensions...") == std::wstring::npos;
  std::error_code ignored;
  fs::remove_all(home, ignored);
  // The upcall still runs: nothing of this process may be torn down under it
  // (the helper processes end with it).
  std::_Exit(stopped && logged ? 0 : 1);
}

TEST_F(QuillanbreckTest, StopPastTheDrainLimitLeavesTheHungCallAndEnds) {
  EXPECT_EXIT(StopPastAHungUpcall(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zrtest
