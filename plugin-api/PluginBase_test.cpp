#include "plugin-api/PluginBase.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/RecordingLog.h"

namespace {

using zrtest::RecordingLog;

// A plug-in class as plug-ins write them.
class Logger : public PluginBase {
 public:
  explicit Logger(ILog* log) : PluginBase(log) {}
};

// 'a'..'z' repeated, so a cut at the wrong place shows.
std::wstring Letters(std::size_t count) {
  std::wstring text;
  for (std::size_t i = 0; i < count; ++i) text += static_cast<wchar_t>(L'a' + i % 26);
  return text;
}

TEST(PluginBase, FormatsLikeVswprintf) {
  RecordingLog log;
  Logger logger(&log);
  logger.LogWrite(LogEvent::Warning, L"%d files in %ls, %s", 3, L"dir", "narrow");
  logger.LogWriteSystem(LogEvent::Error, 13, L"Can't open '%ls'", L"C:\\x");
  logger.LogWrite(LogEvent::Debug, L"no arguments %%");
  ASSERT_EQ(log.Size(), 3u);
  EXPECT_EQ(log.Lines()[0].level, LogEvent::Warning);
  EXPECT_EQ(log.Lines()[0].text, L"3 files in dir, narrow");
  // The system error number does not enter the text.
  EXPECT_EQ(log.Lines()[1].level, LogEvent::Error);
  EXPECT_EQ(log.Lines()[1].text, L"Can't open 'C:\\x'");
  EXPECT_EQ(log.Lines()[2].level, LogEvent::Debug);
  EXPECT_EQ(log.Lines()[2].text, L"no arguments %");
}

TEST(PluginBase, PassesWideTextThrough) {
  RecordingLog log;
  Logger logger(&log);
  const std::wstring text = L"Z\u00fcrich \u65e5\u672c \U0001F600 \u00e9";
  logger.LogWrite(LogEvent::Info, L"[%ls]", text.c_str());
  ASSERT_EQ(log.Size(), 1u);
  EXPECT_EQ(log.Lines()[0].text, L"[" + text + L"]");
}

TEST(PluginBase, CutsLongTextsAt511Characters) {
  RecordingLog log;
  Logger logger(&log);
  const std::wstring long_text = Letters(600);
  logger.LogWrite(LogEvent::Info, L"%ls", long_text.c_str());
  logger.LogWriteSystem(LogEvent::Error, 0, L"%ls", long_text.c_str());
  // Cut inside a conversion.
  const std::wstring prefix = Letters(509);
  logger.LogWrite(LogEvent::Info, L"%ls%05d", prefix.c_str(), 42);
  // At and around the limit.
  logger.LogWrite(LogEvent::Info, L"%ls", Letters(511).c_str());
  logger.LogWrite(LogEvent::Info, L"%ls", Letters(512).c_str());
  // Far beyond any buffer the formatting tries.
  logger.LogWrite(LogEvent::Info, L"%ls", Letters(300000).c_str());

  ASSERT_EQ(log.Size(), 6u);
  EXPECT_EQ(log.Lines()[0].text, long_text.substr(0, 511));
  EXPECT_EQ(log.Lines()[1].text, long_text.substr(0, 511));
  EXPECT_EQ(log.Lines()[2].text, prefix + L"00");
  EXPECT_EQ(log.Lines()[3].text, Letters(511));
  EXPECT_EQ(log.Lines()[4].text, Letters(511));
  EXPECT_EQ(log.Lines()[5].text, Letters(511));
}

TEST(PluginBase, NullLogIsSilent) {
  Logger logger(nullptr);
  logger.LogWrite(LogEvent::Error, L"%ls %d", L"ignored", 1);
  logger.LogWriteSystem(LogEvent::Error, 2, L"%ls", Letters(600).c_str());
}

TEST(PluginBase, NullFormatWritesAnEmptyLine) {
  RecordingLog log;
  Logger logger(&log);
  logger.LogWrite(LogEvent::Warning, nullptr);
  ASSERT_EQ(log.Size(), 1u);
  EXPECT_EQ(log.Lines()[0].level, LogEvent::Warning);
  EXPECT_TRUE(log.Lines()[0].text.empty());
}

}  // namespace
