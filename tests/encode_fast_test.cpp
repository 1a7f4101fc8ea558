// SPDX-License-Identifier: MIT
//
// encode_fast_test.cpp - the encoder's fast paths: the cipher pass against
// its one-at-a-time twin, and the word-at-a-time Huffman bit packing against
// the decoder.
//
// EncryptBuffer keeps all three rotors' cursors in registers and loads the
// next step's entry ahead of the swap; a fault there shows up only when a
// swap lands on that entry (about once per rotor size) or when a second
// buffer continues from the state the first left. Every case runs both twins
// from the same key and compares the bytes and the whole cipher state, then
// checks that the decoder takes the result back. Random cases print their
// seed.

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <tuple>

#include "engine/internal.h"
#include "tests/test_util.h"

namespace trirotor::test {
namespace {

auto CipherState() {
  return std::make_tuple(Cipher.Rotor1, Cipher.Rotor2, Cipher.Rotor3, Cipher.Step1, Cipher.Mix1, Cipher.Step2,
                         Cipher.Mix2, Cipher.Step3, Cipher.Mix3, Cipher.Feedback);
}

// Encrypts `plain` in the given pieces (sizes; the rest goes last) from a
// fresh key, with the fast or the simple pass.
ByteBuffer EncryptInPieces(bool fast, const std::u16string& key, const ByteBuffer& plain,
                           const std::vector<std::size_t>& pieces) {
  InitCipher(key, u"sfx");
  ByteBuffer out;
  std::size_t at = 0;
  auto run = [&](std::size_t count) {
    ByteBuffer piece(plain.begin() + static_cast<std::ptrdiff_t>(at),
                     plain.begin() + static_cast<std::ptrdiff_t>(at + count));
    fast ? EncryptBuffer(piece) : EncryptBufferSimple(piece);
    out.insert(out.end(), piece.begin(), piece.end());
    at += count;
  };
  for (std::size_t size : pieces) run(std::min(size, plain.size() - at));
  run(plain.size() - at);
  return out;
}

using EncryptFast = EngineTest;

TEST_F(EncryptFast, MatchesItsTwinInBytesAndState) {
  std::mt19937 rng(Seed());
  SCOPED_TRACE("seed " + std::to_string(Seed()));
  struct Case {
    const char* name;
    std::size_t size;
    std::vector<std::size_t> pieces;
  };
  const Case cases[] = {
      {"empty", 0, {}},
      {"one byte", 1, {}},
      {"two bytes", 2, {}},
      {"a rotor's worth", 463, {}},
      {"many rotor turns", 40000, {}},
      {"continued after one byte", 3000, {1}},
      {"continued in uneven pieces", 5000, {7, 0, 462, 1000, 251}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteBuffer plain = RandomBytes(rng, c.size);
    const ByteBuffer simple = EncryptInPieces(false, u"fast-path key", plain, c.pieces);
    const auto simpleState = CipherState();
    const ByteBuffer fast = EncryptInPieces(true, u"fast-path key", plain, c.pieces);
    EXPECT_EQ(Hex(fast), Hex(simple));
    EXPECT_TRUE(CipherState() == simpleState);
  }
}

TEST_F(EncryptFast, TwinsAgreeForManyKeysAndDecryptBack) {
  // The patched look-ahead (a swap that moves the next step's entry) happens
  // about once per rotor size; many keys and lengths make sure it is hit.
  std::mt19937 rng(Seed());
  SCOPED_TRACE("seed " + std::to_string(Seed()));
  for (int k = 0; k < 40; ++k) {
    SCOPED_TRACE("key " + std::to_string(k));
    const std::u16string key =
        Text(std::string(1 + rng() % 40, static_cast<char>('a' + rng() % 26)) + std::to_string(rng()));
    const ByteBuffer plain = RandomBytes(rng, 1 + rng() % 3000);
    const ByteBuffer simple = EncryptInPieces(false, key, plain, {});
    const auto simpleState = CipherState();
    const ByteBuffer fast = EncryptInPieces(true, key, plain, {});
    ASSERT_EQ(Hex(fast), Hex(simple));
    ASSERT_TRUE(CipherState() == simpleState);

    ByteBuffer back = fast;
    InitCipher(key, u"sfx");
    DecryptBufferSimple(back);
    ASSERT_EQ(Hex(back), Hex(plain));
  }
}

/// Huffman bit packing ///

// Lengths 1, 2, ..., 56, 57, 57 for the values 0..57 fill the code exactly;
// the long codes cross 32-bit words in every position the packer can meet.
CodeLengths LadderLengths() {
  CodeLengths lengths{};
  for (int v = 0; v < 57; ++v) lengths[v] = static_cast<std::uint8_t>(v + 1);
  lengths[57] = 57;
  return lengths;
}

TEST_F(EncryptFast, HuffmanPackingDecodesBackForEveryCodeLength) {
  std::mt19937 rng(Seed());
  SCOPED_TRACE("seed " + std::to_string(Seed()));
  struct Case {
    const char* name;
    std::function<std::uint8_t()> next;
    std::size_t size;
  };
  const Case cases[] = {
      {"long codes only", [&] { return static_cast<std::uint8_t>(32 + rng() % 26); }, 3001},
      {"every length mixed", [&] { return static_cast<std::uint8_t>(rng() % 58); }, 4099},
      {"one bit codes", [] { return std::uint8_t{0}; }, 257},
      {"a single long code", [] { return std::uint8_t{57}; }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer plain(c.size);
    for (auto& b : plain) b = c.next();
    ByteBuffer container = CompressContainer(plain.data(), plain.size(), LadderLengths());
    HuffmanDecodeSimple(container, static_cast<std::int32_t>(container.size()));
    EXPECT_EQ(LastError, 0);
    EXPECT_EQ(Hex(container), Hex(plain));
  }
}

TEST_F(EncryptFast, HuffmanEncodeDecodesBackForSkewedTexts) {
  // Counts that double from one value to the next make the deepest trees a
  // short text can have.
  std::mt19937 rng(Seed());
  SCOPED_TRACE("seed " + std::to_string(Seed()));
  for (int values : {9, 17, 21}) {
    SCOPED_TRACE(std::to_string(values) + " values");
    ByteBuffer plain;
    for (int v = 0; v < values; ++v) plain.insert(plain.end(), std::size_t{1} << v, static_cast<std::uint8_t>(v * 7));
    std::shuffle(plain.begin(), plain.end(), rng);
    ByteBuffer container = HuffmanEncode(plain.data(), plain.size());
    ASSERT_EQ(container[2], '3');
    HuffmanDecodeSimple(container, static_cast<std::int32_t>(container.size()));
    EXPECT_EQ(LastError, 0);
    EXPECT_EQ(Hex(container), Hex(plain));
  }
}

}  // namespace
}  // namespace trirotor::test
