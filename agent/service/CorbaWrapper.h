#pragma once

#include <omniORB4/CORBA.h>

#include <memory>
#include <mutex>
#include <omniORB4/Naming.hh>
#include <string>

#include "agent/service/ArgumentList.h"

namespace zr {

// Owns the agent's ORB, its POAs, the thread that runs the ORB, and every call into
// the naming service. Every CORBA failure is written to the narrow standard error
// stream by ReportError; where the operation says "raises", ReportError then throws
// CCommonException with the same text.
//
// Threads: the ORB runs on a thread of its own. Servants are activated in Poa(),
// a single-threaded child of the root POA, so upcalls never run concurrently.
// StartOrb and Stop run on the main thread. The naming operations may also run on
// another thread (the watchdog), also while Stop runs: they then fail as if the
// naming service were gone. Every naming call is bounded by kNamingCallTimeoutMs.
class CCorbaWrapper {
 public:
  using Callback = void (*)();

  // Client call time-out of every naming-service reference the wrapper obtains
  // (and of the objects Resolve returns): a naming call that gets no answer fails
  // with TIMEOUT after this long, reported as an unreachable naming service.
  // Independent of the settings.
  static constexpr CORBA::ULong kNamingCallTimeoutMs = 5000;

  CCorbaWrapper();
  // Stops POA and ORB when they still exist.
  virtual ~CCorbaWrapper();
  CCorbaWrapper(const CCorbaWrapper&) = delete;
  CCorbaWrapper& operator=(const CCorbaWrapper&) = delete;

  // Writes each non-null text followed by "\n" to std::cerr and flushes; when `raise`
  // is set, throws CCommonException with that text.
  // REQUIRES: std::ios::sync_with_stdio(false) at program start when wide log lines
  // also go to stderr, or the two orientations silence each other.
  virtual void ReportError(const char* message, const char* name, const char* info, bool raise);

  // Starts an ORB whose naming service is at `host`:`port`. Unless the custom
  // parameters are in use, the ORB gets "-ORBInitRef NameService=corbaloc::H:P/NameService",
  // "-ORBendPoint giop:tcp:LH:LP" (plus "-ORBendPointPublish giop:tcp:LH:"), or
  // "giop:tcp::LP" without a listen host, and "-ORBtraceLevel"/"-ORBtraceFile" when
  // set; IPv6 literals are bracketed. Wide strings are always native UCS-4
  // (zr::NativeWideCodeSet).
  // Returns 0 at once when an ORB for the same host and port runs; otherwise stops any
  // previous ORB first. 0 on success, non-zero when no ORB or no ORB thread came up.
  // Raises when the ORB, the root context or the POAs fail.
  [[nodiscard]] int StartOrb(const std::wstring& host, const std::wstring& port);

  // True when a TCP connection to `host`:`port` (a number or a service name) could be
  // made within `seconds`; the connection is closed at once. Every address of the
  // host name is tried in turn until one accepts or the time is up. False when the
  // name does not resolve. Any thread.
  static bool ProbeTcp(const std::wstring& host, const std::wstring& port, int seconds);

  // Destroys the POAs, shuts the ORB down and destroys it, and ends the ORB thread
  // (waiting at most 3 s for it). With `waitForCalls` it waits for the upcalls in
  // flight to complete; without, it returns while they still run: POAs and ORB are
  // then left to go down behind them (the ORB is not destroyed, the thread is
  // detached), for a process that ends next. Safe to call when nothing runs.
  // Never raises.
  void Stop(bool waitForCalls = true);

  // The naming service's root context. 1 when there is no ORB; otherwise 0 or raises.
  [[nodiscard]] int GetRootContext(CosNaming::NamingContext_out context);

  // The network context {"QuorvaneTessarine", "context"} under the root context,
  // created when missing. Non-zero when there is no ORB; otherwise 0 or raises.
  [[nodiscard]] int GetNetworkContext(CosNaming::NamingContext_out context);

  // Resolves {id1, kind1}/{id2, kind2} from the root context. The caller owns the
  // result; nil on any naming or CORBA failure (reported, never raised). Raises only
  // when the root context cannot be obtained.
  CORBA::Object_ptr Resolve(const char* id1, const char* kind1, const char* id2, const char* kind2);

  // Binds `object` as {id, kind} under the network context, replacing an existing
  // binding. 0 on success (also non-zero when there is no ORB); raises on failure.
  [[nodiscard]] int BindObject(const char* id, const char* kind, CORBA::Object_ptr object);

  // BindObject, retried up to 5 times, 1000 ms apart, while it returns 2.
  [[nodiscard]] int RegisterWithRetry(const char* id, const char* kind, CORBA::Object_ptr object);

  // Removes the binding {id, kind} under the network context. A name that is not
  // bound counts as done. 0 on success (non-zero when there is no ORB); raises on failure.
  [[nodiscard]] int UnbindObject(const char* id, const char* kind);

  // Deactivates `servant` in `poa`. 0 on success; 1 (reported, not raised) when the
  // POA refuses. The caller still owns its reference to the servant.
  [[nodiscard]] int DeactivateServant(PortableServer::Servant servant, PortableServer::POA_ptr poa);

  // The POA every servant of the agent lives in: single-threaded, implicit
  // activation. Servants return a duplicate of it from _default_POA(). Nil while
  // no ORB runs. Not owned by the caller; valid until Stop.
  PortableServer::POA_ptr Poa() const { return servantPoa_.in(); }
  // The ORB (nil while none runs). Not owned by the caller.
  CORBA::ORB_ptr Orb() const { return orb_.in(); }

  // Arguments handed to the last ORB start (without the program name in front).
  const CArgumentList& OrbArguments() const { return orbArguments_; }

  void SetListenHost(const std::wstring& host) { listenHost_ = host; }
  void SetListenPort(const std::wstring& port) { listenPort_ = port; }
  void SetOrbLogFile(const std::wstring& file) { orbLogFile_ = file; }
  void SetOrbDebugLevel(const std::wstring& level) { orbDebugLevel_ = level; }
  // Replaces the custom ORB parameters by the pieces of `text`; throws
  // CCommonException on an unclosed quote.
  void SetCustomParameters(const std::wstring& text);
  // With the flag set, StartOrb passes the custom parameters alone to the ORB.
  void SetUseCustomParameters(bool use) { useCustomParameters_ = use; }
  void SetOrbStartCallback(Callback callback) { onOrbStart_ = callback; }
  void SetOrbEndCallback(Callback callback) { onOrbEnd_ = callback; }

 private:
  struct OrbThread;
  struct FailureTexts;

  int InitOrb(const CArgumentList& arguments);
  // Called inside a handler: reports the exception being handled through
  // ReportError with its name and info and the text of `texts` for its kind,
  // and raises when `raise`. A CCommonException passes unchanged.
  void ReportCaught(const FailureTexts& texts, bool raise);
  void DestroyPoa(bool waitForCalls);
  void StopOrb(bool waitForCalls);
  void RunOrb();

  std::unique_ptr<OrbThread> orbThread_;  // null when it could not be allocated
  // Stop may run while the watchdog is inside a naming call: the references are
  // swapped under this mutex and callers work on their own duplicates.
  mutable std::mutex referencesMutex_;
  CORBA::ORB_var orb_;                  // guarded by referencesMutex_
  PortableServer::POA_var rootPoa_;     // guarded by referencesMutex_
  PortableServer::POA_var servantPoa_;  // guarded by referencesMutex_
  std::wstring connectedHost_;
  std::wstring connectedPort_;
  std::wstring orbLogFile_;
  std::wstring orbDebugLevel_;
  std::wstring listenHost_;
  std::wstring listenPort_;
  bool useCustomParameters_ = false;
  CArgumentList customParameters_;
  CArgumentList orbArguments_;
  Callback onOrbStart_ = nullptr;
  Callback onOrbEnd_ = nullptr;
};

}  // namespace zr
