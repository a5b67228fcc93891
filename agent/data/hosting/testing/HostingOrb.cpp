#include "agent/data/hosting/testing/HostingOrb.h"

#include <gtest/gtest.h>

#include <utility>

#include "tests/coordinator/TestOrb.h"

namespace hostingtest {

namespace {

// Destroys the ORB after the last test, so that its servants are released.
class OrbEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { Orb()->destroy(); }
};
::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

}  // namespace

CORBA::ORB_ptr Orb() {
  static CORBA::ORB_var orb = zrtest::InitTestOrb();
  return orb.in();
}

CORBA::Object_ptr DeadReference() { return Orb()->string_to_object("corbaloc::127.0.0.1:1/Nothing"); }

void RaiseOn(zrtest::TestCoordinator& coordinator, std::set<std::string> operations) {
  if (operations.empty()) {
    coordinator.State().SetUpcallObserver(nullptr);
    return;
  }
  coordinator.State().SetUpcallObserver([operations = std::move(operations)](const std::string& called) {
    if (operations.count(called) != 0) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
  });
}

}  // namespace hostingtest
