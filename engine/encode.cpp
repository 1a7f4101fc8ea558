// SPDX-License-Identifier: MIT
//
// encode.cpp - sealing a text: container, frame, cipher, base64.
//
// Each stage is the inverse of a decoding stage, run in the opposite order.
// The frame's header is random: with ciphertext feedback every keystream
// byte after it depends on those 16 bytes, so one text and key never give
// the same message twice, and no two messages share a keystream.

#include "engine/encode.h"

#include <sys/random.h>

#include <cerrno>
#include <limits>

#include "engine/base64.h"
#include "engine/container.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"
#include "engine/trirotor.h"

namespace trirotor {

namespace {

constexpr std::uint8_t kHeaderLength = 16;  // length byte, 13 filler bytes, check pair
// The base64 text of a bigger frame would pass the decoder's 32-bit lengths.
constexpr std::size_t kMaxPlainCharacters = std::size_t{1} << 30;

}  // namespace

FrameHeader RandomFrameHeader() {
  FrameHeader header{};
  std::size_t filled = 0;
  while (filled < header.size()) {
    const ssize_t got = getrandom(header.data() + filled, header.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      platform::RaiseRuntimeError(kErrInvalidCall, "RandomFrameHeader()");
    }
    filled += static_cast<std::size_t>(got);
  }
  return header;
}

ByteBuffer FrameContainer(const ByteBuffer& container, const FrameHeader& header) {
  ByteBuffer frame;
  frame.reserve(kHeaderLength + container.size() + 2);
  frame.push_back(kHeaderLength);                                // header length L
  frame.insert(frame.end(), header.begin() + 1, header.end());   // filler, check pair
  frame.insert(frame.end(), container.begin(), container.end());  // payload
  frame.push_back(header[14]);                                   // trailer: the check pair again
  frame.push_back(header[15]);
  return frame;
}

std::u16string SealContainer(const ByteBuffer& container, std::u16string_view key,
                             std::u16string_view keySuffix, const FrameHeader& header, int wrap) {
  InitCipher(key, keySuffix);
  ByteBuffer frame = FrameContainer(container, header);
  EncryptBuffer(frame);
  const std::string text = EncodeBase64(frame.data(), frame.size(), wrap);
  return std::u16string(text.begin(), text.end());  // ASCII widens as it is
}

std::u16string EncodeText(std::u16string_view plain, std::u16string_view key,
                          std::u16string_view keySuffix, const FrameHeader& header, int wrap) {
  if (plain.size() > kMaxPlainCharacters) platform::RaiseRuntimeError(kErrOverflow, "EncodeText()");
  const ByteBuffer bytes = platform::TextToBytes(plain);
  return SealContainer(HuffmanEncode(bytes.data(), bytes.size()), key, keySuffix, header, wrap);
}

std::u16string EncodeText(std::u16string_view plain, std::u16string_view key,
                          std::u16string_view keySuffix, int wrap) {
  return EncodeText(plain, key, keySuffix, RandomFrameHeader(), wrap);
}

}  // namespace trirotor
