// SPDX-License-Identifier: MIT
//
// encode.h - the encoder: the exact inverse of each decoding stage.
#pragma once

#include <array>
#include <cstddef>
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
// free: "\n" between lines); wrap 0 gives one line. The plain text goes
// through the code page: a character it cannot hold raises error 5, naming
// the character, since it would come back as '?' (platform::
// FindUnrepresentable tells beforehand). Raises the engine's error 11 for an
// empty key, like the decoder, 6 for a suffix of more than 32767 characters
// or a text of more than 2^30 characters.
std::u16string EncodeText(std::u16string_view plain, std::u16string_view key,
                          std::u16string_view keySuffix, int wrap = 76);
// The same with the header given, for reproducible messages.
std::u16string EncodeText(std::u16string_view plain, std::u16string_view key,
                          std::u16string_view keySuffix, const FrameHeader& header,
                          int wrap = 76);

/// Encoding bytes ///

// The stages EncodeBytes runs, in this order, each told with the size of
// its input, for a caller that shows them.
enum class EncodeStage { kCompressing, kEncrypting, kWritingBase64 };
using EncodeStageHook = void (*)(EncodeStage stage, std::size_t bytes);

// EncodeText for a host that holds the text as ANSI bytes (one byte per
// character of the code page, so nothing is left to refuse) and wants the
// message as ASCII bytes: the same message as EncodeText with the same
// header, for the text those bytes stand for. Pass the text by std::move:
// each stage frees its input once its output is made, so that the peak is
// about 2.4 times the text (the frame beside its base64) where EncodeText
// holds wide copies as well. Raises what EncodeText raises for the key, the
// suffix and the length.
std::string EncodeBytes(ByteBuffer plain, std::u16string_view key, std::u16string_view keySuffix,
                        const FrameHeader& header, int wrap = 76, EncodeStageHook onStage = nullptr);
std::string EncodeBytes(ByteBuffer plain, std::u16string_view key, std::u16string_view keySuffix,
                        int wrap = 76, EncodeStageHook onStage = nullptr);

/// Stages, for tests and tools ///

// 16 bytes from the operating system's random source (getrandom). Raises 5
// (invalid argument) if the system has none to give.
FrameHeader RandomFrameHeader();

// The frame around a container: byte 0 the header length 16, header[1..13]
// as filler, header[14..15] the check pair, the container, then the check
// pair again as the trailer.
ByteBuffer FrameContainer(const ByteBuffer& container, const FrameHeader& header);

// Frames any container, encrypts the frame under key and keySuffix (from a
// fresh cipher state) and writes it in base64. EncodeText is this applied to
// HuffmanEncode's container; tests use it to seal containers of their own.
// Raises the key schedule's errors: 11 for an empty key, 6 for a suffix of
// more than 32767 characters.
std::u16string SealContainer(const ByteBuffer& container, std::u16string_view key,
                             std::u16string_view keySuffix, const FrameHeader& header,
                             int wrap = 76);

}  // namespace trirotor
