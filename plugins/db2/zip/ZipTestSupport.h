// Helpers shared by the zip tests: a temporary folder, shell commands, byte
// sinks and sources with chosen chunk sizes, little-endian field readers.

#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "plugins/db2/zip/ZipStreamReader.h"
#include "plugins/db2/zip/ZipStreamWriter.h"
#include "tests/support/TempDir.h"

namespace ziptest {

using Bytes = std::vector<unsigned char>;

// The shared temporary folder, named for the zip tests.
class TempDir : public zrtest::TempDir {
 public:
  TempDir() : zrtest::TempDir("ziptest_") {}
};

// Runs a shell command; returns its exit status (-1 when it did not run).
inline int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Runs a shell command and returns what it wrote to its standard output.
inline std::string ShellOutput(const std::string& command, int* exitStatus = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  const int status = pclose(pipe);
  if (exitStatus != nullptr) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

inline Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(out.good()) << path;
}

// Text-like data that deflate shrinks well.
inline Bytes MakeText(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::string> words;
  for (int i = 0; i < 300; ++i) {
    std::string word;
    const int length = 2 + static_cast<int>(random() % 8);
    for (int j = 0; j < length; ++j) word += static_cast<char>('a' + random() % 8);
    words.push_back(word);
  }
  Bytes data;
  data.reserve(size + 16);
  while (data.size() < size) {
    const std::string& word = words[random() % words.size()];
    data.insert(data.end(), word.begin(), word.end());
    data.push_back(' ');
  }
  data.resize(size);
  return data;
}

// Binary data of 16 symbols: deflate shrinks it to about half.
inline Bytes MakeBinary(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes data(size);
  for (auto& b : data) b = static_cast<unsigned char>((random() % 16) * 17);
  return data;
}

inline uint32_t Crc(const Bytes& data) {
  return static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size())));
}

inline uint64_t Le(const Bytes& data, std::size_t at, int count) {
  uint64_t v = 0;
  for (int i = count - 1; i >= 0; --i) v = (v << 8) | data.at(at + static_cast<std::size_t>(i));
  return v;
}
inline uint64_t Le16(const Bytes& d, std::size_t at) { return Le(d, at, 2); }
inline uint64_t Le32(const Bytes& d, std::size_t at) { return Le(d, at, 4); }
inline uint64_t Le64(const Bytes& d, std::size_t at) { return Le(d, at, 8); }

// Collects the archive, taking at most `chunk` bytes per call.
class MemoryWriter : public IZipFilterOutputWriter {
 public:
  explicit MemoryWriter(unsigned int chunk = 0xFFFFFFFF) : chunk_(chunk) {}
  int Write(const unsigned char* data, unsigned int& size) override {
    ++calls;
    if (size > chunk_) size = chunk_;
    bytes.insert(bytes.end(), data, data + size);
    return 0;
  }
  Bytes bytes;
  int calls = 0;

 private:
  unsigned int chunk_;
};

// Delivers `data` in reads of a fixed size, or of random sizes (chunk 0).
class ChunkedInput : public IZipFilterInputReader {
 public:
  ChunkedInput(const Bytes& data, unsigned int chunk, unsigned seed = 7)
      : data_(data), chunk_(chunk), random_(seed) {}
  int Read(unsigned char* buffer, unsigned int& size) override {
    ++calls;
    if (position_ == data_.size()) {
      size = 0;
      return 5;
    }
    std::size_t n = chunk_ != 0 ? chunk_ : 1 + random_() % 70000;
    if (n > size) n = size;
    if (n > data_.size() - position_) n = data_.size() - position_;
    std::copy(data_.begin() + static_cast<long>(position_), data_.begin() + static_cast<long>(position_ + n),
              buffer);
    position_ += n;
    size = static_cast<unsigned int>(n);
    return 0;
  }
  int calls = 0;

 private:
  const Bytes& data_;
  unsigned int chunk_;
  std::mt19937 random_;
  std::size_t position_ = 0;
};

struct Entry {
  std::wstring name;
  Bytes data;
};

// An archive of `entries` written by CZipFilter, with `threads` deflate
// threads, in one transaction.
inline Bytes WriteArchive(const std::vector<Entry>& entries, unsigned int writerChunk = 0xFFFFFFFF,
                          unsigned int inputChunk = 100000, unsigned threads = 1) {
  MemoryWriter writer(writerChunk);
  CZipFilter zip(threads);
  EXPECT_EQ(zip.BeginTransaction(&writer), 0);
  for (const Entry& entry : entries) {
    EXPECT_EQ(zip.PrepareTransform(entry.name, true), 0);
    for (std::size_t at = 0; at < entry.data.size(); at += inputChunk) {
      unsigned int size =
          static_cast<unsigned int>(std::min<std::size_t>(inputChunk, entry.data.size() - at));
      const unsigned int asked = size;
      EXPECT_EQ(zip.DirectTransform(entry.data.data() + at, size), 0);
      EXPECT_EQ(size, asked);
    }
    EXPECT_EQ(zip.FinishTransform(), 0);
  }
  EXPECT_EQ(zip.CommitTransaction(), 0);
  EXPECT_EQ(zip.ArchiveOffset(), writer.bytes.size());
  return writer.bytes;
}

// Reads every entry of `input` with CZipStreamReader, `outputRoom` bytes per
// ReadFile. Fails the test on any unexpected result.
inline std::vector<std::pair<std::string, Bytes>> StreamAll(IZipFilterInputReader& input,
                                                            unsigned int outputRoom) {
  std::vector<std::pair<std::string, Bytes>> result;
  CZipStreamReader reader;
  EXPECT_EQ(reader.OpenZip(&input), 0);
  Bytes buffer(outputRoom);
  ZipFileHeader* header = nullptr;
  while (reader.OpenCurrentFile(header) == 0) {
    std::pair<std::string, Bytes> entry;
    entry.first = header->name;
    for (;;) {
      unsigned int size = outputRoom;
      const int r = reader.ReadFile(buffer.data(), size);
      if (r == 5) break;
      if (r != 0) {
        ADD_FAILURE() << "ReadFile failed in entry " << entry.first;
        return result;
      }
      entry.second.insert(entry.second.end(), buffer.begin(), buffer.begin() + size);
    }
    EXPECT_EQ(reader.CloseFile(), 0);
    result.push_back(std::move(entry));
  }
  EXPECT_EQ(reader.CloseZip(), 0);
  return result;
}

}  // namespace ziptest
