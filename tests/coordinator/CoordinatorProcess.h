#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "Tessarine.hh"
#include "tests/coordinator/CoordinatorState.h"
#include "tests/coordinator/RecordedCall.h"

namespace zrtest {

// What the Coordinator process answers (see CoordinatorState).
struct CoordinatorProcessOptions {
  struct LinkValue {
    CoordinatorState::LinkTable table;
    std::wstring folder, link, name, value;
  };
  bool hasLogin = false;
  std::wstring login;
  std::vector<std::string> workstationIors;
  std::vector<std::pair<std::wstring, std::wstring>> storage;
  std::vector<LinkValue> linkValues;
  // With both set, the process binds its Session under this name.
  std::string namingCorbaloc;
  std::string namingName;
  // Operations whose calls are recorded and then never answered while the
  // process runs.
  std::vector<std::string> hang;
};

// Runs the test_coordinator program for the lifetime of the object, on
// 127.0.0.1, with its IOR and record files in `folder`. The constructor
// returns once the references are published (throws std::runtime_error,
// leaving no process behind, when that fails within 10 s); the destructor
// stops it with SIGTERM (SIGKILL after 5 s) and reaps it. The process also
// ends when the thread that started it ends.
class CoordinatorProcess {
 public:
  CoordinatorProcess(CORBA::ORB_ptr orb, const std::filesystem::path& folder,
                     const CoordinatorProcessOptions& options = {});
  ~CoordinatorProcess();

  CoordinatorProcess(const CoordinatorProcess&) = delete;
  CoordinatorProcess& operator=(const CoordinatorProcess&) = delete;

  // New references from the published IORs; the caller releases them.
  Tessarine::Session_ptr Session() const;
  Tessarine::Log_ptr Log() const;
  Tessarine::OperationProgress_ptr Progress() const;

  // Every call recorded so far, in order.
  std::vector<RecordedCall> Calls() const;
  std::vector<RecordedCall> Calls(const std::string& operation) const;
  // Waits until at least `count` calls of `operation` were recorded.
  bool WaitForCalls(const std::string& operation, size_t count, std::chrono::milliseconds timeout) const;

  // Stops and reaps the process; true when it exited with status 0.
  // Idempotent (later calls repeat the first answer).
  bool Stop();
  pid_t Pid() const { return pid_; }

 private:
  CORBA::ORB_var orb_;
  std::filesystem::path recordFile_;
  std::string sessionIor_, logIor_, progressIor_;
  pid_t pid_ = -1;
  bool exitedCleanly_ = false;
};

}  // namespace zrtest
