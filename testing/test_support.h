// SPDX-License-Identifier: MIT
//
// test_support.h - what every test of the engine shares, free of any test
// framework so that the GoogleTest suite, the window's Qt tests and the
// fuzzers can all use it: byte and text helpers, a ByteWriter for building
// frames and containers one commented field at a time, the one hand-written
// sealer, and the seed and random bytes of the randomised tests.
//
// The sealer is kept apart from the engine's encoder on purpose, so that a
// test can seal containers the encoder never makes and can hold the
// encoder's framing, feedback and base64 to a second writing of them: the
// frame's layout, the ciphertext feedback loop and RFC 4648 base64 are its
// own. The cipher is not: it keys the engine's InitCipher and steps the
// rotors with the engine's NextKeyByte, so a fault shared by the key
// schedule or the rotor step goes unseen here; the conformance vectors and
// the key schedule's and keystream's own tests are what hold those.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <random>
#include <string>
#include <string_view>

#include "engine/internal.h"

namespace trirotor::test {

/// Bytes and text ///

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
  ByteWriter& U8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  ByteWriter& U8s(std::initializer_list<std::uint8_t> vs) {
    bytes_.insert(bytes_.end(), vs);
    return *this;
  }
  ByteWriter& I16(std::int16_t v) { return U8(v & 0xFF).U8((v >> 8) & 0xFF); }
  ByteWriter& I32(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    return U8(u & 0xFF).U8((u >> 8) & 0xFF).U8((u >> 16) & 0xFF).U8(u >> 24);
  }
  ByteWriter& Str(std::string_view s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  ByteWriter& Fill(std::size_t n, std::uint8_t v) {
    bytes_.insert(bytes_.end(), n, v);
    return *this;
  }
  ByteWriter& Append(const ByteBuffer& b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  const ByteBuffer& bytes() const { return bytes_; }

 private:
  ByteBuffer bytes_;
};

/// Sealing ///

// A frame around a payload: header length 16, filler, check pair, payload,
// trailer.
inline ByteBuffer Frame(const ByteBuffer& payload, std::uint8_t check1 = 0xA5, std::uint8_t check2 = 0x5A) {
  return ByteWriter()
      .U8(16)                 // header length L
      .Fill(13, 0x20)         // filler
      .U8s({check1, check2})  // check pair
      .Append(payload)
      .U8s({check1, check2})  // trailer
      .bytes();
}

// Encrypts plain bytes: the inverse of DecryptBuffer, written here from the
// feedback rule (each byte's key depends on the ciphertext byte before it)
// over the engine's own key schedule and rotor step.
inline ByteBuffer Encrypt(ByteBuffer bytes, std::u16string_view key, std::u16string_view suffix) {
  internal::InitCipher(key, suffix);
  std::uint8_t previous = 0;
  for (std::uint8_t& b : bytes) {
    b ^= internal::NextKeyByte(previous);
    previous = b;
  }
  return bytes;
}

// RFC 4648 base64 with padding, on one line.
inline std::u16string Base64(const ByteBuffer& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::u16string out;
  auto digit = [&](unsigned group, int shift) { return static_cast<char16_t>(alphabet[group >> shift & 63]); };
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += digit(group, shift);
  }
  if (i + 1 == bytes.size()) {
    const unsigned group = bytes[i] << 16;
    out += {digit(group, 18), digit(group, 12), u'=', u'='};
  } else if (i + 2 == bytes.size()) {
    const unsigned group = bytes[i] << 16 | bytes[i + 1] << 8;
    out += {digit(group, 18), digit(group, 12), digit(group, 6), u'='};
  }
  return out;
}

// A complete message: the frame encrypted and written in base64.
inline std::u16string Seal(const ByteBuffer& frame, std::u16string_view key, std::u16string_view suffix = u"") {
  return Base64(Encrypt(frame, key, suffix));
}

// A complete message around a container of the test's own making.
inline std::u16string SealContainer(const ByteBuffer& container, std::u16string_view key,
                                    std::u16string_view suffix = u"") {
  return Seal(Frame(container), key, suffix);
}

/// Long texts ///

// Prose-like text of at least `size` characters, all ASCII: compressible,
// like a letter, and the same on every run.
inline std::string ProseText(std::size_t size) {
  static const char* const kWords[] = {"rotor ", "message ", "key ", "the ",   "window ", "sealed ",
                                       "and ",   "a ",       "of ",  "text\n", "letter ", "Abort "};
  std::string text;
  text.reserve(size + 16);
  std::uint32_t state = 12345;  // a fixed sequence
  while (text.size() < size) {
    state = state * 1103515245u + 12345u;
    text += kWords[(state >> 16) % (sizeof kWords / sizeof kWords[0])];
  }
  return text;
}

/// Randomised tests ///

// The seed of every randomised test in this process: TRIROTOR_SEED=n replays
// a run; otherwise a fresh one, printed once so that a failure can be replayed.
inline std::uint64_t Seed() {
  static const std::uint64_t seed = [] {
    const char* given = std::getenv("TRIROTOR_SEED");
    const std::uint64_t chosen = given != nullptr ? std::strtoull(given, nullptr, 10) : std::random_device{}();
    std::cout << "Random seed = " << chosen << " (TRIROTOR_SEED replays it)\n";
    return chosen;
  }();
  return seed;
}

// `count` bytes from `random` (any standard engine).
template <typename Random>
ByteBuffer RandomBytes(Random& random, std::size_t count) {
  ByteBuffer bytes(count);
  for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

}  // namespace trirotor::test
