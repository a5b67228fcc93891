#include "agent/data/delta/RsyncTarget.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <string>

#include "agent/data/delta/DeltaFixture.h"
#include "agent/data/delta/ThreadSync.h"

namespace {

using deltatest::Bytes;
using deltatest::Random;

class RsyncTargetTest : public deltatest::DeltaFixture {};

TEST_F(RsyncTargetTest, SignatureReadEqualsRdiffAndEndsWithFive) {
  const Bytes old = Random(3000000, 1);
  Put(Plain("old"), old);
  ASSERT_TRUE(Rdiff("signature " + Plain("old").string() + " " + (base_ / "rdiff.sig").string()));
  zrtest::SetFault(folder_, zrtest::kShortRead, 777);  // the plug-in delivers odd pieces
  testing::internal::CaptureStdout();
  unsigned int handle = 0;
  ASSERT_EQ(0, target_->OpenFileSignature(InPlugin("old"), handle));
  int result = 0;
  const Bytes signature = ReadAll(handle, 4096, result);
  EXPECT_EQ(5, result);
  // Read again after the worker's end: still the end.
  unsigned char byte;
  unsigned int size = 1;
  EXPECT_EQ(5, target_->ReadFile(&byte, size, handle));
  EXPECT_EQ(0, target_->CloseFile(handle));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(Get(base_ / "rdiff.sig"), signature);
  const std::size_t start = out.find("Startint thread\t\t'Signature reading'\n");
  ASSERT_NE(std::string::npos, start) << out;
  EXPECT_LT(start, out.find("StartThread()\t\t\t"));
  // The handle is the job's only until its close.
  size = 1;
  EXPECT_EQ(1, target_->ReadFile(&byte, size, handle));
}

TEST_F(RsyncTargetTest, PatchingInPlaceGoesThroughATemporaryFileMovedOntoThePath) {
  const Bytes old = Random(2500000, 2);
  Put(Plain("file"), old);
  const Bytes changed = deltatest::Edited(old);
  const Bytes delta = RdiffDelta("file", changed);
  testing::internal::CaptureStdout();
  unsigned int handle = 0;
  ASSERT_EQ(0, target_->OpenFilePatching(InPlugin("file"), InPlugin("file"), handle));
  EXPECT_EQ(0, WriteAll(handle, delta, 7001));
  unsigned int none = 0;
  EXPECT_EQ(0, target_->WriteFile(delta.data(), none, handle));  // 0 bytes: nothing
  EXPECT_EQ(0, target_->CloseFile(handle));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("Startint thread\t\t'PatchThread'\n"));
  EXPECT_EQ(changed, Get(Plain("file")));
  EXPECT_EQ(std::vector<std::string>{"file"}, FilesLike("file"));
  // The plug-in logs every open: the rebuilt file was written as file.<0-999>.
  const std::wstring prefix = L"opened file.";
  int temporaryOpens = 0;
  for (const auto& line : log_.Lines()) {
    const std::wstring& text = line.text;
    const std::size_t digits = text.size() - prefix.size();
    if (text.compare(0, prefix.size(), prefix) == 0 && digits >= 1 && digits <= 3 &&
        std::all_of(text.begin() + prefix.size(), text.end(), [](wchar_t c) { return std::iswdigit(c); }))
      ++temporaryOpens;
  }
  EXPECT_EQ(1, temporaryOpens);
}

TEST_F(RsyncTargetTest, PatchingToAnotherPathAlsoGoesThroughATemporaryFile) {
  const Bytes old = Random(700000, 18);
  Put(Plain("base"), old);
  const Bytes changed = deltatest::Edited(old);
  const Bytes delta = RdiffDelta("base", changed);
  testing::internal::CaptureStdout();
  unsigned int handle = 0;
  EXPECT_EQ(3, target_->OpenFileSignature(InPlugin("missing"), handle));
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Failed to open target file for signature reading"));
  ASSERT_EQ(0, target_->OpenFilePatching(InPlugin("base"), InPlugin("copy"), handle));
  EXPECT_EQ(0, WriteAll(handle, delta, 1 << 20));
  EXPECT_EQ(0, target_->CloseFile(handle));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(changed, Get(Plain("copy")));
  EXPECT_EQ(old, Get(Plain("base")));
  EXPECT_EQ(std::vector<std::string>{"copy"}, FilesLike("copy"));
  EXPECT_EQ(0, CountLines(LogEvent::Debug, L"opened copy"));
}

TEST_F(RsyncTargetTest, AResultThatCannotBeOpenedClosesTheBase) {
  Put(Plain("file"), Random(1000, 19));
  Put(Plain("blocker"), Bytes{'x'});  // a file where the result's folder should be
  const int opens = zrtest::CountOf(folder_, zrtest::kOpen);
  const int closes = zrtest::CountOf(folder_, zrtest::kClose);
  unsigned int handle = 0;
  EXPECT_EQ(1, target_->OpenFilePatching(InPlugin("file"), L"TestFolder\\blocker\\copy", handle));
  EXPECT_EQ(opens + 1, zrtest::CountOf(folder_, zrtest::kOpen));
  EXPECT_EQ(closes + 1, zrtest::CountOf(folder_, zrtest::kClose));
}

TEST_F(RsyncTargetTest, PatchReadingRebuildsTheFileFromAStoredDelta) {
  const Bytes old = Random(1500000, 3);
  Put(Plain("base"), old);
  const Bytes changed = deltatest::Edited(old);
  Put(Plain("stored.delta"), RdiffDelta("base", changed));
  testing::internal::CaptureStdout();
  unsigned int handle = 0;
  ASSERT_EQ(0, target_->OpenFilePatch(InPlugin("base"), InPlugin("stored.delta"), handle));
  int result = 0;
  EXPECT_EQ(changed, ReadAll(handle, 100000, result));
  EXPECT_EQ(5, result);
  EXPECT_EQ(0, target_->CloseFile(handle));
  EXPECT_NE(std::string::npos,
            testing::internal::GetCapturedStdout().find("Startint thread\t\t'PatchThread11'\n"));
}

TEST_F(RsyncTargetTest, PatchingNeedsDeltaCopyingAndASeekingMovingPlugin) {
  Put(Plain("file"), Random(1000, 4));
  unsigned int handle = 0;
  const auto off = MakeSettings(false);
  auto plain = MakeTarget(off.get());
  EXPECT_EQ(6, plain->OpenFilePatching(InPlugin("file"), InPlugin("file"), handle));
  plain.reset();
  EXPECT_EQ(3, target_->OpenFilePatching(L"", InPlugin("file"), handle));
  EXPECT_EQ(6, target_->OpenFilePatching(L"NoSuchPlugin\\file", InPlugin("file"), handle));
  for (const char* missing : {"ZRTEST_FOLDER_NO_SEEK", "ZRTEST_FOLDER_NO_MOVE"}) {
    ::setenv(missing, "1", 1);
    ReloadExtensions();
    ::unsetenv(missing);
    EXPECT_EQ(6, target_->OpenFilePatching(InPlugin("file"), InPlugin("file"), handle)) << missing;
  }
}

TEST_F(RsyncTargetTest, ThreeTakenTemporaryNamesRefuseThePatching) {
  Put(Plain("file"), Random(1000, 5));
  for (int i = 0; i < 1000; ++i) Put(Plain("file." + std::to_string(i)), Bytes());
  unsigned int handle = 0;
  EXPECT_EQ(1, target_->OpenFilePatching(InPlugin("file"), InPlugin("file"), handle));
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Fatal error occurred while getting temporary file attributes"));
  // Nothing stays open: the next job starts.
  std::filesystem::remove(Plain("file.0"));
  ASSERT_EQ(0, target_->OpenFileSignature(InPlugin("file"), handle));
  int result = 0;
  ReadAll(handle, 4096, result);
  EXPECT_EQ(5, result);
  EXPECT_EQ(0, target_->CloseFile(handle));
}

// Each failure of a patching job, in place and onto another file: the
// close fails, the file stays as it was and no temporary file is left.
TEST_F(RsyncTargetTest, FailedPatchingLeavesTheFileAsItWas) {
  const Bytes old = Random(1200000, 6);
  const Bytes changed = deltatest::Edited(old);
  const Bytes earlier = Random(5000, 20);
  Put(Plain("file"), old);
  Put(Plain("copy"), earlier);
  const Bytes delta = RdiffDelta("file", changed);
  struct Case {
    const char* name;
    zrtest::Fault fault;
    long long value;
    std::size_t deltaBytes;
  };
  const Case cases[] = {
      {"cut-off delta", zrtest::kFailSeek, 0, delta.size() - 1},
      {"empty delta", zrtest::kFailSeek, 0, 0},
      {"write fails midway", zrtest::kFailWriteAfter, 100000, delta.size()},
      {"disk full midway", zrtest::kFailWriteAfter, 300000, delta.size()},
      {"seek fails", zrtest::kFailSeek, 1, delta.size()},
      {"final close fails", zrtest::kFailWriteClose, 7, delta.size()},
  };
  testing::internal::CaptureStdout();
  for (const Case& c : cases) {
    for (const char* result : {"file", "copy"}) {
      SCOPED_TRACE(std::string(c.name) + " onto " + result);
      zrtest::ResetFaults(folder_);
      zrtest::SetFault(folder_, c.fault, c.value);
      if (std::string(c.name) == "disk full midway") zrtest::SetFault(folder_, zrtest::kWriteFailCode, 7);
      unsigned int handle = 0;
      ASSERT_EQ(0, target_->OpenFilePatching(InPlugin("file"), InPlugin(result), handle));
      const int written = WriteAll(handle, Bytes(delta.begin(), delta.begin() + c.deltaBytes), 65536);
      EXPECT_EQ(1, target_->CloseFile(handle));
      if (written != 0) {
        EXPECT_EQ(1, written);
        EXPECT_GE(CountLines(LogEvent::Error, L"Unexpected stream termination"), 1);
      }
      EXPECT_EQ(old, Get(Plain("file")));
      EXPECT_EQ(earlier, Get(Plain("copy")));
      EXPECT_EQ(std::vector<std::string>{"file"}, FilesLike("file"));
      EXPECT_EQ(std::vector<std::string>{"copy"}, FilesLike("copy"));
    }
  }
  testing::internal::GetCapturedStdout();
}

TEST_F(RsyncTargetTest, EarlyClosesAndAbandonedJobsNeitherHangNorLeak) {
  const Bytes old = Random(3000000, 7);
  Put(Plain("file"), old);
  Put(Plain("stored.delta"), RdiffDelta("file", deltatest::Edited(old)));
  testing::internal::CaptureStdout();
  unsigned int handle = 0;
  unsigned char buffer[100];
  unsigned int size = sizeof buffer;
  // Signature and patch reading closed after one read.
  ASSERT_EQ(0, target_->OpenFileSignature(InPlugin("file"), handle));
  EXPECT_EQ(0, target_->ReadFile(buffer, size, handle));
  EXPECT_EQ(1, target_->CloseFile(handle));
  ASSERT_EQ(0, target_->OpenFilePatch(InPlugin("file"), InPlugin("stored.delta"), handle));
  size = sizeof buffer;
  EXPECT_EQ(0, target_->ReadFile(buffer, size, handle));
  EXPECT_EQ(1, target_->CloseFile(handle));
  // An abandoned job logs nothing.
  EXPECT_EQ(0, CountLines(LogEvent::Error, L"Error occured, while getting destination file signature"));

  // Only the jobs' workers are counted: the ORB's threads come and go.
  Put(Plain("small"), Random(100000, 17));
  const int before = zr::CThreadSync::RunningWorkers();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(0, target_->OpenFileSignature(InPlugin("small"), handle));
    ASSERT_NE(0, target_->CloseFile(handle));
  }
  EXPECT_EQ(before, zr::CThreadSync::RunningWorkers());

  // A target destroyed in the middle of a patching job.
  ASSERT_EQ(0, target_->OpenFilePatching(InPlugin("file"), InPlugin("file"), handle));
  const Bytes delta = Get(Plain("stored.delta"));
  EXPECT_EQ(0, WriteAll(handle, Bytes(delta.begin(), delta.begin() + delta.size() / 2), 4096));
  target_.reset();
  EXPECT_EQ(old, Get(Plain("file")));
  EXPECT_EQ(std::vector<std::string>{"file"}, FilesLike("file"));
  testing::internal::GetCapturedStdout();
}

TEST_F(RsyncTargetTest, OneJobOfAKindAndNoSwitchOfThePluginWhileOneIsOpen) {
  Put(Plain("file"), Random(500000, 8));
  testing::internal::CaptureStdout();
  unsigned int signature = 0;
  unsigned int other = 0;
  ASSERT_EQ(0, target_->OpenFileSignature(InPlugin("file"), signature));
  EXPECT_EQ(1, target_->OpenFileSignature(InPlugin("file"), other));
  std::list<CFileInfo> entries;
  EXPECT_EQ(1, target_->GetListing(L"TestCodes\\x", entries));
  EXPECT_EQ(1, target_->OpenFile(L"TestCodes\\x", FileAccessMode::Read, other));
  EXPECT_EQ(1, target_->SetRootPath(L"TestCodes"));
  // The same plug-in serves plain calls meanwhile.
  EXPECT_EQ(0, target_->GetListing(L"TestFolder", entries));
  EXPECT_EQ(1, target_->CloseFile(signature));
  EXPECT_EQ(0, target_->GetListing(L"TestCodes", entries));
  testing::internal::GetCapturedStdout();
}

TEST_F(RsyncTargetTest, AReusedHandleNumberIsTheBrokersAfterTheJobClosed) {
  zrtest::SetFault(folder_, zrtest::kReuseHandles, 1);
  Put(Plain("file"), Random(5000, 9));
  Put(Plain("plain"), Bytes{'a', 'b', 'c'});
  testing::internal::CaptureStdout();
  unsigned int job = 0;
  ASSERT_EQ(0, target_->OpenFileSignature(InPlugin("file"), job));
  int result = 0;
  EXPECT_FALSE(ReadAll(job, 4096, result).empty());
  EXPECT_EQ(0, target_->CloseFile(job));
  unsigned int handle = 0;
  ASSERT_EQ(0, target_->OpenFile(InPlugin("plain"), FileAccessMode::Read, handle));
  EXPECT_EQ(job, handle);
  unsigned char buffer[16];
  unsigned int size = sizeof buffer;
  EXPECT_EQ(0, target_->ReadFile(buffer, size, handle));
  EXPECT_EQ(3u, size);
  EXPECT_EQ(0, target_->CloseFile(handle));
  testing::internal::GetCapturedStdout();
}

TEST_F(RsyncTargetTest, AFailedReadOfTheFileFailsTheSignature) {
  Put(Plain("file"), Random(2000000, 10));
  zrtest::SetFault(folder_, zrtest::kFailReadAfter, 1500000);
  testing::internal::CaptureStdout();
  unsigned int handle = 0;
  ASSERT_EQ(0, target_->OpenFileSignature(InPlugin("file"), handle));
  int result = 0;
  ReadAll(handle, 65536, result);
  EXPECT_EQ(1, result);
  EXPECT_EQ(1, target_->CloseFile(handle));
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Error occured, while getting destination file signature"));
  testing::internal::GetCapturedStdout();
}

}  // namespace
