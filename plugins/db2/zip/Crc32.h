// CRC-32 of zip entries (the polynomial and conditioning of zlib's crc32).
//
// On x86-64 processors with carry-less multiply (PCLMULQDQ) and SSE4.1 the
// bulk of the data is folded 64 bytes at a time, several times faster than
// zlib's tables; elsewhere, and for the last bytes, zlib's crc32 runs. The
// result is zlib's crc32(crc, data, size) in every case.
//
// Thread: any.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zip {

// The CRC-32 of `size` bytes at `data` continued from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const unsigned char* data, std::size_t size);

// Zlib's table-driven CRC-32 alone, for comparison in tests and benchmarks.
uint32_t Crc32Portable(uint32_t crc, const unsigned char* data, std::size_t size);

}  // namespace zip
