#include "agent/data/targets/TargetLocalFS.h"

#include <gtest/gtest.h>

#include "agent/data/hosting/testing/HostingFixture.h"
#include "agent/data/targets/BackupFS.h"
#include "tests/storage/StoragePeer.h"

namespace {

using namespace zr;

class LocalTargetsTest : public hostingtest::HostingFixture {
 protected:
  void SetUp() override {
    HostingFixture::SetUp();
    zrtest::WriteAgentSettings(base_ / "home", true);
    settings_ = std::make_unique<CSettings>(L"/nonexistent", (base_ / "home").wstring());
    settings_->Load();
  }
  static int Write(zr::IFileSystem& target, unsigned int handle, const std::string& data) {
    unsigned int size = static_cast<unsigned int>(data.size());
    return target.WriteFile(reinterpret_cast<const unsigned char*>(data.data()), size, handle);
  }
  static std::string ReadAll(zr::IFileSystem& target, unsigned int handle) {
    std::string data;
    unsigned char buffer[1000];
    for (;;) {
      unsigned int size = sizeof(buffer);
      if (target.ReadFile(buffer, size, handle) != 0) break;
      data.append(reinterpret_cast<const char*>(buffer), size);
    }
    return data;
  }
  std::unique_ptr<CSettings> settings_;
};

TEST_F(LocalTargetsTest, PatchingInPlaceAndDeltaAsItsOwnFile) {
  std::string base(200000, 'a');
  for (size_t i = 0; i < base.size(); ++i) base[i] = static_cast<char>(i * 7919 % 251);
  MakeFile(plainRoot() / "base.bin", base);
  zr::CTargetLocalFS target(sessionRef_.in(), &log_, extensions_.get(), settings_.get());
  const std::string newer = base.substr(0, 100000) + "inserted" + base.substr(100000);

  // Different paths: the delta is stored, the base stays.
  unsigned int handle = 0;
  ASSERT_EQ(0,
            target.OpenFilePatch(L"TestFolder\\base.bin", L"TestFolder\\d", FileAccessMode::Write, handle));
  ASSERT_EQ(0, Write(target, handle, newer));
  ASSERT_EQ(0, target.CloseFile(handle));
  EXPECT_EQ(base, ReadFileText(plainRoot() / "base.bin"));
  EXPECT_LT(ReadFileText(plainRoot() / "d").size(), 4096u);
  ASSERT_EQ(0, target.OpenFilePatch(L"TestFolder\\base.bin", L"TestFolder\\d", FileAccessMode::Read, handle));
  EXPECT_EQ(newer, ReadAll(target, handle));
  EXPECT_EQ(0, target.CloseFile(handle));

  // Equal paths: the file is rebuilt in place.
  ASSERT_EQ(0, target.OpenFilePatch(L"TestFolder\\base.bin", L"TestFolder\\base.bin", FileAccessMode::Write,
                                    handle));
  ASSERT_EQ(0, Write(target, handle, newer));
  ASSERT_EQ(0, target.CloseFile(handle));
  EXPECT_EQ(newer, ReadFileText(plainRoot() / "base.bin"));

  // A plain write after a delta write goes to the broker again.
  ASSERT_EQ(0, target.OpenFile(L"TestFolder\\plain", FileAccessMode::Write, handle, true));
  ASSERT_EQ(0, Write(target, handle, "plain"));
  ASSERT_EQ(0, target.CloseFile(handle));
  EXPECT_EQ("plain", ReadFileText(plainRoot() / "plain"));
}

TEST_F(LocalTargetsTest, BackupViewRefusesEveryChange) {
  MakeFile(plainRoot() / "kept.txt", "kept");
  zr::CBackupFS view(sessionRef_.in(), &log_, extensions_.get());
  CFileAttributes attributes;
  unsigned int handle = 0;
  unsigned int size = 4;
  const unsigned char data[4] = {1, 2, 3, 4};
  EXPECT_EQ(4, view.SetElementAttributes(L"TestCodes\\x", attributes));
  EXPECT_EQ(4, view.CreateFolder(L"TestCodes\\x"));
  EXPECT_EQ(4, view.DeleteFolder(L"TestCodes\\x"));
  EXPECT_EQ(4, view.DeleteFile(L"TestCodes\\x"));
  EXPECT_EQ(4, view.WriteFile(data, size, handle));
  EXPECT_EQ(4, view.BeginTransaction());
  EXPECT_EQ(4, view.CommitTransaction());
  EXPECT_EQ(4, view.OpenFile(L"TestCodes\\x", FileAccessMode::Write, handle, true));
  EXPECT_EQ(6, view.OpenFilePatch(L"TestCodes\\x", L"TestCodes\\y", FileAccessMode::Read, handle));
  EXPECT_EQ(0, zrtest::CountOf(codes_, zrtest::kFactory));

  ASSERT_EQ(0, view.OpenFile(L"TestFolder\\kept.txt", FileAccessMode::Read, handle, true));
  EXPECT_EQ("kept", ReadAll(view, handle));
  EXPECT_EQ(0, view.CloseFile(handle));
  std::list<CFileInfo> entries;
  EXPECT_EQ(0, view.GetListing(L"TestFolder", entries));
  EXPECT_EQ(1u, entries.size());
  EXPECT_EQ(0, view.GetElementAttributes(L"TestFolder\\kept.txt", attributes));
  EXPECT_EQ(4u, attributes.Size);
}

}  // namespace
