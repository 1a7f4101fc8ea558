// SPDX-License-Identifier: MIT
//
// fuzz_input.h - how a fuzz input splits into fields, shared by the fuzz
// targets and by the unit tests that replay saved inputs.
//
// Header-only and free of sanitizer calls, so that the ordinary test build
// (any compiler) reads a reproducer exactly as the fuzzer did.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/trirotor.h"

namespace trirotor::fuzz {

// Reads fields from the front of a fuzz input. Every read past the end
// yields zeros or an empty text, so any byte sequence is a valid input.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t U16() {  // little-endian
    const std::uint16_t low = U8();
    return static_cast<std::uint16_t>(low | U8() << 8);
  }
  std::int32_t I32() {  // little-endian
    std::uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= static_cast<std::uint32_t>(U8()) << shift;
    return static_cast<std::int32_t>(value);
  }
  // `count` characters: one byte each (U+0000..U+00FF, which keeps base64
  // dense for the mutator) or, when `wide`, two bytes each as arbitrary
  // UTF-16 units, unpaired surrogates included.
  std::u16string Text(std::size_t count, bool wide) {
    const std::size_t unit = wide ? 2 : 1;
    count = std::min(count, (size_ - pos_) / unit);
    std::u16string text(count, u'\0');
    for (std::size_t i = 0; i < count; ++i) {
      text[i] = wide ? static_cast<char16_t>(data_[pos_] | data_[pos_ + 1] << 8) : static_cast<char16_t>(data_[pos_]);
      pos_ += unit;
    }
    return text;
  }
  // Everything not yet read.
  std::u16string RestAsText(bool wide) { return Text(size_ - pos_, wide); }
  ByteBuffer RestAsBytes() {
    ByteBuffer bytes(data_ + pos_, data_ + size_);
    pos_ = size_;
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The code pages a target may switch to: all single-byte and ASCII-based,
// so a message's base64 reads the same under each.
inline constexpr int kFuzzCodePages[] = {1252, 1250, 1251, 1253, 1254, 1257, 874, 28591};
inline int PickCodePage(std::uint8_t selector) {
  return kFuzzCodePages[selector % (sizeof kFuzzCodePages / sizeof kFuzzCodePages[0])];
}

// fuzz_decode_text's (and fuzz_differential's) input:
//   byte 0   flags: bit 0 message as UTF-16 units, bit 1 key and suffix as
//            UTF-16 units, bit 2 try a nested decode in every pause, bits
//            3..5 the code page, bit 6 stretch the suffix past 32767
//            characters, bit 7 (differential only) the message's bytes are
//            a raw container
//   byte 1   the pause (0-based) whose handler sets AbortFlag = -1; 255 never
//   2..3     key length in characters, 4..5 suffix length
//   then     key, suffix, and the rest is the message
struct MessageInput {
  std::uint8_t flags = 0;
  int abortAtPause = -1;
  std::u16string key, suffix, message;
  ByteBuffer rawContainer;  // flag bit 7: the message's bytes as they are
  int codePage = 1252;
};

inline MessageInput ReadMessageInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  MessageInput input;
  input.flags = in.U8();
  const std::uint8_t abortSelector = in.U8();
  input.abortAtPause = abortSelector == 255 ? -1 : abortSelector;
  const std::uint16_t keyLength = in.U16();
  const std::uint16_t suffixLength = in.U16();
  const bool wideKey = (input.flags & 2) != 0;
  input.key = in.Text(keyLength, wideKey);
  input.suffix = in.Text(suffixLength, wideKey);
  if ((input.flags & 128) != 0) {
    input.rawContainer = in.RestAsBytes();
  } else {
    input.message = in.RestAsText((input.flags & 1) != 0);
  }
  if ((input.flags & 64) != 0) {
    // Past the suffix's 16-bit length: the key schedule must refuse it.
    const std::u16string unit = input.suffix.empty() ? std::u16string(u"x") : input.suffix;
    while (input.suffix.size() <= 32767) input.suffix += unit;
  }
  input.codePage = PickCodePage(static_cast<std::uint8_t>(input.flags >> 3 & 7));
  return input;
}

// fuzz_huffman_decode's input:
//   byte 0   the pause (0-based) whose handler sets AbortFlag = -1; 255 never
//   byte 1   flags: bit 0 a length of its own follows (else the container's
//            size), which may be negative or past the end
//   [2..5]   that length, signed 32-bit little-endian
//   then     the container
struct ContainerInput {
  int abortAtPause = -1;
  std::int32_t length = 0;
  ByteBuffer container;
};

inline ContainerInput ReadContainerInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  ContainerInput input;
  const std::uint8_t abortSelector = in.U8();
  input.abortAtPause = abortSelector == 255 ? -1 : abortSelector;
  const bool ownLength = (in.U8() & 1) != 0;
  const std::int32_t givenLength = ownLength ? in.I32() : 0;
  input.container = in.RestAsBytes();
  input.length = ownLength ? givenLength : static_cast<std::int32_t>(input.container.size());
  return input;
}

}  // namespace trirotor::fuzz
