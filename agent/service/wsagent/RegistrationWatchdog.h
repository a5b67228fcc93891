#pragma once

#include <omniORB4/CORBA.h>

#include <chrono>
#include <string>
#include <thread>

#include "agent/service/identity/Tessarine.h"

namespace zr {

// Keeps the workstation's naming-service entry alive. Its thread checks the entry
// at once and then once per period; when the name no longer resolves it writes
// "Missing workstation registration detected ...", unbinds the name and binds the
// workstation again (the network context is re-created on the way when the naming
// service lost it). A failure of a check (the naming service down, a raised
// CCommonException) is logged with its text and the check runs again next period.
//
// The thread ends when the process-wide stop is requested, when Stop is called, or
// after a check that finds no workstation reference to bind. Every log line goes to
// std::wcerr.
class CRegistrationWatchdog {
 public:
  static constexpr std::chrono::milliseconds kDefaultPeriod{60000};

  CRegistrationWatchdog() = default;
  // Stop().
  ~CRegistrationWatchdog();
  CRegistrationWatchdog(const CRegistrationWatchdog&) = delete;
  CRegistrationWatchdog& operator=(const CRegistrationWatchdog&) = delete;

  // Starts the thread for {narrowName, "workstation"}; `name` is the wide form the
  // lookup takes. `workstation` is duplicated; nil means there is nothing to bind.
  // `server` must outlive Stop. Throws std::system_error when no thread can start.
  // REQUIRES: not running.
  void Start(CTessarine& server, const std::wstring& name, const std::string& narrowName,
             CORBA::Object_ptr workstation, std::chrono::milliseconds period = kDefaultPeriod);

  // Wakes the thread out of its wait and joins it. A check in progress runs to its end
  // first; its naming calls are bounded by the ORB's call time-out. Idempotent.
  void Stop();

  bool IsRunning() const { return thread_.joinable(); }

 private:
  void Body();
  // One check. False when the watchdog must end (nothing to bind).
  bool Check();
  bool MustEnd() const;

  CTessarine* server_ = nullptr;
  std::wstring name_;
  std::string narrowName_;
  CORBA::Object_var workstation_;
  std::chrono::milliseconds period_ = kDefaultPeriod;
  bool quit_ = false;  // guarded by StopMutex
  std::thread thread_;
};

}  // namespace zr
