// Client call time-outs of the remote references the agent calls. The agent's
// upcalls run one at a time, so a call that never gets its answer would hold
// every session: each reference gets its bound before the first call on it.

#pragma once

#include <omniORB4/CORBA.h>

namespace zr {

struct CallTimeouts {
  // The Coordinator's objects (Session, Log, Link, OperationProgress) and the
  // Session of another agent that the Coordinator hands over.
  CORBA::ULong coordinatorMs = 10 * 1000;
  // Another agent's data interfaces: a database restore runs inside CloseFile.
  CORBA::ULong agentDataMs = 30 * 60 * 1000;
};

// The time-outs that the two functions below give; the defaults above unless
// SetCallTimeouts changed them. Any thread.
CallTimeouts GetCallTimeouts();
// Replaces the time-outs for the references bounded from now on (tests shorten
// them); references bounded before keep theirs. Any thread.
void SetCallTimeouts(const CallTimeouts& timeouts);

// A call on `reference` that gets no answer within the Coordinator time-out
// (or the agent-data time-out) fails with CORBA::TIMEOUT. A nil reference is
// left alone. Any thread.
void BoundCoordinatorCalls(CORBA::Object_ptr reference);
void BoundAgentDataCalls(CORBA::Object_ptr reference);

}  // namespace zr
