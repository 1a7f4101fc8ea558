// SPDX-License-Identifier: MIT
//
// base64_encode.cpp - RFC 4648 base64 with '=' padding, the encoder's last
// stage.
//
// The decoder skips every character outside the alphabet, so the line breaks
// that wrapping puts in are free for it; the padding follows the RFC so that
// any other base64 reader gets the same bytes.

#include "engine/base64.h"

namespace trirotor {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof(kAlphabet) == 65);
}  // namespace

std::string EncodeBase64(const std::uint8_t* bytes, std::size_t count, int wrap) {
  const std::size_t digits = (count + 2) / 3 * 4;
  const std::size_t lineLength = wrap > 0 ? static_cast<std::size_t>(wrap) : 0;
  const std::size_t breaks = lineLength > 0 && digits > 0 ? (digits - 1) / lineLength : 0;
  std::string out;
  out.reserve(digits + breaks);

  std::size_t column = 0;  // digits on the current line
  auto put = [&](char c) {
    if (lineLength > 0 && column == lineLength) {
      out.push_back('\n');
      column = 0;
    }
    out.push_back(c);
    ++column;
  };

  std::size_t i = 0;
  for (; i + 3 <= count; i += 3) {
    const std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16 |
                                static_cast<std::uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
    put(kAlphabet[group >> 18]);
    put(kAlphabet[(group >> 12) & 63]);
    put(kAlphabet[(group >> 6) & 63]);
    put(kAlphabet[group & 63]);
  }
  // One or two bytes left: the group is padded, which tells any reader to
  // drop the bytes that the zero bits would otherwise make.
  if (const std::size_t rest = count - i; rest > 0) {
    std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    put(kAlphabet[group >> 18]);
    put(kAlphabet[(group >> 12) & 63]);
    put(rest == 2 ? kAlphabet[(group >> 6) & 63] : '=');
    put('=');
  }
  return out;
}

}  // namespace trirotor
