// SPDX-License-Identifier: MIT
//
// base64.cpp - tolerant base64 decoding, the message's outermost layer.
//
// Every character outside the alphabet is skipped wherever it stands, even
// inside a group of four, so line breaks and framing do no harm. Pads shorten
// a group only in places 3 and 4; a pad in place 1 or 2 is the digit 0, which
// every formula below masks away.
//
// Why the fast path is fast: a message is almost all clean runs of digits, so
// whenever a group is about to start, four characters are looked up at once
// and, if all four are plain digits, turned into three bytes with one 24-bit
// word and one store. Where junk stands among the digits, the digits of the
// next 32 characters are gathered without a branch per character and decoded
// in whole groups. A pad or a character past the code page's first 256
// drops to the careful path for one character, which is the one-at-a-time
// decoder itself.
//
// The look-up tables depend only on the code page, so each thread builds
// them once for the page it uses and rebuilds them only when the page
// changes; a short message then costs its characters, not 256 conversions
// and a table.

#include "engine/base64.h"

#include "engine/checked.h"
#include "platform/big_buffer.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace trirotor::internal {

constinit thread_local std::array<std::int16_t, 256> Base64Index{};

namespace {
constexpr std::int16_t kPad = 64;
constexpr const char* kSource = "DecodeBase64()";

// The output bound: every group takes four characters.
std::size_t OutputBound(std::size_t length) { return 3 * (length / 4); }

void RequireLength(std::size_t size) { checked::Int32Length(size, kSource); }

// The group being collected by the careful path.
struct Group {
  std::uint8_t d[4] = {0, 0, 0, 0};  // the values of places 1 to 4
  int count = 0;                     // values held, 0..3 between characters
};

// Adds one looked-up value to the group; emits the group when it is full.
inline void AddValue(Group& g, std::int16_t v, std::uint8_t* out, std::size_t& w) {
  if (v < 0) return;
  g.d[g.count++] = static_cast<std::uint8_t>(v);
  if (g.count < 4) return;
  g.count = 0;
  out[w] = ShiftLeft2(g.d[0]) | (ShiftRight4(g.d[1]) & 3);
  out[w + 1] = ShiftLeft4(g.d[1] & 15) | (ShiftRight2(g.d[2]) & 15);
  out[w + 2] = ShiftLeft6(g.d[2] & 3) | g.d[3];  // d4 unmasked: a pad's bit is dropped below
  w += 3;
  // Each pad in place 3 or 4 takes one byte off the end of the group.
  if (g.d[3] == kPad) out[--w] = 0;
  if (g.d[2] == kPad) out[--w] = 0;
}

// How many characters one gathering looks at.
constexpr std::size_t kGatherSpan = 32;

// Digit values of the first 256 characters (-1 outside the alphabet, 64 for
// the pad), as int8 so that four of them OR together into one test: a plain
// digit has neither bit 6 nor bit 7 set.
// A code page whose letters are not contiguous (EBCDIC) gives the codes in
// the gaps values past 63; those become 127, which no fast path decodes.
using SmallIndex = std::array<std::int8_t, 256>;
constexpr std::int8_t Small(std::int16_t v) { return v >= -1 && v <= kPad ? static_cast<std::int8_t>(v) : 127; }

// Decodes in[0..length) into out (room for OutputBound(length) bytes) and
// returns the number of bytes. Char is char16_t for text, std::uint8_t for
// ANSI bytes; out may be the very bytes of in, since the writes stay behind
// the reads (three bytes out for every four characters in, the four loaded
// before the three are stored).
template <typename Char, typename Lookup>
std::size_t DecodeInto(const Char* in, std::size_t length, std::uint8_t* out, const SmallIndex& small, Lookup careful) {
  const std::size_t bound = OutputBound(length);
  std::size_t w = 0;
  std::size_t p = 0;
  Group g;
  while (p < length) {
    if (g.count == 0) {
      // Four plain digits at a time; the 32-bit store writes one byte ahead,
      // so it stops four bytes before the bound.
      while (length - p >= 4 && w + 4 <= bound) {
        if constexpr (sizeof(Char) == 2) {
          std::uint64_t wide;
          std::memcpy(&wide, in + p, 8);
          if (wide & 0xFF00FF00FF00FF00u) break;  // a character past the first 256
        }
        const auto d0 = static_cast<std::uint8_t>(small[static_cast<std::uint8_t>(in[p])]);
        const auto d1 = static_cast<std::uint8_t>(small[static_cast<std::uint8_t>(in[p + 1])]);
        const auto d2 = static_cast<std::uint8_t>(small[static_cast<std::uint8_t>(in[p + 2])]);
        const auto d3 = static_cast<std::uint8_t>(small[static_cast<std::uint8_t>(in[p + 3])]);
        if ((d0 | d1 | d2 | d3) & 0xC0) break;  // a pad or a skipped character
        const std::uint32_t word =
            std::uint32_t{d0} << 26 | std::uint32_t{d1} << 20 | std::uint32_t{d2} << 14 | std::uint32_t{d3} << 8;
        static_assert(std::endian::native == std::endian::little, "the 8-byte test and the swap assume it");
        const std::uint32_t bigEndian = __builtin_bswap32(word);
        std::memcpy(out + w, &bigEndian, 4);
        w += 3;
        p += 4;
      }
      if (p == length) break;
      // Junk among the digits: gather the plain digits of the next few
      // characters, skipping the junk without a branch, and emit the groups
      // they complete. A pad or a character past the first 256 ends the
      // gathering; the careful path takes it.
      const std::size_t span = std::min<std::size_t>(kGatherSpan, length - p);
      std::uint8_t digits[kGatherSpan];
      std::uint8_t at[kGatherSpan];  // where each digit stood
      std::size_t k = 0;
      for (std::size_t j = 0; j < span; ++j) {
        const auto ch = in[p + j];
        if (sizeof(Char) == 2 && ch > 255) break;
        const std::int8_t d = small[static_cast<std::uint8_t>(ch)];
        if (d >= kPad) break;  // a pad, or a value past 63 that the careful path must take
        digits[k] = static_cast<std::uint8_t>(d);
        at[k] = static_cast<std::uint8_t>(j);
        k += d >= 0 ? 1 : 0;
      }
      const std::size_t groups = k / 4;
      if (groups > 0) {
        for (std::size_t i = 0; i < groups; ++i) {
          const std::uint8_t* d = digits + 4 * i;
          out[w] = static_cast<std::uint8_t>(d[0] << 2 | d[1] >> 4);
          out[w + 1] = static_cast<std::uint8_t>(d[1] << 4 | d[2] >> 2);
          out[w + 2] = static_cast<std::uint8_t>(d[2] << 6 | d[3]);
          w += 3;
        }
        p += at[4 * groups - 1] + 1u;
        continue;
      }
    }
    AddValue(g, careful(in[p]), out, w);
    ++p;
  }
  return w;  // an unfinished last group is dropped
}

}  // namespace

void InitBase64Table() {
  Base64Index.fill(-1);
  std::int16_t k = 0;
  for (int code = platform::AnsiCode(u'A'); code <= platform::AnsiCode(u'Z'); ++code) Base64Index[code] = k++;
  for (int code = platform::AnsiCode(u'a'); code <= platform::AnsiCode(u'z'); ++code) Base64Index[code] = k++;
  for (int code = platform::AnsiCode(u'0'); code <= platform::AnsiCode(u'9'); ++code) Base64Index[code] = k++;
  Base64Index[platform::AnsiCode(u'+')] = 62;
  Base64Index[platform::AnsiCode(u'/')] = 63;
  Base64Index[platform::AnsiCode(u'=')] = kPad;
}

// The left shifts multiply in 16 bits and mask before narrowing; the largest
// product, 255 x 64, fits.
std::uint8_t ShiftLeft2(std::uint8_t x) { return static_cast<std::uint8_t>((x * 4) & 255); }
std::uint8_t ShiftLeft4(std::uint8_t x) { return static_cast<std::uint8_t>((x * 16) & 255); }
std::uint8_t ShiftLeft6(std::uint8_t x) { return static_cast<std::uint8_t>((x * 64) & 255); }
std::uint8_t ShiftRight2(std::uint8_t x) { return static_cast<std::uint8_t>(x >> 2); }
std::uint8_t ShiftRight4(std::uint8_t x) { return static_cast<std::uint8_t>(x >> 4); }

ByteBuffer DecodeBase64BytesSimple(std::u16string_view text) {
  RequireLength(text.size());
  if (text.size() < kShortestMessage) return {};
  ByteBuffer out(OutputBound(text.size()));  // made once, never grown
  InitBase64Table();
  Group g;
  std::size_t w = 0;
  for (char16_t ch : text) AddValue(g, Base64Index[platform::AnsiCode(ch)], out.data(), w);
  out.resize(w);  // an unfinished last group is dropped
  return out;
}

namespace {

// The tables of one code page: what InitBase64Table leaves in Base64Index,
// the value of each of the first 256 characters through the page, and both
// narrowed for the fast paths.
struct PageTables {
  int codePage = 0;                      // 0: none built yet
  std::array<std::int16_t, 256> index;   // by ANSI code: Base64Index's contents
  std::array<std::int16_t, 256> byChar;  // by character below 256: index[AnsiCode(ch)]
  SmallIndex smallByChar;
  SmallIndex smallByCode;
};

// This thread's tables for the code page it uses now, built on first use
// and whenever the page has changed since.
const PageTables& TablesForCodePage() {
  thread_local PageTables tables;
  const int codePage = platform::CodePage();
  if (tables.codePage != codePage) {
    InitBase64Table();
    tables.index = Base64Index;
    for (int ch = 0; ch < 256; ++ch) {
      tables.byChar[ch] = Base64Index[platform::AnsiCode(static_cast<char16_t>(ch))];
      tables.smallByChar[ch] = Small(tables.byChar[ch]);
      tables.smallByCode[ch] = Small(Base64Index[ch]);
    }
    tables.codePage = codePage;
  }
  return tables;
}

}  // namespace

ByteBuffer DecodeBase64Bytes(std::u16string_view text) {
  RequireLength(text.size());
  if (text.size() < kShortestMessage) return {};
  const PageTables& tables = TablesForCodePage();
  Base64Index = tables.index;  // as InitBase64Table leaves it
  ByteBuffer out;
  SizeFreshBuffer(out, OutputBound(text.size()));
  const std::size_t w = DecodeInto(text.data(), text.size(), out.data(), tables.smallByChar, [&](char16_t ch) {
    return ch < 256 ? tables.byChar[ch] : Base64Index[platform::AnsiCode(ch)];
  });
  out.resize(w);
  return out;
}

void DecodeBase64InPlace(ByteBuffer& bytes) {
  RequireLength(bytes.size());
  if (bytes.size() < kShortestMessage) {
    bytes.clear();
    return;
  }
  const PageTables& tables = TablesForCodePage();
  Base64Index = tables.index;
  const std::size_t w = DecodeInto(bytes.data(), bytes.size(), bytes.data(), tables.smallByCode,
                                   [&](std::uint8_t code) { return tables.index[code]; });
  bytes.resize(w);
}

std::u16string DecodeBase64(std::u16string_view text) { return platform::BytesToText(DecodeBase64Bytes(text)); }

}  // namespace trirotor::internal
