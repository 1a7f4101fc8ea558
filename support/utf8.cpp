// SPDX-License-Identifier: MIT
//
// utf8.cpp - UTF-8 to UTF-16 and back.
//
// Keys and texts arrive as UTF-8 and the engine works in UTF-16; invalid
// input is refused rather than repaired, since a key that silently changed
// would decode nothing.

#include "support/utf8.h"

#include <cstdint>

namespace trirotor::support {

namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The code point at text[index] and how many units it takes.
char32_t CodePointAt(std::u16string_view text, std::size_t index, std::size_t& units) {
  const char16_t u = text[index];
  units = 1;
  if (u >= 0xD800 && u < 0xDC00 && index + 1 < text.size() && text[index + 1] >= 0xDC00 && text[index + 1] < 0xE000) {
    units = 2;
    return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[index + 1] - 0xDC00);
  }
  if (u >= 0xD800 && u < 0xE000) return 0xFFFD;
  return u;
}

}  // namespace

bool DecodeUtf8(std::string_view in, std::u16string& out, std::size_t& badOffset) {
  out.clear();
  out.reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;  // below it the form is overlong
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F, minimum = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F, minimum = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07, minimum = 0x10000;
    } else {
      badOffset = i;
      return false;
    }
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= in.size() || !IsContinuation(static_cast<unsigned char>(in[i + k]))) {
        badOffset = i;
        return false;
      }
      cp = (cp << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
      badOffset = i;
      return false;
    }
    AppendUtf16(out, cp);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

std::string EncodeUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size() + in.size() / 2);
  std::size_t units = 1;
  for (std::size_t i = 0; i < in.size(); i += units) {
    if (in[i] < 0x80) {
      out.push_back(static_cast<char>(in[i]));
      units = 1;
      continue;
    }
    AppendUtf8(out, CodePointAt(in, i, units));
  }
  return out;
}

TextPosition PositionOfByte(std::string_view text, std::size_t offset) {
  TextPosition at;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++at.line;
      at.column = 1;
    } else if (!IsContinuation(c)) {
      ++at.column;
    }
  }
  return at;
}

}  // namespace trirotor::support
