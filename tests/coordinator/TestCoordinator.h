#pragma once

#include <filesystem>

#include "Tessarine.hh"
#include "tests/coordinator/CoordinatorState.h"

namespace zrtest {

class SessionServant;
class LogServant;
class ProgressServant;

// A Coordinator in the test's own process: a Session, a Log and an
// OperationProgress (and the Links the Session opens), served by a child
// POA of the ORB's RootPOA with SINGLE_THREAD_MODEL and IMPLICIT_ACTIVATION,
// so upcalls never overlap. Configure answers and read what was sent
// through State().
class TestCoordinator {
 public:
  // Uses `orb` (initialised by the caller, kept alive longer than this
  // object) and activates the RootPOA's manager. `record_file`, when not
  // empty, receives each call as it arrives (see CoordinatorState).
  explicit TestCoordinator(CORBA::ORB_ptr orb, const std::filesystem::path& record_file = {});
  // Destroys the POA, waiting for running upcalls, and releases the servants.
  // REQUIRES: not called from an upcall of this Coordinator.
  ~TestCoordinator();

  TestCoordinator(const TestCoordinator&) = delete;
  TestCoordinator& operator=(const TestCoordinator&) = delete;

  // New references; the caller releases them.
  Tessarine::Session_ptr Session() const;
  Tessarine::Log_ptr Log() const;
  Tessarine::OperationProgress_ptr Progress() const;
  PortableServer::POA_ptr Poa() const;

  CoordinatorState& State() { return state_; }
  const CoordinatorState& State() const { return state_; }

 private:
  CoordinatorState state_;
  PortableServer::POA_var poa_;
  SessionServant* session_ = nullptr;
  LogServant* log_ = nullptr;
  ProgressServant* progress_ = nullptr;
};

}  // namespace zrtest
