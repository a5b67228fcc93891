#include "agent/data/delta/RsyncSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "agent/data/delta/DeltaFixture.h"

namespace {

using deltatest::Bytes;
using deltatest::Random;

class RsyncSourceTest : public deltatest::DeltaFixture {
 protected:
  // Writes `data` through `source` in pieces; the first failure or 0.
  static int WriteAll(zr::CRsyncSource& source, const Bytes& data, std::size_t piece) {
    for (std::size_t at = 0; at < data.size(); at += piece) {
      unsigned int size = static_cast<unsigned int>(std::min(piece, data.size() - at));
      const int result = source.Write(data.data() + at, size);
      if (result != 0) return result;
      unsigned int none = 0;
      if (source.Write(data.data(), none) != 0) return -1;  // 0 bytes: nothing happens
    }
    return 0;
  }
};

TEST_F(RsyncSourceTest, DeltaWrittenThroughTheSourceRebuildsTheNewFile) {
  const Bytes old = Random(3000000, 11);
  const Bytes changed = deltatest::Edited(old);
  Put(Plain("file"), old);
  const Bytes rdiffDelta = RdiffDelta("file", changed);
  Bytes delta;
  deltatest::TargetDeltaSide side(*target_, &delta);
  testing::internal::CaptureStdout();
  zr::CRsyncSource source(&log_, &side);
  unsigned int handle = 0;
  ASSERT_EQ(0, source.Open(InPlugin("file"), InPlugin("file"), handle));
  EXPECT_EQ(0, WriteAll(source, changed, 100003));
  EXPECT_EQ(0, source.Close());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(changed, Get(Plain("file")));
  EXPECT_EQ(rdiffDelta, delta);
  EXPECT_EQ(std::vector<std::string>{"file"}, FilesLike("file"));
  for (const auto& line : log_.Lines()) EXPECT_NE(LogEvent::Error, line.level) << line.text;
}

// Records the threads the signature reads and delta writes arrive on.
class ThreadRecordingSide final : public zr::IRsyncSourceWrite {
 public:
  explicit ThreadRecordingSide(zr::IRsyncSourceWrite& side) : side_(side) {}
  int OpenFileSignature(const std::wstring& path, unsigned int& handle) override {
    return side_.OpenFileSignature(path, handle);
  }
  int ReadFileSignature(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    threads.insert(std::this_thread::get_id());
    return side_.ReadFileSignature(buffer, size, handle);
  }
  int CloseFileSignature(const unsigned int& handle) override { return side_.CloseFileSignature(handle); }
  int OpenFilePatching(const std::wstring& basePath, const std::wstring& path,
                       unsigned int& handle) override {
    return side_.OpenFilePatching(basePath, path, handle);
  }
  int WriteFilePatching(const unsigned char* data, unsigned int& size, const unsigned int& handle) override {
    threads.insert(std::this_thread::get_id());
    return side_.WriteFilePatching(data, size, handle);
  }
  int CloseFilePatching(const unsigned int& handle) override { return side_.CloseFilePatching(handle); }
  int OpenFilePatch(const std::wstring& basePath, const std::wstring& path, unsigned int& handle) override {
    return side_.OpenFilePatch(basePath, path, handle);
  }
  int ReadFilePatch(unsigned char* buffer, unsigned int& size, const unsigned int& handle) override {
    return side_.ReadFilePatch(buffer, size, handle);
  }
  int CloseFilePatch(const unsigned int& handle) override { return side_.CloseFilePatch(handle); }

  std::set<std::thread::id> threads;

 private:
  zr::IRsyncSourceWrite& side_;
};

TEST_F(RsyncSourceTest, TheTargetIsCalledOnlyFromTheCallerThread) {
  // A target served in the caller's own single-threaded POA can only be
  // reached from the caller's thread.
  const Bytes old = Random(2500000, 21);
  const Bytes changed = deltatest::Edited(old);
  Put(Plain("file"), old);
  deltatest::TargetDeltaSide side(*target_);
  ThreadRecordingSide recording(side);
  testing::internal::CaptureStdout();
  zr::CRsyncSource source(&log_, &recording);
  unsigned int handle = 0;
  ASSERT_EQ(0, source.Open(InPlugin("file"), InPlugin("file"), handle));
  EXPECT_EQ(0, WriteAll(source, changed, 65536));
  EXPECT_EQ(0, source.Close());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(changed, Get(Plain("file")));
  EXPECT_EQ(std::set<std::thread::id>{std::this_thread::get_id()}, recording.threads);
}

TEST_F(RsyncSourceTest, AbortLeavesTheFileAsItWas) {
  const Bytes old = Random(1000000, 22);
  Put(Plain("file"), old);
  deltatest::TargetDeltaSide side(*target_);
  testing::internal::CaptureStdout();
  zr::CRsyncSource source(&log_, &side);
  unsigned int handle = 0;
  ASSERT_EQ(0, source.Open(InPlugin("file"), InPlugin("file"), handle));
  EXPECT_EQ(0, WriteAll(source, Random(300000, 23), 65536));
  source.Abort();
  source.Abort();
  EXPECT_EQ(0, source.Close());  // nothing open any more
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(old, Get(Plain("file")));
  EXPECT_EQ(std::vector<std::string>{"file"}, FilesLike("file"));
}

TEST_F(RsyncSourceTest, RefusedPatchingClosesTheSignatureQuietly) {
  Put(Plain("file"), Random(3000000, 12));
  const auto off = MakeSettings(false);
  auto plain = MakeTarget(off.get());
  deltatest::TargetDeltaSide side(*plain);
  testing::internal::CaptureStdout();
  zr::CRsyncSource source(&log_, &side);
  unsigned int handle = 0;
  EXPECT_EQ(6, source.Open(InPlugin("file"), InPlugin("file"), handle));
  EXPECT_EQ(1,
            CountLines(LogEvent::Error, L"Delta coping: Failed to open target file for writing ( Linux )"));
  EXPECT_EQ(0, CountLines(LogEvent::Error, L"Error occured, while getting destination file signature"));
  // Nothing is open afterwards.
  unsigned char byte = 0;
  unsigned int size = 1;
  EXPECT_EQ(1, source.Write(&byte, size));
  EXPECT_EQ(0, source.Close());
  testing::internal::GetCapturedStdout();
}

TEST_F(RsyncSourceTest, AFailingTargetFailsTheWritesAndTheClose) {
  const Bytes old = Random(500000, 13);
  Put(Plain("file"), old);
  zrtest::SetFault(folder_, zrtest::kFailWriteAfter, 100000);
  zrtest::SetFault(folder_, zrtest::kWriteFailCode, 7);
  deltatest::TargetDeltaSide side(*target_);
  testing::internal::CaptureStdout();
  zr::CRsyncSource source(&log_, &side);
  unsigned int handle = 0;
  ASSERT_EQ(0, source.Open(InPlugin("file"), InPlugin("file"), handle));
  // Unrelated data: the delta is all literals and soon too big for the disk.
  EXPECT_EQ(1, WriteAll(source, Random(8000000, 14), 65536));
  EXPECT_EQ(1, source.Close());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(1, CountLines(LogEvent::Error, L"Delta coping: Error occured, while getting source file delta"));
  EXPECT_EQ(old, Get(Plain("file")));
  EXPECT_EQ(std::vector<std::string>{"file"}, FilesLike("file"));
}

// A delta side whose signature stream fails after `failAt` bytes of a stored
// signature; the delta goes to a file of its own (kept here). Every close
// succeeds: only the source knows that the job failed.
class BrokenSignatureSide final : public zr::IRsyncSourceWrite {
 public:
  BrokenSignatureSide(Bytes signature, std::size_t failAt)
      : signature_(std::move(signature)), failAt_(failAt) {}
  int OpenFileSignature(const std::wstring&, unsigned int& handle) override {
    handle = 1;
    return 0;
  }
  int ReadFileSignature(unsigned char* buffer, unsigned int& size, const unsigned int&) override {
    if (served_ >= failAt_) return 1;
    size = static_cast<unsigned int>(std::min<std::size_t>(size, failAt_ - served_));
    std::copy_n(signature_.begin() + static_cast<std::ptrdiff_t>(served_), size, buffer);
    served_ += size;
    return 0;
  }
  int CloseFileSignature(const unsigned int&) override { return 0; }
  int OpenFilePatching(const std::wstring&, const std::wstring&, unsigned int& handle) override {
    handle = 2;
    return 0;
  }
  int WriteFilePatching(const unsigned char* data, unsigned int& size, const unsigned int&) override {
    delta.insert(delta.end(), data, data + size);
    return 0;
  }
  int CloseFilePatching(const unsigned int&) override { return 0; }
  int OpenFilePatch(const std::wstring&, const std::wstring&, unsigned int&) override { return 6; }
  int ReadFilePatch(unsigned char*, unsigned int&, const unsigned int&) override { return 1; }
  int CloseFilePatch(const unsigned int&) override { return 0; }

  Bytes delta;

 private:
  Bytes signature_;
  std::size_t served_ = 0;
  std::size_t failAt_;
};

TEST_F(RsyncSourceTest, ASignatureThatFailsPartWayFailsTheClose) {
  const Bytes old = Random(1000000, 24);
  Put(Plain("file"), old);
  ASSERT_TRUE(Rdiff("signature " + Plain("file").string() + " " + (base_ / "file.sig").string()));
  // Header and 100 whole blocks: what arrived loads as a signature.
  BrokenSignatureSide side(Get(base_ / "file.sig"), 12 + 100 * 12);
  zr::CRsyncSource source(&log_, &side);
  unsigned int handle = 0;
  ASSERT_EQ(0, source.Open(InPlugin("file"), InPlugin("file.delta"), handle));
  // The job itself runs to its end against the partial signature.
  EXPECT_EQ(0, WriteAll(source, deltatest::Edited(old), 65536));
  EXPECT_EQ(1, source.Close());
  EXPECT_FALSE(side.delta.empty());
}

TEST_F(RsyncSourceTest, DestroyedMidwayItLeavesTheFileAsItWas) {
  const Bytes old = Random(2000000, 15);
  Put(Plain("file"), old);
  deltatest::TargetDeltaSide side(*target_);
  testing::internal::CaptureStdout();
  {
    zr::CRsyncSource source(&log_, &side);
    unsigned int handle = 0;
    ASSERT_EQ(0, source.Open(InPlugin("file"), InPlugin("file"), handle));
    EXPECT_EQ(0, WriteAll(source, Random(3000000, 16), 65536));
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(old, Get(Plain("file")));
  EXPECT_EQ(std::vector<std::string>{"file"}, FilesLike("file"));
  // The target takes the next job.
  unsigned int handle = 0;
  ASSERT_EQ(0, target_->OpenFileSignature(InPlugin("file"), handle));
  int result = 0;
  ReadAll(handle, 65536, result);
  EXPECT_EQ(5, result);
  EXPECT_EQ(0, target_->CloseFile(handle));
}

}  // namespace
