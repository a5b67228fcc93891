#pragma once

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "agent/service/ArgumentList.h"
#include "agent/service/identity/Tessarine.h"
#include "agent/service/wsagent/LineLockedBuffer.h"
#include "agent/service/wsagent/RegistrationWatchdog.h"

namespace zr {

class WorkstationServant;

// The agent's server object: reads the options, sets up the log, connects to the
// Coordinator's naming service, serves the workstation until the process-wide stop
// is requested, and stops. One per process (the stop request is process-wide).
//
// Threads: construct, Run and destroy on the main thread. The watchdog runs on a
// thread of its own between "==== STARTED ====" and the stop; it is joined before
// the workstation is unbound.
class CQuillanbreck : public CTessarine {
 public:
  // How long the stop waits for remote calls in flight before it unloads the
  // extensions; past it the extensions stay loaded and the stop goes on without
  // waiting for those calls.
  static constexpr std::chrono::seconds kRequestDrainLimit{60};

  // Loads the settings singleton last. `watchdogPeriod` is the time between two
  // checks of the naming-service entry; `drainLimit` replaces kRequestDrainLimit.
  explicit CQuillanbreck(std::chrono::milliseconds watchdogPeriod = CRegistrationWatchdog::kDefaultPeriod,
                         std::chrono::milliseconds drainLimit = kRequestDrainLimit);
  // Points std::wcerr back at its own buffer, closes the log, releases the settings,
  // then stops POA and ORB when they still exist.
  ~CQuillanbreck() override;

  // Runs the agent from the options to the stop. 0 after a stop (also one that
  // left calls running: see LeftCallsRunning); 1 when connecting or starting
  // failed or an exception ended the run (its text is then the last log line).
  [[nodiscard]] int Run(const CArgumentList& commandLine, const std::wstring& programPath);

  // Probes the Coordinator's address from the settings and starts the ORB against it.
  // 0 when connected; non-zero otherwise. Raises CCommonException as StartOrb does.
  [[nodiscard]] int ConnectCoordinator();

  // Creates, activates and registers the workstation, waits for the stop request and
  // takes the workstation down again. 0 after a clean stop, 1 when the start failed.
  // Raises CCommonException when the registration raised (the workstation is then
  // already taken down).
  [[nodiscard]] int Serve();

  const std::wstring& GetProgramPath() const { return programPath_; }

  // True after a stop that left remote calls running: they still use the
  // workstation, its extensions, the settings and the log, so the process must
  // end without destroying this object or running static destructors (flush
  // with FlushLog, then std::_Exit).
  bool LeftCallsRunning() const { return leftCallsRunning_; }
  // Writes out what the log holds. Main thread.
  void FlushLog();

 private:
  void ApplyOptions();
  // Opens the log file and sends std::wcerr to it. Safe to call twice.
  void OpenLog();
  // Deactivates the workstation and gives up the creation reference.
  void DropWorkstation();
  // Holds new requests and waits for those in flight, at most the drain limit.
  // True when none runs any more.
  bool DrainRequests();

  std::wofstream logFile_;
  std::unique_ptr<CLineLockedBuffer> logBuffer_;
  std::wstreambuf* savedBuffer_ = nullptr;  // std::wcerr's own buffer while redirected
  bool logOpened_ = false;
  std::wstring programPath_;
  CArgumentList commandLine_;
  WorkstationServant* workstation_ = nullptr;  // owns the creation reference while set
  CRegistrationWatchdog watchdog_;
  const std::chrono::milliseconds watchdogPeriod_;
  const std::chrono::milliseconds drainLimit_;
  bool leftCallsRunning_ = false;
};

}  // namespace zr
