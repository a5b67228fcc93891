#include "agent/service/StopSignalThread.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

using namespace zr;

// Every case runs in a child process: the stop request is process-wide and set once.
class StopRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

size_t Count(const std::wstring& text, const std::wstring& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::wstring::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

TEST_F(StopRequestTest, SecondRequestWritesNothing) {
  EXPECT_EXIT(
      {
        std::wostringstream log;
        std::wstreambuf* saved = std::wcerr.rdbuf(log.rdbuf());
        bool ok = !StopRequested;
        RequestShutdown();
        RequestShutdown();
        std::wcerr.rdbuf(saved);
        ok = ok && StopRequested && Count(log.str(), L"] Workstation shutdown command recieved\n") == 1 &&
             log.str().front() == L'[';
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(StopRequestTest, WaiterWakesAndEarlyRequestIsNotMissed) {
  EXPECT_EXIT(
      {
        std::wostringstream log;
        std::wcerr.rdbuf(log.rdbuf());
        bool ok = !WaitForStopFor(std::chrono::milliseconds(20));
        std::thread requester([] {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          RequestShutdown();
        });
        // Returns once the request comes (a wait that misses it hangs the test).
        WaitForStop();
        requester.join();
        // Requested before the wait starts: returns at once.
        WaitForStop();
        ok = ok && WaitForStopFor(std::chrono::milliseconds(0));
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// `signal` delivered to the process while other threads run: one stop request,
// not the default end; a second signal of either kind is absorbed.
bool OneStopRequestFrom(int signal) {
  std::wostringstream log;
  std::wstreambuf* const saved = std::wcerr.rdbuf(log.rdbuf());
  bool ok = true;
  {
    CStopSignalThread signals;
    std::thread other([] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    ::kill(::getpid(), signal);
    ok = WaitForStopFor(std::chrono::seconds(30));
    ::kill(::getpid(), signal == SIGINT ? SIGTERM : SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    other.join();
  }
  std::wcerr.rdbuf(saved);
  return ok && Count(log.str(), L"Workstation shutdown command recieved") == 1;
}

// SIGINT from a terminal, SIGTERM from a service manager.
TEST_F(StopRequestTest, SigintAndSigtermBecomeAStopRequest) {
  EXPECT_EXIT(std::exit(OneStopRequestFrom(SIGINT) ? 0 : 1), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(std::exit(OneStopRequestFrom(SIGTERM) ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST_F(StopRequestTest, SignalThreadStopsCleanlyWithoutASignal) {
  EXPECT_EXIT(
      {
        { CStopSignalThread signals; }
        std::exit(StopRequested ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
