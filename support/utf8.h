// SPDX-License-Identifier: MIT
//
// utf8.h - UTF-8 to UTF-16 and back, with the positions users need in error
// messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trirotor::support {

// The UTF-8 byte-order mark, which every reader of UTF-8 files and records
// drops from the start of its input.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A place in a text, both counted from 1; columns count characters.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};

// Strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
// Returns false and the offset of the first bad byte on invalid input.
bool DecodeUtf8(std::string_view in, std::u16string& out, std::size_t& badOffset);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string EncodeUtf8(std::u16string_view in);

// Where the UTF-8 byte at `offset` stands (a UTF-16 unit's place is the
// engine's platform::PlaceOfUnit).
TextPosition PositionOfByte(std::string_view text, std::size_t offset);

}  // namespace trirotor::support
