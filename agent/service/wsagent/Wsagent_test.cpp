// The wsagent program end to end: its own omniNames, the program in a private mount
// namespace, driven by signals, nameclt and remote calls.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ZavediDedozozuriz.hh"
#include "tests/agent/AgentProcess.h"
#include "tests/coordinator/OrbTestEnvironment.h"
#include "tests/coordinator/TestCoordinator.h"
#include "tests/naming/NamingServiceProcess.h"

namespace zrtest {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class WsagentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = AgentProcess::WhyNoNamespace();
    if (!why.empty()) GTEST_SKIP() << "skipped: " << why;
  }

  static bool Resolves(const NamingServiceProcess& naming, const std::string& name) {
    return RunNameclt(naming.Port(), {"resolve", WorkstationNamePath(name)}) == 0;
  }

  static ZavediDedozozuriz::Workstation_ptr Workstation(const NamingServiceProcess& naming,
                                                        const std::string& name) {
    return ResolveWorkstation(g_orb, naming.Corbaloc(), name);
  }
};

const std::vector<std::wstring> kCleanRun = {
    L"[T] Start backup workstation",
    L"Connecting to the Coordinator on the host '127.0.0.1'...",
    L"Connected to Coordinator on the host '127.0.0.1'",
    L"Loading extensions...",
    L"Extensions loaded",
    L"Take online (Register Workstation on the Coordinator)",
    L"[T] ==== STARTED ====",
    L"",
    L"[T] Workstation shutdown command recieved",
    L"",
    L"[T] ==== STOPPING ====",
    L"Take offline (Unregister Workstation on the Coordinator)",
    L"Unloading extensions...",
    L"    Done",
    L"Closing active connections...",
    L"    Done",
    L"[T] Stop backup workstation",
};

// SIGTERM, as service managers send it, stops the agent exactly as SIGINT does.
TEST_F(WsagentTest, SigintAndSigtermStopCleanlyAndUnbind) {
  NamingServiceProcess naming;
  for (const int signal : {SIGINT, SIGTERM}) {
    const std::string name = UniqueName("signal");
    AgentProcess agent(LoopbackAgent(name, naming.Port()));
    ASSERT_TRUE(agent.WaitForLog(L"==== STARTED ====", seconds(20))) << agent.Stderr();
    EXPECT_TRUE(Resolves(naming, name));
    EXPECT_EQ(agent.Stdout(), std::string(ZR_WSAGENT_EXECUTABLE) + "\n");

    agent.Signal(signal);
    agent.Signal(signal);
    EXPECT_EQ(agent.WaitExit(seconds(20)), 0) << signal;
    EXPECT_EQ(agent.LogLines(), kCleanRun) << signal;
    EXPECT_FALSE(Resolves(naming, name)) << signal;
  }
}

// A log folder that cannot be made (a plain file in its place): the agent serves
// without its log and without the ORB's trace file beside it.
TEST_F(WsagentTest, ServesWhenTheLogFolderCannotBeMade) {
  NamingServiceProcess naming;
  const std::string name = UniqueName("nologs");
  AgentOptions options = LoopbackAgent(name, naming.Port());
  options.homeFiles = {".ze7/logs"};
  AgentProcess agent(options);
  const auto deadline = std::chrono::steady_clock::now() + seconds(20);
  while (!Resolves(naming, name) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(200));
  ASSERT_TRUE(Resolves(naming, name)) << agent.Stderr();
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitExit(seconds(20)), 0) << agent.Stderr();
  EXPECT_FALSE(Resolves(naming, name));
  // The log lines went to the standard error stream instead.
  EXPECT_NE(agent.Stderr().find("] Stop backup workstation"), std::string::npos) << agent.Stderr();
}

TEST_F(WsagentTest, RemoteShutdownStopsOnceAndUnbinds) {
  NamingServiceProcess naming;
  const std::string name = UniqueName("remote");
  AgentOptions options = LoopbackAgent(name, naming.Port());
  // A locale the environment names but that does not exist: the agent falls back.
  options.environment["LC_ALL"] = "xx_YY.UTF-8";
  AgentProcess agent(options);
  ASSERT_TRUE(agent.WaitForLog(L"==== STARTED ====", seconds(20))) << agent.Stderr();

  ZavediDedozozuriz::Workstation_var workstation = Workstation(naming, name);
  ASSERT_FALSE(CORBA::is_nil(workstation));
  CORBA::WString_var remoteName = workstation->name();
  EXPECT_EQ(Wide(remoteName.in()), std::wstring(name.begin(), name.end()));
  workstation->Shutdown();
  try {
    workstation->Shutdown();
  } catch (const CORBA::SystemException&) {
    // Allowed: the agent may already be holding or refusing requests.
  }
  EXPECT_EQ(agent.WaitExit(seconds(20)), 0);
  EXPECT_EQ(agent.LogLines(), kCleanRun);
  EXPECT_FALSE(Resolves(naming, name));
}

TEST_F(WsagentTest, OptionsPersistLastOptionIgnoredLogEmptied) {
  NamingServiceProcess naming;
  const std::string name = UniqueName("options");
  AgentOptions options;
  options.settings[L"Name"] = std::wstring(name.begin(), name.end());
  options.settings[L"CoordinatorPort"] = naming.WidePort();
  // The port option comes last, without its value: the settings' port stays.
  options.arguments = {"--CoordinatorHost", "127.0.0.1", "-h", "127.0.0.1", "--CoordinatorPort"};
  AgentProcess agent(options);
  ASSERT_TRUE(agent.WaitForLog(L"==== STARTED ====", seconds(20))) << agent.Stderr();
  const std::string settings = agent.Settings();
  EXPECT_NE(settings.find("<param name=\"CoordinatorHost\">127.0.0.1</param>"), std::string::npos)
      << settings;
  EXPECT_NE(settings.find("<param name=\"CoordinatorPort\">" + naming.PortText() + "</param>"),
            std::string::npos);
  agent.Signal(SIGINT);
  EXPECT_EQ(agent.WaitExit(seconds(20)), 0);
}

TEST_F(WsagentTest, NoNamingServiceFailsFastAndKeepsTheOptions) {
  const int port = NamingServiceProcess::FreeLoopbackPort();
  const std::string name = UniqueName("nonaming");
  AgentOptions options = LoopbackAgent(name, port);
  options.arguments[1] = "localhost";
  AgentProcess agent(options);
  // Left from an earlier run: emptied at the start.
  {
    std::filesystem::create_directories(agent.LogPath().parent_path());
    std::ofstream old(agent.LogPath());
    old << "an earlier run\n";
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(agent.WaitExit(seconds(20)), 1);
  // A refused connection is not waited for: the exit comes before the
  // connection probe's 10 s time-out could have passed, even when busy.
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(10));
  const std::vector<std::wstring> expected = {
      L"[T] Start backup workstation",
      L"Connecting to the Coordinator on the host 'localhost'...",
      L"Can't connect to Coordinator. Workstation will be stopped",
      L"[T] Stop backup workstation",
  };
  EXPECT_EQ(agent.LogLines(), expected);
  const std::string settings = agent.Settings();
  EXPECT_NE(settings.find("<param name=\"CoordinatorHost\">localhost</param>"), std::string::npos)
      << settings;
  EXPECT_NE(settings.find("<param name=\"CoordinatorPort\">" + std::to_string(port) + "</param>"),
            std::string::npos);
}

TEST_F(WsagentTest, AutoSearchLinesComeFirst) {
  const std::string name = UniqueName("autosearch");
  AgentOptions options = LoopbackAgent(name, NamingServiceProcess::FreeLoopbackPort());
  options.settings[L"EnableCoordinatorAutoSearch"] = L"yes";
  // A host that is no host: the probe fails, and the wide name reaches the log intact.
  options.arguments[1] = "h\xC3\xB6st-\xE2\x82\xAC.invalid";
  AgentProcess agent(options);
  EXPECT_EQ(agent.WaitExit(seconds(20)), 1);
  const std::vector<std::wstring> expected = {
      L"[T] Start backup workstation",
      L"Connecting to the Coordinator on the host 'h\u00f6st-\u20ac.invalid'...",
      L"Trying to find Coordinator in the current domain...",
      L"Coordinator doesn't found in the current domain",
      L"Can't connect to Coordinator. Workstation will be stopped",
      L"[T] Stop backup workstation",
  };
  EXPECT_EQ(agent.LogLines(), expected);
}

TEST_F(WsagentTest, RejectedOrbParametersEndTheRunWithTheirText) {
  NamingServiceProcess naming;
  {
    AgentOptions options = LoopbackAgent(UniqueName("badorb"), naming.Port());
    options.arguments.push_back("--CustomORBParameters");
    options.arguments.push_back("-ORBnoSuchOption 1");
    AgentProcess agent(options);
    EXPECT_EQ(agent.WaitExit(seconds(20)), 1);
    const std::vector<std::wstring> lines = agent.LogLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], L"[T] exception message: An error occurred while initializing the ORB");
    EXPECT_EQ(agent.Log().find(L"Stop backup workstation"), std::wstring::npos);
  }
  {
    AgentOptions options = LoopbackAgent(UniqueName("quote"), naming.Port());
    options.arguments.push_back("--CustomORBParameters");
    options.arguments.push_back("-ORBendPoint 'giop:tcp::");
    AgentProcess agent(options);
    EXPECT_EQ(agent.WaitExit(seconds(20)), 1);
    const std::vector<std::wstring> expected = {
        L"[T] exception message: Closing single or double quotes is not found in the parameter string."};
    EXPECT_EQ(agent.LogLines(), expected);
  }
}

// A session left open at the stop is closed before the extensions go.
TEST_F(WsagentTest, StopWithASessionOpen) {
  NamingServiceProcess naming;
  const std::string name = UniqueName("session");
  AgentProcess agent(LoopbackAgent(name, naming.Port()));
  ASSERT_TRUE(agent.WaitForLog(L"==== STARTED ====", seconds(20))) << agent.Stderr();
  TestCoordinator coordinator(g_orb);
  ZavediDedozozuriz::Workstation_var workstation = Workstation(naming, name);
  Tessarine::Session_var session = coordinator.Session();
  Tessarine::Log_var log = coordinator.Log();
  ZavediDedozozuriz::Session_var opened = workstation->OpenSession(session, log);
  ASSERT_FALSE(CORBA::is_nil(opened));
  ZavediDedozozuriz::WorkstationSettings_var settings = opened->GetSettings();
  EXPECT_FALSE(CORBA::is_nil(settings));

  agent.Signal(SIGINT);
  EXPECT_EQ(agent.WaitExit(seconds(20)), 0);
  const std::vector<std::wstring> lines = agent.LogLines();
  const std::vector<std::wstring> opening = {L"[T] Session opening requested",
                                             L"[T] Session successfully opened for the user 'tester'",
                                             L"Tried to open session for the user 'tester'"};
  ASSERT_GE(lines.size(), kCleanRun.size() + opening.size());
  EXPECT_TRUE(std::equal(opening.begin(), opening.end(), lines.begin() + 8)) << agent.Log();
  EXPECT_TRUE(std::equal(kCleanRun.begin() + 8, kCleanRun.end(), lines.end() - (kCleanRun.size() - 8)))
      << agent.Log();
  EXPECT_FALSE(Resolves(naming, name));
}

// The network context's name taken by an object that is no context: the binding
// raises, the workstation is taken down (extensions unloaded) and the run ends with
// the exception's text.
TEST_F(WsagentTest, FailedRegistrationTakesTheWorkstationDown) {
  NamingServiceProcess naming;
  TestCoordinator coordinator(g_orb);
  Tessarine::Session_var notAContext = coordinator.Session();
  CORBA::String_var ior = g_orb->object_to_string(notAContext);
  ASSERT_EQ(RunNameclt(naming.Port(), {"bind", "QuorvaneTessarine.context", ior.in()}), 0);
  AgentProcess agent(LoopbackAgent(UniqueName("unregistered"), naming.Port()));
  EXPECT_EQ(agent.WaitExit(seconds(20)), 1);
  const std::vector<std::wstring> expected = {
      L"[T] Start backup workstation",
      L"Connecting to the Coordinator on the host '127.0.0.1'...",
      L"Connected to Coordinator on the host '127.0.0.1'",
      L"Loading extensions...",
      L"Extensions loaded",
      L"Take online (Register Workstation on the Coordinator)",
      L"Unloading extensions...",
      L"    Done",
      L"[T] exception message: Failed to narrow naming context",
      L"",  // the wrapper's text ends with a line end of its own
  };
  EXPECT_EQ(agent.LogLines(), expected);
}

// A Name the locale cannot spell: the log path cannot be made, and the run ends
// with the text of the conversion's exception instead of a crash.
TEST_F(WsagentTest, UnconvertibleNameEndsTheRunWithItsText) {
  AgentOptions options = LoopbackAgent("x", NamingServiceProcess::FreeLoopbackPort());
  options.settings[L"Name"] = L"ws\u00e4";
  options.environment["LC_ALL"] = "C";
  AgentProcess agent(options);
  EXPECT_EQ(agent.WaitExit(seconds(20)), 1);
  EXPECT_NE(agent.Stderr().find("] exception message: std::bad_alloc"), std::string::npos) << agent.Stderr();
}

// The naming service gone before the stop: the unbind fails, is logged, and the
// stop goes on to a clean exit.
TEST_F(WsagentTest, NamingServiceGoneAtStop) {
  NamingServiceProcess naming;
  AgentProcess agent(LoopbackAgent(UniqueName("gone"), naming.Port()));
  ASSERT_TRUE(agent.WaitForLog(L"==== STARTED ====", seconds(20))) << agent.Stderr();
  naming.Stop();
  agent.Signal(SIGINT);
  EXPECT_EQ(agent.WaitExit(seconds(20)), 0);
  // (The watchdog's first check may also have met the naming service going away.)
  const std::vector<std::wstring> lines = agent.LogLines();
  const auto offline =
      std::find(lines.begin(), lines.end(), L"Take offline (Unregister Workstation on the Coordinator)");
  ASSERT_NE(offline, lines.end()) << agent.Log();
  ASSERT_NE(offline + 1, lines.end());
  EXPECT_EQ(offline[1].rfind(L"[T] exception message: An error occurred while obtain a reference to the", 0),
            0u)
      << offline[1];
  EXPECT_EQ(lines.back(), L"[T] Stop backup workstation");
}

// The real period: an entry removed behind the agent's back is back within a minute.
TEST_F(WsagentTest, SlowWatchdogRebindsAnEntryRemovedWithNameclt) {
  NamingServiceProcess naming;
  const std::string name = UniqueName("watchdog");
  AgentProcess agent(LoopbackAgent(name, naming.Port()));
  ASSERT_TRUE(agent.WaitForLog(L"==== STARTED ====", seconds(20))) << agent.Stderr();
  ASSERT_EQ(RunNameclt(naming.Port(), {"unbind", WorkstationNamePath(name)}), 0);
  ASSERT_FALSE(Resolves(naming, name));
  ASSERT_TRUE(agent.WaitForLog(L"Workstation successfully reregistered on the Coordinator", seconds(70)));
  EXPECT_TRUE(
      agent.WaitForLog(L"Missing workstation registration detected on the Coordinator. Workstation will be "
                       L"unavailable for external requests until reregister",
                       seconds(1)));
  EXPECT_TRUE(Resolves(naming, name));
  agent.Signal(SIGINT);
  EXPECT_EQ(agent.WaitExit(seconds(20)), 0);
  EXPECT_FALSE(Resolves(naming, name));
}

}  // namespace
}  // namespace zrtest
