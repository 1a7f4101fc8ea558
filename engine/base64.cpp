// SPDX-License-Identifier: MIT
//
// base64.cpp - tolerant base64 decoding, the message's outermost layer.
//
// Every character outside the alphabet is skipped wherever it stands, even
// inside a group of four, so line breaks and framing do no harm. Pads shorten
// a group only in places 3 and 4; a pad in place 1 or 2 is the digit 0, which
// every formula below masks away.

#include "engine/base64.h"

#include <limits>

namespace trirotor {

thread_local std::array<std::int16_t, 256> Base64Index{};

namespace {
constexpr std::int16_t kPad = 64;
constexpr const char* kSource = "DecodeBase64()";
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

ByteBuffer DecodeBase64Bytes(std::u16string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    platform::RaiseRuntimeError(kErrOverflow, kSource);  // the length is a signed 32-bit value
  }
  const auto length = static_cast<std::int32_t>(text.size());
  if (length < 4) return {};

  // Every group takes four characters, so this bound is never passed.
  ByteBuffer out(static_cast<std::size_t>(3) * static_cast<std::size_t>(length / 4));
  InitBase64Table();

  std::uint8_t d[4] = {0, 0, 0, 0};  // the group's values, places 1 to 4
  int count = 0;                     // values held, 0..3 between characters
  std::size_t w = 0;                 // next byte of out to write
  for (char16_t ch : text) {
    const std::int16_t v = Base64Index[platform::AnsiCode(ch)];
    if (v < 0) continue;
    d[count++] = static_cast<std::uint8_t>(v);
    if (count < 4) continue;
    count = 0;
    out[w] = ShiftLeft2(d[0]) | (ShiftRight4(d[1]) & 3);
    out[w + 1] = ShiftLeft4(d[1] & 15) | (ShiftRight2(d[2]) & 15);
    out[w + 2] = ShiftLeft6(d[2] & 3) | d[3];  // d4 unmasked: a pad's bit is dropped below
    w += 3;
    // Each pad in place 3 or 4 takes one byte off the end of the group.
    if (d[3] == kPad) out[--w] = 0;
    if (d[2] == kPad) out[--w] = 0;
  }
  out.resize(w);  // an unfinished last group is dropped
  return out;
}

std::u16string DecodeBase64(std::u16string_view text) {
  return platform::BytesToText(DecodeBase64Bytes(text));
}

}  // namespace trirotor
