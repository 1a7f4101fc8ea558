// SPDX-License-Identifier: MIT
//
// encode.h - the encoder's own stages: the random header and the seal around
// a container. EncodeText itself is declared in the public engine/trirotor.h.
#pragma once

#include <string>
#include <string_view>

#include "engine/trirotor.h"

namespace trirotor::internal {

// 16 bytes from the host's random source (platform::RandomBytes). Raises 5
// (invalid argument) if the system has none to give.
FrameHeader RandomFrameHeader();

// Frames any container, encrypts the frame under key and keySuffix (from a
// fresh cipher state) and writes it in base64. EncodeText is this applied to
// HuffmanEncode's container. Raises the key schedule's errors: 11 for an
// empty key, 6 for a suffix of more than 32767 characters.
std::u16string SealContainer(const ByteBuffer& container, std::u16string_view key, std::u16string_view keySuffix,
                             const FrameHeader& header, int wrap = 76);

}  // namespace trirotor::internal
