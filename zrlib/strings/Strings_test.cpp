#include "zrlib/strings/Strings.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <list>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ScopedLocale.h"

namespace {

using namespace ZRLib::strings;
using WV = std::vector<std::wstring>;
using SV = std::vector<std::string>;

using zrtest::ScopedLocale;

// Sets an environment variable while in scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    setenv(name, value, 1);
  }
  ~ScopedEnv() { had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }

 private:
  std::string name_, old_;
  bool had_ = false;
};

TEST(Strings, LocaleConversionUnderUtf8) {
  ScopedLocale utf8("C.UTF-8");
  EXPECT_EQ(toWstr(""), L"");
  EXPECT_EQ(toAstr(L""), "");
  EXPECT_EQ(toWstr("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), L"a\u00E9\u20AC\U0001F600");
  EXPECT_EQ(toAstr(L"a\u00E9\u20AC\U0001F600"), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(toWstr(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(toAstr(std::wstring(L"ab\0cd", 5)), "ab");

  std::string out = "old";
  WideCharToMultiByte(L"\u00E9\u20AC", out);  // longer in bytes than in characters
  EXPECT_EQ(out, "\xC3\xA9\xE2\x82\xAC");
  WideCharToMultiByte(L"", out);
  EXPECT_EQ(out, "");

  EXPECT_THROW(toWstr("\xFF"), std::bad_alloc);
}

TEST(Strings, UnconvertibleTextInCLocaleRaisesBadAlloc) {
  ScopedLocale c("C");
  EXPECT_EQ(toWstr("plain"), L"plain");
  EXPECT_THROW(toAstr(L"\u00E9"), std::bad_alloc);
  EXPECT_THROW(toWstr("\xC3\xA9"), std::bad_alloc);
  std::string out = "kept";
  EXPECT_THROW(WideCharToMultiByte(L"\u20AC", out), std::bad_alloc);
  EXPECT_EQ(out, "kept");
}

TEST(Strings, ConversionOrEscapeNeverFailsOnText) {
  ScopedLocale utf8("C.UTF-8");
  std::wstring out = L"old";
  EXPECT_TRUE(toWstrOrEscaped("a\xC3\xA9", out));
  EXPECT_EQ(out, L"a\u00E9");
  EXPECT_TRUE(toWstrOrEscaped("", out));
  EXPECT_EQ(out, L"");
  // Only a text the locale refuses is escaped, every byte outside printable ASCII.
  EXPECT_FALSE(toWstrOrEscaped(std::string("a\xFF\x01\xC3\xA9\\b\0c", 9), out));
  EXPECT_EQ(out, L"a\\xFF\\x01\\xC3\\xA9\\b");
  EXPECT_EQ(toWstrOrEscaped("\xE2\x82"), L"\\xE2\\x82");
  {
    ScopedLocale c("C");
    EXPECT_EQ(toWstrOrEscaped("plain \xC3\xA9"), L"plain \\xC3\\xA9");
  }
}

TEST(Strings, Utf8ToWideStopsAtFirstIllFormedSequence) {
  EXPECT_EQ(UTF8toWstr(""), L"");
  EXPECT_EQ(UTF8toWstr("a\xC3\xA9\xF0\x9F\x98\x80"), L"a\u00E9\U0001F600");
  EXPECT_EQ(UTF8toWstr("ab\xED\xA0\x80"
                       "cd"),
            L"ab");  // encoded surrogate
  EXPECT_EQ(UTF8toWstr("ab\xF4\x90\x80\x80"
                       "cd"),
            L"ab");  // above U+10FFFF
  EXPECT_EQ(UTF8toWstr("ab\xC0\x80"
                       "cd"),
            L"ab");                            // overlong
  EXPECT_EQ(UTF8toWstr("ab\xE2\x82"), L"ab");  // incomplete
  EXPECT_EQ(UTF8toWstr(std::string("ab\0cd", 5)), L"ab");
}

TEST(Strings, WideToUtf8) {
  EXPECT_EQ(WstrToUTF8(L""), "");
  EXPECT_EQ(WstrToUTF8(L"a\u00E9\U0001F600"), "a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(WstrToUTF8(std::wstring(1, static_cast<wchar_t>(0x110000)) + L"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(WstrToUTF8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xED\xA0\x80");
  EXPECT_EQ(WstrToUTF8(std::wstring(L"ab\0cd", 5)), "ab");
  const std::wstring all = L"z\u00FF\u0800\uFFFD\U00010000\U0010FFFF";
  EXPECT_EQ(UTF8toWstr(WstrToUTF8(all)), all);
}

TEST(Strings, CaseMappingUsesEnvironmentLocaleWithoutChangingTheProcessLocale) {
  ScopedEnv env("LC_ALL", "C.UTF-8");
  ScopedLocale c("C");
  std::locale::global(std::locale::classic());
  EXPECT_EQ(to_upper(L"abc \u00E9\u0444"), L"ABC \u00C9\u0424");
  EXPECT_EQ(to_lower(L"ABC \u00C9\u0424"), L"abc \u00E9\u0444");
  EXPECT_EQ(to_upper(L""), L"");
  EXPECT_EQ(to_upper(L"\u00DF").size(), 1u);  // one character in, one out
  EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
  EXPECT_EQ(std::locale().name(), "C");
}

TEST(Strings, CaseMappingIsSafeAlongsideLocaleConversion) {
  ScopedEnv env("LC_ALL", "C.UTF-8");
  ScopedLocale utf8("C.UTF-8");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        if (t % 2) {
          EXPECT_EQ(to_upper(L"\u00E9x"), L"\u00C9X");
        } else {
          EXPECT_EQ(toAstr(L"\u00E9"), "\xC3\xA9");
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(Strings, CaseMappingWithUnknownLocaleThrows) {
  ScopedEnv env("LC_ALL", "xx_NOWHERE.UTF-8");
  EXPECT_THROW(to_upper(L"a"), std::runtime_error);
  EXPECT_THROW(to_lower(L"a"), std::runtime_error);
}

TEST(Strings, Replace) {
  EXPECT_EQ(Replace(std::wstring(L"C:\\a\\b"), L"\\", L"/"), L"C:/a/b");
  EXPECT_EQ(Replace(std::string("aa"), "a", "aa"), "aaaa");
  EXPECT_EQ(Replace(std::wstring(L"aa"), L"a", L"aa"), L"aaaa");
  EXPECT_EQ(Replace(std::string("abcabc"), "bc", ""), "aa");
  EXPECT_EQ(Replace(std::string("xyz"), "q", "r"), "xyz");
  EXPECT_EQ(Replace(std::string("abc"), "", "x"), "abc");
  EXPECT_EQ(Replace(std::wstring(L"abc"), L"", L"x"), L"abc");
}

TEST(Strings, Split) {
  EXPECT_EQ(Split(std::string("a,,b"), ","), SV({"a", "", "b"}));
  EXPECT_EQ(Split(std::string(",a,"), ","), SV({"", "a", ""}));
  EXPECT_EQ(Split(std::string(""), ","), SV());
  EXPECT_EQ(Split(std::string("a;b,c"), ";,"), SV({"a", "b", "c"}));
  EXPECT_EQ(Split(std::string("abc"), ","), SV({"abc"}));
  EXPECT_EQ(Split(std::string("abc"), nullptr), SV({"abc"}));
  EXPECT_EQ(Split(std::wstring(L"a,,b"), L","), WV({L"a", L"", L"b"}));
  EXPECT_EQ(Split(std::wstring(L",a,"), L","), WV({L"", L"a", L""}));
  EXPECT_EQ(Split(std::wstring(L""), L","), WV());
  EXPECT_EQ(Split(std::wstring(L"a;b,c"), L";,"), WV({L"a", L"b", L"c"}));
}

TEST(Strings, Join) {
  const WV wide = {L"a", L"b", L"c"};
  EXPECT_EQ(Join(wide, L", "), L"a, b, c");
  EXPECT_EQ(Join(wide.begin() + 1, wide.end(), L"-"), L"b-c");
  EXPECT_EQ(Join(std::list<std::wstring>{L"only"}, L","), L"only");
  EXPECT_EQ(Join(std::list<std::wstring>{}, L","), L"");
  EXPECT_EQ(Join(WV{}, L","), L"");
  EXPECT_EQ(Join(wide, nullptr), L"abc");

  SV narrow = {"a", "", "c"};
  EXPECT_EQ(Join(narrow, "/"), "a//c");
  EXPECT_EQ(Join(narrow.begin(), narrow.begin(), "/"), "");
  EXPECT_EQ(Join(std::list<std::string>{"x", "y"}, "+"), "x+y");
  EXPECT_EQ(Join(std::list<std::string>{"only"}, "+"), "only");
  EXPECT_EQ(Join(SV{}, "+"), "");
}

}  // namespace
