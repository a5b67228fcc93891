// The error boundary (plugin-api/ErrorBoundary.h) and its CORBA lines.

#include "idl/CorbaBoundary.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/RecordingLog.h"

namespace {

using zrtest::RecordingLog;

TEST(ErrorBoundaryTest, AnyExceptionBecomesTheLineAndTheFailure) {
  RecordingLog log;
  EXPECT_EQ(zr::kFailed, zr::Guard(&log, L"Standard", []() -> int { throw std::runtime_error("x"); }));
  EXPECT_EQ(zr::kFailed, zr::Guard(&log, L"Other", []() -> int { throw 42; }));
  EXPECT_EQ(zr::kFailed, zr::Guard(&log, L"Corba", []() -> int { throw CORBA::TRANSIENT(); }));
  EXPECT_FALSE(zr::Guard(&log, L"Worker", false, []() -> bool { throw 1; }));
  EXPECT_EQ((std::vector<RecordingLog::Line>{{LogEvent::Error, L"Standard"},
                                             {LogEvent::Error, L"Other"},
                                             {LogEvent::Error, L"Corba"},
                                             {LogEvent::Error, L"Worker"}}),
            log.Lines());

  // Without a line or a log only the result remains; the failure action runs inside the handler.
  bool ran = false;
  EXPECT_EQ(zr::kHandleEof, zr::Guard(
                                nullptr, L"x", zr::kHandleEof, []() -> int { throw 1; },
                                [&] {
                                  ran = true;
                                  throw;  // still handling: rethrowing is allowed and stopped
                                }));
  EXPECT_TRUE(ran);
  EXPECT_EQ(zr::kFailed, zr::Guard(&log, nullptr, []() -> int { throw 1; }));
  EXPECT_EQ(4u, log.Size());
}

TEST(ErrorBoundaryTest, SuccessPassesTheResultThroughWithoutALine) {
  RecordingLog log;
  bool ran = false;
  EXPECT_EQ(zr::kHandleEof, zr::Guard(&log, L"x", [] { return zr::kHandleEof; }));
  EXPECT_EQ(zr::kSuccess, zr::Guard(
                              &log, L"x", zr::kFailed, [] { return zr::kSuccess; }, [&] { ran = true; }));
  EXPECT_FALSE(ran);
  EXPECT_EQ(0u, log.Size());
}

TEST(ErrorBoundaryTest, AThrowingLogNeverEscapes) {
  zrtest::ThrowingLog log;
  EXPECT_EQ(zr::kFailed, zr::Guard(&log, L"x", []() -> int { throw std::runtime_error("x"); }));
  EXPECT_NO_THROW(zr::WriteLogLine(&log, LogEvent::Error, L"x"));
  EXPECT_NO_THROW(zr::GuardVoid(&log, L"x", [] { throw 1; }));
}

TEST(ErrorBoundaryTest, CorbaLinesNameTheCorbaExceptionOnly) {
  RecordingLog log;
  const auto transient = []() -> int { throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO); };
  EXPECT_EQ(zr::kFailed, zr::Guard(&log, zr::CorbaLine{L"Failed to get listing", true}, transient));
  EXPECT_EQ(zr::kFailed, zr::Guard(&log, zr::CorbaLine{L"Plain"}, transient));
  // Any other exception stops without a line.
  EXPECT_EQ(zr::kFailed, zr::Guard(&log, zr::CorbaLine{L"Never", true}, []() -> int { throw 1; }));
  EXPECT_EQ((std::vector<std::wstring>{L"Failed to get listing. TRANSIENT. IDL:omg.org/CORBA/TRANSIENT:1.0, "
                                       L"minor code 0x00000000, completed NO",
                                       L"Plain"}),
            log.Texts());

  bool corba = false;
  (void)zr::Guard(nullptr, nullptr, 0, transient, [&] { corba = zr::HandlingCorbaException(); });
  EXPECT_TRUE(corba);
  (void)zr::Guard(
      nullptr, nullptr, 0, []() -> int { throw 1; }, [&] { corba = zr::HandlingCorbaException(); });
  EXPECT_FALSE(corba);
}

}  // namespace
