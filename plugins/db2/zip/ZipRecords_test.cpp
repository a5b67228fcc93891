#include "plugins/db2/zip/ZipRecords.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

TEST(ByteReaderTest, ReadsLittleEndianAndFailsForGoodPastTheEnd) {
  const unsigned char bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  zip::ByteReader reader(bytes, sizeof(bytes));
  EXPECT_EQ(reader.U16(), 0x0201u);
  EXPECT_EQ(reader.Uint(3), 0x050403u);
  EXPECT_EQ(reader.U32(), 0u);  // 2 bytes left: nothing is taken
  EXPECT_FALSE(reader.ok());
  EXPECT_EQ(reader.position(), 5u);
  EXPECT_EQ(reader.U16(), 0u);  // would fit, but the reader has failed
  EXPECT_EQ(reader.Bytes(0), nullptr);

  zip::ByteReader empty(nullptr, 8);
  EXPECT_EQ(empty.left(), 0u);
  EXPECT_EQ(empty.U64(), 0u);
  EXPECT_FALSE(empty.ok());
}

TEST(ByteReaderTest, WalksExtraBlocksUntilOneRunsPastTheField) {
  // Tag 7 with 2 bytes, tag 1 with 1 byte, then a block claiming 9 bytes.
  const unsigned char field[] = {7, 0, 2, 0, 0xAA, 0xBB, 1, 0, 1, 0, 0xCC, 9, 0, 9, 0, 1};
  std::vector<std::pair<uint16_t, std::size_t>> seen;
  const auto record = [&seen](uint16_t tag, zip::ByteReader block) {
    seen.emplace_back(tag, block.left());
    return true;
  };
  EXPECT_FALSE(zip::ForEachExtraBlock(field, sizeof(field), record));
  EXPECT_EQ(seen, (std::vector<std::pair<uint16_t, std::size_t>>{{7, 2}, {1, 1}}));

  // A tail shorter than a block header is ignored; the visitor can stop the walk.
  seen.clear();
  EXPECT_TRUE(zip::ForEachExtraBlock(field, 14, record));
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_FALSE(zip::ForEachExtraBlock(field, 14, [](uint16_t, zip::ByteReader) { return false; }));
}

}  // namespace
