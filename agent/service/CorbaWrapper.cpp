#include "agent/service/CorbaWrapper.h"

// Forces the extra code-set converters (UCS-4 among them) into every program that
// uses the wrapper; the SSL transport is not used.
#define OMNI_SSL_TRANSPORT 0
#include <omniORB4/optionalFeatures.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "agent/service/CommonException.h"
#include "idl/ExceptionInfo.h"
#include "idl/SingleThreadPoa.h"
#include "idl/WideCodeSet.h"
#include "zrlib/strings/Strings.h"
#include "zrlib/system/System.h"

namespace zr {

namespace {

const char kNetworkContextId[] = "QuorvaneTessarine";
const char kNetworkContextKind[] = "context";
// omniORB accepts no other ORB id.
const char kOrbId[] = "omniORB4";
const char kProgramName[] = "wsagent";

// The end notice of one run of the ORB thread. Shared with the thread, so a thread
// that was detached after a time-out never touches the wrapper again.
struct EndNotice {
  std::mutex mutex;
  std::condition_variable condition;
  bool ended = false;  // guarded by mutex
};

using ZRIdl::ExceptionInfo;

// The naming service cannot be reached: no connection (TRANSIENT), omniORB lost
// the connection it had (COMM_FAILURE), or no answer within the call time-out (TIMEOUT).
bool IsUnreachable(const CORBA::SystemException& e) {
  return CORBA::TRANSIENT::_downcast(&e) != nullptr || CORBA::COMM_FAILURE::_downcast(&e) != nullptr ||
         CORBA::TIMEOUT::_downcast(&e) != nullptr;
}

// A host as it appears in a URL or endpoint: IPv6 literals go in brackets.
std::wstring UrlHost(const std::wstring& host) {
  if (host.find(L':') != std::wstring::npos && (host.empty() || host.front() != L'[')) {
    return L"[" + host + L"]";
  }
  return host;
}

CosNaming::Name OneName(const char* id, const char* kind) {
  CosNaming::Name name;
  name.length(1);
  name[0].id = CORBA::string_dup(id);
  name[0].kind = CORBA::string_dup(kind);
  return name;
}

// Every call on a naming-service reference gives up after kNamingCallTimeoutMs, so
// a naming service that accepts the connection and never answers cannot hold a
// start, a stop or the watchdog for ever.
void BoundCalls(CORBA::Object_ptr object) {
  if (!CORBA::is_nil(object)) omniORB::setClientCallTimeout(object, CCorbaWrapper::kNamingCallTimeoutMs);
}

void Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace

// The texts of one failing ORB or naming step, by the kind of exception.
struct CCorbaWrapper::FailureTexts {
  const char* unreachable;  // a system exception saying the naming service can't be reached
  const char* system;       // any other system exception
  const char* corba;        // any other CORBA exception
  const char* unknown;      // any other exception: reported without name and info
};

struct CCorbaWrapper::OrbThread {
  std::thread thread;
  std::shared_ptr<EndNotice> notice;
};

CCorbaWrapper::CCorbaWrapper()
    : orbThread_(new (std::nothrow) OrbThread), listenHost_(ZRLib::system::GetComputerNetworkName()) {}

CCorbaWrapper::~CCorbaWrapper() { Stop(); }

void CCorbaWrapper::ReportError(const char* message, const char* name, const char* info, bool raise) {
  std::string text;
  for (const char* part : {message, name, info}) {
    if (part == nullptr) continue;
    text += part;
    text += "\n";
  }
  std::cerr << text << std::flush;
  if (raise) throw CCommonException(ZRLib::strings::toWstr(text).c_str());
}

void CCorbaWrapper::ReportCaught(const FailureTexts& texts, bool raise) {
  try {
    throw;
  } catch (const CCommonException&) {
    throw;
  } catch (const CORBA::SystemException& e) {
    ReportError(IsUnreachable(e) ? texts.unreachable : texts.system, e._name(), ExceptionInfo(e).c_str(),
                raise);
  } catch (const CORBA::Exception& e) {
    ReportError(texts.corba, e._name(), ExceptionInfo(e).c_str(), raise);
  } catch (...) {
    ReportError(texts.unknown, nullptr, nullptr, raise);
  }
}

void CCorbaWrapper::SetCustomParameters(const std::wstring& text) {
  customParameters_.Clear();
  customParameters_.ParseParameters(text);
}

int CCorbaWrapper::StartOrb(const std::wstring& host, const std::wstring& port) {
  if (!CORBA::is_nil(orb_) && host == connectedHost_ && port == connectedPort_) return 0;
  if (useCustomParameters_) {
    orbArguments_ = customParameters_;
  } else {
    orbArguments_.Clear();
    orbArguments_.Append(L"-ORBInitRef",
                         L"NameService=corbaloc::" + UrlHost(host) + L":" + port + L"/NameService");
    if (listenHost_.empty()) {
      orbArguments_.Append(L"-ORBendPoint", L"giop:tcp::" + listenPort_);
    } else {
      orbArguments_.Append(L"-ORBendPoint", L"giop:tcp:" + UrlHost(listenHost_) + L":" + listenPort_);
      orbArguments_.Append(L"-ORBendPointPublish", L"giop:tcp:" + UrlHost(listenHost_) + L":");
    }
    if (!orbDebugLevel_.empty()) orbArguments_.Append(L"-ORBtraceLevel", orbDebugLevel_);
    if (!orbLogFile_.empty()) orbArguments_.Append(L"-ORBtraceFile", orbLogFile_);
  }
  const int result = InitOrb(orbArguments_);
  if (result == 0) {
    connectedHost_ = host;
    connectedPort_ = port;
  }
  return result;
}

int CCorbaWrapper::InitOrb(const CArgumentList& arguments) {
  Stop();

  // Wide strings are UCS-4 inside the process and reach UTF-16 peers whole; set here
  // so that it also holds when custom parameters replace the argument list.
  const char* options[][2] = {{"nativeWCharCodeSet", zr::NativeWideCodeSet()}, {nullptr, nullptr}};
  try {
    std::vector<std::string> narrow;
    narrow.emplace_back(kProgramName);
    for (const std::wstring& argument : arguments.Items()) narrow.push_back(ZRLib::strings::toAstr(argument));
    std::vector<char*> argv;
    for (std::string& argument : narrow) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    int argc = static_cast<int>(narrow.size());
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv.data(), kOrbId, options);
    std::lock_guard<std::mutex> lock(referencesMutex_);
    orb_ = orb._retn();
  } catch (...) {
    static constexpr FailureTexts kTexts{
        "An error occurred while initializing the ORB", "An error occurred while initializing the ORB",
        "An error occurred while initializing the ORB", "Unknown error occurred while initializing the ORB"};
    ReportCaught(kTexts, true);
  }
  if (CORBA::is_nil(orb_)) return 1;

  {
    CosNaming::NamingContext_var root;
    (void)GetRootContext(root.out());
  }

  try {
    CORBA::Object_var object = orb_->resolve_initial_references("RootPOA");
    PortableServer::POA_var rootPoa = PortableServer::POA::_narrow(object);
    if (CORBA::is_nil(rootPoa)) {
      ReportError("An error occurred while initializing the POA", nullptr, nullptr, true);
    }
    {
      std::lock_guard<std::mutex> lock(referencesMutex_);
      rootPoa_ = PortableServer::POA::_duplicate(rootPoa);
    }
    PortableServer::POAManager_var manager = rootPoa->the_POAManager();
    // omniORB runs upcalls on several threads; one single-threaded POA keeps every
    // servant's upcalls one at a time.
    PortableServer::POA_var servantPoa = CreateSingleThreadPoa(rootPoa, "AgentPOA");
    {
      std::lock_guard<std::mutex> lock(referencesMutex_);
      servantPoa_ = servantPoa._retn();
    }
    manager->activate();
  } catch (...) {
    static constexpr FailureTexts kTexts{
        "An error occurred while initializing the POA", "An error occurred while initializing the POA",
        "An error occurred while initializing the POA", "Unknown error occurred while initializing the POA"};
    ReportCaught(kTexts, true);
  }

  if (!orbThread_) return 1;
  auto notice = std::make_shared<EndNotice>();
  CORBA::ORB_var orb = CORBA::ORB::_duplicate(orb_);
  const Callback onStart = onOrbStart_;
  const Callback onEnd = onOrbEnd_;
  try {
    orbThread_->thread = std::thread([orb, onStart, onEnd, notice]() {
      bool started = true;
      try {
        if (onStart != nullptr) onStart();
      } catch (...) {
        started = false;
      }
      if (started) {
        // A Stop that shuts the ORB down before run() is entered makes run() raise;
        // the ORB thread has ended all the same, so the end callback still runs.
        try {
          orb->run();
        } catch (...) {
        }
        try {
          if (onEnd != nullptr) onEnd();
        } catch (...) {
        }
      }
      std::lock_guard<std::mutex> lock(notice->mutex);
      notice->ended = true;
      notice->condition.notify_one();
    });
  } catch (const std::system_error&) {
    return 1;
  }
  orbThread_->notice = notice;
  return orbThread_->thread.joinable() ? 0 : 1;
}

void CCorbaWrapper::Stop(bool waitForCalls) {
  // Nothing is connected any more: a later start with the same address must not
  // take a half-started ORB for a running one.
  connectedHost_.clear();
  connectedPort_.clear();
  DestroyPoa(waitForCalls);
  StopOrb(waitForCalls);
}

void CCorbaWrapper::DestroyPoa(bool waitForCalls) {
  PortableServer::POA_var rootPoa;
  {
    std::lock_guard<std::mutex> lock(referencesMutex_);
    rootPoa = rootPoa_._retn();
    servantPoa_ = PortableServer::POA::_nil();
  }
  if (!CORBA::is_nil(rootPoa)) {
    bool destroyed = false;
    // Each of these attempts waits for the upcalls in flight.
    for (int attempt = 0; waitForCalls && attempt < 5 && !destroyed; ++attempt) {
      try {
        rootPoa->destroy(true, true);
        destroyed = true;
      } catch (const CORBA::SystemException& e) {
        ReportError("An error occurred while POA destruction", e._name(), ExceptionInfo(e).c_str(), false);
        Pause(200);
      }
    }
    if (!destroyed) {
      try {
        rootPoa->destroy(true, false);
      } catch (const CORBA::Exception& e) {
        ReportError("An error occurred while POA destruction", e._name(), ExceptionInfo(e).c_str(), false);
      }
    }
  }
}

void CCorbaWrapper::StopOrb(bool waitForCalls) {
  const bool threadRuns = orbThread_ && orbThread_->thread.joinable();
  CORBA::ORB_var orb;
  {
    std::lock_guard<std::mutex> lock(referencesMutex_);
    orb = orb_._retn();
  }
  if (!CORBA::is_nil(orb)) {
    if (threadRuns) {
      bool done = false;
      for (int attempt = 0; waitForCalls && attempt < 5 && !done; ++attempt) {
        try {
          orb->shutdown(true);
          done = true;
        } catch (const CORBA::SystemException&) {
          Pause(200);
        }
      }
      if (!done) {
        try {
          orb->shutdown(false);
        } catch (...) {
        }
      }
    }
    // Destruction waits for the upcalls in flight, whatever the shutdown did.
    try {
      if (waitForCalls) orb->destroy();
    } catch (const CORBA::Exception& e) {
      ReportError("An error occurred while stopping the ORB", e._name(), ExceptionInfo(e).c_str(), false);
    }
  }
  if (!threadRuns) return;

  // Join the thread when it ended within 3 s; detach it only when it did not.
  std::shared_ptr<EndNotice> notice = std::move(orbThread_->notice);
  bool ended = false;
  {
    std::unique_lock<std::mutex> lock(notice->mutex);
    ended = notice->condition.wait_for(lock, std::chrono::seconds(3), [&] { return notice->ended; });
  }
  if (ended && orbThread_->thread.get_id() != std::this_thread::get_id()) {
    orbThread_->thread.join();
  } else {
    orbThread_->thread.detach();
  }
}

int CCorbaWrapper::GetRootContext(CosNaming::NamingContext_out context) {
  context = CosNaming::NamingContext::_nil();
  CORBA::ORB_var orb;
  {
    std::lock_guard<std::mutex> lock(referencesMutex_);
    orb = CORBA::ORB::_duplicate(orb_);
  }
  if (CORBA::is_nil(orb)) return 1;
  try {
    CORBA::Object_var object = orb->resolve_initial_references("NameService");
    if (CORBA::is_nil(object)) {
      ReportError("Returninig nil from resolve_initial_references()", nullptr, nullptr, true);
    }
    BoundCalls(object);  // the narrow asks the naming service
    CosNaming::NamingContext_var root = CosNaming::NamingContext::_narrow(object);
    if (CORBA::is_nil(root)) ReportError("Failed to narrow the root naming context", nullptr, nullptr, true);
    BoundCalls(root);
    context = root._retn();
    return 0;
  } catch (const CORBA::NO_RESOURCES& e) {
    ReportError("An error occurred while obtain a reference to the root context", e._name(),
                ExceptionInfo(e).c_str(), true);
  } catch (const CORBA::ORB::InvalidName& e) {
    ReportError("An error occurred while obtain a reference to the root context", e._name(),
                ExceptionInfo(e).c_str(), true);
  } catch (...) {
    static constexpr FailureTexts kTexts{
        "An error occurred while obtain a reference to the root context. Coordinator could not be "
        "reached. Make shure Coordinator is running",
        "Unknown error occurred while obtain a reference to the root context",
        "Unknown error occurred while obtain a reference to the root context",
        "Unknown error occurred while obtain a reference to the root context"};
    ReportCaught(kTexts, true);
  }
  return 1;
}

int CCorbaWrapper::GetNetworkContext(CosNaming::NamingContext_out context) {
  context = CosNaming::NamingContext::_nil();
  CosNaming::NamingContext_var root;
  const int result = GetRootContext(root.out());
  if (result != 0) return result;
  const CosNaming::Name name = OneName(kNetworkContextId, kNetworkContextKind);
  try {
    CosNaming::NamingContext_var network;
    try {
      network = root->bind_new_context(name);
    } catch (const CosNaming::NamingContext::AlreadyBound&) {
      CORBA::Object_var object = root->resolve(name);
      network = CosNaming::NamingContext::_narrow(object);
      if (CORBA::is_nil(network)) ReportError("Failed to narrow naming context", nullptr, nullptr, true);
    }
    BoundCalls(network);
    context = network._retn();
    return 0;
  } catch (...) {
    static constexpr FailureTexts kTexts{
        "An error occurred while obtain a reference to the network context. Coordinator could not "
        "be reached. Make sure Coordinator is running",
        "An error occurred while obtain a reference to the network context",
        "Unknown error occurred while obtain a reference to the network context",
        "Unknown error occurred while obtain a reference to the network context"};
    ReportCaught(kTexts, true);
  }
  return 1;
}

CORBA::Object_ptr CCorbaWrapper::Resolve(const char* id1, const char* kind1, const char* id2,
                                         const char* kind2) {
  CosNaming::NamingContext_var root;
  if (GetRootContext(root.out()) != 0) return CORBA::Object::_nil();
  CosNaming::Name name;
  name.length(2);
  name[0].id = CORBA::string_dup(id1);
  name[0].kind = CORBA::string_dup(kind1);
  name[1].id = CORBA::string_dup(id2);
  name[1].kind = CORBA::string_dup(kind2);
  try {
    CORBA::Object_var found = root->resolve(name);
    BoundCalls(found);
    return found._retn();
  } catch (const CosNaming::NamingContext::NotFound& e) {
    ReportError("An error occurred while obtain an object reference", e._name(), ExceptionInfo(e).c_str(),
                false);
    const char* reason = "Unknown";
    switch (e.why) {
      case CosNaming::NamingContext::missing_node:
        reason = "Missing node. One of the components of a name specifies a binding that does not exist";
        break;
      case CosNaming::NamingContext::not_context:
        reason =
            "Not context. One of the components of a name (other than the final component) specifies a "
            "binding to an application object instead of to a context";
        break;
      case CosNaming::NamingContext::not_object:
        reason =
            "Not object. One of the components of a name specifies an object reference that dangles "
            "(points to a non-existent object)";
        break;
      default: break;
    }
    ReportError((std::string("Reason: ") + reason).c_str(), nullptr, nullptr, false);
  } catch (...) {
    static constexpr FailureTexts kTexts{
        "An error occurred while obtain an object reference. Coordinator could not be reached. Make "
        "shure Coordinator is running",
        "An error occurred while obtain an object reference",
        "An error occurred while obtain an object reference",
        "Unknown error occurred while obtain an object reference"};
    ReportCaught(kTexts, false);
  }
  return CORBA::Object::_nil();
}

int CCorbaWrapper::BindObject(const char* id, const char* kind, CORBA::Object_ptr object) {
  CosNaming::NamingContext_var network;
  const int result = GetNetworkContext(network.out());
  if (result != 0) return result;
  const CosNaming::Name name = OneName(id, kind);
  try {
    try {
      network->bind(name, object);
    } catch (const CosNaming::NamingContext::AlreadyBound&) {
      network->rebind(name, object);
    }
    return 0;
  } catch (...) {
    static constexpr FailureTexts kTexts{
        "An error occurred while binding object. Coordinator could not be reached. Make sure "
        "Coordinator is running",
        "An error occurred while binding object", "Unknown error occurred while binding object",
        "Unknown error occurred while binding object"};
    ReportCaught(kTexts, true);
  }
  return 1;
}

int CCorbaWrapper::RegisterWithRetry(const char* id, const char* kind, CORBA::Object_ptr object) {
  int result = BindObject(id, kind, object);
  for (int retries = 0; result == 2 && retries < 5; ++retries) {
    Pause(1000);
    std::cerr << "Retry to register " << id << "." << kind << std::endl;
    result = BindObject(id, kind, object);
  }
  return result;
}

int CCorbaWrapper::UnbindObject(const char* id, const char* kind) {
  CosNaming::NamingContext_var network;
  const int result = GetNetworkContext(network.out());
  if (result != 0) return result;
  try {
    network->unbind(OneName(id, kind));
    return 0;
  } catch (const CosNaming::NamingContext::NotFound&) {
    // Nothing is bound under that name: nothing to undo.
    return 0;
  } catch (...) {
    static constexpr FailureTexts kTexts{
        "An error occurred while unbinding object. Coordinator could not be reached. Make sure "
        "Coordinator is running",
        "An error occurred while unbinding object", "Unknown error occurred while unbinding object",
        "Unknown error occurred while unbinding object"};
    ReportCaught(kTexts, true);
  }
  return 1;
}

int CCorbaWrapper::DeactivateServant(PortableServer::Servant servant, PortableServer::POA_ptr poa) {
  if (servant == nullptr || CORBA::is_nil(poa)) return 1;
  try {
    PortableServer::ObjectId_var id = poa->servant_to_id(servant);
    poa->deactivate_object(id.in());
    return 0;
  } catch (const CORBA::Exception& e) {
    ReportError("An error occurred while deactivating servant", e._name(), ExceptionInfo(e).c_str(), false);
  }
  return 1;
}

}  // namespace zr
