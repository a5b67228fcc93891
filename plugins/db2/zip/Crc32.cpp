#include "plugins/db2/zip/Crc32.h"

#include <zlib.h>

#include <climits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZR_CRC32_FOLDING 1
#endif

namespace zip {

uint32_t Crc32Portable(uint32_t crc, const unsigned char* data, std::size_t size) {
  // crc32 takes an unsigned int length: feed very large sizes in parts.
  while (size > 0) {
    const std::size_t part = size < UINT_MAX ? size : (UINT_MAX & ~0xFFFFu);
    crc = static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(part)));
    data += part;
    size -= part;
  }
  return crc;
}

#ifdef ZR_CRC32_FOLDING
namespace {

// Folding constants of the bit-reflected polynomial 0x04C11DB7: x^(4*128+32)
// and x^(4*128-32) mod P (four lanes), x^(128+32) and x^(128-32) mod P (one
// lane), x^64 mod P, then P and its Barrett quotient floor(x^64 / P), all
// reflected and shifted left by one as carry-less multiplication needs.
constexpr uint64_t kFold4Low = 0x0154442bd4, kFold4High = 0x01c6e41596;
constexpr uint64_t kFold1Low = 0x01751997d0, kFold1High = 0x00ccaa009e;
constexpr uint64_t kFold64 = 0x0163cd6124;
constexpr uint64_t kPolynomial = 0x01db710641, kBarrett = 0x01f7011641;

// `value` folded 128 bits forward by `constants`, plus `next`.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i value, __m128i constants, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(value, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(value, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load(const unsigned char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// The reflected CRC state `crc` (not inverted) over `size` bytes: size is a
// multiple of 16 and at least 64.
__attribute__((target("pclmul,sse4.1"))) uint32_t Folded(uint32_t crc, const unsigned char* data,
                                                         std::size_t size) {
  __m128i x1 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = Load(data + 16);
  __m128i x3 = Load(data + 32);
  __m128i x4 = Load(data + 48);
  data += 64;
  size -= 64;
  // Four lanes, 64 bytes a step.
  const __m128i fold4 = _mm_set_epi64x(static_cast<long long>(kFold4High), static_cast<long long>(kFold4Low));
  for (; size >= 64; data += 64, size -= 64) {
    x1 = Fold(x1, fold4, Load(data));
    x2 = Fold(x2, fold4, Load(data + 16));
    x3 = Fold(x3, fold4, Load(data + 32));
    x4 = Fold(x4, fold4, Load(data + 48));
  }
  // The lanes into one, then 16 bytes a step.
  const __m128i fold1 = _mm_set_epi64x(static_cast<long long>(kFold1High), static_cast<long long>(kFold1Low));
  x1 = Fold(x1, fold1, x2);
  x1 = Fold(x1, fold1, x3);
  x1 = Fold(x1, fold1, x4);
  for (; size >= 16; data += 16, size -= 16) x1 = Fold(x1, fold1, Load(data));
  // 128 bits to 64.
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, fold1, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  const __m128i fold64 = _mm_set_epi64x(0, static_cast<long long>(kFold64));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), fold64, 0x00), x2);
  // Barrett reduction to 32 bits.
  const __m128i barrett = _mm_set_epi64x(static_cast<long long>(kBarrett), static_cast<long long>(kPolynomial));
  x2 = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10), low32);
  x2 = _mm_clmulepi64_si128(x2, barrett, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool CanFold() {
  static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return can;
}

}  // namespace
#endif

uint32_t Crc32(uint32_t crc, const unsigned char* data, std::size_t size) {
#ifdef ZR_CRC32_FOLDING
  if (size >= 64 && CanFold()) {
    const std::size_t bulk = size & ~static_cast<std::size_t>(15);
    crc = ~Folded(~crc, data, bulk);
    data += bulk;
    size -= bulk;
  }
#endif
  return Crc32Portable(crc, data, size);
}

}  // namespace zip
