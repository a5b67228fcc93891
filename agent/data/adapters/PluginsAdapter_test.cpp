#include "agent/data/adapters/PluginsAdapter.h"

#include <gtest/gtest.h>

#include "agent/data/adapters/AttributeConversion.h"
#include "agent/data/hosting/testing/HostingFixture.h"

namespace {

using ReadAdapter = zr::CPluginsAdapter<IBackupDataRead>;
using WriteAdapter = zr::CPluginsAdapter<IBackupDataWrite>;
namespace Z = ZavediDedozozuriz;

class PluginsAdapterTest : public hostingtest::HostingFixture {
 protected:
  std::unique_ptr<ReadAdapter> MakeRead() {
    return std::make_unique<ReadAdapter>(sessionRef_.in(), &log_, extensions_.get());
  }
  std::unique_ptr<WriteAdapter> MakeWrite() {
    return std::make_unique<WriteAdapter>(sessionRef_.in(), &log_, extensions_.get());
  }
  static Tessarine::BinaryData Bytes(const std::string& text) {
    Tessarine::BinaryData data;
    data.length(static_cast<CORBA::ULong>(text.size()));
    for (CORBA::ULong i = 0; i < data.length(); ++i) data[i] = static_cast<CORBA::Octet>(text[i]);
    return data;
  }
};

TEST_F(PluginsAdapterTest, PassesOnlyTheCodesTheRemoteSideMaySee) {
  auto adapter = MakeWrite();
  for (int code : {0, 3, 4, 5, 6, 7}) {
    zrtest::SetResult(codes_, code);
    EXPECT_EQ(code, adapter->CreateFolder(L"TestCodes\\x")) << code;
    EXPECT_EQ(code, adapter->CommitTransaction()) << code;
  }
  // -1 makes the plug-in raise a CORBA exception, which the broker turns into 1.
  for (int code : {1, 2, 8, 9, 42, -1}) {
    zrtest::SetResult(codes_, code);
    EXPECT_EQ(Z::FAILED, adapter->CreateFolder(L"TestCodes\\x")) << code;
    CORBA::ULong handle = 0;
    EXPECT_EQ(Z::FAILED, adapter->OpenFile(L"TestCodes\\x", Z::Read, handle)) << code;
    Z::Attributes attributes;
    EXPECT_EQ(Z::FAILED, adapter->GetElementAttributes(L"TestCodes\\x", attributes)) << code;
  }
  EXPECT_EQ(Z::FAILED, zr::ToRemoteResult(-1));
}

TEST_F(PluginsAdapterTest, ReadAdapterRefusesEveryChangeWithoutMakingAPlugin) {
  auto adapter = MakeRead();
  const std::wstring path = L"TestCodes\\x";
  Z::Attributes attributes;
  CORBA::ULong handle = 0;
  Tessarine::BinaryData data = Bytes("abc");
  CORBA::ULong size = 3;
  EXPECT_EQ(Z::NOT_SUPPORTED, adapter->SetElementAttributes(path, attributes));
  EXPECT_EQ(Z::NOT_SUPPORTED, adapter->CreateFolder(path));
  EXPECT_EQ(Z::NOT_SUPPORTED, adapter->DeleteFolder(path));
  EXPECT_EQ(Z::NOT_SUPPORTED, adapter->DeleteFile(path));
  EXPECT_EQ(Z::NOT_SUPPORTED, adapter->OpenFilePatching(path, path, handle));
  EXPECT_EQ(Z::NOT_SUPPORTED, adapter->WriteFile(data, size, handle));
  EXPECT_EQ(Z::NOT_SUPPORTED, adapter->OpenFile(path, Z::Write, handle));
  const std::vector<hostingtest::RecordingLog::Line> expected = {
      {LogEvent::Warning, ReadAdapter::kNoSetAttributes}, {LogEvent::Warning, ReadAdapter::kNoCreateFolder},
      {LogEvent::Warning, ReadAdapter::kNoDeleteFolder},  {LogEvent::Warning, ReadAdapter::kNoDeleteFile},
      {LogEvent::Warning, ReadAdapter::kNoWriting},       {LogEvent::Warning, ReadAdapter::kNoWriting},
      {LogEvent::Warning, ReadAdapter::kNoWriting}};
  EXPECT_EQ(expected, log_.Lines());
  const std::wstring tail =
      L" doesn't supported by the filesystem read interface, use write interface instead";
  EXPECT_EQ(L"Setting file attributes" + tail, ReadAdapter::kNoSetAttributes);
  EXPECT_EQ(L"Folder creation" + tail, ReadAdapter::kNoCreateFolder);
  EXPECT_EQ(L"Folder deletion" + tail, ReadAdapter::kNoDeleteFolder);
  EXPECT_EQ(L"File deletion" + tail, ReadAdapter::kNoDeleteFile);
  EXPECT_EQ(L"Writing the file" + tail, ReadAdapter::kNoWriting);
  // The delta opens of the read interface: 3 for an empty path, else 6.
  EXPECT_EQ(Z::PATH_NOT_FOUND, adapter->OpenFileSignature(L"", handle));
  EXPECT_EQ(Z::NOT_SUPPORTED, adapter->OpenFileSignature(path, handle));
  EXPECT_EQ(Z::PATH_NOT_FOUND, adapter->OpenFilePatch(L"", path, handle));
  EXPECT_EQ(Z::PATH_NOT_FOUND, adapter->OpenFilePatch(path, L"", handle));
  EXPECT_EQ(Z::NOT_SUPPORTED, adapter->OpenFilePatch(path, path, handle));
  EXPECT_EQ(0, zrtest::CountOf(codes_, zrtest::kFactory));
  EXPECT_EQ(0, zrtest::CountOf(codes_, zrtest::kOpen));
}

TEST_F(PluginsAdapterTest, TimesAreSignExtendedOutAndCutBackIn) {
  MakeFile(plainRoot() / "t.txt", "t");
  auto adapter = MakeWrite();
  Z::Attributes in;
  in.Creation = 0;
  in.LastAccess = 0;
  in.Modification = 0xffffffffffffffffull;  // cut to -1
  in.Mask = CFileAttributes::kMaskModification;
  in.CustomAttr = CORBA::wstring_dup(L"");
  ASSERT_EQ(Z::SUCCESS, adapter->SetElementAttributes(L"TestFolder\\t.txt", in));
  Z::Attributes out;
  ASSERT_EQ(Z::SUCCESS, adapter->GetElementAttributes(L"TestFolder\\t.txt", out));
  EXPECT_EQ(0xffffffffffffffffull, out.Modification);
  in.Modification = 0x100000005ull;  // cut to 5
  ASSERT_EQ(Z::SUCCESS, adapter->SetElementAttributes(L"TestFolder\\t.txt", in));
  ASSERT_EQ(Z::SUCCESS, adapter->GetElementAttributes(L"TestFolder\\t.txt", out));
  EXPECT_EQ(5u, out.Modification);
  EXPECT_EQ(1, out.Size);
  EXPECT_EQ(CFileAttributes::kTypeNormal, out.Type);

  // The conversion by itself, with the fields the folder plug-in does not keep.
  CFileAttributes local(-1, -2, 7, 1ull << 40, 16, 15);
  local.CustomAttr = L"ä";
  const Z::Attributes remote = zr::ToRemoteAttributes(local);
  EXPECT_EQ(0xffffffffffffffffull, remote.Creation);
  EXPECT_EQ(0xfffffffffffffffeull, remote.LastAccess);
  EXPECT_EQ(7u, remote.Modification);
  EXPECT_EQ(1ll << 40, remote.Size);
  EXPECT_EQ(15, remote.Mask);
  const CFileAttributes back = zr::FromRemoteAttributes(remote);
  EXPECT_EQ(-1, back.Creation);
  EXPECT_EQ(-2, back.LastAccess);
  EXPECT_EQ(1ull << 40, back.Size);
  EXPECT_EQ(16u, back.Type);
  EXPECT_EQ(L"ä", back.CustomAttr);
}

TEST_F(PluginsAdapterTest, RemoteModeWriteOpensForWritingAnyOtherValueForReading) {
  auto adapter = MakeWrite();
  CORBA::ULong handle = 0;
  // A mode value outside the enum reads: the missing file is not created.
  EXPECT_EQ(Z::PATH_NOT_FOUND,
            adapter->OpenFile(L"TestFolder\\new.txt", static_cast<Z::FileAccessMode>(7), handle));
  EXPECT_FALSE(std::filesystem::exists(plainRoot() / "new.txt"));
  ASSERT_EQ(Z::SUCCESS, adapter->OpenFile(L"TestFolder\\new.txt", Z::Write, handle));
  Tessarine::BinaryData data = Bytes("hello");
  CORBA::ULong size = 5;
  ASSERT_EQ(Z::SUCCESS, adapter->WriteFile(data, size, handle));
  EXPECT_EQ(5u, size);
  ASSERT_EQ(Z::SUCCESS, adapter->CloseFile(handle));
  EXPECT_EQ("hello", ReadFileText(plainRoot() / "new.txt"));

  auto reader = MakeRead();
  ASSERT_EQ(Z::SUCCESS, reader->OpenFile(L"TestFolder\\new.txt", Z::Read, handle));
  Tessarine::BinaryData buffer;
  buffer.length(100);
  size = 100;
  ASSERT_EQ(Z::SUCCESS, reader->ReadFile(buffer, size, handle));
  EXPECT_EQ(5u, size);
  EXPECT_EQ(100u, buffer.length());
  EXPECT_EQ('h', buffer[0]);
  EXPECT_EQ(Z::SUCCESS, reader->CloseFile(handle));
}

TEST_F(PluginsAdapterTest, SizesBeyondTheSequenceAreRefusedAndTouchNothing) {
  MakeFile(plainRoot() / "f.txt", "0123456789");
  auto adapter = MakeWrite();
  CORBA::ULong handle = 0;
  ASSERT_EQ(Z::SUCCESS, adapter->OpenFile(L"TestFolder\\f.txt", Z::Read, handle));
  Tessarine::BinaryData buffer;
  buffer.length(4);
  CORBA::ULong size = 1000;
  EXPECT_EQ(Z::FAILED, adapter->ReadFile(buffer, size, handle));
  EXPECT_EQ(1000u, size);
  Tessarine::BinaryData empty;
  size = 1;
  EXPECT_EQ(Z::FAILED, adapter->ReadFile(empty, size, handle));
  // The read position did not move.
  size = 4;
  ASSERT_EQ(Z::SUCCESS, adapter->ReadFile(buffer, size, handle));
  EXPECT_EQ(4u, size);
  EXPECT_EQ('0', buffer[0]);
  ASSERT_EQ(Z::SUCCESS, adapter->CloseFile(handle));

  ASSERT_EQ(Z::SUCCESS, adapter->OpenFile(L"TestFolder\\w.txt", Z::Write, handle));
  Tessarine::BinaryData data = Bytes("ab");
  size = 1u << 20;
  EXPECT_EQ(Z::FAILED, adapter->WriteFile(data, size, handle));
  Tessarine::BinaryData none;
  size = 0;
  EXPECT_EQ(Z::SUCCESS, adapter->WriteFile(none, size, handle));
  ASSERT_EQ(Z::SUCCESS, adapter->CloseFile(handle));
  EXPECT_EQ("", ReadFileText(plainRoot() / "w.txt"));
}

TEST_F(PluginsAdapterTest, ListingIsHandedOutWhateverTheResult) {
  auto adapter = MakeRead();
  zrtest::SetResult(codes_, 0);
  Z::List_var list;
  ASSERT_EQ(Z::SUCCESS, adapter->GetListing(L"TestCodes", list.out()));
  ASSERT_EQ(2u, list->length());
  EXPECT_EQ(std::wstring(L"A"), std::wstring(list[0].Name.in()));
  EXPECT_EQ(1, list[0].Attrs.Size);
  zrtest::SetResult(codes_, 9);
  Z::List_var failed;
  EXPECT_EQ(Z::FAILED, adapter->GetListing(L"TestCodes", failed.out()));
  ASSERT_NE(nullptr, failed.operator->());
  EXPECT_EQ(0u, failed->length());
  Z::List_var unknown;
  EXPECT_EQ(Z::FAILED, adapter->GetListing(L"NoSuchPlugin\\x", unknown.out()));
  ASSERT_NE(nullptr, unknown.operator->());
}

}  // namespace
