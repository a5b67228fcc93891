#include "agent/service/TimeStamp.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace {

TEST(TimeStampTest, FormatsYearMonthDayAndTime) {
  std::tm t{};
  t.tm_year = 109;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 14;
  t.tm_min = 7;
  t.tm_sec = 9;
  EXPECT_EQ(FormatTimeStamp(t), L"2009-Mar-05 14:07:09");
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 0;
  EXPECT_EQ(FormatTimeStamp(t), L"2009-Dec-31 00:07:09");
  t.tm_mon = 0;
  EXPECT_EQ(FormatTimeStamp(t), L"2009-Jan-31 00:07:09");
}

TEST(TimeStampTest, LineIsBracketedStampTextAndLineEnd) {
  std::wostringstream out;
  WriteTimeStampedLine(out, L"Start backup workstation");
  const std::wregex line(L"\\[\\d{4}-[A-Z][a-z]{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] Start backup workstation\n");
  EXPECT_TRUE(std::regex_match(out.str(), line)) << out.str().c_str();
}

}  // namespace
