// SPDX-License-Identifier: MIT
//
// base64_encode.cpp - RFC 4648 base64 with '=' padding, the encoder's last
// stage.
//
// The decoder skips every character outside the alphabet, so the line breaks
// that wrapping puts in are free for it; the padding follows the RFC so that
// any other base64 reader gets the same bytes.

#include "engine/base64.h"

#include <algorithm>
#include <cstring>

#include "platform/big_buffer.h"

namespace trirotor::internal {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof(kAlphabet) == 65);
}  // namespace

std::string EncodeBase64(const std::uint8_t* bytes, std::size_t count, int wrap) {
  const std::size_t digits = (count + 2) / 3 * 4;
  const std::size_t lineLength = wrap > 0 ? static_cast<std::size_t>(wrap) : 0;
  const std::size_t breaks = lineLength > 0 && digits > 0 ? (digits - 1) / lineLength : 0;
  std::string out;
  SizeFreshBuffer(out, digits + breaks);
  char* cursor = out.data();  // where the next character goes

  // Digits are made a chunk at a time and copied out a line's worth at a
  // time, so that neither loop asks per digit whether a line is full.
  std::size_t column = 0;  // digits on the current line
  auto emit = [&](const char* d, std::size_t n) {
    while (n > 0) {
      if (lineLength > 0 && column == lineLength) {
        *cursor++ = '\n';
        column = 0;
      }
      const std::size_t take = lineLength > 0 ? std::min(n, lineLength - column) : n;
      std::memcpy(cursor, d, take);
      cursor += take;
      d += take;
      n -= take;
      column += take;
    }
  };

  constexpr std::size_t kChunkGroups = 1024;
  char chunk[4 * kChunkGroups];
  std::size_t i = 0;
  while (count - i >= 3) {
    const std::size_t groups = std::min((count - i) / 3, kChunkGroups);
    char* c = chunk;
    for (std::size_t g = 0; g < groups; ++g, i += 3, c += 4) {
      const std::uint32_t group =
          static_cast<std::uint32_t>(bytes[i]) << 16 | static_cast<std::uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
      c[0] = kAlphabet[group >> 18];
      c[1] = kAlphabet[(group >> 12) & 63];
      c[2] = kAlphabet[(group >> 6) & 63];
      c[3] = kAlphabet[group & 63];
    }
    emit(chunk, groups * 4);
  }
  // One or two bytes left: the group is padded, which tells any reader to
  // drop the bytes that the zero bits would otherwise make.
  if (const std::size_t rest = count - i; rest > 0) {
    std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    const char last[4] = {kAlphabet[group >> 18], kAlphabet[(group >> 12) & 63],
                          rest == 2 ? kAlphabet[(group >> 6) & 63] : '=', '='};
    emit(last, 4);
  }
  return out;
}

}  // namespace trirotor::internal
