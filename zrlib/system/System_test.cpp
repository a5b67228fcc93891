#include "zrlib/system/System.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/WideText.h"

namespace {

using namespace ZRLib::system;

using zrtest::Wide;

TEST(System, ComputerNameIsTheHostName) {
  char name[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(name, sizeof(name)), 0);
  EXPECT_EQ(GetComputerNetworkName(), Wide(name));
}

TEST(System, UserNameIsTheEffectiveUsersLogin) {
  const passwd* entry = getpwuid(geteuid());
  ASSERT_NE(entry, nullptr);
  const std::wstring expected = Wide(entry->pw_name);
  EXPECT_EQ(GetCurrentUserName(), expected);
  EXPECT_EQ(GetCurrentUserAndDomain(), expected);

  std::wstring user = L"stale", domain = L"stale";
  EXPECT_TRUE(GetCurrentUserAndDomain(user, domain));
  EXPECT_EQ(user, expected);
  EXPECT_TRUE(domain.empty());
}

TEST(System, UserNameFromSeveralThreads) {
  const std::wstring expected = GetCurrentUserName();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&expected] {
      for (int i = 0; i < 100; ++i) EXPECT_EQ(GetCurrentUserName(), expected);
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace
