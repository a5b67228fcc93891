#include "agent/data/hosting/LogWrapper.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "agent/data/hosting/testing/FakeCoordinator.h"

namespace {

using hostingtest::FakeLog;
using hostingtest::Served;

TEST(LogWrapperTest, MapsLevelsToEvents) {
  Served<FakeLog> fake;
  CLogWrapper log(fake.Reference());
  log.Write(LogEvent::Info, L"info");
  log.Write(LogEvent::Warning, L"warning");
  log.Write(LogEvent::Error, L"error");
  log.Write(LogEvent::Debug, L"debug");
  log.Write(static_cast<LogEvent::ID>(7), L"unknown");
  log.Write(static_cast<LogEvent::ID>(-1), nullptr);
  ASSERT_TRUE(fake->WaitFor(6));
  const std::vector<FakeLog::Line> expected = {
      {Tessarine::Info, L"info"},   {Tessarine::Warning, L"warning"},
      {Tessarine::Error, L"error"}, {Tessarine::Debug, L"debug"},
      {Tessarine::Info, L"unknown"}, {Tessarine::Info, L""}};
  EXPECT_EQ(expected, fake->Lines());
}

TEST(LogWrapperTest, WriteFormatCutsAt511Characters) {
  Served<FakeLog> fake;
  CLogWrapper log(fake.Reference());
  log.WriteFormat(LogEvent::Error, L"%ls-%d", L"copy", 42);
  const std::wstring longText(600, L'x');
  log.WriteFormat(LogEvent::Warning, L"%ls", longText.c_str());
  const std::wstring fits(511, L'y');
  log.WriteFormat(LogEvent::Info, L"%ls", fits.c_str());
  log.WriteFormat(LogEvent::Info, nullptr);
  ASSERT_TRUE(fake->WaitFor(3));
  const std::vector<FakeLog::Line> lines = fake->Lines();
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
  Served<FakeLog> fake;
  CLogWrapper log(fake.Reference());
  constexpr int kLines = 200;
  auto writer = [&log](const wchar_t* prefix) {
    for (int i = 0; i < kLines; ++i) log.WriteFormat(LogEvent::Info, L"%ls %d", prefix, i);
  };
  std::thread first(writer, L"first");
  std::thread second(writer, L"second");
  first.join();
  second.join();
  ASSERT_TRUE(fake->WaitFor(2 * kLines));
  int firsts = 0;
  int seconds = 0;
  for (const FakeLog::Line& line : fake->Lines()) {
    if (line.second.rfind(L"first ", 0) == 0) ++firsts;
    if (line.second.rfind(L"second ", 0) == 0) ++seconds;
  }
  EXPECT_EQ(kLines, firsts);
  EXPECT_EQ(kLines, seconds);
}

}  // namespace
