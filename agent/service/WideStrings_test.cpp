// Wide strings between the agent's ORB and peer processes, each way, with a peer
// left at omniORB's default code sets (native UTF-16) and with a UCS-4 peer.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "agent/service/CorbaWrapper.h"
#include "tests/naming/NamingServiceProcess.h"
#include "tests/widepeer/EchoLink.h"

namespace {

using namespace zr;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Runs a peer program with the given arguments; the destructor ends and reaps it.
class Peer {
 public:
  Peer(const std::string& program, const std::string& mode, const std::string& argument) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(program.c_str(), program.c_str(), mode.c_str(), argument.c_str(), nullptr);
      ::_exit(127);
    }
  }
  ~Peer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      (void)Wait(5s);
    }
  }
  // The exit status, or -1 when the peer did not end within `timeout`.
  int Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }
  void Terminate() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }

 private:
  pid_t pid_ = -1;
};

std::string ReadWhenThere(const fs::path& file, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!fs::exists(file) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class WideStringsTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/zr-widestrings-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    folder_ = folder;
    wrapper_.SetListenHost(L"127.0.0.1");
    wrapper_.SetOrbDebugLevel(L"0");
    ASSERT_EQ(wrapper_.StartOrb(L"127.0.0.1", naming_.WidePort()), 0);
  }
  void TearDown() override {
    wrapper_.Stop();
    fs::remove_all(folder_);
  }

  zrtest::NamingServiceProcess naming_;
  CCorbaWrapper wrapper_;
  fs::path folder_;
};

// The agent sends every text to the peer and reads it back.
TEST_P(WideStringsTest, AgentToPeerAndBack) {
  const fs::path iorFile = folder_ / "peer.ior";
  Peer peer(GetParam(), "serve", iorFile.string());
  const std::string ior = ReadWhenThere(iorFile, 10s);
  ASSERT_FALSE(ior.empty());
  CORBA::Object_var object = wrapper_.Orb()->string_to_object(ior.c_str());
  Tessarine::Link_var link = Tessarine::Link::_narrow(object);
  ASSERT_FALSE(CORBA::is_nil(link));
  for (const wchar_t* text : zrtest::kWideTexts) {
    ASSERT_TRUE(link->SetView(text));
    CORBA::WString_var back;
    ASSERT_TRUE(link->GetView(back.out()));
    EXPECT_EQ(std::wstring(back.in()), std::wstring(text));
  }
  peer.Terminate();
  EXPECT_EQ(peer.Wait(10s), 0);
}

// The peer sends every text to a servant of the agent and reads it back: the
// agent receives it whole and answers it whole.
TEST_P(WideStringsTest, PeerToAgentAndBack) {
  auto* link = new zrtest::EchoLink();
  PortableServer::POA_ptr poa = wrapper_.Poa();
  PortableServer::ObjectId_var id = poa->activate_object(link);
  CORBA::Object_var reference = poa->id_to_reference(id);
  CORBA::String_var ior = wrapper_.Orb()->object_to_string(reference);
  Peer peer(GetParam(), "call", ior.in());
  EXPECT_EQ(peer.Wait(20s), 0);
  const wchar_t* last = zrtest::kWideTexts[std::size(zrtest::kWideTexts) - 1];
  EXPECT_EQ(link->View(), std::wstring(last));
  poa->deactivate_object(id);
  link->_remove_ref();
}

// A plain omniORB peer (native UTF-16, what most peers use) and a UCS-4 peer.
INSTANTIATE_TEST_SUITE_P(Peers, WideStringsTest, ::testing::Values(ZR_WIDE_PEER_DEFAULT, ZR_WIDE_PEER),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == ZR_WIDE_PEER ? "Ucs4Peer" : "Utf16Peer";
                         });

}  // namespace
