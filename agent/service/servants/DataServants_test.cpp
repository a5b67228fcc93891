// The read and write servants of a session, driven through their object
// references; the session's log is a Coordinator in a second process.

#include <gtest/gtest.h>

#include <future>

#include "agent/service/servants/testing/AgentFixture.h"
#include "idl/CallTimeouts.h"

namespace zrtest {
namespace {

using namespace ZavediDedozozuriz;

class DataServantsTest : public AgentFixture {};

Tessarine::BinaryData Bytes(const std::string& text) {
  Tessarine::BinaryData data;
  data.length(static_cast<CORBA::ULong>(text.size()));
  for (size_t i = 0; i < text.size(); ++i)
    data[static_cast<CORBA::ULong>(i)] = static_cast<CORBA::Octet>(text[i]);
  return data;
}

TEST_F(DataServantsTest, WriteServantReachesThePluginWithItsArguments) {
  IDLBackupDataWrite_var writer = session_->GetWriteInterface();
  EXPECT_EQ(writer->SetRoot(L"TestFolder"), SUCCESS);
  EXPECT_EQ(writer->CreateFolder(L"dir"), SUCCESS);
  EXPECT_TRUE(std::filesystem::is_directory(PlainRoot() / "dir"));

  CORBA::ULong handle = 0;
  ASSERT_EQ(writer->OpenFile(L"dir\\a.bin", Write, handle), SUCCESS);
  const std::string content(100, 'x');
  Tessarine::BinaryData data = Bytes(content);
  CORBA::ULong size = 101;
  EXPECT_EQ(writer->WriteFile(data, size, handle), FAILED);  // more than was sent
  size = 100;
  EXPECT_EQ(writer->WriteFile(data, size, handle), SUCCESS);
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(writer->CloseFile(handle), SUCCESS);
  EXPECT_EQ(ReadBytes(PlainRoot() / "dir/a.bin"), content);

  Attributes attributes{};
  EXPECT_EQ(writer->GetElementAttributes(L"dir\\a.bin", attributes), SUCCESS);
  EXPECT_EQ(attributes.Size, 100u);
  EXPECT_TRUE(writer->IsPathExists(L"dir\\a.bin"));
  EXPECT_EQ(writer->GetElementAttributes(L"missing", attributes), PATH_NOT_FOUND);
  EXPECT_FALSE(writer->IsPathExists(L"missing"));

  List_var list;
  EXPECT_EQ(writer->GetListing(L"dir", list.out()), SUCCESS);
  ASSERT_EQ(list->length(), 1u);
  EXPECT_EQ(std::wstring(list[0].Name.in()), L"a.bin");

  // A name outside ASCII reaches the disk as UTF-8 and comes back intact.
  const std::wstring wide = L"dir\\\u00e9t\u00e9\U0001F600";
  EXPECT_EQ(writer->CreateFolder(wide.c_str()), SUCCESS);
  EXPECT_TRUE(std::filesystem::is_directory(
      PlainRoot() / std::filesystem::u8path("dir/\xC3\xA9t\xC3\xA9\xF0\x9F\x98\x80")));
  EXPECT_EQ(writer->GetListing(L"dir", list.out()), SUCCESS);
  ASSERT_EQ(list->length(), 2u);
  EXPECT_TRUE(std::wstring(list[0].Name.in()) == wide.substr(4) ||
              std::wstring(list[1].Name.in()) == wide.substr(4));
  EXPECT_EQ(writer->DeleteFolder(wide.c_str()), SUCCESS);

  EXPECT_EQ(writer->DeleteFile(L"dir\\a.bin"), SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(PlainRoot() / "dir/a.bin"));
  EXPECT_EQ(writer->DeleteFolder(L"dir"), SUCCESS);
  writer->OnStop();
  EXPECT_EQ(CountOf(folderPlugin_, kOnStop), 1);
}

TEST_F(DataServantsTest, ResultsOutsideThePassedSetReachTheClientAsFailed) {
  IDLBackupDataWrite_var writer = session_->GetWriteInterface();
  Attributes attributes{};
  for (int code : {2, 8, 9, 42}) {
    SetResult(codesPlugin_, code);
    EXPECT_EQ(writer->GetElementAttributes(L"TestCodes\\x", attributes), FAILED) << code;
    EXPECT_FALSE(writer->IsPathExists(L"TestCodes\\x"));
  }
  for (int code : {0, 3, 4, 5, 6, 7}) {
    SetResult(codesPlugin_, code);
    EXPECT_EQ(writer->GetElementAttributes(L"TestCodes\\x", attributes), static_cast<IDLErrorID>(code));
    EXPECT_EQ(writer->IsPathExists(L"TestCodes\\x"), code == 0);
  }
}

TEST_F(DataServantsTest, ReadReturnsTheCountDeliveredInTheBufferSent) {
  MakeFile(PlainRoot() / "forty", std::string(40, 'y'));
  IDLBackupDataRead_var reader = session_->GetReadInterface();
  CORBA::ULong handle = 0;
  ASSERT_EQ(reader->OpenFile(L"TestFolder\\forty", Read, handle), SUCCESS);
  Tessarine::BinaryData data;
  data.length(100);
  CORBA::ULong size = 100;
  EXPECT_EQ(reader->ReadFile(data, size, handle), SUCCESS);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(data.length(), 100u);
  EXPECT_EQ(data[0], 'y');
  size = 100;
  EXPECT_EQ(reader->ReadFile(data, size, handle), HANDLE_EOF);
  EXPECT_EQ(reader->CloseFile(handle), SUCCESS);
}

TEST_F(DataServantsTest, ReadServantRefusesWritingWithoutLoadingAPlugin) {
  IDLBackupDataRead_var reader = session_->GetReadInterface();
  CORBA::ULong handle = 0;
  EXPECT_EQ(reader->OpenFile(L"TestFolder\\x", Write, handle), NOT_SUPPORTED);
  EXPECT_TRUE(Logged(LogEvent::Warning,
                     L"Writing the file doesn't supported by the filesystem read interface, use write "
                     L"interface instead"));
  EXPECT_EQ(CountOf(folderPlugin_, kFactory), 0);
  EXPECT_EQ(reader->OpenFileSignature(L"TestFolder\\x", handle), NOT_SUPPORTED);
  EXPECT_EQ(reader->OpenFilePatch(L"", L"TestFolder\\x", handle), PATH_NOT_FOUND);
}

TEST_F(DataServantsTest, EveryCallMakesANewServantAndClosingEndsThemAll) {
  IDLBackupDataRead_var first = session_->GetReadInterface();
  IDLBackupDataRead_var second = session_->GetReadInterface();
  EXPECT_FALSE(first->_is_equivalent(second));
  IDLBackupDataWrite_var writer = session_->GetWriteInterface();
  EXPECT_TRUE(writer->_is_a("IDL:ZavediDedozozuriz/IDLBackupDataRead:1.0"));
  EXPECT_EQ(writer->SetRoot(L"TestFolder"), SUCCESS);
  // A delta job still open when the session ends is ended with it.
  MakeFile(PlainRoot() / "signed", std::string(3 << 20, 's'));
  CORBA::ULong signature = 0;
  ASSERT_EQ(writer->OpenFileSignature(L"signed", signature), SUCCESS);

  workstation_->CloseSession(session_);
  EXPECT_TRUE(log_.WaitFor(L"Close session of the user 'tester'"));
  EXPECT_THROW(first->SetRoot(L""), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(writer->SetRoot(L""), CORBA::OBJECT_NOT_EXIST);
  // The plug-in object the writer held is gone with it.
  EXPECT_EQ(CountOf(folderPlugin_, kDestroy), CountOf(folderPlugin_, kFactory));
}

// The configurable folder plug-in too: it asks its link for its folder.
class HungCoordinatorTest : public AgentFixture {
 protected:
  void InstallFilters() override {
    InstallLibrary(ZRTEST_FOLDERCONF_PATH, folder_ / "Plugins", "folderconf.so");
  }
  void TearDown() override {
    zr::SetCallTimeouts(saved_);
    AgentFixture::TearDown();
  }
  const zr::CallTimeouts saved_ = zr::GetCallTimeouts();
};

// A Link that never answers: the upcall waiting on it fails once the (short)
// Coordinator time-out has passed, and a second client's call, held behind it
// by the one-at-a-time POA, is answered then.
TEST_F(HungCoordinatorTest, AHungLinkHoldsOtherCallsOnlyForTheCoordinatorTimeout) {
  using std::chrono::seconds;
  CoordinatorProcessOptions options;
  options.hang = {"GetParameter"};
  std::filesystem::create_directories(folder_ / "hanging");
  CoordinatorProcess hanging(AgentOrb().Orb(), folder_ / "hanging", options);
  Tessarine::Session_var coordinatorSession = hanging.Session();
  Tessarine::Log_var log = hanging.Log();
  Session_var session = workstation_->OpenSession(coordinatorSession, log);
  IDLBackupDataRead_var reader = session->GetReadInterface();

  zr::CallTimeouts timeouts = saved_;
  timeouts.coordinatorMs = 1000;
  zr::SetCallTimeouts(timeouts);
  // Without an answer from the link the plug-in has no folder at all.
  ::unsetenv("ZRTEST_FOLDER_ROOT");
  auto hung = std::async(std::launch::async, [&] {
    CORBA::ULong handle = 0;
    return reader->OpenFile(L"TestFolderConf\\conn\\file", Read, handle);
  });
  const bool asked = hanging.WaitForCalls("GetParameter", 1, seconds(30));
  auto second = std::async(std::launch::async, [&] {
    CORBA::WString_var name = workstation_->name();
    return std::wstring(name.in());
  });
  const bool answered = second.wait_for(seconds(1 + 30)) == std::future_status::ready;
  // Whatever happened, the calls end with the Coordinator.
  if (!answered) hanging.Stop();
  ASSERT_TRUE(asked);
  EXPECT_TRUE(answered);
  EXPECT_EQ(second.get(), L"ws");
  EXPECT_EQ(hung.get(), FAILED);
  ::setenv("ZRTEST_FOLDER_ROOT", PlainRoot().c_str(), 1);
}

}  // namespace
}  // namespace zrtest
