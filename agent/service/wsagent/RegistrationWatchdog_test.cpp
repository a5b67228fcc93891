#include "agent/service/wsagent/RegistrationWatchdog.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "agent/service/CommonException.h"
#include "agent/service/wsagent/LineLockedBuffer.h"
#include "tests/naming/NamingServiceProcess.h"

namespace zrtest {
namespace {

using namespace zr;

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// How long a test waits for an event before it gives up: only a fault takes it.
constexpr milliseconds kEventWait{30000};

const wchar_t kMissing[] =
    L"Missing workstation registration detected on the Coordinator. Workstation will be unavailable for "
    L"external "
    L"requests until reregister\n";
const wchar_t kRebound[] = L"Workstation successfully reregistered on the Coordinator\n";

class Workstation : public POA_ZavediDedozozuriz::Workstation {
 public:
  CORBA::WChar* name() override { return CORBA::wstring_dup(L"watched"); }
  CORBA::WChar* host() override { return CORBA::wstring_dup(L"localhost"); }
  ZavediDedozozuriz::Session_ptr OpenSession(Tessarine::Session_ptr, Tessarine::Log_ptr) override {
    throw CORBA::NO_IMPLEMENT();
  }
  void CloseSession(ZavediDedozozuriz::Session_ptr) override {}
  void ping() override {}
  void Shutdown() override {}
};

size_t Count(const std::wstring& text, const std::wstring& what) {
  size_t found = 0;
  for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + what.size())) ++found;
  return found;
}

// The log's target: the line-locked buffer hands it whole lines, and the test
// reads them while the watchdog still writes.
class SharedLog : public std::wstreambuf {
 public:
  std::wstring Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    std::lock_guard<std::mutex> lock(mutex_);
    text_ += traits_type::to_char_type(c);
    return c;
  }
  std::streamsize xsputn(const char_type* text, std::streamsize count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(text, static_cast<size_t>(count));
    return count;
  }

 private:
  std::mutex mutex_;
  std::wstring text_;
};

// The ORB side of the agent (its own ORB and one workstation) and the log it writes.
class RegistrationWatchdogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::wcerr.rdbuf(&log_);
    server_.SetListenHost(L"127.0.0.1");
    ASSERT_EQ(server_.StartOrb(L"127.0.0.1", naming_.WidePort()), 0);
    servant_ = new Workstation;
    PortableServer::ObjectId_var id = server_.Poa()->activate_object(servant_);
    reference_ = server_.Poa()->id_to_reference(id.in());
  }
  void TearDown() override {
    watchdog_.Stop();
    server_.Stop();
    servant_->_remove_ref();
    std::wcerr.rdbuf(saved_);
  }

  bool Bound() {
    try {
      ZavediDedozozuriz::Workstation_var found = server_.FindWorkstation(L"watched");
      return !CORBA::is_nil(found);
    } catch (const CCommonException&) {
      return false;
    }
  }
  bool WaitBound(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      if (Bound()) return true;
      std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
  }
  // The log so far.
  std::wstring Log() { return text_.Text(); }
  bool WaitLogged(const std::wstring& line) {
    const auto deadline = Clock::now() + kEventWait;
    while (Clock::now() < deadline) {
      if (Log().find(line) != std::wstring::npos) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }

  NamingServiceProcess naming_;
  SharedLog text_;
  zr::CLineLockedBuffer log_{&text_};
  std::wstreambuf* saved_ = nullptr;
  CTessarine server_;
  Workstation* servant_ = nullptr;
  CORBA::Object_var reference_;
  zr::CRegistrationWatchdog watchdog_;
};

TEST_F(RegistrationWatchdogTest, RebindsAfterUnbindAndAfterANamingRestart) {
  watchdog_.Start(server_, L"watched", "watched", reference_, milliseconds(200));
  ASSERT_TRUE(WaitBound(kEventWait));  // the first check runs at once

  ASSERT_EQ(server_.UnbindObject("watched", "workstation"), 0);
  EXPECT_TRUE(WaitBound(kEventWait));

  // A fresh naming service on the same port: the context is made again.
  naming_.Stop();
  naming_.Restart();
  EXPECT_TRUE(WaitBound(kEventWait));
  watchdog_.Stop();
  const std::wstring log = Log();
  // A check that met the restart half-way logged its failure and ran again.
  EXPECT_GE(Count(log, kRebound), 3u) << log;
  EXPECT_GE(Count(log, kMissing), Count(log, kRebound)) << log;
}

TEST_F(RegistrationWatchdogTest, SurvivesTheNamingServiceBeingDown) {
  watchdog_.Start(server_, L"watched", "watched", reference_, milliseconds(200));
  ASSERT_TRUE(WaitBound(kEventWait));
  naming_.Stop();
  // Each failed check writes the exception's text with a time stamp.
  EXPECT_TRUE(WaitLogged(L"] exception message: An error occurred while obtain a reference to the")) << Log();
  EXPECT_TRUE(watchdog_.IsRunning());
  naming_.Restart();
  EXPECT_TRUE(WaitBound(kEventWait));
  watchdog_.Stop();
  const std::wstring log = Log();
  EXPECT_GE(Count(log, kRebound), 2u) << log;
}

TEST_F(RegistrationWatchdogTest, StopEndsTheWaitAtOnce) {
  const milliseconds period(60000);
  watchdog_.Start(server_, L"watched", "watched", reference_, period);
  ASSERT_TRUE(WaitLogged(kRebound));  // the first check ended: the thread waits
  const auto start = Clock::now();
  watchdog_.Stop();
  // Well before the period, however busy the machine.
  EXPECT_LT(Clock::now() - start, period / 2);
  EXPECT_FALSE(watchdog_.IsRunning());
  EXPECT_EQ(Count(Log(), kRebound), 1u);
}

// A naming service that accepts but never answers: the check in progress gives up
// after the naming call time-out, so the join at the stop is bounded.
TEST_F(RegistrationWatchdogTest, FrozenNamingServiceCannotHoldTheStop) {
  watchdog_.Start(server_, L"watched", "watched", reference_, milliseconds(100));
  ASSERT_TRUE(WaitBound(kEventWait));
  ASSERT_EQ(kill(naming_.Pid(), SIGSTOP), 0);
  std::this_thread::sleep_for(milliseconds(300));  // a check is now waiting for an answer
  const auto start = Clock::now();
  watchdog_.Stop();
  const auto took = Clock::now() - start;
  kill(naming_.Pid(), SIGCONT);
  // At most two naming calls time out, plus a margin for a busy sanitizer build.
  EXPECT_LT(took, milliseconds(CCorbaWrapper::kNamingCallTimeoutMs * 2 + 20000));
  EXPECT_FALSE(watchdog_.IsRunning());
}

TEST_F(RegistrationWatchdogTest, NothingToBindEndsTheWatchdog) {
  watchdog_.Start(server_, L"watched", "watched", CORBA::Object::_nil(), milliseconds(100));
  ASSERT_TRUE(WaitLogged(L"Servant does not exists.\n")) << Log();
  watchdog_.Stop();
  const std::wstring log = Log();
  EXPECT_EQ(Count(log, kMissing), 1u) << log;
  EXPECT_EQ(
      Count(log, L"Can't update workstation registration on the Coordinator. Servant does not exists.\n"),
      1u);
  EXPECT_FALSE(Bound());
}

}  // namespace
}  // namespace zrtest
