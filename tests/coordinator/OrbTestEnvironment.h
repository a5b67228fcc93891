#pragma once

// One client ORB per test program, made before the first test and destroyed
// after the last. Include from exactly one source file of a test program.
#include <gtest/gtest.h>

#include <string>

#include "tests/coordinator/TestOrb.h"
#include "tests/support/WideText.h"

namespace zrtest {
namespace {

CORBA::ORB_ptr g_orb = CORBA::ORB::_nil();

class OrbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { g_orb = InitTestOrb(); }
  void TearDown() override {
    g_orb->destroy();
    CORBA::release(g_orb);
  }
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

}  // namespace
}  // namespace zrtest
