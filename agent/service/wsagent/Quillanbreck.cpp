#include "agent/service/wsagent/Quillanbreck.h"

#include <codecvt>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <locale>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "agent/data/Settings.h"
#include "agent/service/CommonException.h"
#include "agent/service/StopSignalThread.h"
#include "agent/service/TimeStamp.h"
#include "agent/service/servants/WorkstationServant.h"
#include "agent/service/wsagent/ExceptionText.h"
#include "zrlib/strings/Strings.h"

namespace zr {
namespace {

const char kWorkstationKind[] = "workstation";
const int kProbeSeconds = 10;

// A locale like `base` whose wide characters are written as UTF-8.
std::locale WithUtf8(const std::locale& base) { return std::locale(base, new std::codecvt_utf8<wchar_t>); }

}  // namespace

CQuillanbreck::CQuillanbreck(std::chrono::milliseconds watchdogPeriod, std::chrono::milliseconds drainLimit)
    : watchdogPeriod_(watchdogPeriod), drainLimit_(drainLimit) {
  SetOrbEndCallback(RequestShutdown);
  CSettings* settings = CSettings::Instance();
  if (settings == nullptr) throw std::bad_alloc();
  settings->Load();
}

CQuillanbreck::~CQuillanbreck() {
  watchdog_.Stop();
  if (savedBuffer_ != nullptr) {
    if (logBuffer_) logBuffer_->FlushPending();
    std::wcerr.rdbuf(savedBuffer_);
  }
  if (logFile_.is_open()) logFile_.close();
  CSettings::Release();
}

void CQuillanbreck::FlushLog() {
  // Whole lines are in the file already.
  if (logBuffer_) logBuffer_->FlushPending();
}

void CQuillanbreck::ApplyOptions() {
  CSettings* settings = CSettings::Instance();
  std::wstring value;
  if (commandLine_.GetOption(L"--CoordinatorHost", value)) (void)settings->SetCoordinatorHost(value);
  if (commandLine_.GetOption(L"--CoordinatorPort", value)) (void)settings->SetCoordinatorPort(value);
  if (commandLine_.GetOption(L"-h", value)) SetListenHost(value);
  if (commandLine_.GetOption(L"-p", value)) SetListenPort(value);
  if (commandLine_.GetOption(L"--CustomORBParameters", value)) {
    SetCustomParameters(value);
    SetUseCustomParameters(true);
  }
}

void CQuillanbreck::OpenLog() {
  if (logOpened_) return;
  logOpened_ = true;
  // The signal thread runs already: it writes its line under the same mutex.
  std::lock_guard<std::mutex> stopLock(StopMutex);
  CSettings* settings = CSettings::Instance();
  const std::wstring path = settings->GetLogFilePath();
  const std::string narrowPath = ZRLib::strings::toAstr(path);
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(narrowPath).parent_path(), ignored);
  { std::ofstream truncate(narrowPath, std::ios::out | std::ios::trunc); }

  // The ORB refuses to start with a trace file it cannot open (a log folder that
  // cannot be made): the run goes on without it, as it does without its log.
  const std::wstring traceFile = path + L".crb";
  if (std::ofstream(ZRLib::strings::toAstr(traceFile), std::ios::out | std::ios::app).is_open()) {
    SetOrbLogFile(traceFile);
  }
  SetOrbDebugLevel(settings->GetDebugLevel());

  std::wcerr.imbue(WithUtf8(std::wcerr.getloc()));
  // Imbued before it is opened: a file stream cannot change its conversion once
  // it has written, and without UTF-8 the first non-ASCII character would fail
  // the stream and silence every later line.
  logFile_.imbue(WithUtf8(logFile_.getloc()));
  logFile_.open(narrowPath, std::ios::out | std::ios::trunc);
  savedBuffer_ = std::wcerr.rdbuf();
  if (logFile_.is_open()) {
    logBuffer_.reset(new CLineLockedBuffer(logFile_.rdbuf()));
    std::wcerr.rdbuf(logBuffer_.get());
  }
}

int CQuillanbreck::Run(const CArgumentList& commandLine, const std::wstring& programPath) {
  int result = 1;
  // The text of the exception that ended the run, written once the log is set up.
  std::wstring failure;
  try {
    programPath_ = programPath;
    commandLine_ = commandLine;
    ApplyOptions();
    OpenLog();
    CSettings* settings = CSettings::Instance();
    WriteTimeStampedLine(std::wcerr, L"Start backup workstation");
    const std::wstring host = settings->GetCoordinatorHost();
    std::wcerr << L"Connecting to the Coordinator on the host '" << host << L"'..." << std::endl;
    if (ConnectCoordinator() != 0) {
      std::wcerr << L"Can't connect to Coordinator. Workstation will be stopped" << std::endl;
    } else {
      std::wcerr << L"Connected to Coordinator on the host '" << host << L"'" << std::endl;
      result = Serve();
      if (result != 0) std::wcerr << L"Workstation start failed" << std::endl;
    }
    WriteTimeStampedLine(std::wcerr, L"Stop backup workstation");
    return result;
  } catch (const CCommonException& e) {
    failure = e.Text();
  } catch (const std::exception& e) {
    failure = ExceptionText(e);
  }
  // An exception before the log was set up (a bad option) still reaches the log.
  try {
    OpenLog();
  } catch (const std::exception&) {
  }
  WriteTimeStampedLine(std::wcerr, failure);
  return result;
}

int CQuillanbreck::ConnectCoordinator() {
  CSettings* settings = CSettings::Instance();
  const std::wstring host = settings->GetCoordinatorHost();
  const std::wstring port = settings->GetCoordinatorPort();
  int result = 1;
  if (ProbeTcp(host, port, kProbeSeconds)) {
    result = StartOrb(host, port);
    if (result != 0) {
      std::wcerr << L"Coordinator doesn't found on the host '" << host << L"'" << std::endl;
      return result;
    }
  }
  if (result != 0 && settings->GetEnableCoordinatorAutoSearch()) {
    std::wcerr << L"Trying to find Coordinator in the current domain..." << std::endl;
    std::wcerr << L"Coordinator doesn't found in the current domain" << std::endl;
    result = 1;
  }
  return result;
}

int CQuillanbreck::Serve() {
  CSettings* settings = CSettings::Instance();
  workstation_ = new (std::nothrow) WorkstationServant(*this, settings->GetName(), programPath_);
  if (workstation_ == nullptr) {
    std::wcerr << L"Can't allocate memory for the workstation" << std::endl;
    return 1;
  }
  CORBA::Object_var reference;
  try {
    reference = workstation_->Activate();
  } catch (const CORBA::Exception&) {
    std::wcerr << L"Can't activate workstation servant" << std::endl;
    DropWorkstation();
    return 1;
  }

  std::wcerr << L"Take online (Register Workstation on the Coordinator)" << std::endl;
  const std::string narrowName = settings->GetNarrowName();
  int registered = 1;
  try {
    registered = RegisterWithRetry(narrowName.c_str(), kWorkstationKind, reference.in());
  } catch (...) {
    DropWorkstation();
    throw;
  }
  if (registered != 0) {
    std::wcerr << L"Can't register Workstation on the Coordinator" << std::endl;
    DropWorkstation();
    return 1;
  }
  WriteTimeStampedLine(std::wcerr, L"==== STARTED ====");
  std::wcerr << std::endl;

  try {
    watchdog_.Start(*this, settings->GetName(), narrowName, reference.in(), watchdogPeriod_);
  } catch (const std::system_error& e) {
    WriteTimeStampedLine(std::wcerr, ExceptionText(e));
  }
  WaitForStop();

  std::wcerr << std::endl;
  WriteTimeStampedLine(std::wcerr, L"==== STOPPING ====");
  // Joined first: it must not bind the name again after the unbind below.
  watchdog_.Stop();
  std::wcerr << L"Take offline (Unregister Workstation on the Coordinator)" << std::endl;
  try {
    (void)UnbindObject(narrowName.c_str(), kWorkstationKind);
  } catch (const CCommonException& e) {
    // The naming service may be gone: the entry is then gone with it, or stale.
    WriteTimeStampedLine(std::wcerr, e.Text());
  }
  if (DrainRequests()) {
    DropWorkstation();
  } else {
    WriteTimeStampedLine(std::wcerr, L"Remote calls still running: the extensions stay loaded");
    workstation_ = nullptr;  // left to the calls that still use it
    leftCallsRunning_ = true;
  }
  std::wcerr << L"Closing active connections..." << std::endl;
  // Waiting for the calls that did not drain would wait for ever.
  Stop(!leftCallsRunning_);
  std::wcerr << L"    Done" << std::endl;
  return 0;
}

void CQuillanbreck::DropWorkstation() {
  if (workstation_ == nullptr) return;
  // Deactivation closes the sessions and drops the POA's reference; the creation
  // reference goes last, so the servant (and the extensions it loaded) goes here.
  workstation_->Deactivate();
  workstation_->_remove_ref();
  workstation_ = nullptr;
}

bool CQuillanbreck::DrainRequests() {
  PortableServer::POA_ptr poa = Poa();
  if (CORBA::is_nil(poa)) return true;
  PortableServer::POAManager_var manager;
  try {
    manager = poa->the_POAManager();
  } catch (const CORBA::Exception&) {
    return true;
  }
  struct Done {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;  // guarded by mutex
  };
  auto done = std::make_shared<Done>();
  std::thread holder([manager, done] {
    try {
      manager->hold_requests(true);
    } catch (const CORBA::Exception&) {
      // An ORB that is going down holds nothing any more.
    }
    std::lock_guard<std::mutex> lock(done->mutex);
    done->done = true;
    done->condition.notify_all();
  });
  bool drained = false;
  {
    std::unique_lock<std::mutex> lock(done->mutex);
    drained = done->condition.wait_for(lock, drainLimit_, [&] { return done->done; });
  }
  if (drained) {
    holder.join();
  } else {
    // A call that never returns cannot be joined; the thread ends with it.
    holder.detach();
  }
  return drained;
}

}  // namespace zr
