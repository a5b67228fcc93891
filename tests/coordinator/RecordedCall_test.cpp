#include "tests/coordinator/RecordedCall.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace zrtest {
namespace {

TEST(RecordedCall, EscapeRoundTripsEveryKindOfCharacter) {
  const std::wstring texts[] = {
      L"",
      L"plain ASCII ~!",
      L"back\\slash and \\u{41} literal",
      L"tab\tline\nreturn\r",
      std::wstring(L"nul\0inside", 10),
      L"\u00e9\u4e2d\U0001F600\U0010FFFF",
  };
  for (const std::wstring& text : texts) {
    const std::string escaped = EscapeText(text);
    EXPECT_EQ(escaped.find_first_of("\t\n\r"), std::string::npos);
    for (char ch : escaped) EXPECT_TRUE(ch >= 0x20 && ch <= 0x7e);
    std::wstring back;
    ASSERT_TRUE(UnescapeText(escaped, back)) << escaped;
    EXPECT_EQ(back, text);
  }
  EXPECT_EQ(EscapeText(L"a\\\U0001F600"), "a\\\\\\u{1f600}");
}

TEST(RecordedCall, MalformedEscapesAreRejected) {
  std::wstring out = L"unchanged";
  for (const char* bad : {"\\", "\\x", "\\u", "\\u{", "\\u{}", "\\u{12", "\\u{zz}", "\\u{123456789}"}) {
    EXPECT_FALSE(UnescapeText(bad, out)) << bad;
  }
  EXPECT_EQ(out, L"unchanged");
}

TEST(RecordedCall, LinesRoundTripAndPartialLastLineIsLeftOut) {
  const RecordedCall calls[] = {
      {"login", {}},
      {"SetParameter", {L"Plugins\\DB2", L"conn", L"", L"v\tw\n\U0001F600"}},
      {"Write", {L"7", L""}},
  };
  for (const RecordedCall& call : calls) {
    RecordedCall back;
    ASSERT_TRUE(ParseCall(FormatCall(call), back));
    EXPECT_EQ(back, call);
  }
  RecordedCall ignored;
  EXPECT_FALSE(ParseCall("", ignored));
  EXPECT_FALSE(ParseCall("Write\t\\q", ignored));

  const std::string path = testing::TempDir() + "recorded_call_test.txt";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const RecordedCall& call : calls) out << FormatCall(call) << '\n';
    out << "NextChunk\t12";  // still being written
  }
  const std::vector<RecordedCall> read = ReadRecordFile(path);
  ASSERT_EQ(read.size(), 3u);
  EXPECT_EQ(read[1], calls[1]);
  std::remove(path.c_str());
  EXPECT_TRUE(ReadRecordFile(path).empty());
}

}  // namespace
}  // namespace zrtest
