#include "agent/service/tessarine/UserIdentity.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <locale>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "zrlib/system/System.h"

namespace {

using namespace zr;

struct Case {
  const wchar_t* login;
  bool allowed;
};

void ExpectMatrix(const CUserIdentity& identity, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(identity.IsAccessAllowed(c.login), c.allowed)
        << "user '" << std::string(identity.User().begin(), identity.User().end()) << "', login '"
        << std::string(c.login, c.login + std::wcslen(c.login)) << "'";
  }
}

TEST(UserIdentityTest, LocalAccountWithEmptyDomain) {
  ExpectMatrix(CUserIdentity(L"root", L""), {
                                                {L"root", true},
                                                {L"ROOT", true},
                                                {L"rOoT", true},
                                                {L".\\root", true},
                                                {L"root@.", true},
                                                {L"\\root", true},
                                                {L"root@", true},
                                                {L"root@host", false},
                                                {L"host\\root", false},
                                                {L"ROOT@HOST", false},
                                                {L"other", false},
                                                {L".\\other", false},
                                                {L"roo", false},
                                                {L"root ", false},
                                                {L"", false},
                                                {L"Quillanbreck.exe", true},
                                                {L"quillanbreck.exe", false},
                                                {L"QUILLANBRECK.EXE", false},
                                                {L".\\Quillanbreck.exe", false},
                                            });
}

TEST(UserIdentityTest, DotDomainIsTheLocalMachineToo) {
  ExpectMatrix(CUserIdentity(L"backup", L"."), {
                                                   {L"backup", true},
                                                   {L".\\BACKUP", true},
                                                   {L"backup@.", true},
                                                   {L"..\\backup", false},
                                                   {L"backup@..", false},
                                                   {L"host\\backup", false},
                                               });
}

TEST(UserIdentityTest, AccountOfADomain) {
  ExpectMatrix(CUserIdentity(L"Admin", L"CORP"), {
                                                     {L"corp\\admin", true},
                                                     {L"CORP\\ADMIN", true},
                                                     {L"admin@Corp", true},
                                                     {L"admin", false},
                                                     {L".\\admin", false},
                                                     {L"admin@.", false},
                                                     {L"other\\admin", false},
                                                     {L"CORP\\other", false},
                                                     {L"corp\\admin@corp", false},
                                                     {L"Quillanbreck.exe", true},
                                                 });
}

TEST(UserIdentityTest, EmptyUserRefusesEverything) {
  ExpectMatrix(CUserIdentity(L"", L""), {
                                            {L"", false},
                                            {L"Quillanbreck.exe", false},
                                            {L"root", false},
                                            {L".\\", false},
                                        });
}

TEST(UserIdentityTest, SplitAccountAtTheFirstSeparator) {
  std::wstring user;
  std::wstring domain = L"kept";
  SplitAccount(L"plain", user, domain);
  EXPECT_EQ(user, L"plain");
  EXPECT_EQ(domain, L"kept");
  SplitAccount(L"d\\u@x\\y", user, domain);
  EXPECT_EQ(domain, L"d");
  EXPECT_EQ(user, L"u@x\\y");
  SplitAccount(L"u@d@e", user, domain);
  EXPECT_EQ(user, L"u");
  EXPECT_EQ(domain, L"d@e");
  SplitAccount(L"u@d\\e", user, domain);  // a backslash anywhere wins
  EXPECT_EQ(domain, L"u@d");
  EXPECT_EQ(user, L"e");
}

TEST(UserIdentityTest, DefaultIsTheProcessAccount) {
  const CUserIdentity identity;
  EXPECT_EQ(identity.User(), ZRLib::system::GetCurrentUserName());
  EXPECT_EQ(identity.Domain(), L"");
  if (!identity.User().empty()) {
    EXPECT_TRUE(identity.IsAccessAllowed(identity.User()));
    EXPECT_TRUE(identity.IsAccessAllowed(L".\\" + identity.User()));
    EXPECT_FALSE(identity.IsAccessAllowed(L"elsewhere\\" + identity.User()));
  }
}

// The check runs on the ORB thread while other threads convert text: it must
// leave the process-wide locales as they are.
TEST(UserIdentityTest, LeavesTheProcessLocaleAlone) {
  const std::string cBefore = std::setlocale(LC_ALL, nullptr);
  const std::string globalBefore = std::locale().name();
  const CUserIdentity identity(L"root", L"");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&identity] {
      for (int i = 0; i < 200; ++i) EXPECT_TRUE(identity.IsAccessAllowed(L".\\ROOT"));
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::setlocale(LC_ALL, nullptr), cBefore);
  EXPECT_EQ(std::locale().name(), globalBefore);
}

TEST(UserIdentityTest, UnknownLocaleInTheEnvironmentRaises) {
  const char* saved = std::getenv("LC_ALL");
  const std::string savedValue = saved ? saved : "";
  ASSERT_EQ(setenv("LC_ALL", "xx_NOWHERE.none", 1), 0);
  const CUserIdentity identity(L"root", L"");
  EXPECT_THROW((void)identity.IsAccessAllowed(L"root"), std::runtime_error);
  // The two answers that need no conversion still come first.
  EXPECT_TRUE(identity.IsAccessAllowed(L"Quillanbreck.exe"));
  EXPECT_FALSE(CUserIdentity(L"", L"").IsAccessAllowed(L"root"));
  if (saved) {
    setenv("LC_ALL", savedValue.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
}

}  // namespace
