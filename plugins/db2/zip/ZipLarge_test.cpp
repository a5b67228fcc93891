// More than 4 GiB of zeros through the writer and back through the stream
// reader, over a pipe, without touching the disk.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include "plugins/db2/zip/ZipStreamReader.h"
#include "plugins/db2/zip/ZipStreamWriter.h"
#include "plugins/db2/zip/ZipTestSupport.h"

namespace {

using namespace ziptest;

constexpr uint64_t kChunk = 1 << 20;
constexpr uint64_t kBigSize = (4ull << 30) + kChunk + 123;  // above 4 GiB

// Writes into a pipe; keeps a copy of what it writes once `capture` is set.
class PipeWriter : public IZipFilterOutputWriter {
 public:
  explicit PipeWriter(int fd) : fd_(fd) {}
  int Write(const unsigned char* data, unsigned int& size) override {
    ssize_t n;
    do {
      n = ::write(fd_, data, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      size = 0;
      return 1;
    }
    size = static_cast<unsigned int>(n);
    if (capture) captured.insert(captured.end(), data, data + size);
    return 0;
  }
  bool capture = false;
  Bytes captured;

 private:
  int fd_;
};

class PipeInput : public IZipFilterInputReader {
 public:
  explicit PipeInput(int fd) : fd_(fd) {}
  int Read(unsigned char* buffer, unsigned int& size) override {
    ssize_t n;
    do {
      n = ::read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      size = 0;
      return 1;
    }
    size = static_cast<unsigned int>(n);
    return n == 0 ? 5 : 0;
  }

 private:
  int fd_;
};

// The parameter: the writer's deflate threads.
class ZipLargeTest : public testing::TestWithParam<unsigned> {};

TEST_P(ZipLargeTest, MoreThanFourGibibytesKeepTheirSizesAndCrc) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const Bytes tail = MakeText(100000, 41);
  PipeWriter writer(fds[1]);
  uint64_t captureStart = 0;
  int producerResult = -1;

  std::thread producer([&] {
    CZipFilter zip(GetParam());
    const Bytes zeros(kChunk, 0);
    int r = zip.BeginTransaction(&writer);
    if (r == 0) r = zip.PrepareTransform(L"zeros", true);
    for (uint64_t done = 0; r == 0 && done < kBigSize; done += kChunk) {
      unsigned int size = static_cast<unsigned int>(std::min(kChunk, kBigSize - done));
      r = zip.DirectTransform(zeros.data(), size);
    }
    if (r == 0) r = zip.FinishTransform();
    captureStart = zip.ArchiveOffset();
    writer.capture = true;
    if (r == 0) r = zip.PrepareTransform(L"tail", true);
    unsigned int size = static_cast<unsigned int>(tail.size());
    if (r == 0) r = zip.DirectTransform(tail.data(), size);
    if (r == 0) r = zip.FinishTransform();
    if (r == 0) r = zip.CommitTransaction();
    producerResult = r;
    ::close(fds[1]);
  });

  uLong crc = crc32(0, nullptr, 0);
  auto consume = [&] {
    PipeInput input(fds[0]);
    CZipStreamReader reader;
    ASSERT_EQ(reader.OpenZip(&input), 0);
    ZipFileHeader* header = nullptr;
    ASSERT_EQ(reader.OpenCurrentFile(header), 0);
    EXPECT_EQ(header->name, "zeros");
    EXPECT_TRUE(header->hasZip64Extra);
    Bytes buffer(kChunk);
    const Bytes zeros(kChunk, 0);
    uint64_t total = 0;
    bool allZero = true;
    int r;
    for (;;) {
      unsigned int size = static_cast<unsigned int>(buffer.size());
      r = reader.ReadFile(buffer.data(), size);
      if (r != 0) break;
      allZero = allZero && std::memcmp(buffer.data(), zeros.data(), size) == 0;
      crc = crc32(crc, buffer.data(), size);
      total += size;
    }
    // 5 only after the Zip64 descriptor matched the 64-bit sizes and the CRC.
    EXPECT_EQ(r, 5);
    EXPECT_EQ(total, kBigSize);
    EXPECT_TRUE(allZero);
    ASSERT_EQ(reader.OpenCurrentFile(header), 0);
    EXPECT_EQ(header->name, "tail");
    Bytes got;
    for (;;) {
      unsigned int size = static_cast<unsigned int>(buffer.size());
      r = reader.ReadFile(buffer.data(), size);
      if (r != 0) break;
      got.insert(got.end(), buffer.begin(), buffer.begin() + size);
    }
    EXPECT_EQ(r, 5);
    EXPECT_EQ(got, tail);
    EXPECT_NE(reader.OpenCurrentFile(header), 0);
    reader.CloseZip();
    // Drain whatever is left so the producer can finish.
    while (true) {
      unsigned int size = static_cast<unsigned int>(buffer.size());
      if (input.Read(buffer.data(), size) != 0) break;
    }
  };
  consume();
  // A failed check closes the read end early: the producer's write then
  // fails (SIGPIPE is ignored) and it ends.
  ::close(fds[0]);
  producer.join();
  ASSERT_EQ(producerResult, 0);

  // The central directory: both entries, the first with its 64-bit sizes.
  const Bytes& end = writer.captured;
  ASSERT_GE(end.size(), 98u);
  const std::size_t zip64End = end.size() - 98;
  ASSERT_EQ(Le32(end, zip64End), 0x06064b50u);
  EXPECT_EQ(Le64(end, zip64End + 24), 2u);
  const uint64_t cdOffset = Le64(end, zip64End + 48);
  ASSERT_GT(cdOffset, captureStart);
  const std::size_t central = static_cast<std::size_t>(cdOffset - captureStart);
  ASSERT_EQ(Le32(end, central), 0x02014b50u);
  EXPECT_EQ(Le32(end, central + 16), static_cast<uint32_t>(crc));
  EXPECT_EQ(Le32(end, central + 20), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(end, central + 24), 0xFFFFFFFFu);
  const std::size_t extra = central + 46 + 5;
  EXPECT_EQ(Le64(end, extra + 4), kBigSize);
  EXPECT_EQ(Le64(end, extra + 12), captureStart - 30 - 5 - 20 - 24);
  EXPECT_EQ(Le64(end, extra + 20), 0u);
  const std::size_t second = extra + 28;
  ASSERT_EQ(Le32(end, second), 0x02014b50u);
  EXPECT_EQ(Le64(end, second + 46 + 4 + 4 + 16), captureStart);
  EXPECT_EQ(Le64(end, zip64End + 56 + 8), cdOffset + (zip64End - central));
}

INSTANTIATE_TEST_SUITE_P(DeflateThreads, ZipLargeTest, testing::Values(1u, 8u));

}  // namespace
