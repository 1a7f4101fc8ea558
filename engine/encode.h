// SPDX-License-Identifier: MIT
//
// encode.h - the encoder: the exact inverse of each decoding stage.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace trirotor {

// The 14 filler bytes and the 2 check bytes of a frame's 16-byte header.
using FrameHeader = std::array<std::uint8_t, 16>;  // [0] is replaced by the length, 16

// Seals `plain` so that DecodeText(result, key, keySuffix) == plain, with a
// header drawn from the operating system's random source: the same text and
// key never give the same message twice. Base64 wrapped at 76 columns (CRLF
// free: "\n" between lines); wrap 0 gives one line. Raises the engine's
// error 11 for an empty key, like the decoder.
std::u16string EncodeText(std::u16string_view plain, std::u16string_view key,
                          std::u16string_view keySuffix, int wrap = 76);
// The same with the header given, for reproducible messages.
std::u16string EncodeText(std::u16string_view plain, std::u16string_view key,
                          std::u16string_view keySuffix, const FrameHeader& header,
                          int wrap = 76);

}  // namespace trirotor
