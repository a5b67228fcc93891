#include "plugins/db2/ImageReadAhead.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

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

}  // namespace
