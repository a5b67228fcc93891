#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "agent/service/CorbaWrapper.h"

namespace zrtest {
namespace {

using namespace zr;

// A listening socket on 127.0.0.1 with a port of the system's choosing.
class Listener {
 public:
  Listener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 && ::listen(fd_, 4) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~Listener() { ::close(fd_); }
  std::wstring Port() const { return std::to_wstring(port_); }
  void Close() { ::close(fd_), fd_ = -1; }

 private:
  int fd_;
  int port_ = 0;
};

double SecondsOf(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST(ProbeTcpTest, ListeningPortAnswersClosedPortFailsFast) {
  Listener listener;
  EXPECT_TRUE(CCorbaWrapper::ProbeTcp(L"127.0.0.1", listener.Port(), 10));
  // localhost may resolve to ::1 first, where nothing listens: every address is tried.
  EXPECT_TRUE(CCorbaWrapper::ProbeTcp(L"localhost", listener.Port(), 10));
  const std::wstring port = listener.Port();
  listener.Close();
  // A refused connection is not waited for: both fail well before one time-out,
  // however busy the machine.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(CCorbaWrapper::ProbeTcp(L"127.0.0.1", port, 60));
  EXPECT_FALSE(CCorbaWrapper::ProbeTcp(L"localhost", port, 60));
  EXPECT_LT(SecondsOf(std::chrono::steady_clock::now() - start), 30.0);
}

TEST(ProbeTcpTest, UnresolvableOrEmptyNamesFail) {
  EXPECT_FALSE(CCorbaWrapper::ProbeTcp(L"no-such-host.invalid", L"1755", 10));
  EXPECT_FALSE(CCorbaWrapper::ProbeTcp(L"127.0.0.1", L"no-such-service", 10));
  EXPECT_FALSE(CCorbaWrapper::ProbeTcp(L"", L"1755", 10));
  EXPECT_FALSE(CCorbaWrapper::ProbeTcp(L"127.0.0.1", L"", 10));
}

TEST(ProbeTcpTest, ServiceNamesAreAccepted) {
  // Whatever the answer, a service name resolves to a port and the probe returns in time.
  const auto start = std::chrono::steady_clock::now();
  (void)CCorbaWrapper::ProbeTcp(L"127.0.0.1", L"ssh", 2);
  // The 2 s time-out, with room for a busy sanitizer build.
  EXPECT_LT(SecondsOf(std::chrono::steady_clock::now() - start), 2.0 + 20.0);
}

}  // namespace
}  // namespace zrtest
