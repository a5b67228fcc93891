#include "idl/CallTimeouts.h"

#include <atomic>

namespace zr {

namespace {

std::atomic<CORBA::ULong> g_coordinatorMs{CallTimeouts{}.coordinatorMs};
std::atomic<CORBA::ULong> g_agentDataMs{CallTimeouts{}.agentDataMs};

void Bound(CORBA::Object_ptr reference, CORBA::ULong milliseconds) {
  if (!CORBA::is_nil(reference)) omniORB::setClientCallTimeout(reference, milliseconds);
}

}  // namespace

CallTimeouts GetCallTimeouts() {
  CallTimeouts timeouts;
  timeouts.coordinatorMs = g_coordinatorMs.load();
  timeouts.agentDataMs = g_agentDataMs.load();
  return timeouts;
}

void SetCallTimeouts(const CallTimeouts& timeouts) {
  g_coordinatorMs = timeouts.coordinatorMs;
  g_agentDataMs = timeouts.agentDataMs;
}

void BoundCoordinatorCalls(CORBA::Object_ptr reference) { Bound(reference, g_coordinatorMs.load()); }

void BoundAgentDataCalls(CORBA::Object_ptr reference) { Bound(reference, g_agentDataMs.load()); }

}  // namespace zr
