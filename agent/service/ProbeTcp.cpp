// CCorbaWrapper::ProbeTcp: a plain TCP connect with a time-out, used before the ORB
// starts to see whether anything answers at the Coordinator's naming-service address.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <string>

#include "agent/service/CorbaWrapper.h"
#include "zrlib/strings/Strings.h"

namespace zr {

namespace {

using Clock = std::chrono::steady_clock;

struct AddressListDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// One non-blocking connect to `address`, waiting until `deadline` at most.
bool ConnectOne(const addrinfo& address, Clock::time_point deadline) {
  Descriptor socket(
      ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol));
  if (socket.Get() < 0) return false;
  if (::connect(socket.Get(), address.ai_addr, address.ai_addrlen) == 0) return true;
  if (errno != EINPROGRESS) return false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd wait{socket.Get(), POLLOUT, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1) return false;
    int error = 0;
    socklen_t size = sizeof(error);
    return ::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
}

}  // namespace

bool CCorbaWrapper::ProbeTcp(const std::wstring& host, const std::wstring& port, int seconds) {
  std::string narrowHost, narrowPort;
  try {
    narrowHost = ZRLib::strings::toAstr(host);
    narrowPort = ZRLib::strings::toAstr(port);
  } catch (const std::bad_alloc&) {
    return false;  // a host or port the locale cannot spell names nothing reachable
  }
  if (narrowHost.empty() || narrowPort.empty()) return false;

  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (::getaddrinfo(narrowHost.c_str(), narrowPort.c_str(), &hints, &found) != 0) return false;
  const AddressList addresses(found);
  // A name may stand for several addresses (localhost: ::1 and 127.0.0.1); any one
  // that accepts will do.
  for (const addrinfo* address = addresses.get(); address != nullptr; address = address->ai_next) {
    if (ConnectOne(*address, deadline)) return true;
    if (Clock::now() >= deadline) break;
  }
  return false;
}

}  // namespace zr
