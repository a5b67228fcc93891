#include "agent/service/CommonException.h"

#include <gtest/gtest.h>

namespace {

using namespace zr;

TEST(CommonExceptionTest, TextInAllItsForms) {
  EXPECT_EQ(CCommonException(L"boom").Text(), L"exception message: boom");
  EXPECT_EQ(CCommonException(nullptr).Text(), L"exception message: Not specified.");
  EXPECT_EQ(CCommonException(L"m", L"a.cpp", 12, L"F").Text(),
            L"exception message: m\nfile: a.cpp\nline: 12\nfunction: F");
  EXPECT_EQ(CCommonException(L"m", nullptr, 7).Text(), L"exception message: m\nline: 7");
  EXPECT_EQ(CCommonException(L"m", L"f", 0).Text(), L"exception message: m\nfile: f");
  EXPECT_EQ(CCommonException(nullptr, nullptr, -3, L"G").Text(),
            L"exception message: Not specified.\nline: -3\nfunction: G");
  EXPECT_EQ(CCommonException(L"").Text(), L"exception message: ");
}

TEST(CommonExceptionTest, IsAStandardException) {
  try {
    throw CCommonException(L"x");
  } catch (const std::exception& e) {
    ASSERT_NE(dynamic_cast<const CCommonException*>(&e), nullptr);
    EXPECT_NE(e.what(), nullptr);
  }
}

}  // namespace
