// SPDX-License-Identifier: MIT
//
// shown_name.cpp - names as messages show them (shown_name.h).

#include "support/shown_name.h"

#include <cstdio>

#include "support/utf8.h"

namespace trirotor::support {

namespace {

// A character that would break a message's line or turn the terminal: the
// C0 and C1 controls, DEL, the Unicode line and paragraph separators and the
// bidirectional overrides.
bool Unprintable(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string ShownName(std::string_view name) {
  std::u16string wide;
  std::size_t bad = 0;
  bool plain = DecodeUtf8(name, wide, bad);
  for (std::size_t i = 0; plain && i < wide.size(); ++i) plain = !Unprintable(wide[i]);
  if (plain) return std::string(name);
  std::string shown = "\"";
  const auto escape = [&](unsigned char byte) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    shown += hex;
  };
  for (std::size_t i = 0; i < name.size();) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte >= 0x80) {
      // A whole UTF-8 character stays as it is when printable; any other
      // byte past ASCII is shown by its value.
      const std::size_t length = byte >= 0xF0 ? 4 : (byte >= 0xE0 ? 3 : 2);
      std::u16string one;
      std::size_t where = 0;
      const std::string_view sequence = name.substr(i, length);
      if (DecodeUtf8(sequence, one, where)) {
        const char32_t c = one.size() == 2 ? 0x10000 + ((one[0] - 0xD800u) << 10) + (one[1] - 0xDC00u) : one[0];
        if (!Unprintable(c)) {
          shown += sequence;
        } else {
          for (const char b : sequence) escape(static_cast<unsigned char>(b));
        }
        i += length;
        continue;
      }
      escape(byte);
      ++i;
      continue;
    }
    switch (byte) {
      case '\n': shown += "\\n"; break;
      case '\t': shown += "\\t"; break;
      case '\r': shown += "\\r"; break;
      case '"': shown += "\\\""; break;
      case '\\': shown += "\\\\"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          escape(byte);
        } else {
          shown += static_cast<char>(byte);
        }
    }
    ++i;
  }
  return shown + "\"";
}

}  // namespace trirotor::support
