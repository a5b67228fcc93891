// Shared by the fuzz targets: the input read front to back, in-memory streams for the CRsyncWrapper
// callbacks, a silent log and a temporary folder for the run.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "plugin-api/ILog.h"
#include "tests/support/NullLog.h"

namespace fuzzio {

inline std::filesystem::path g_tempRoot;
inline void (*g_beforeRemove)() = nullptr;

inline void RemoveTempRoot() {
  if (g_beforeRemove != nullptr) g_beforeRemove();
  std::error_code ec;
  std::filesystem::remove_all(g_tempRoot, ec);
}

// Makes /tmp/zrfuzz-<name>-XXXXXX for the run; at exit `beforeRemove` (may be null) runs, then the
// folder goes.
inline const std::filesystem::path& MakeTempRoot(const char* name, void (*beforeRemove)()) {
  std::string pattern = std::string("/tmp/zrfuzz-") + name + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  g_tempRoot = pattern;
  g_beforeRemove = beforeRemove;
  std::atexit(RemoveTempRoot);
  return g_tempRoot;
}

// Bytes served in pieces of at most `piece`; seeking moves within them (a basis).
struct Source {
  const unsigned char* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  size_t piece = SIZE_MAX;

  Source(const std::string& bytes, size_t pieceSize)
      : data(reinterpret_cast<const unsigned char*>(bytes.data())), size(bytes.size()), piece(pieceSize) {}

  static size_t Read(unsigned char* buffer, size_t capacity, void* user) {
    Source& self = *static_cast<Source*>(user);
    const size_t n = std::min({capacity, self.piece, self.size - self.at});
    if (n != 0) std::memcpy(buffer, self.data + self.at, n);
    self.at += n;
    return n;
  }
  static bool Seek(uint64_t position, void* user) {
    Source& self = *static_cast<Source*>(user);
    if (position > self.size) return false;
    self.at = static_cast<size_t>(position);
    return true;
  }
};

// Takes everything; keeps the first `keep` bytes and a hash and count of all.
struct Sink {
  size_t keep = SIZE_MAX;
  std::string bytes;
  uint64_t count = 0;
  uint64_t hash = 1469598103934665603ull;

  static size_t Write(const unsigned char* data, size_t length, void* user) {
    Sink& self = *static_cast<Sink*>(user);
    for (size_t i = 0; i < length; ++i) self.hash = (self.hash ^ data[i]) * 1099511628211ull;
    self.count += length;
    if (self.bytes.size() < self.keep)
      self.bytes.append(reinterpret_cast<const char*>(data), std::min(length, self.keep - self.bytes.size()));
    return length;
  }
  bool SameAs(const Sink& other) const { return count == other.count && hash == other.hash; }
};

// Reads the input of a fuzz target front to back; past the end everything is 0 or empty.
struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;

  uint8_t Byte() { return at < size ? data[at++] : 0; }
  uint16_t Word() {
    const uint8_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  std::string Take(size_t n) {
    n = std::min(n, size - at);
    std::string bytes(reinterpret_cast<const char*>(data) + at, n);
    at += n;
    return bytes;
  }
  std::string Rest() { return Take(size - at); }
};

}  // namespace fuzzio
