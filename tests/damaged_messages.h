// SPDX-License-Identifier: MIT
//
// damaged_messages.h - what the salvage, inspection and key trial tests
// share: messages the encoder made under one key and header, and where a
// compressed container's parts lie, worked out from the container's layout
// and the encoder's code lengths, never from the code under test.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace trirotor::test {

inline const std::u16string kKey = u"salvage key";
inline const std::u16string kSuffix = u"sfx";

// Check pair 0x01 0x02: bytes that none of the texts below contain, so a
// repeat of the pair can only be the trailer.
inline FrameHeader Header() {
  FrameHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(0x40 + i);
  header[14] = 0x01;
  header[15] = 0x02;
  return header;
}

// The encrypted frame of `plain`, as the base64 layer carries it.
inline ByteBuffer SealedFrame(const std::string& plain) {
  const std::string message = EncodeBytes(Bytes(plain), kKey, kSuffix, Header(), 0);
  return DecodeBase64Bytes(Text(message));
}

inline ByteBuffer AsMessage(const ByteBuffer& frame) {
  const std::string text = EncodeBase64(frame.data(), frame.size(), 0);
  return ByteBuffer(text.begin(), text.end());
}

inline std::string Str(const ByteBuffer& b) { return std::string(b.begin(), b.end()); }

inline std::string English(std::size_t n) {
  const std::string words = "the quick brown fox jumps over the lazy dog while seven wizards vex a quiet judge ";
  std::string out;
  while (out.size() < n) out += words;
  out.resize(n);
  return out;
}

// Where a compressed container's data starts, and how many plain bytes are
// whole within the first `bytes` bytes of the container.
struct CompressedLayout {
  std::size_t dataAt;
  std::vector<std::size_t> bitsAfter;  // bitsAfter[i]: data bits of the first i bytes
  std::size_t Whole(std::size_t bytes) const {
    if (bytes < dataAt) return 0;
    const std::size_t bits = (bytes - dataAt) * 8;
    const auto whole = std::upper_bound(bitsAfter.begin(), bitsAfter.end(), bits) - bitsAfter.begin();
    return static_cast<std::size_t>(whole) - 1;
  }
};

inline CompressedLayout Layout(const std::string& plain) {
  std::array<std::uint64_t, 256> counts{};
  for (unsigned char c : plain) ++counts[c];
  const CodeLengths lengths = HuffmanCodeLengths(counts);
  std::size_t entries = 0, codeBits = 0;
  for (std::uint8_t l : lengths) {
    entries += l != 0;
    codeBits += l;
  }
  CompressedLayout layout{11 + 2 * entries + (codeBits + 7) / 8, {0}};
  for (unsigned char c : plain) layout.bitsAfter.push_back(layout.bitsAfter.back() + lengths[c]);
  return layout;
}

}  // namespace trirotor::test
