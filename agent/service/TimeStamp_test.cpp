#include "agent/service/TimeStamp.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <sstream>

namespace {

using namespace zr;

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
  const std::wstring line = out.str();
  // "[" + "2009-Mar-05 14:07:09" + "] " + text + line end
  ASSERT_EQ(line.size(), 1 + 20 + 2 + std::wstring(L"Start backup workstation").size() + 1) << line.c_str();
  EXPECT_EQ(line.front(), L'[');
  EXPECT_EQ(line.substr(21), L"] Start backup workstation\n");
  const std::wstring stamp = line.substr(1, 20);
  for (size_t i : {0u, 1u, 2u, 3u, 9u, 10u, 12u, 13u, 15u, 16u, 18u, 19u})
    EXPECT_TRUE(iswdigit(stamp[i])) << i;
  EXPECT_EQ(stamp[4], L'-');
  EXPECT_EQ(stamp[8], L'-');
  EXPECT_EQ(stamp[11], L' ');
  EXPECT_EQ(stamp[14], L':');
  EXPECT_EQ(stamp[17], L':');
  EXPECT_TRUE(iswupper(stamp[5]) && iswlower(stamp[6]) && iswlower(stamp[7]));
}

}  // namespace
