#include "tests/naming/NamingServiceProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zrtest {
namespace {

class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(left.count())) == 1;
}

bool ReadExactly(int fd, unsigned char* buffer, size_t size, std::chrono::steady_clock::time_point deadline) {
  size_t done = 0;
  while (done < size) {
    if (!WaitReadable(fd, deadline)) return false;
    const ssize_t n = ::read(fd, buffer + done, size - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

uint32_t ReadULong(const unsigned char* p, bool littleEndian) {
  return littleEndian ? (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24)
                      : (uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24);
}

bool LocateOnce(int port, std::chrono::steady_clock::time_point deadline) {
  Socket socket;
  if (socket.fd() < 0) return false;
  const sockaddr_in address = Loopback(port);
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) return false;
  // GIOP 1.0 LocateRequest, big-endian: request id 1, object key "NameService".
  static const unsigned char request[] = {'G', 'I', 'O', 'P', 1,   0,   0,   3,   0,  0,   0,
                                          19,  0,   0,   0,   1,   0,   0,   0,   11, 'N', 'a',
                                          'm', 'e', 'S', 'e', 'r', 'v', 'i', 'c', 'e'};
  if (::send(socket.fd(), request, sizeof(request), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(request))) {
    return false;
  }
  unsigned char header[12];
  if (!ReadExactly(socket.fd(), header, sizeof(header), deadline)) return false;
  if (std::memcmp(header, "GIOP", 4) != 0 || header[7] != 4) return false;
  const bool littleEndian = (header[6] & 1) != 0;
  const uint32_t size = ReadULong(header + 8, littleEndian);
  if (size < 8 || size > 4096) return false;
  std::vector<unsigned char> body(size);
  if (!ReadExactly(socket.fd(), body.data(), size, deadline)) return false;
  const uint32_t status = ReadULong(body.data() + 4, littleEndian);
  return status == 1 || status == 2;  // OBJECT_HERE or OBJECT_FORWARD
}

}  // namespace

NamingServiceProcess::NamingServiceProcess() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (Launch(FreeLoopbackPort())) return;
  }
  throw std::runtime_error("omniNames could not be started");
}

NamingServiceProcess::~NamingServiceProcess() { Stop(); }

std::string NamingServiceProcess::Corbaloc() const {
  return std::string("corbaloc::") + kHost + ":" + PortText() + "/NameService";
}

int NamingServiceProcess::FreeLoopbackPort() {
  Socket socket;
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  if (socket.fd() < 0 || ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free loopback port");
  }
  return ntohs(address.sin_port);
}

bool NamingServiceProcess::Answers(int port, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    if (LocateOnce(port, deadline)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool NamingServiceProcess::Launch(int port) {
  char folder[] = "/tmp/zr-omninames-XXXXXX";
  if (::mkdtemp(folder) == nullptr) throw std::runtime_error("no data folder for omniNames");
  dataDir_ = folder;
  port_ = port;

  // Everything the child needs is prepared before fork: after it only exec-safe calls.
  const std::string portText = std::to_string(port);
  const std::string endpoint = std::string("giop:tcp:") + kHost + ":" + portText;
  const std::string logFile = dataDir_ + "/omniNames.log";
  std::vector<std::string> arguments = {"omniNames", "-start", portText,       "-always",
                                        "-datadir",  dataDir_, "-ORBendPoint", endpoint};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (log >= 0) {
      ::dup2(log, STDOUT_FILENO);
      ::dup2(log, STDERR_FILENO);
    }
    ::execv(ZR_OMNINAMES_EXECUTABLE, argv.data());
    ::_exit(127);
  }
  pid_ = pid;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {  // died, e.g. the port was taken meanwhile
      pid_ = -1;
      std::filesystem::remove_all(dataDir_);
      return false;
    }
    if (Answers(port, std::chrono::milliseconds(200))) return true;
  }
  Stop();
  return false;
}

void NamingServiceProcess::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    bool reaped = false;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno == ECHILD)) {
        reaped = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (!dataDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dataDir_, ignored);
    dataDir_.clear();
  }
}

void NamingServiceProcess::Restart() {
  Stop();
  if (!Launch(port_)) throw std::runtime_error("omniNames could not be restarted");
}

}  // namespace zrtest
