// SPDX-License-Identifier: MIT
//
// unrepresentable.cpp - finding the character a code page cannot hold, and
// saying where it is in words a user can act on.

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace trirotor::platform {
namespace {

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u < 0xDC00; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u < 0xE000; }

// The character at text[index]: a whole surrogate pair, or the unit itself.
char32_t CodePointAt(std::u16string_view text, std::size_t index) {
  const char16_t u = text[index];
  if (IsHighSurrogate(u) && index + 1 < text.size() && IsLowSurrogate(text[index + 1])) {
    return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[index + 1] - 0xDC00);
  }
  return u;
}

// "U+20AC '€'"; a control character or a lone surrogate only by number.
std::string Describe(char32_t cp) {
  char number[16];
  std::snprintf(number, sizeof number, "U+%04X", static_cast<unsigned>(cp));
  std::string out = number;
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0xD800 && cp < 0xE000)) return out;
  out += " '";
  if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  }
  if (cp >= 0x80) out += static_cast<char>(0x80 | (cp & 0x3F));
  out += "'";
  return out;
}

}  // namespace

std::optional<UnrepresentableCharacter> FindUnrepresentableCharacter(std::u16string_view text,
                                                                     std::string_view what) {
  const std::size_t at = FindUnrepresentable(text);
  if (at == std::u16string_view::npos) return std::nullopt;
  UnrepresentableCharacter found;
  found.index = at;
  found.codePoint = CodePointAt(text, at);
  for (std::size_t i = 0; i < at; ++i) {
    if (text[i] == u'\n') {
      ++found.line;
      found.column = 1;
    } else if (!(IsHighSurrogate(text[i]) && IsLowSurrogate(text[i + 1]))) {
      ++found.column;  // the high half of a pair counts with its low half
    }
  }
  std::string place;
  if (what.empty()) {
    place = "line " + std::to_string(found.line) + ", column " + std::to_string(found.column);
  } else if (text.find(u'\n') == std::u16string_view::npos) {
    place = "character " + std::to_string(found.column) + " of " + std::string(what);
  } else {
    place = "line " + std::to_string(found.line) + ", column " + std::to_string(found.column) + " of " +
            std::string(what);
  }
  found.message = place + ": " + Describe(found.codePoint) + " has no place in code page " +
                  std::to_string(CodePage());
  return found;
}

}  // namespace trirotor::platform
