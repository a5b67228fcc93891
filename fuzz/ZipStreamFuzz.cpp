// The Zip64 stream reader on any stream, fed in pieces whose sizes come from the input, against one read
// of the whole input: entries, names, data and results must agree.
//
// Input: one byte n (the count of piece-size bytes, n % 16), n piece-size bytes, then the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "plugins/db2/zip/ZipStreamReader.h"

namespace {

constexpr size_t kMaxEntries = 16;
constexpr size_t kMaxOutput = 4u << 20;  // inflated bytes kept per run (a bomb ends the walk, not the run)

// Delivers the stream in pieces of the given sizes (cycling), or whole when there are none.
class CPieceInput : public IZipFilterInputReader {
 public:
  CPieceInput(const uint8_t* data, size_t size, std::vector<unsigned int> pieces)
      : data_(data), size_(size), pieces_(std::move(pieces)) {}
  int Read(unsigned char* buffer, unsigned int& size) override {
    if (at_ == size_) {
      size = 0;
      return 5;
    }
    size_t n = std::min<size_t>(size, size_ - at_);
    if (!pieces_.empty()) n = std::min<size_t>(n, pieces_[turn_++ % pieces_.size()]);
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    size = static_cast<unsigned int>(n);
    return 0;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  std::vector<unsigned int> pieces_;
  size_t at_ = 0;
  size_t turn_ = 0;
};

struct Outcome {
  std::vector<std::string> names;
  std::vector<std::string> data;
  std::vector<int> results;  // per entry: OpenCurrentFile's result, then the last ReadFile result
  bool operator==(const Outcome& o) const {
    return names == o.names && data == o.data && results == o.results;
  }
};

Outcome ReadStream(CPieceInput& input) {
  Outcome outcome;
  CZipStreamReader reader;
  if (reader.OpenZip(&input) != 0) {
    outcome.results.push_back(-1);
    return outcome;
  }
  std::vector<unsigned char> buffer(64 * 1024);
  size_t total = 0;
  for (size_t entry = 0; entry < kMaxEntries && total < kMaxOutput; ++entry) {
    ZipFileHeader* header = nullptr;
    const int opened = reader.OpenCurrentFile(header);
    outcome.results.push_back(opened);
    if (opened != 0) break;
    FUZZ_CHECK(header != nullptr);
    outcome.names.push_back(header->name);
    std::string data;
    int result = 0;
    while (result == 0 && total < kMaxOutput) {
      unsigned int size = static_cast<unsigned int>(buffer.size());
      result = reader.ReadFile(buffer.data(), size);
      FUZZ_CHECK(size <= buffer.size());
      if (result == 0) {
        data.append(reinterpret_cast<const char*>(buffer.data()), size);
        total += size;
      } else {
        FUZZ_CHECK(size == 0);
      }
    }
    outcome.data.push_back(data);
    outcome.results.push_back(result);
    reader.CloseFile();
    if (result != 5) break;
  }
  reader.CloseZip();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t count = std::min<size_t>(data[0] % 16, size - 1);
  std::vector<unsigned int> pieces;
  for (size_t i = 0; i < count; ++i) {
    const unsigned int b = data[1 + i];
    pieces.push_back(b < 128 ? b + 1 : (b - 127) * 1031);
  }
  const uint8_t* stream = data + 1 + count;
  const size_t streamSize = size - 1 - count;
  CPieceInput whole(stream, streamSize, {});
  CPieceInput inPieces(stream, streamSize, pieces);
  const Outcome expected = ReadStream(whole);
  const Outcome got = ReadStream(inPieces);
  FUZZ_CHECK(got == expected);
  return 0;
}
