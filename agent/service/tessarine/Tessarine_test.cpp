#include "agent/service/tessarine/Tessarine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <string>

#include "agent/service/CommonException.h"
#include "tests/naming/NamingServiceProcess.h"
#include "tests/storage/StorageWorkstation.h"

namespace {

using namespace zr;

using zrtest::NamingServiceProcess;

class TessarineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tessarine_.SetListenHost(L"127.0.0.1");
    tessarine_.SetListenPort(L"");
    ASSERT_EQ(tessarine_.StartOrb(L"127.0.0.1", naming_.WidePort()), 0);
    storage_ = std::make_unique<zrtest::StorageWorkstation>(tessarine_.Orb(), L"WS1",
                                                            std::filesystem::temp_directory_path());
  }
  void TearDown() override {
    storage_.reset();
    tessarine_.Stop();
  }

  NamingServiceProcess naming_;
  CTessarine tessarine_;
  std::unique_ptr<zrtest::StorageWorkstation> storage_;
};

TEST_F(TessarineTest, FindsABoundWorkstation) {
  ZavediDedozozuriz::Workstation_var bound = storage_->Workstation();
  ASSERT_EQ(tessarine_.BindObject("WS1", "workstation", bound), 0);
  ZavediDedozozuriz::Workstation_var found = tessarine_.FindWorkstation(L"WS1");
  ASSERT_FALSE(CORBA::is_nil(found));
  CORBA::WString_var name = found->name();
  EXPECT_STREQ(name.in(), L"WS1");
  // A name holding U+0000 is not the name before it.
  for (const std::wstring& cut : {std::wstring(L"WS1\0evil", 8), std::wstring(L"WS1\0", 4)}) {
    ZavediDedozozuriz::Workstation_var none = tessarine_.FindWorkstation(cut);
    EXPECT_TRUE(CORBA::is_nil(none));
  }
}

TEST_F(TessarineTest, UnboundAndWronglyTypedNamesGiveNilSilently) {
  ZavediDedozozuriz::Workstation_var workstation = storage_->Workstation();
  ZavediDedozozuriz::IDLBackupDataWrite_var writer = storage_->Writer();
  CosNaming::NamingContext_var root;
  ASSERT_EQ(tessarine_.GetRootContext(root.out()), 0);
  CosNaming::NamingContext_var context = root->new_context();
  ASSERT_EQ(tessarine_.BindObject("Writer", "workstation", writer), 0);
  ASSERT_EQ(tessarine_.BindObject("Context", "workstation", context), 0);
  ASSERT_EQ(tessarine_.BindObject("OtherKind", "server", workstation), 0);

  testing::internal::CaptureStderr();
  for (const wchar_t* name :
       {L"Missing", L"Writer", L"Context", L"OtherKind", L"", L"WS1", L"W\u00e9\U0001F600"}) {
    ZavediDedozozuriz::Workstation_var found = tessarine_.FindWorkstation(name);
    EXPECT_TRUE(CORBA::is_nil(found)) << std::string(name, name + std::wcslen(name));
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  context->destroy();
}

TEST_F(TessarineTest, NamingServiceGoneRaises) {
  naming_.Stop();
  testing::internal::CaptureStderr();
  EXPECT_THROW((void)tessarine_.FindWorkstation(L"WS1"), CCommonException);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

TEST(TessarineWithoutOrbTest, GivesNil) {
  CTessarine tessarine;
  testing::internal::CaptureStderr();
  ZavediDedozozuriz::Workstation_var found = tessarine.FindWorkstation(L"WS1");
  EXPECT_TRUE(CORBA::is_nil(found));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
