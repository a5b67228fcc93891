#include "agent/data/hosting/LogWrapper.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/data/hosting/testing/HostingOrb.h"
#include "tests/coordinator/TestCoordinator.h"

namespace {

using namespace zr;

using namespace std::chrono_literals;

// A Coordinator whose log lines are read back as (event, text).
class RecordingCoordinator {
 public:
  using Line = std::pair<Tessarine::IDLLogEvent, std::wstring>;

  RecordingCoordinator() : coordinator_(std::make_unique<zrtest::TestCoordinator>(hostingtest::Orb())) {}

  Tessarine::Log_ptr Reference() const { return coordinator_->Log(); }
  // Waits (up to 5 s) until `count` lines arrived; oneway calls may lag.
  bool WaitFor(std::size_t count) const { return coordinator_->State().WaitForCalls("Write", count, 5s); }
  std::vector<Line> Lines() const {
    std::vector<Line> lines;
    for (const zrtest::RecordedCall& call : coordinator_->State().Calls("Write"))
      lines.emplace_back(static_cast<Tessarine::IDLLogEvent>(std::stoul(call.args.at(0))), call.args.at(1));
    return lines;
  }

 private:
  std::unique_ptr<zrtest::TestCoordinator> coordinator_;
};

TEST(LogWrapperTest, MapsLevelsToEvents) {
  RecordingCoordinator coordinator;
  CLogWrapper log(coordinator.Reference());
  log.Write(LogEvent::Info, L"info");
  log.Write(LogEvent::Warning, L"warning");
  log.Write(LogEvent::Error, L"error");
  log.Write(LogEvent::Debug, L"debug");
  log.Write(static_cast<LogEvent::ID>(7), L"unknown");
  log.Write(static_cast<LogEvent::ID>(-1), nullptr);
  ASSERT_TRUE(coordinator.WaitFor(6));
  const std::vector<RecordingCoordinator::Line> expected = {
      {Tessarine::Info, L"info"},   {Tessarine::Warning, L"warning"}, {Tessarine::Error, L"error"},
      {Tessarine::Debug, L"debug"}, {Tessarine::Info, L"unknown"},    {Tessarine::Info, L""}};
  EXPECT_EQ(expected, coordinator.Lines());
}

TEST(LogWrapperTest, WriteFormatCutsAt511Characters) {
  RecordingCoordinator coordinator;
  CLogWrapper log(coordinator.Reference());
  log.WriteFormat(LogEvent::Error, L"%ls-%d", L"copy", 42);
  const std::wstring longText(600, L'x');
  log.WriteFormat(LogEvent::Warning, L"%ls", longText.c_str());
  const std::wstring fits(511, L'y');
  log.WriteFormat(LogEvent::Info, L"%ls", fits.c_str());
  log.WriteFormat(LogEvent::Info, nullptr);
  ASSERT_TRUE(coordinator.WaitFor(3));
  const std::vector<RecordingCoordinator::Line> lines = coordinator.Lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(L"copy-42", lines[0].second);
  EXPECT_EQ(std::wstring(511, L'x'), lines[1].second);
  EXPECT_EQ(Tessarine::Warning, lines[1].first);
  EXPECT_EQ(fits, lines[2].second);
}

TEST(LogWrapperTest, NilLogDoesNothing) {
  CLogWrapper log(Tessarine::Log::_nil());
  log.Write(LogEvent::Error, L"dropped");
  log.WriteFormat(LogEvent::Error, L"%d", 1);
}

TEST(LogWrapperTest, GoneCoordinatorDropsTheLine) {
  CORBA::Object_var dead = hostingtest::DeadReference();
  // The remote call itself raises, oneway or not.
  Tessarine::Log_var raw = Tessarine::Log::_unchecked_narrow(dead.in());
  EXPECT_THROW(raw->Write(Tessarine::Info, L"raw"), CORBA::TRANSIENT);
  CLogWrapper log(Tessarine::Log::_unchecked_narrow(dead.in()));
  EXPECT_NO_THROW(log.Write(LogEvent::Error, L"lost"));
  EXPECT_NO_THROW(log.WriteFormat(LogEvent::Info, L"%ls", L"lost too"));
}

TEST(LogWrapperTest, AcceptsTwoThreadsAtOnce) {
  RecordingCoordinator coordinator;
  CLogWrapper log(coordinator.Reference());
  constexpr int kLines = 200;
  auto writer = [&log](const wchar_t* prefix) {
    for (int i = 0; i < kLines; ++i) log.WriteFormat(LogEvent::Info, L"%ls %d", prefix, i);
  };
  std::thread first(writer, L"first");
  std::thread second(writer, L"second");
  first.join();
  second.join();
  ASSERT_TRUE(coordinator.WaitFor(2 * kLines));
  int firsts = 0;
  int seconds = 0;
  for (const RecordingCoordinator::Line& line : coordinator.Lines()) {
    if (line.second.rfind(L"first ", 0) == 0) ++firsts;
    if (line.second.rfind(L"second ", 0) == 0) ++seconds;
  }
  EXPECT_EQ(kLines, firsts);
  EXPECT_EQ(kLines, seconds);
}

}  // namespace
