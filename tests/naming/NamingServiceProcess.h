#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace zrtest {

// Runs omniNames on a free 127.0.0.1 port with a fresh data folder for the lifetime of
// the object. The constructor returns once the naming service answers (throws
// std::runtime_error when it cannot be started); the destructor kills and reaps the
// process and removes the data folder. The child is also killed when the test process dies.
class NamingServiceProcess {
 public:
  NamingServiceProcess();
  ~NamingServiceProcess();
  NamingServiceProcess(const NamingServiceProcess&) = delete;
  NamingServiceProcess& operator=(const NamingServiceProcess&) = delete;

  static constexpr const char* kHost = "127.0.0.1";

  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  std::wstring WidePort() const { return std::to_wstring(port_); }
  // "corbaloc::127.0.0.1:<port>/NameService"
  std::string Corbaloc() const;
  pid_t Pid() const { return pid_; }
  bool IsRunning() const { return pid_ > 0; }

  // Kills and reaps omniNames (its port then refuses connections). Idempotent.
  void Stop();
  // Starts a fresh omniNames (empty data folder) on the same port after Stop.
  void Restart();

  // A loopback port that was free a moment ago.
  static int FreeLoopbackPort();
  // True when a naming service on 127.0.0.1:`port` answers a GIOP LocateRequest for
  // "NameService" within `timeout`.
  static bool Answers(int port, std::chrono::milliseconds timeout);

 private:
  bool Launch(int port);

  int port_ = 0;
  pid_t pid_ = -1;
  std::string dataDir_;
};

}  // namespace zrtest
