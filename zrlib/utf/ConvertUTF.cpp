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

// What a reader makes of the unit at the source cursor. A stop leaves the
// cursor there; otherwise the cursor moves past the code point.
struct Read {
  ConversionResult stop;  // conversionOK: go on
  bool write;             // false: the unit is dropped
  bool illegal;           // the unit was illegal and the conversion goes on: result sourceIllegal
};

constexpr Read kWrite{conversionOK, true, false};
constexpr Read Stop(ConversionResult result) { return {result, false, false}; }

// Reads the next code point of a UTF-8 source into ch. An incomplete
// sequence is reported before an illegal one.
Read NextUTF8(const UTF8*& source, const UTF8* sourceEnd, UTF32& ch) {
  const unsigned length = TrailingBytes(*source) + 1;
  if (static_cast<std::ptrdiff_t>(length) > sourceEnd - source) return Stop(sourceExhausted);
  if (!IsLegalUTF8(source, length)) return Stop(sourceIllegal);
  ch = DecodeUTF8(source, length);
  source += length;
  return kWrite;
}

// Reads the next code point of a UTF-16 source into ch.
Read NextUTF16(const UTF16*& source, const UTF16* sourceEnd, ConversionFlags flags, UTF32& ch) {
  ch = *source;
  if (IsHighSurrogate(ch)) {
    if (source + 1 == sourceEnd) return Stop(sourceExhausted);
    const UTF32 ch2 = source[1];
    if (IsLowSurrogate(ch2)) {
      ch = ((ch - kSurHighStart) << kHalfShift) + (ch2 - kSurLowStart) + kHalfBase;
      source += 2;
      return kWrite;
    }
    if (flags == strictConversion) return Stop(sourceIllegal);
  } else if (IsLowSurrogate(ch) && flags == strictConversion) {
    return Stop(sourceIllegal);
  }
  ++source;
  return kWrite;
}

// Reads the next value of a UTF-32 source bound for UTF-8. A surrogate stops
// a strict conversion and is passed on by a lenient one; a value above
// U+10FFFF becomes U+FFFD and makes the result sourceIllegal in both modes.
Read NextUTF32ForUTF8(const UTF32*& source, ConversionFlags flags, UTF32& ch) {
  ch = *source;
  if (flags == strictConversion && IsSurrogate(ch)) return Stop(sourceIllegal);
  ++source;
  if (ch <= kMaxLegalUtf32) return kWrite;
  ch = kReplacementChar;
  return {conversionOK, true, true};
}

// Reads the next value of a UTF-32 source bound for UTF-16. A surrogate stops
// a strict conversion; a value above U+10FFFF is dropped by a strict one,
// which makes the result sourceIllegal. A lenient one writes U+FFFD for both.
Read NextUTF32ForUTF16(const UTF32*& source, ConversionFlags flags, UTF32& ch) {
  ch = *source;
  if (flags == strictConversion && IsSurrogate(ch)) return Stop(sourceIllegal);
  ++source;
  if (ch <= kMaxLegalUtf32 && !IsSurrogate(ch)) return kWrite;
  if (flags == strictConversion) return {conversionOK, false, true};
  ch = kReplacementChar;
  return kWrite;
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

// Whether a full target is reported before the next unit is read: as in the
// reference code, only UTF-32 to UTF-16 does so, so there a full target wins
// over an illegal value.
enum class FullTarget { kAfterRead, kBeforeRead };

// The loop of every conversion: next reads one code point (or says why it
// cannot), put writes it when it fits. On a full target the source cursor
// goes back to the start of that code point.
template <typename From, typename To, typename Next, typename Put>
ConversionResult Convert(const From** sourceStart, const From* sourceEnd, To** targetStart, To* targetEnd,
                         Next next, Put put, FullTarget fullTarget = FullTarget::kAfterRead) {
  ConversionResult result = conversionOK;
  const From* source = *sourceStart;
  To* target = *targetStart;
  while (source < sourceEnd) {
    if (fullTarget == FullTarget::kBeforeRead && target == targetEnd) {
      result = targetExhausted;
      break;
    }
    const From* const unitStart = source;
    UTF32 ch = 0;
    const Read read = next(source, sourceEnd, ch);
    if (read.stop != conversionOK) {
      result = read.stop;
      break;
    }
    if (read.write && !put(ch, target, targetEnd)) {
      source = unitStart;
      result = targetExhausted;
      break;
    }
    if (read.illegal) result = sourceIllegal;
  }
  *sourceStart = source;
  *targetStart = target;
  return result;
}

// The readers that take flags, in the shape Convert expects.
auto NextUTF16With(ConversionFlags flags) {
  return [flags](const UTF16*& source, const UTF16* sourceEnd, UTF32& ch) {
    return NextUTF16(source, sourceEnd, flags, ch);
  };
}
template <typename Reader>
auto NextUTF32With(Reader reader, ConversionFlags flags) {
  return [reader, flags](const UTF32*& source, const UTF32*, UTF32& ch) { return reader(source, flags, ch); };
}

}  // namespace

extern "C" {

ConversionResult ConvertUTF32toUTF16(const UTF32** sourceStart, const UTF32* sourceEnd, UTF16** targetStart,
                                     UTF16* targetEnd, ConversionFlags flags) {
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, NextUTF32With(NextUTF32ForUTF16, flags),
                 PutUTF16, FullTarget::kBeforeRead);
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
  return Convert(sourceStart, sourceEnd, targetStart, targetEnd, NextUTF32With(NextUTF32ForUTF8, flags),
                 PutUTF8);
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
