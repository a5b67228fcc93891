#include "zrlib/utf/ConvertUTF.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<UTF8>;
using Units16 = std::vector<UTF16>;
using Units32 = std::vector<UTF32>;

// Every Unicode scalar value in order.
Units32 AllScalars() {
  Units32 all;
  for (UTF32 c = 0; c <= 0x10FFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) all.push_back(c);
  }
  return all;
}

// Converts a whole buffer with glibc iconv.
template <typename To, typename From>
std::vector<To> Iconv(const char* to, const char* from, const std::vector<From>& in) {
  iconv_t cd = iconv_open(to, from);
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::vector<To> out(in.size() * 4 + 4);
  char* src = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
  size_t srcLeft = in.size() * sizeof(From);
  char* dst = reinterpret_cast<char*>(out.data());
  size_t dstLeft = out.size() * sizeof(To);
  EXPECT_NE(iconv(cd, &src, &srcLeft, &dst, &dstLeft), static_cast<size_t>(-1));
  iconv_close(cd);
  EXPECT_EQ(srcLeft, 0u);
  out.resize(out.size() - dstLeft / sizeof(To));
  return out;
}

// Result, cursor offsets and output of one conversion call.
template <typename To>
struct Outcome {
  ConversionResult result;
  std::ptrdiff_t consumed;
  std::vector<To> out;
};

template <typename To, typename From, typename Fn>
Outcome<To> Run(Fn fn, const std::vector<From>& in, size_t room, ConversionFlags flags) {
  std::vector<To> buffer(room + 1, 0);  // one guard unit past the end
  const From* src = in.data();
  To* dst = buffer.data();
  ConversionResult r = fn(&src, in.data() + in.size(), &dst, buffer.data() + room, flags);
  EXPECT_EQ(buffer[room], 0) << "wrote past the target end";
  return {r, src - in.data(), std::vector<To>(buffer.data(), dst)};
}

Outcome<UTF32> U8to32(const Bytes& in, size_t room = 64, ConversionFlags f = strictConversion) {
  return Run<UTF32>(ConvertUTF8toUTF32, in, room, f);
}
Outcome<UTF16> U8to16(const Bytes& in, size_t room = 64, ConversionFlags f = strictConversion) {
  return Run<UTF16>(ConvertUTF8toUTF16, in, room, f);
}
Outcome<UTF8> U32to8(const Units32& in, ConversionFlags f, size_t room = 64) {
  return Run<UTF8>(ConvertUTF32toUTF8, in, room, f);
}
Outcome<UTF16> U32to16(const Units32& in, ConversionFlags f, size_t room = 64) {
  return Run<UTF16>(ConvertUTF32toUTF16, in, room, f);
}
Outcome<UTF8> U16to8(const Units16& in, ConversionFlags f, size_t room = 64) {
  return Run<UTF8>(ConvertUTF16toUTF8, in, room, f);
}
Outcome<UTF32> U16to32(const Units16& in, ConversionFlags f, size_t room = 64) {
  return Run<UTF32>(ConvertUTF16toUTF32, in, room, f);
}

TEST(ConvertUTF, AllScalarsRoundTripAndAgreeWithIconv) {
  const Units32 all = AllScalars();
  const Bytes utf8 = Iconv<UTF8>("UTF-8", "UTF-32LE", all);
  const Units16 utf16 = Iconv<UTF16>("UTF-16LE", "UTF-32LE", all);

  for (ConversionFlags flags : {strictConversion, lenientConversion}) {
    auto to8 = U32to8(all, flags, utf8.size());
    EXPECT_EQ(to8.result, conversionOK);
    EXPECT_TRUE(to8.out == utf8);
    auto back8 = U8to32(to8.out, all.size(), flags);
    EXPECT_EQ(back8.result, conversionOK);
    EXPECT_TRUE(back8.out == all);

    auto to16 = U32to16(all, flags, utf16.size());
    EXPECT_EQ(to16.result, conversionOK);
    EXPECT_TRUE(to16.out == utf16);
    auto back16 = U16to32(to16.out, flags, all.size());
    EXPECT_EQ(back16.result, conversionOK);
    EXPECT_TRUE(back16.out == all);

    auto from8 = U8to16(utf8, utf16.size(), flags);
    EXPECT_EQ(from8.result, conversionOK);
    EXPECT_TRUE(from8.out == utf16);
    auto from16 = U16to8(utf16, flags, utf8.size());
    EXPECT_EQ(from16.result, conversionOK);
    EXPECT_TRUE(from16.out == utf8);
  }
}

// Independent definition: a sequence is legal when it is the shortest
// encoding of a scalar value.
bool OracleLegal(const UTF8* s, size_t available) {
  const UTF8 lead = s[0];
  size_t n = lead < 0x80             ? 1
             : (lead & 0xE0) == 0xC0 ? 2
             : (lead & 0xF0) == 0xE0 ? 3
             : (lead & 0xF8) == 0xF0 ? 4
                                     : 0;
  if (n == 0 || n > available) return false;
  UTF32 v = n == 1 ? lead : lead & (0xFF >> (n + 1));
  for (size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return false;
    v = (v << 6) | (s[i] & 0x3F);
  }
  const size_t shortest = v < 0x80 ? 1 : v < 0x800 ? 2 : v < 0x10000 ? 3 : 4;
  return shortest == n && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF);
}

TEST(ConvertUTF, LegalityMatchesShortestFormDefinition) {
  UTF8 s[4];
  for (unsigned a = 0; a < 256; ++a) {
    s[0] = static_cast<UTF8>(a);
    ASSERT_EQ(isLegalUTF8Sequence(s, s + 1), OracleLegal(s, 1)) << a;
    for (unsigned b = 0; b < 256; ++b) {
      s[1] = static_cast<UTF8>(b);
      ASSERT_EQ(isLegalUTF8Sequence(s, s + 2), OracleLegal(s, 2)) << a << ' ' << b;
      if (a < 0xE0) continue;
      for (unsigned c = 0; c < 256; ++c) {
        s[2] = static_cast<UTF8>(c);
        ASSERT_EQ(isLegalUTF8Sequence(s, s + 3), OracleLegal(s, 3)) << a << ' ' << b << ' ' << c;
        if (a < 0xF0) continue;
        for (UTF8 d : {0x00, 0x7F, 0x80, 0x9F, 0xBF, 0xC0, 0xFF}) {
          s[3] = d;
          ASSERT_EQ(isLegalUTF8Sequence(s, s + 4), OracleLegal(s, 4))
              << a << ' ' << b << ' ' << c << ' ' << +d;
        }
      }
    }
  }
}

TEST(ConvertUTF, LegalityNeedsWholeSequence) {
  const Bytes max = {0xF4, 0x8F, 0xBF, 0xBF};
  EXPECT_TRUE(isLegalUTF8Sequence(max.data(), max.data() + 4));
  EXPECT_FALSE(isLegalUTF8Sequence(max.data(), max.data() + 3));
  EXPECT_FALSE(isLegalUTF8Sequence(max.data(), max.data()));
  const Bytes fiveByte = {0xF8, 0x88, 0x80, 0x80, 0x80};
  EXPECT_FALSE(isLegalUTF8Sequence(fiveByte.data(), fiveByte.data() + 5));
}

TEST(ConvertUTF, IllFormedUTF8StopsAtSequenceStartInBothModes) {
  const std::vector<Bytes> illegal = {
      {0xED, 0xA0, 0x80},        // encoded surrogate
      {0xF4, 0x90, 0x80, 0x80},  // above U+10FFFF
      {0xC0, 0x80},              // overlong
      {0xE0, 0x80, 0x80},        // overlong
      {0x80},                    // stray trail byte
      {0xE2, 0x41, 0x82},        // bad trail byte
      {0xED, 0x41, 0x80},        // bad trail byte after a narrowed lead
      {0xF8, 0x88, 0x80, 0x80, 0x80},
  };
  for (ConversionFlags flags : {strictConversion, lenientConversion}) {
    for (const Bytes& bad : illegal) {
      Bytes in = {'a'};
      in.insert(in.end(), bad.begin(), bad.end());
      in.push_back('b');
      auto r32 = U8to32(in, 64, flags);
      EXPECT_EQ(r32.result, sourceIllegal) << +bad[0];
      EXPECT_EQ(r32.consumed, 1);
      EXPECT_EQ(r32.out, Units32({'a'}));
      auto r16 = U8to16(in, 64, flags);
      EXPECT_EQ(r16.result, sourceIllegal);
      EXPECT_EQ(r16.consumed, 1);
      EXPECT_EQ(r16.out, Units16({'a'}));
    }
  }
}

TEST(ConvertUTF, TruncatedUTF8AtEndIsSourceExhausted) {
  for (const Bytes& in :
       {Bytes{'x', 0xE2, 0x82}, Bytes{'x', 0xF0, 0x9F, 0x98}, Bytes{'x', 0xC3}, Bytes{'x', 0xE0, 0x80}}) {
    auto r = U8to32(in);
    EXPECT_EQ(r.result, sourceExhausted);
    EXPECT_EQ(r.consumed, 1);
    EXPECT_EQ(r.out, Units32({'x'}));
    EXPECT_EQ(U8to16(in).result, sourceExhausted);
  }
}

TEST(ConvertUTF, UTF32SurrogatesStrictStopLenientPassOrReplace) {
  const Units32 in = {'a', 0xD800, 'b'};
  auto s8 = U32to8(in, strictConversion);
  EXPECT_EQ(s8.result, sourceIllegal);
  EXPECT_EQ(s8.consumed, 1);
  EXPECT_EQ(s8.out, Bytes({'a'}));
  auto l8 = U32to8(in, lenientConversion);
  EXPECT_EQ(l8.result, conversionOK);
  EXPECT_EQ(l8.out, Bytes({'a', 0xED, 0xA0, 0x80, 'b'}));

  auto s16 = U32to16(in, strictConversion);
  EXPECT_EQ(s16.result, sourceIllegal);
  EXPECT_EQ(s16.consumed, 1);
  EXPECT_EQ(s16.out, Units16({'a'}));
  auto l16 = U32to16(in, lenientConversion);
  EXPECT_EQ(l16.result, conversionOK);
  EXPECT_EQ(l16.out, Units16({'a', 0xFFFD, 'b'}));
}

TEST(ConvertUTF, UTF32AboveMaximum) {
  const Units32 in = {0x110000, 'b'};
  for (ConversionFlags flags : {strictConversion, lenientConversion}) {
    auto r8 = U32to8(in, flags);
    EXPECT_EQ(r8.result, sourceIllegal);
    EXPECT_EQ(r8.consumed, 2);
    EXPECT_EQ(r8.out, Bytes({0xEF, 0xBF, 0xBD, 'b'}));
  }
  auto s16 = U32to16(in, strictConversion);
  EXPECT_EQ(s16.result, sourceIllegal);
  EXPECT_EQ(s16.consumed, 2);
  EXPECT_EQ(s16.out, Units16({'b'}));
  auto l16 = U32to16(in, lenientConversion);
  EXPECT_EQ(l16.result, conversionOK);
  EXPECT_EQ(l16.out, Units16({0xFFFD, 'b'}));
  EXPECT_EQ(U32to16({0xFFFFFFFF}, lenientConversion).out, Units16({0xFFFD}));
}

TEST(ConvertUTF, UTF16Surrogates) {
  for (ConversionFlags flags : {strictConversion, lenientConversion}) {
    auto end32 = U16to32({'a', 0xD83D}, flags);
    EXPECT_EQ(end32.result, sourceExhausted);
    EXPECT_EQ(end32.consumed, 1);
    EXPECT_EQ(end32.out, Units32({'a'}));
    auto end8 = U16to8({'a', 0xD83D}, flags);
    EXPECT_EQ(end8.result, sourceExhausted);
    EXPECT_EQ(end8.consumed, 1);
  }
  for (const Units16& in : {Units16{'a', 0xD83D, 'b'}, Units16{'a', 0xDE00, 'b'}}) {
    auto s32 = U16to32(in, strictConversion);
    EXPECT_EQ(s32.result, sourceIllegal);
    EXPECT_EQ(s32.consumed, 1);
    auto s8 = U16to8(in, strictConversion);
    EXPECT_EQ(s8.result, sourceIllegal);
    EXPECT_EQ(s8.consumed, 1);
    auto l32 = U16to32(in, lenientConversion);
    EXPECT_EQ(l32.result, conversionOK);
    EXPECT_EQ(l32.out, Units32({'a', in[1], 'b'}));
    auto l8 = U16to8(in, lenientConversion);
    EXPECT_EQ(l8.result, conversionOK);
    const Bytes three = {static_cast<UTF8>(0xE0 | (in[1] >> 12)),
                         static_cast<UTF8>(0x80 | ((in[1] >> 6) & 0x3F)),
                         static_cast<UTF8>(0x80 | (in[1] & 0x3F))};
    EXPECT_EQ(l8.out, Bytes({'a', three[0], three[1], three[2], 'b'}));
  }
}

TEST(ConvertUTF, FullTargetStopsBeforeTheCharacter) {
  // A supplementary character needs two UTF-16 units or four UTF-8 bytes.
  auto r = U32to16({'a', 0x1F600}, strictConversion, 2);
  EXPECT_EQ(r.result, targetExhausted);
  EXPECT_EQ(r.consumed, 1);
  EXPECT_EQ(r.out, Units16({'a'}));
  auto r1 = U32to16({0x1F600}, lenientConversion, 1);
  EXPECT_EQ(r1.result, targetExhausted);
  EXPECT_EQ(r1.consumed, 0);
  EXPECT_TRUE(r1.out.empty());

  const Bytes smile = {0xF0, 0x9F, 0x98, 0x80};
  auto u816 = U8to16(smile, 1);
  EXPECT_EQ(u816.result, targetExhausted);
  EXPECT_EQ(u816.consumed, 0);
  auto u832 = U8to32({'a', 0xF0, 0x9F, 0x98, 0x80}, 1);
  EXPECT_EQ(u832.result, targetExhausted);
  EXPECT_EQ(u832.consumed, 1);
  EXPECT_EQ(u832.out, Units32({'a'}));

  auto u328 = U32to8({'a', 0x1F600}, strictConversion, 4);
  EXPECT_EQ(u328.result, targetExhausted);
  EXPECT_EQ(u328.consumed, 1);
  EXPECT_EQ(u328.out, Bytes({'a'}));

  auto u168 = U16to8({0xD83D, 0xDE00}, strictConversion, 3);
  EXPECT_EQ(u168.result, targetExhausted);
  EXPECT_EQ(u168.consumed, 0);
  EXPECT_TRUE(u168.out.empty());
  auto u1632 = U16to32({'a', 0xD83D, 0xDE00}, strictConversion, 1);
  EXPECT_EQ(u1632.result, targetExhausted);
  EXPECT_EQ(u1632.consumed, 1);
}

TEST(ConvertUTF, UTF32FullTargetAgainstIllegalValues) {
  // To UTF-16 a full target is reported before the next value is read; to
  // UTF-8 a strict surrogate stops first.
  for (UTF32 illegal : {0xD800u, 0x110000u}) {
    auto r16 = U32to16({'a', illegal}, strictConversion, 1);
    EXPECT_EQ(r16.result, targetExhausted);
    EXPECT_EQ(r16.consumed, 1);
  }
  auto r8 = U32to8({'a', 0xD800}, strictConversion, 1);
  EXPECT_EQ(r8.result, sourceIllegal);
  EXPECT_EQ(r8.consumed, 1);
  // A dropped value keeps the result sourceIllegal to the end.
  auto dropped = U32to16({0x110000, 'b', 'c'}, strictConversion);
  EXPECT_EQ(dropped.result, sourceIllegal);
  EXPECT_EQ(dropped.consumed, 3);
  EXPECT_EQ(dropped.out, Units16({'b', 'c'}));
}

TEST(ConvertUTF, EmptySourceIsComplete) {
  EXPECT_EQ(U8to32({}).result, conversionOK);
  EXPECT_EQ(U32to8({}, strictConversion, 0).result, conversionOK);
  EXPECT_EQ(U16to32({}, strictConversion, 0).result, conversionOK);
}

}  // namespace
