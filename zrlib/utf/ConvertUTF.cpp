#include "zrlib/utf/ConvertUTF.h"

#include <cstddef>

namespace {

constexpr UTF32 kReplacementChar = 0xFFFD;
constexpr UTF32 kMaxBmp = 0xFFFF;
constexpr UTF32 kMaxLegalUtf32 = 0x10FFFF;
constexpr UTF32 kSurHighStart = 0xD800;
constexpr UTF32 kSurHighEnd = 0xDBFF;
constexpr UTF32 kSurLowStart = 0xDC00;
constexpr UTF32 kSurLowEnd = 0xDFFF;
constexpr int kHalfShift = 10;
constexpr UTF32 kHalfBase = 0x10000;
constexpr UTF32 kHalfMask = 0x3FF;

// Number of trail bytes that follow a lead byte. Bytes 80..BF are trail bytes
// (0 here, refused by the legality test); F8..FF announce the five- and
// six-byte forms, which are always refused.
constexpr unsigned TrailingBytes(UTF8 lead) {
  return lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
}

// Marks OR-ed into the first byte of a sequence of the given length.
constexpr UTF8 kFirstByteMark[5] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};

bool IsSurrogate(UTF32 ch) { return ch >= kSurHighStart && ch <= kSurLowEnd; }
bool IsHighSurrogate(UTF32 ch) { return ch >= kSurHighStart && ch <= kSurHighEnd; }
bool IsLowSurrogate(UTF32 ch) { return ch >= kSurLowStart && ch <= kSurLowEnd; }

// Well-formedness of a sequence of length bytes whose length the lead byte
// gave. The second byte has a narrower range after E0, ED, F0 and F4, which
// excludes overlong forms, surrogates and values above U+10FFFF.
bool IsLegalUTF8(const UTF8* source, unsigned length) {
  const UTF8 lead = source[0];
  if (length == 1) return lead < 0x80;
  if (length > 4 || lead < 0xC2 || lead > 0xF4) return false;
  for (unsigned i = 1; i < length; ++i) {
    if (source[i] < 0x80 || source[i] > 0xBF) return false;
  }
  const UTF8 second = source[1];
  switch (lead) {
    case 0xE0: return second >= 0xA0;
    case 0xED: return second <= 0x9F;
    case 0xF0: return second >= 0x90;
    case 0xF4: return second <= 0x8F;
    default: return true;
  }
}

// Decodes one well-formed sequence of length bytes.
UTF32 DecodeUTF8(const UTF8* source, unsigned length) {
  static constexpr UTF8 kLeadMask[5] = {0x00, 0x7F, 0x1F, 0x0F, 0x07};
  UTF32 ch = source[0] & kLeadMask[length];
  for (unsigned i = 1; i < length; ++i) ch = (ch << 6) | (source[i] & 0x3F);
  return ch;
}

// Reads the next code point of a UTF-8 source into ch and advances source.
// On a stop, source stays at the start of the sequence and the result is
// returned: an incomplete sequence is reported before an illegal one.
ConversionResult NextUTF8(const UTF8*& source, const UTF8* sourceEnd, UTF32& ch) {
  const unsigned length = TrailingBytes(*source) + 1;
  if (static_cast<std::ptrdiff_t>(length) > sourceEnd - source) return sourceExhausted;
  if (!IsLegalUTF8(source, length)) return sourceIllegal;
  ch = DecodeUTF8(source, length);
  source += length;
  return conversionOK;
}

// Reads the next code point of a UTF-16 source into ch and advances source.
// On a stop, source stays at the offending unit and the result is returned.
ConversionResult NextUTF16(const UTF16*& source, const UTF16* sourceEnd, ConversionFlags flags, UTF32& ch) {
  ch = *source;
  if (IsHighSurrogate(ch)) {
    if (source + 1 == sourceEnd) return sourceExhausted;
    const UTF32 ch2 = source[1];
    if (IsLowSurrogate(ch2)) {
      ch = ((ch - kSurHighStart) << kHalfShift) + (ch2 - kSurLowStart) + kHalfBase;
      source += 2;
      return conversionOK;
    }
    if (flags == strictConversion) return sourceIllegal;
  } else if (IsLowSurrogate(ch) && flags == strictConversion) {
    return sourceIllegal;
  }
  ++source;
  return conversionOK;
}

unsigned UTF8Length(UTF32 ch) { return ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4; }

// Writes ch (at most U+10FFFF) as UTF-8 when it fits; false when it does not.
bool PutUTF8(UTF32 ch, UTF8*& target, UTF8* targetEnd) {
  const unsigned length = UTF8Length(ch);
  if (static_cast<std::ptrdiff_t>(length) > targetEnd - target) return false;
  for (unsigned i = length - 1; i > 0; --i) {
    target[i] = static_cast<UTF8>((ch & 0x3F) | 0x80);
    ch >>= 6;
  }
  target[0] = static_cast<UTF8>(ch | kFirstByteMark[length]);
  target += length;
  return true;
}

// Writes ch (at most U+10FFFF, no surrogate) as UTF-16 when it fits.
bool PutUTF16(UTF32 ch, UTF16*& target, UTF16* targetEnd) {
  if (ch <= kMaxBmp) {
    if (target == targetEnd) return false;
    *target++ = static_cast<UTF16>(ch);
    return true;
  }
  if (targetEnd - target < 2) return false;
  ch -= kHalfBase;
  *target++ = static_cast<UTF16>((ch >> kHalfShift) + kSurHighStart);
  *target++ = static_cast<UTF16>((ch & kHalfMask) + kSurLowStart);
  return true;
}

bool PutUTF32(UTF32 ch, UTF32*& target, UTF32* targetEnd) {
  if (target == targetEnd) return false;
  *target++ = ch;
  return true;
}

// The loop shared by the UTF-8 and UTF-16 sources: next reads one code point
// (or reports why it cannot), put writes it when it fits. On a full target
// the source cursor goes back to the start of that code point.
template <typename From, typename To, typename Next, typename Put>
ConversionResult Convert(const From** sourceStart, const From* sourceEnd, To** targetStart, To* targetEnd,
                         Next next, Put put) {
  ConversionResult result = conversionOK;
  const From* source = *sourceStart;
  To* target = *targetStart;
  while (source < sourceEnd) {
    const From* const unitStart = source;
    UTF32 ch = 0;
    result = next(source, sourceEnd, ch);
    if (result != conversionOK) break;
    if (!put(ch, target, targetEnd)) {
      source = unitStart;
      result = targetExhausted;
      break;
    }
  }
  *sourceStart = source;
  *targetStart = target;
  return result;
}

// NextUTF16 with the flags bound, in the shape Convert expects.
auto NextUTF16With(ConversionFlags flags) {
  return [flags](const UTF16*& source, const UTF16* sourceEnd, UTF32& ch) {
    return NextUTF16(source, sourceEnd, flags, ch);
  };
}

}  // namespace

extern "C" {

ConversionResult ConvertUTF32toUTF16(const UTF32** sourceStart, const UTF32* sourceEnd, UTF16** targetStart,
                                     UTF16* targetEnd, ConversionFlags flags) {
  ConversionResult result = conversionOK;
  const UTF32* source = *sourceStart;
  UTF16* target = *targetStart;
  while (source < sourceEnd) {
    if (target == targetEnd) {
      result = targetExhausted;
      break;
    }
    UTF32 ch = *source;
    if (IsSurrogate(ch)) {
      if (flags == strictConversion) {
        result = sourceIllegal;
        break;
      }
      ch = kReplacementChar;
    } else if (ch > kMaxLegalUtf32) {
      if (flags == strictConversion) {
        result = sourceIllegal;
        ++source;
        continue;
      }
      ch = kReplacementChar;
    }
    if (!PutUTF16(ch, target, targetEnd)) {
      result = targetExhausted;
      break;
    }
    ++source;
  }
  *sourceStart = source;
  *targetStart = target;
  return result;
}

ConversionResult ConvertUTF16toUTF32(const UTF16** sourceStart, const UTF16* sourceEnd, UTF32** targetStart,
                                     UTF32* targetEnd, ConversionFlags flags) {
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, NextUTF16With(flags), PutUTF32);
}

ConversionResult ConvertUTF16toUTF8(const UTF16** sourceStart, const UTF16* sourceEnd, UTF8** targetStart,
                                    UTF8* targetEnd, ConversionFlags flags) {
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, NextUTF16With(flags), PutUTF8);
}

ConversionResult ConvertUTF32toUTF8(const UTF32** sourceStart, const UTF32* sourceEnd, UTF8** targetStart,
                                    UTF8* targetEnd, ConversionFlags flags) {
  ConversionResult result = conversionOK;
  const UTF32* source = *sourceStart;
  UTF8* target = *targetStart;
  while (source < sourceEnd) {
    UTF32 ch = *source;
    if (flags == strictConversion && IsSurrogate(ch)) {
      result = sourceIllegal;
      break;
    }
    bool illegal = false;
    if (ch > kMaxLegalUtf32) {
      ch = kReplacementChar;
      illegal = true;
    }
    if (!PutUTF8(ch, target, targetEnd)) {
      result = targetExhausted;
      break;
    }
    if (illegal) result = sourceIllegal;
    ++source;
  }
  *sourceStart = source;
  *targetStart = target;
  return result;
}

// Flags play no part: ill-formed UTF-8 is refused in both modes.
ConversionResult ConvertUTF8toUTF16(const UTF8** sourceStart, const UTF8* sourceEnd, UTF16** targetStart,
                                    UTF16* targetEnd, ConversionFlags /*flags*/) {
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, NextUTF8, PutUTF16);
}

ConversionResult ConvertUTF8toUTF32(const UTF8** sourceStart, const UTF8* sourceEnd, UTF32** targetStart,
                                    UTF32* targetEnd, ConversionFlags /*flags*/) {
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, NextUTF8, PutUTF32);
}

bool isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd) {
  if (source >= sourceEnd) return false;
  const unsigned length = TrailingBytes(*source) + 1;
  if (static_cast<std::ptrdiff_t>(length) > sourceEnd - source) return false;
  return IsLegalUTF8(source, length);
}

}  // extern "C"
