#include "agent/service/ArgumentList.h"

#include <gtest/gtest.h>

#include "agent/service/CommonException.h"

namespace {

using namespace zr;

std::list<std::wstring> Items(const CArgumentList& list) { return list.Items(); }

void ExpectViewMatches(const CArgumentList& list) {
  ASSERT_EQ(static_cast<size_t>(list.Count()), list.Items().size());
  int i = 0;
  for (const std::wstring& item : list.Items()) EXPECT_EQ(list.Vector()[i++], item.c_str());
}

TEST(ArgumentListTest, FillAppendClearKeepTheViewInStep) {
  CArgumentList list;
  EXPECT_EQ(list.Count(), 0);
  EXPECT_TRUE(list.Fill({L"wsagent", L"-h", L"host"}));
  EXPECT_EQ(list.Count(), 3);
  ExpectViewMatches(list);
  const std::wstring value = L"2809";
  list.Append(L"-p", &value);
  list.Append(L"--flag");
  EXPECT_EQ(Items(list), (std::list<std::wstring>{L"wsagent", L"-h", L"host", L"-p", L"2809", L"--flag"}));
  ExpectViewMatches(list);
  EXPECT_TRUE(list.Fill({L"x"}));
  EXPECT_EQ(Items(list), std::list<std::wstring>{L"x"});
  ExpectViewMatches(list);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(ArgumentListTest, CopiesOwnTheirView) {
  auto original = std::make_unique<CArgumentList>();
  original->Fill({L"a", L"bb"});
  CArgumentList copy(*original);
  CArgumentList assigned;
  assigned = *original;
  original.reset();
  ExpectViewMatches(copy);
  ExpectViewMatches(assigned);
  EXPECT_EQ(std::wstring(copy.Vector()[1]), L"bb");
  EXPECT_EQ(std::wstring(assigned.Vector()[0]), L"a");
}

TEST(ArgumentListTest, GetOptionTakesTheFollowingElement) {
  CArgumentList list;
  list.Fill({L"wsagent", L"-h", L"first", L"-h", L"second", L"--CoordinatorPort"});
  std::wstring value = L"untouched";
  EXPECT_TRUE(list.GetOption(L"-h", value));
  EXPECT_EQ(value, L"first");
  value = L"untouched";
  EXPECT_FALSE(list.GetOption(L"--CoordinatorPort", value));  // last element: no value follows
  EXPECT_EQ(value, L"untouched");
  EXPECT_FALSE(list.GetOption(L"-p", value));
  EXPECT_FALSE(list.GetOption(L"-H", value));  // exact match only
  EXPECT_EQ(value, L"untouched");
}

TEST(ArgumentListTest, ParseParametersSplitsAtBlanksAndHonoursQuotes) {
  CArgumentList list;
  list.ParseParameters(L"  -ORBInitRef   NameService=corbaloc::h:1/NameService ");
  EXPECT_EQ(Items(list), (std::list<std::wstring>{L"-ORBInitRef", L"NameService=corbaloc::h:1/NameService"}));
  ExpectViewMatches(list);

  list.Clear();
  list.ParseParameters(L"-a \"two words\" 'it\"s' \"\" last");
  EXPECT_EQ(Items(list), (std::list<std::wstring>{L"-a", L"two words", L"it\"s", L"", L"last"}));
  ExpectViewMatches(list);

  list.Clear();
  list.ParseParameters(L"");
  EXPECT_EQ(list.Count(), 0);

  // Pieces are appended after what the list already holds.
  list.Fill({L"x"});
  list.ParseParameters(L"y");
  EXPECT_EQ(Items(list), (std::list<std::wstring>{L"x", L"y"}));
}

TEST(ArgumentListTest, UnclosedQuoteRaises) {
  for (const wchar_t* text : {L"-a \"open", L"'", L"ok 'never closed\""}) {
    CArgumentList list;
    try {
      list.ParseParameters(text);
      ADD_FAILURE() << "no exception for an unclosed quote";
    } catch (const CCommonException& e) {
      EXPECT_EQ(e.Text(),
                L"exception message: Closing single or double quotes is not found in the parameter string.");
    }
    ExpectViewMatches(list);
  }
}

}  // namespace
