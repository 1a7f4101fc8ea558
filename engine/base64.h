// SPDX-License-Identifier: MIT
//
// base64.h - tolerant base64 decoding (and its encoder, beside it).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace trirotor::internal {

// Digit value 0..63 of each ANSI code, 64 for '=', -1 for everything else.
// Rebuilt by every DecodeBase64 of four or more characters.
extern thread_local constinit std::array<std::int16_t, 256> Base64Index;

void InitBase64Table();

std::uint8_t ShiftLeft2(std::uint8_t x);
std::uint8_t ShiftLeft4(std::uint8_t x);
std::uint8_t ShiftLeft6(std::uint8_t x);
std::uint8_t ShiftRight2(std::uint8_t x);
std::uint8_t ShiftRight4(std::uint8_t x);

// Decodes base64 text, skipping every character outside the alphabet
// (also inside a group). A pad in place 3 or 4 of a group drops one byte of
// that group's output each; a pad in place 1 or 2 counts as the digit 0; an
// unfinished last group is dropped. Under 4 characters: "" and the table is
// left alone. Returns one character per decoded byte.
std::u16string DecodeBase64(std::u16string_view text);
// The same, returning the bytes themselves. Clean runs of four digits are
// decoded a group at a time; everything else takes the careful path. The
// tables come from a per-thread cache for the current code page; Base64Index
// is left as InitBase64Table leaves it.
ByteBuffer DecodeBase64Bytes(std::u16string_view text);
// The one-character-at-a-time decoder that DecodeBase64Bytes must match in
// every result; kept for tests, benchmarks and the differential fuzz target.
ByteBuffer DecodeBase64BytesSimple(std::u16string_view text);
// The same decoding for text already in ANSI bytes (one byte per character),
// done in place: bytes[0..n) becomes the decoded bytes. Gives the bytes that
// DecodeBase64Bytes gives for the text those bytes stand for.
void DecodeBase64InPlace(ByteBuffer& bytes);

// RFC 4648 base64 with '=' padding, wrapped into lines of `wrap` characters
// joined by "\n" (0: one line).
std::string EncodeBase64(const std::uint8_t* bytes, std::size_t count, int wrap = 76);

}  // namespace trirotor::internal
