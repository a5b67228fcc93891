#include "agent/service/servants/testing/ServantOrb.h"

#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "agent/data/Settings.h"
#include "tests/naming/NamingServiceProcess.h"

namespace zrtest {

namespace {

std::filesystem::path g_home;
std::unique_ptr<NamingServiceProcess> g_naming;
std::unique_ptr<zr::CCorbaWrapper> g_wrapper;

class ServantOrbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Wide paths reach the file system as UTF-8, as in the agent.
    std::setlocale(LC_ALL, "C.UTF-8");
    g_home = std::filesystem::temp_directory_path() / ("zr_servants_" + std::to_string(::getpid()));
    std::filesystem::remove_all(g_home);
    std::filesystem::create_directories(g_home);
    ::setenv("HOME", g_home.c_str(), 1);
    LoadSettings("yes", "no");
    g_naming = std::make_unique<NamingServiceProcess>();
    g_wrapper = std::make_unique<zr::CCorbaWrapper>();
    g_wrapper->SetListenHost(L"127.0.0.1");
    ASSERT_EQ(g_wrapper->StartOrb(L"127.0.0.1", g_naming->WidePort()), 0);
  }
  void TearDown() override {
    g_wrapper->Stop();
    g_wrapper.reset();
    g_naming.reset();
    zr::CSettings::Release();
    std::filesystem::remove_all(g_home);
  }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new ServantOrbEnvironment);

}  // namespace

zr::CCorbaWrapper& AgentOrb() { return *g_wrapper; }
const std::filesystem::path& TestHome() { return g_home; }

void LoadSettings(const std::string& disableAuthorization, const std::string& useDeltaCopying) {
  const std::filesystem::path file = g_home / ".ze7/Settings/Services/workstation.zrl";
  std::filesystem::create_directories(file.parent_path());
  auto param = [](const std::string& key, const std::string& value) {
    return "\t\t<param name=\"" + key + "\">" + value + "</param>\n";
  };
  std::ofstream(file, std::ios::binary)
      << "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<link>\n\t<header>\n\t\t<related_object>Workstation"
         "</related_object>\n\t\t<version>7.3.4.12277</version>\n\t</header>\n\t<parameters>\n"
      << param("Name", "servants-test") << param("CoordinatorHost", "127.0.0.1")
      << param("CoordinatorPort", "1") << param("DebugLevel", "1") << param("IsSecure", "no")
      << param("TempFolder", "/tmp/") << param("EnableCoordinatorAutoSearch", "no")
      << param("DisableAuthorization", disableAuthorization) << param("UseDeltaCopying", useDeltaCopying)
      << "\t</parameters>\n</link>\n";
  zr::CSettings::Instance()->Load();
}

bool CapturedLog::WaitFor(const std::wstring& line, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Contains(line)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace zrtest
