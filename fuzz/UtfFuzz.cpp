// The UTF routines and the strings helpers on any bytes: every UTF-8 conversion stops where
// isLegalUTF8Sequence says; the valid prefix survives 8->32->8, 8->16->8 and 8->16->32; a target too
// small stops at a character boundary; UTF8toWstr/WstrToUTF8 and Split/Join give their input back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "zrlib/strings/Strings.h"
#include "zrlib/utf/ConvertUTF.h"

namespace {

using Bytes = std::vector<UTF8>;

// Length of the sequence a lead byte starts, as the conversions read it.
size_t SequenceLength(UTF8 lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Offset of the first sequence isLegalUTF8Sequence refuses, or the size when there is none.
size_t LegalPrefix(const Bytes& text) {
  const UTF8* p = text.data();
  const UTF8* end = p + text.size();
  while (p < end && isLegalUTF8Sequence(p, end)) p += SequenceLength(*p);
  FUZZ_CHECK(p <= end);
  return static_cast<size_t>(p - text.data());
}

template <typename Unit, typename Converter>
ConversionResult Run(const Bytes& source, std::vector<Unit>& out, size_t room, Converter convert,
                     size_t& consumed) {
  out.assign(room + 1, 0);
  const UTF8* from = source.data();
  Unit* to = out.data();
  const ConversionResult result =
      convert(&from, source.data() + source.size(), &to, out.data() + room, strictConversion);
  consumed = static_cast<size_t>(from - source.data());
  out.resize(static_cast<size_t>(to - out.data()));
  return result;
}

template <typename In, typename Out, typename Converter>
ConversionResult Convert(const std::vector<In>& source, std::vector<Out>& out, Converter convert) {
  out.assign(source.size() * 4 + 4, 0);
  const In* from = source.data();
  Out* to = out.data();
  const ConversionResult result =
      convert(&from, source.data() + source.size(), &to, out.data() + out.size(), strictConversion);
  FUZZ_CHECK(result != conversionOK || from == source.data() + source.size());
  out.resize(static_cast<size_t>(to - out.data()));
  return result;
}

void CheckUtf8(const Bytes& text, size_t tightRoom) {
  const size_t legal = LegalPrefix(text);
  size_t consumed = 0;
  std::vector<UTF32> utf32;
  std::vector<UTF16> utf16;
  const ConversionResult r32 = Run(text, utf32, text.size(), ConvertUTF8toUTF32, consumed);
  FUZZ_CHECK(consumed == legal);
  FUZZ_CHECK((r32 == conversionOK) == (legal == text.size()));
  const ConversionResult r16 = Run(text, utf16, text.size() * 2, ConvertUTF8toUTF16, consumed);
  FUZZ_CHECK(consumed == legal);
  FUZZ_CHECK(r16 == r32);

  const Bytes valid(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(legal));
  Bytes back;
  FUZZ_CHECK(Convert(utf32, back, ConvertUTF32toUTF8) == conversionOK);
  FUZZ_CHECK(back == valid);
  FUZZ_CHECK(Convert(utf16, back, ConvertUTF16toUTF8) == conversionOK);
  FUZZ_CHECK(back == valid);
  std::vector<UTF32> via16;
  FUZZ_CHECK(Convert(utf16, via16, ConvertUTF16toUTF32) == conversionOK);
  FUZZ_CHECK(via16 == utf32);
  std::vector<UTF16> via32;
  FUZZ_CHECK(Convert(utf32, via32, ConvertUTF32toUTF16) == conversionOK);
  FUZZ_CHECK(via32 == utf16);

  // A target too small: the output is a prefix ending at a character boundary.
  if (tightRoom < utf16.size()) {
    std::vector<UTF16> part;
    FUZZ_CHECK(Run(valid, part, tightRoom, ConvertUTF8toUTF16, consumed) == targetExhausted);
    FUZZ_CHECK(std::equal(part.begin(), part.end(), utf16.begin()));
    FUZZ_CHECK(consumed == valid.size() || (valid[consumed] & 0xC0) != 0x80);
    std::vector<UTF16> rest;
    const Bytes tail(valid.begin() + static_cast<std::ptrdiff_t>(consumed), valid.end());
    FUZZ_CHECK(Convert(tail, rest, ConvertUTF8toUTF16) == conversionOK);
    part.insert(part.end(), rest.begin(), rest.end());
    FUZZ_CHECK(part == utf16);
  }

  // The strings helpers: up to the first zero byte the valid prefix comes back.
  const std::string narrow(valid.begin(), valid.end());
  const std::string upToZero = narrow.substr(0, narrow.find('\0'));
  const std::wstring wide = ZRLib::strings::UTF8toWstr(std::string(text.begin(), text.end()));
  FUZZ_CHECK(ZRLib::strings::WstrToUTF8(wide) == upToZero);
}

// Arbitrary UTF-16 and UTF-32 sources: what a strict conversion accepts comes back unchanged.
void CheckWide(const uint8_t* data, size_t size) {
  std::vector<UTF16> utf16(size / 2);
  for (size_t i = 0; i < utf16.size(); ++i) utf16[i] = static_cast<UTF16>(data[2 * i] | data[2 * i + 1] << 8);
  Bytes utf8;
  if (Convert(utf16, utf8, ConvertUTF16toUTF8) == conversionOK) {
    std::vector<UTF16> back;
    FUZZ_CHECK(Convert(utf8, back, ConvertUTF8toUTF16) == conversionOK);
    FUZZ_CHECK(back == utf16);
  }
  std::vector<UTF32> utf32(size / 4);
  for (size_t i = 0; i < utf32.size(); ++i) {
    utf32[i] = static_cast<UTF32>(data[4 * i] | data[4 * i + 1] << 8 | data[4 * i + 2] << 16) |
               static_cast<UTF32>(data[4 * i + 3]) << 24;
  }
  if (Convert(utf32, utf8, ConvertUTF32toUTF8) == conversionOK) {
    std::vector<UTF32> back;
    FUZZ_CHECK(Convert(utf8, back, ConvertUTF8toUTF32) == conversionOK);
    FUZZ_CHECK(back == utf32);
  }
  std::vector<UTF16> out16;
  (void)Convert(utf32, out16, ConvertUTF32toUTF16);
  const std::wstring wide(utf32.begin(), utf32.end());
  (void)ZRLib::strings::UTF8toWstr(ZRLib::strings::WstrToUTF8(wide));
}

void CheckSplitJoin(const std::string& text) {
  if (text.empty()) return;
  for (const char* separator : {",", "\\", "\n"}) {
    FUZZ_CHECK(ZRLib::strings::Join(ZRLib::strings::Split(text, separator), separator) == text);
  }
  const std::wstring wide(text.begin(), text.end());
  FUZZ_CHECK(ZRLib::strings::Join(ZRLib::strings::Split(wide, L"/"), L"/") == wide);
  FUZZ_CHECK(ZRLib::strings::Replace(ZRLib::strings::Replace(text, "\\", "\x01\x01"), "\x01\x01", "\\") ==
                 text ||
             text.find('\x01') != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t tightRoom = data[0];
  const Bytes text(data + 1, data + size);
  CheckUtf8(text, tightRoom);
  CheckWide(data + 1, size - 1);
  CheckSplitJoin(std::string(text.begin(), text.end()));
  return 0;
}
