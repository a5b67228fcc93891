// The ORB of the hosting tests and small helpers around the shared test
// Coordinator.

#pragma once

#include <set>
#include <string>

#include "Tessarine.hh"
#include "tests/coordinator/TestCoordinator.h"

namespace hostingtest {

// The process ORB (loopback endpoint), made on the first call and destroyed
// after the last test. Not owned by the caller.
CORBA::ORB_ptr Orb();

// A reference to a port on 127.0.0.1 where nothing listens: every call
// raises TRANSIENT. The caller releases it.
CORBA::Object_ptr DeadReference();

// From now on every call of one of `operations` on `coordinator` is recorded
// and then raises TRANSIENT, as a Coordinator that went away; an empty set
// ends that.
void RaiseOn(zrtest::TestCoordinator& coordinator, std::set<std::string> operations);

}  // namespace hostingtest
