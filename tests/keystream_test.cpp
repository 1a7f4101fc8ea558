// SPDX-License-Identifier: MIT
//
// keystream_test.cpp - the keystream's feedback and cursor periods, and the
// buffer pass's pauses, Progress values and abort.

#include "engine/internal.h"

#include <algorithm>
#include <random>
#include <vector>

#include "tests/test_util.h"

namespace trirotor::test {
namespace {

// Bytes fixed by their seed.
ByteBuffer RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  return test::RandomBytes(rng, n);
}

// The pass written out byte by byte, as a reference for DecryptBuffer.
ByteBuffer DecryptByteByByte(ByteBuffer bytes, std::u16string_view key) {
  InitCipher(key, u"");
  for (auto& b : bytes) b = DecryptByte(b);
  return bytes;
}

using Keystream = EngineTest;

TEST_F(Keystream, FirstByteWorksOnPositionOneOfEachRotor) {
  InitCipher(u"key", u"");
  NextKeyByte(0);
  EXPECT_EQ(Cipher.Step1, 1);
  EXPECT_EQ(Cipher.Step2, 1);
  EXPECT_EQ(Cipher.Step3, 1);
  EXPECT_EQ(Cipher.Feedback, 0);  // NextKeyByte leaves it alone
}

TEST_F(Keystream, CursorsCycleWithTheRotorSizes) {
  InitCipher(u"key", u"sfx");
  for (int n = 1; n <= 463 * 2; ++n) {
    NextKeyByte(static_cast<std::uint8_t>(n * 13));
    ASSERT_EQ(Cipher.Step1, n % 463);
    ASSERT_EQ(Cipher.Step2, n % 251);
    ASSERT_EQ(Cipher.Step3, n % 181);
    ASSERT_TRUE(Cipher.Mix1 >= 0 && Cipher.Mix1 < 463 && Cipher.Mix2 >= 0 && Cipher.Mix2 < 251 && Cipher.Mix3 >= 0 &&
                Cipher.Mix3 < 181);
  }
  auto sorted1 = Cipher.Rotor1;
  std::sort(sorted1.begin(), sorted1.end());
  for (int i = 0; i < 463; ++i) ASSERT_EQ(sorted1[i], i);  // still a permutation
}

TEST_F(Keystream, FeedbackIsTheCiphertextByte) {
  const ByteBuffer cipher = RandomBytes(64, 1);
  ByteBuffer changed = cipher;
  changed[20] ^= 0x5C;
  const ByteBuffer a = DecryptByteByByte(cipher, u"k");
  const ByteBuffer b = DecryptByteByByte(changed, u"k");
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 20, b.begin()));
  EXPECT_EQ(a[20] ^ b[20], 0x5C);                                     // the same key byte at the changed position
  EXPECT_FALSE(std::equal(a.begin() + 21, a.end(), b.begin() + 21));  // different states after
  EXPECT_EQ(a, DecryptByteByByte(cipher, u"k"));                      // and it is repeatable

  InitCipher(u"k", u"");
  DecryptByte(0xAB);
  EXPECT_EQ(Cipher.Feedback, 0xAB);
}

TEST_F(Keystream, BufferPassEqualsTheByteByByteDecryption) {
  for (std::size_t n : {0u, 1u, 2u, 4999u, 5000u, 5001u, 5002u, 10001u, 23456u}) {
    SCOPED_TRACE(n);
    const ByteBuffer cipher = RandomBytes(n, static_cast<unsigned>(n));
    ByteBuffer buffer = cipher;
    InitCipher(u"pass key", u"");
    DecryptBuffer(buffer);
    const auto state = std::make_tuple(Cipher.Rotor1, Cipher.Rotor2, Cipher.Rotor3, Cipher.Step1, Cipher.Mix1,
                                       Cipher.Step2, Cipher.Mix2, Cipher.Step3, Cipher.Mix3, Cipher.Feedback);
    EXPECT_EQ(buffer, DecryptByteByByte(cipher, u"pass key"));
    EXPECT_TRUE(state == std::make_tuple(Cipher.Rotor1, Cipher.Rotor2, Cipher.Rotor3, Cipher.Step1, Cipher.Mix1,
                                         Cipher.Step2, Cipher.Mix2, Cipher.Step3, Cipher.Mix3, Cipher.Feedback));
  }
}

TEST_F(Keystream, PausesAndProgress) {
  struct Case {
    const char* name;
    std::size_t size;
    std::vector<std::int16_t> seenAtPauses;  // Progress as a handler sees it
    std::int16_t final;
  };
  const Case cases[] = {
      {"empty: no pause", 0, {}, 0},
      {"one byte: complete", 1, {0}, 50},
      {"two bytes", 2, {0}, 0},
      {"U = 4999", 5000, {0}, 0},
      {"U = 5000", 5001, {0, 0}, 50},
      {"U = 9999", 10000, {0, 0}, 25},
      {"U = 40000, halves to even", 40001, {0, 0, 6, 12, 19, 25, 31, 38, 44}, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Log() = HookLog{};
    Progress = 0;
    ByteBuffer buffer = RandomBytes(c.size, 5);
    InitCipher(u"k", u"");
    DecryptBuffer(buffer);
    EXPECT_EQ(Log().progressAtPause, c.seenAtPauses);
    EXPECT_EQ(Progress, c.final);
  }
}

TEST_F(Keystream, AbortLeavesTheRestUndecrypted) {
  const ByteBuffer cipher = RandomBytes(10001, 9);  // U = 10000
  const ByteBuffer full = DecryptByteByByte(cipher, u"k");
  for (int pause : {0, 1, 2}) {
    SCOPED_TRACE(pause);
    Log() = HookLog{};
    Log().abortAtPause = pause;
    AbortFlag = 0;
    Progress = 0;
    ByteBuffer buffer = cipher;
    InitCipher(u"k", u"");
    DecryptBuffer(buffer);
    const std::size_t done = pause * 5000 + 1;  // elements 0 .. pause*5000
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + done, full.begin()));
    EXPECT_TRUE(std::equal(buffer.begin() + done, buffer.end(), cipher.begin() + done));
    EXPECT_EQ(Cipher.Feedback, cipher[done - 1]);
    EXPECT_EQ(Cipher.Step1, done % 463);
    EXPECT_EQ(Progress, pause == 2 ? 25 : 0);  // the stopping pause does not update it
    EXPECT_EQ(AbortFlag, -1);
  }
}

TEST_F(Keystream, OnlyMinusOneStops) {
  for (std::int16_t flag : {std::int16_t{1}, std::int16_t{-2}, std::int16_t{-1}}) {
    SCOPED_TRACE(flag);
    ByteBuffer buffer = RandomBytes(12000, 3);
    const ByteBuffer cipher = buffer;
    AbortFlag = flag;  // already set when the pass starts
    InitCipher(u"k", u"");
    DecryptBuffer(buffer);
    const bool stopped = std::equal(buffer.begin() + 1, buffer.end(), cipher.begin() + 1);
    EXPECT_EQ(stopped, flag == -1);
    EXPECT_NE(buffer[0], cipher[0]);  // element 0 is always decrypted
  }
}

// What an event handler sees of the cipher at each pause; a handler that
// aborts at pause number abortAt (-1: never).
struct PauseViews {
  std::vector<CipherState> seen;
  int abortAt = -1;
};
PauseViews& Views() {
  static thread_local PauseViews views;
  return views;
}
void RecordPause() {
  PauseViews& views = Views();
  views.seen.push_back(Cipher);
  if (static_cast<int>(views.seen.size()) - 1 == views.abortAt) AbortFlag = -1;
}

// The pass keeps the cursors and the rotors' copies to itself for a whole
// block; a handler must still find CipherState exactly as the bytes up to
// and including the pause position left it, at every pause, and the abort
// must leave it there.
TEST_F(Keystream, EachPauseSeesTheStateAfterItsPosition) {
  struct Case {
    const char* name;
    std::size_t size;
    int abortAt;
    std::vector<std::size_t> pauses;  // positions of the pauses a handler sees
  };
  const Case cases[] = {
      {"one byte", 1, -1, {0}},
      {"U = 4999", 5000, -1, {0}},
      {"U = 5000", 5001, -1, {0, 5000}},
      {"U = 12344", 12345, -1, {0, 5000, 10000}},
      {"abort at the first pause", 12345, 0, {0}},
      {"abort at the third pause", 15001, 2, {0, 5000, 10000}},
      {"abort at the last pause", 15001, 3, {0, 5000, 10000, 15000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteBuffer cipher = RandomBytes(c.size, static_cast<unsigned>(c.size));
    // The states after each pause position, stepped one DecryptByte at a time.
    std::vector<CipherState> expected;
    InitCipher(u"pause key", u"sfx");
    for (std::size_t i = 0, next = 0; next < c.pauses.size(); ++i) {
      DecryptByte(cipher[i]);
      if (i == c.pauses[next]) {
        expected.push_back(Cipher);
        ++next;
      }
    }

    Views() = PauseViews{};
    Views().abortAt = c.abortAt;
    platform::SetEventHook(&RecordPause);
    AbortFlag = 0;
    ByteBuffer buffer = cipher;
    InitCipher(u"pause key", u"sfx");
    DecryptBuffer(buffer);
    platform::SetEventHook(nullptr);

    ASSERT_EQ(Views().seen.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
      EXPECT_TRUE(Views().seen[k] == expected[k]) << "pause at position " << c.pauses[k];
    }
    if (c.abortAt >= 0) {
      EXPECT_TRUE(Cipher == expected.back()) << "an abort steps no further";
    }
  }
}

}  // namespace
}  // namespace trirotor::test
