#include <gtest/gtest.h>
#include "Tessarine.hh"
TEST(Idl, Builds) {
  EXPECT_STREQ(Tessarine::Log::_PD_repoId, "IDL:quorvane/Tessarine/Log:1.0");
  EXPECT_STREQ(Tessarine::FileFilterProperties::_PD_repoId, "IDL:quorvane/Tessarine/FileFilterProperties:1.0");
  CORBA::Any a; ZavediDedozozuriz::Attributes at{}; a <<= at;
  EXPECT_STREQ(Tessarine::_tc_CustomActionsList->id(), "IDL:quorvane/Tessarine/CustomActionsList:1.0");
}
