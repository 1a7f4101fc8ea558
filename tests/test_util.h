// SPDX-License-Identifier: MIT
//
// test_util.h - what the engine's tests share: a fixture that gives every test
// a fresh engine and counting hooks, byte and text helpers, and a ByteWriter
// for building frames and containers one commented field at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "engine/internal.h"
#include "engine/trirotor.h"

namespace trirotor::test {

// The tests reach into the engine's insides.
using namespace trirotor::internal;

// Text of one character per byte, through the current code page.
inline std::u16string Text(const ByteBuffer& bytes) { return platform::BytesToText(bytes); }
inline std::u16string Text(std::string_view latin) {
  return platform::BytesToText(reinterpret_cast<const std::uint8_t*>(latin.data()), latin.size());
}
inline ByteBuffer Bytes(std::u16string_view text) { return platform::TextToBytes(text); }
inline ByteBuffer Bytes(std::string_view latin) { return ByteBuffer(latin.begin(), latin.end()); }
inline std::string Hex(const ByteBuffer& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}
inline ByteBuffer FromHex(std::string_view hex) {
  ByteBuffer out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// Builds byte sequences field by field.
class ByteWriter {
 public:
  ByteWriter& U8(std::uint8_t v) { bytes_.push_back(v); return *this; }
  ByteWriter& U8s(std::initializer_list<std::uint8_t> vs) { bytes_.insert(bytes_.end(), vs); return *this; }
  ByteWriter& I16(std::int16_t v) { return U8(v & 0xFF).U8((v >> 8) & 0xFF); }
  ByteWriter& I32(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    return U8(u & 0xFF).U8((u >> 8) & 0xFF).U8((u >> 16) & 0xFF).U8(u >> 24);
  }
  ByteWriter& Str(std::string_view s) { bytes_.insert(bytes_.end(), s.begin(), s.end()); return *this; }
  ByteWriter& Fill(std::size_t n, std::uint8_t v) { bytes_.insert(bytes_.end(), n, v); return *this; }
  ByteWriter& Append(const ByteBuffer& b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); return *this; }
  const ByteBuffer& bytes() const { return bytes_; }

 private:
  ByteBuffer bytes_;
};

// A frame around a payload: header length 16, filler, check pair, payload,
// trailer.
inline ByteBuffer Frame(const ByteBuffer& payload, std::uint8_t check1 = 0xA5, std::uint8_t check2 = 0x5A) {
  return ByteWriter()
      .U8(16)              // header length L
      .Fill(13, 0x20)      // filler
      .U8s({check1, check2})  // check pair
      .Append(payload)
      .U8s({check1, check2})  // trailer
      .bytes();
}

// Encrypts plain bytes with the running cipher: the inverse of DecryptBuffer,
// written from the feedback rule (each byte's key depends on the ciphertext
// byte before it).
inline ByteBuffer Encrypt(ByteBuffer bytes, std::u16string_view key, std::u16string_view suffix) {
  InitCipher(key, suffix);
  std::uint8_t previous = 0;
  for (std::uint8_t& b : bytes) {
    b ^= NextKeyByte(previous);
    previous = b;
  }
  return bytes;
}

std::u16string Base64(const ByteBuffer& bytes);

// A complete message: the frame encrypted and written in base64.
inline std::u16string Seal(const ByteBuffer& frame, std::u16string_view key, std::u16string_view suffix = u"") {
  return Base64(Encrypt(frame, key, suffix));
}

// Counts what the engine asks of the host.
struct HookLog {
  std::vector<int> pointers;
  std::vector<std::int16_t> progressAtPause;  // Progress as a handler sees it
  int pauses = 0;
  int abortAtPause = -1;  // set AbortFlag = -1 in this pause (0-based)
};
HookLog& Log();

// Every test starts with a fresh engine and counting hooks on this thread.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace trirotor::test
