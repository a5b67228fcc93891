#include "plugins/db2/zip/Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

uint32_t Zlib(uint32_t crc, const unsigned char* data, std::size_t size) {
  return static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

// The folding path runs from 64 bytes on and leaves up to 15 to the tables:
// every length around those edges, at every alignment, continued from a
// running value, must give zlib's answer.
TEST(Crc32Test, EqualsZlibAtEveryLengthAlignmentAndStart) {
  std::mt19937 random(7);
  std::vector<unsigned char> data(70000);
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t size = 0; size <= 300; ++size) {
      const uint32_t start = (size % 3 == 0) ? 0 : static_cast<uint32_t>(random());
      ASSERT_EQ(Zlib(start, data.data() + offset, size), zip::Crc32(start, data.data() + offset, size))
          << "offset " << offset << " size " << size;
    }
  }
  EXPECT_EQ(Zlib(0, data.data() + 3, data.size() - 3), zip::Crc32(0, data.data() + 3, data.size() - 3));
  EXPECT_EQ(Zlib(0, data.data(), data.size()), zip::Crc32Portable(0, data.data(), data.size()));
  // Known value: the CRC-32 check string.
  const unsigned char check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(0xCBF43926u, zip::Crc32(0, check, sizeof(check)));
}

TEST(Crc32Test, ChainedPiecesEqualOneCall) {
  std::mt19937 random(11);
  std::vector<unsigned char> data(1 << 20);
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
  const uint32_t whole = Zlib(0, data.data(), data.size());
  for (int round = 0; round < 20; ++round) {
    uint32_t crc = 0;
    for (std::size_t at = 0; at < data.size();) {
      const std::size_t piece = std::min<std::size_t>(data.size() - at, random() % 100000);
      crc = zip::Crc32(crc, data.data() + at, piece);
      at += piece;
    }
    ASSERT_EQ(whole, crc) << "round " << round;
  }
  // All-zero and all-one data, where a wrong reduction constant still
  // cancels out least often.
  const std::vector<unsigned char> zeros(4096, 0), ones(4096, 0xFF);
  EXPECT_EQ(Zlib(0, zeros.data(), zeros.size()), zip::Crc32(0, zeros.data(), zeros.size()));
  EXPECT_EQ(Zlib(0xFFFFFFFFu, ones.data(), ones.size()), zip::Crc32(0xFFFFFFFFu, ones.data(), ones.size()));
}

}  // namespace
