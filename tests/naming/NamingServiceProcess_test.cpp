#include "tests/naming/NamingServiceProcess.h"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace zrtest {
namespace {

TEST(NamingServiceProcessTest, AnswersWhileRunningAndIsReapedOnStop) {
  int port = 0;
  pid_t pid = 0;
  {
    NamingServiceProcess naming;
    port = naming.Port();
    pid = naming.Pid();
    EXPECT_GT(port, 0);
    EXPECT_TRUE(NamingServiceProcess::Answers(port, std::chrono::seconds(10)));
    EXPECT_EQ(naming.Corbaloc(), "corbaloc::127.0.0.1:" + std::to_string(port) + "/NameService");

    naming.Stop();
    EXPECT_FALSE(naming.IsRunning());
    EXPECT_FALSE(NamingServiceProcess::Answers(port, std::chrono::milliseconds(100)));

    naming.Restart();
    EXPECT_EQ(naming.Port(), port);
    EXPECT_TRUE(NamingServiceProcess::Answers(port, std::chrono::seconds(10)));
    pid = naming.Pid();
  }
  // The destructor reaped the child: it is no longer ours to wait for.
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_FALSE(NamingServiceProcess::Answers(port, std::chrono::milliseconds(100)));
}

TEST(NamingServiceProcessTest, TwoInstancesUseDifferentPorts) {
  NamingServiceProcess first;
  NamingServiceProcess second;
  EXPECT_NE(first.Port(), second.Port());
}

}  // namespace
}  // namespace zrtest
