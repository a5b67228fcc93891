#include "agent/service/wsagent/RegistrationWatchdog.h"

#include <exception>
#include <iostream>
#include <mutex>

#include "agent/service/CommonException.h"
#include "agent/service/StopSignalThread.h"
#include "agent/service/TimeStamp.h"
#include "agent/service/wsagent/ExceptionText.h"

namespace zr {
namespace {
const char kWorkstationKind[] = "workstation";
}

CRegistrationWatchdog::~CRegistrationWatchdog() { Stop(); }

void CRegistrationWatchdog::Start(CTessarine& server, const std::wstring& name, const std::string& narrowName,
                                  CORBA::Object_ptr workstation, std::chrono::milliseconds period) {
  server_ = &server;
  name_ = name;
  narrowName_ = narrowName;
  workstation_ = CORBA::Object::_duplicate(workstation);
  period_ = period;
  {
    std::lock_guard<std::mutex> lock(StopMutex);
    quit_ = false;
  }
  thread_ = std::thread([this] { Body(); });
}

void CRegistrationWatchdog::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(StopMutex);
    quit_ = true;
  }
  StopCondition.notify_all();
  thread_.join();
}

bool CRegistrationWatchdog::MustEnd() const { return quit_ || StopRequested.load(); }

void CRegistrationWatchdog::Body() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(StopMutex);
      if (MustEnd()) return;
    }
    bool goOn = true;
    try {
      goOn = Check();
    } catch (const CCommonException& e) {
      WriteTimeStampedLine(std::wcerr, e.Text());
    } catch (const std::exception& e) {
      WriteTimeStampedLine(std::wcerr, ExceptionText(e));
    } catch (const CORBA::Exception& e) {
      WriteTimeStampedLine(std::wcerr, ExceptionText(e));
    }
    if (!goOn) return;
    std::unique_lock<std::mutex> lock(StopMutex);
    StopCondition.wait_for(lock, period_, [this] { return MustEnd(); });
  }
}

bool CRegistrationWatchdog::Check() {
  ZavediDedozozuriz::Workstation_var found = server_->FindWorkstation(name_);
  if (!CORBA::is_nil(found)) return true;
  std::wcerr
      << L"Missing workstation registration detected on the Coordinator. Workstation will be unavailable "
         L"for external requests until reregister"
      << std::endl;
  (void)server_->UnbindObject(narrowName_.c_str(), kWorkstationKind);
  if (CORBA::is_nil(workstation_)) {
    std::wcerr << L"Can't update workstation registration on the Coordinator. Servant does not exists."
               << std::endl;
    return false;
  }
  if (server_->RegisterWithRetry(narrowName_.c_str(), kWorkstationKind, workstation_) != 0) {
    std::wcerr
        << L"Can't update workstation registration on the Coordinator. May be Coordinator service doesn't "
           L"running"
        << std::endl;
  } else {
    std::wcerr << L"Workstation successfully reregistered on the Coordinator" << std::endl;
  }
  return true;
}

}  // namespace zr
