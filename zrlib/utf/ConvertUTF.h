#pragma once

// Conversions between UTF-8, UTF-16 and UTF-32, exported with plain C names.
//
// Every conversion takes a pointer to the source cursor, the source end, a
// pointer to the target cursor, the target end and the flags. Both ends point
// one past the last unit. On return both cursors have advanced past what was
// converted; on any result other than conversionOK the source cursor points at
// the first unit that was not converted.
//
// Ill-formed UTF-8 (overlong forms, encoded surrogates, values above U+10FFFF,
// bad trail bytes, five- and six-byte forms) always stops with sourceIllegal,
// whatever the flags; a sequence cut short by the source end stops with
// sourceExhausted. A supplementary character is written whole or not at all.

#include <cstdint>

#include "zrlib/ZRLibExport.h"

extern "C" {

typedef uint8_t UTF8;
typedef uint16_t UTF16;
typedef uint32_t UTF32;

typedef enum {
  conversionOK = 0,     // the whole source was converted
  sourceExhausted = 1,  // the source ends inside a sequence
  targetExhausted = 2,  // the target has no room for the next character
  sourceIllegal = 3     // the source holds an illegal sequence or value
} ConversionResult;

typedef enum {
  strictConversion = 0,  // surrogates in UTF-32/UTF-16 sources are errors
  lenientConversion = 1  // such values are passed on or replaced by U+FFFD
} ConversionFlags;

// UTF-8 to UTF-16. Flags do not change the outcome for UTF-8 sources.
[[nodiscard]] ZRLIB_API ConversionResult ConvertUTF8toUTF16(const UTF8** sourceStart, const UTF8* sourceEnd,
                                                            UTF16** targetStart, UTF16* targetEnd,
                                                            ConversionFlags flags);

// UTF-8 to UTF-32. Flags do not change the outcome for UTF-8 sources.
[[nodiscard]] ZRLIB_API ConversionResult ConvertUTF8toUTF32(const UTF8** sourceStart, const UTF8* sourceEnd,
                                                            UTF32** targetStart, UTF32* targetEnd,
                                                            ConversionFlags flags);

// UTF-16 to UTF-8. A high surrogate as the last unit stops with
// sourceExhausted at it. An unpaired high or a lone low surrogate: strict
// stops with sourceIllegal at it; lenient writes it as its three-byte form.
[[nodiscard]] ZRLIB_API ConversionResult ConvertUTF16toUTF8(const UTF16** sourceStart, const UTF16* sourceEnd,
                                                            UTF8** targetStart, UTF8* targetEnd,
                                                            ConversionFlags flags);

// UTF-16 to UTF-32. Surrogates as for ConvertUTF16toUTF8; lenient passes an
// unpaired surrogate on unchanged.
[[nodiscard]] ZRLIB_API ConversionResult ConvertUTF16toUTF32(const UTF16** sourceStart,
                                                             const UTF16* sourceEnd, UTF32** targetStart,
                                                             UTF32* targetEnd, ConversionFlags flags);

// UTF-32 to UTF-8. A surrogate value: strict stops with sourceIllegal at it;
// lenient writes its three-byte form. A value above U+10FFFF becomes U+FFFD
// (EF BF BD) in both modes, sets sourceIllegal and the conversion goes on.
[[nodiscard]] ZRLIB_API ConversionResult ConvertUTF32toUTF8(const UTF32** sourceStart, const UTF32* sourceEnd,
                                                            UTF8** targetStart, UTF8* targetEnd,
                                                            ConversionFlags flags);

// UTF-32 to UTF-16. A surrogate value: strict stops with sourceIllegal at it;
// lenient writes U+FFFD. A value above U+10FFFF: strict drops it, sets
// sourceIllegal and goes on; lenient writes U+FFFD.
[[nodiscard]] ZRLIB_API ConversionResult ConvertUTF32toUTF16(const UTF32** sourceStart,
                                                             const UTF32* sourceEnd, UTF16** targetStart,
                                                             UTF16* targetEnd, ConversionFlags flags);

// True when the sequence starting at source is complete before sourceEnd and
// well formed. The length comes from the lead byte. An empty range gives false.
[[nodiscard]] ZRLIB_API bool isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd);

}  // extern "C"
