#include "plugins/db2/plugin/ArchiveHandoff.h"
#include "plugins/db2/plugin/ImageReadAhead.h"
#include "plugins/db2/plugin/ImageWriteBehind.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// An unnamed temporary file holding `content`, positioned at its start.
UniqueFile FileWith(const std::string& content) {
  UniqueFile file(std::tmpfile());
  EXPECT_TRUE(file);
  EXPECT_EQ(content.size(), std::fwrite(content.data(), 1, content.size(), file.get()));
  std::rewind(file.get());
  return file;
}

std::string RandomText(size_t size) {
  std::mt19937 gen(static_cast<unsigned>(size));
  std::string text(size, '\0');
  for (char& c : text) c = static_cast<char>(gen());
  return text;
}

TEST(ImageReadAheadTest, DeliversTheFileInFullPiecesWithTheirCrc) {
  constexpr unsigned int kPiece = 4096;
  for (const size_t size : {size_t(0), size_t(1), size_t(kPiece - 1), size_t(kPiece), size_t(kPiece + 1),
                            size_t(9 * kPiece + 3)}) {
    const std::string content = RandomText(size);
    UniqueFile file = FileWith(content);
    db2::CImageReadAhead pieces(file.get(), kPiece);
    std::string read;
    db2::CImageReadAhead::Piece piece;
    int next;
    while ((next = pieces.Next(piece)) == 1) {
      ASSERT_GT(piece.size, 0u);
      // Only the last piece may be short.
      if (read.size() + piece.size < size) {
        EXPECT_EQ(kPiece, piece.size);
      }
      EXPECT_EQ(crc32(0, piece.data, piece.size), piece.crc);
      read.append(reinterpret_cast<const char*>(piece.data), piece.size);
    }
    EXPECT_EQ(0, next) << size;
    EXPECT_EQ(content, read) << size;
    EXPECT_EQ(0, pieces.Next(piece));  // the end stays the end
  }
}

TEST(ImageReadAheadTest, ReadFailureAfterTheGoodPiecesAndEarlyStop) {
  // A stream open for writing only cannot be read: the first read fails.
  UniqueFile writeOnly(std::fopen("/dev/null", "w"));
  ASSERT_TRUE(writeOnly);
  {
    db2::CImageReadAhead pieces(writeOnly.get(), 4096);
    db2::CImageReadAhead::Piece piece;
    EXPECT_EQ(-1, pieces.Next(piece));
  }
  // Destroyed while the reader waits for a free slot: no hang.
  UniqueFile big = FileWith(RandomText(64 * 4096));
  db2::CImageReadAhead pieces(big.get(), 4096);
  db2::CImageReadAhead::Piece piece;
  EXPECT_EQ(1, pieces.Next(piece));
}

TEST(ImageWriteBehindTest, WritesEveryQueuedPieceInOrder) {
  UniqueFile file(std::tmpfile());
  ASSERT_TRUE(file);
  const std::string content = RandomText(10 * 4096 + 17);
  {
    db2::CImageWriteBehind image(file.get(), 4096);
    for (size_t at = 0; at < content.size(); at += 4096) {
      unsigned char* buffer = image.Buffer();
      ASSERT_NE(buffer, nullptr);
      const size_t size = std::min<size_t>(4096, content.size() - at);
      std::memcpy(buffer, content.data() + at, size);
      EXPECT_EQ(buffer, image.Buffer());  // not queued yet: the same buffer
      image.Queue(static_cast<unsigned int>(size));
    }
    EXPECT_TRUE(image.Finish());
    EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())),
              image.Crc());
  }
  std::rewind(file.get());
  std::string written(content.size() + 1, '\0');
  written.resize(std::fread(&written[0], 1, written.size(), file.get()));
  EXPECT_EQ(content, written);
}

TEST(ImageWriteBehindTest, AFailedWriteIsReported) {
  // A stream open for reading only cannot be written.
  UniqueFile readOnly(std::fopen("/dev/null", "r"));
  ASSERT_TRUE(readOnly);
  db2::CImageWriteBehind image(readOnly.get(), 4096);
  for (int i = 0; i < 10; ++i) {
    unsigned char* buffer = image.Buffer();
    if (buffer == nullptr) break;
    image.Queue(4096);
  }
  EXPECT_FALSE(image.Finish());
  EXPECT_EQ(nullptr, image.Buffer());
}

TEST(ArchiveHandoffTest, TakesEveryGivenByteInOrderThenTheEnd) {
  const std::string content = RandomText(100000);
  db2::CArchiveHandoff handoff;
  std::string taken;
  std::thread worker([&] {
    unsigned char buffer[997];  // never a divisor of the caller's pieces
    std::size_t count;
    while ((count = handoff.Take(buffer, sizeof(buffer))) > 0) taken.append(reinterpret_cast<char*>(buffer), count);
  });
  std::string lent;
  for (size_t at = 0; at < content.size(); at += 4096) {
    // The caller's buffer may change as soon as Give returns.
    lent.assign(content, at, 4096);
    handoff.Give(reinterpret_cast<const unsigned char*>(lent.data()), lent.size());
    lent.assign(lent.size(), 'x');
  }
  handoff.Give(nullptr, 0);  // nothing: no wait
  handoff.End();
  worker.join();
  EXPECT_EQ(content, taken);
}

TEST(ArchiveHandoffTest, DiscardReleasesAWaitingGiveAndDropsLaterOnes) {
  db2::CArchiveHandoff handoff;
  const std::string content = RandomText(8192);
  std::thread worker([&] {
    unsigned char buffer[100];
    EXPECT_EQ(100u, handoff.Take(buffer, sizeof(buffer)));  // part of the first Give
    handoff.Discard();
  });
  // Returns although 8092 bytes were never taken.
  handoff.Give(reinterpret_cast<const unsigned char*>(content.data()), content.size());
  worker.join();
  handoff.Give(reinterpret_cast<const unsigned char*>(content.data()), content.size());
  handoff.End();
}

}  // namespace
