// SPDX-License-Identifier: MIT
//
// key_schedule_test.cpp - InitCipher: three permutations with cleared cursors,
// depending on exactly the key and suffix bytes that should take part, and
// failing part way at the right moment.

#include "engine/internal.h"

#include <algorithm>
#include <numeric>

#include "tests/test_util.h"

namespace trirotor::test {
namespace {

// The whole cipher state, compared with ==.
using Snapshot = CipherState;

Snapshot Take() { return Cipher; }

Snapshot Keyed(std::u16string_view key, std::u16string_view suffix) {
  InitCipher(key, suffix);
  return Take();
}

template <std::size_t N>
bool IsPermutation(const std::array<std::int16_t, N>& rotor) {
  std::array<std::int16_t, N> sorted = rotor;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 0; i < N; ++i) {
    if (sorted[i] != static_cast<std::int16_t>(i)) return false;
  }
  return true;
}

template <std::size_t N>
bool IsIdentity(const std::array<std::int16_t, N>& rotor) {
  for (std::size_t i = 0; i < N; ++i) {
    if (rotor[i] != static_cast<std::int16_t>(i)) return false;
  }
  return true;
}

// Leaves the cipher in the middle of a message, as a stopped decode would.
void Disturb() {
  InitCipher(u"some earlier key", u"and suffix");
  for (int i = 0; i < 1000; ++i) NextKeyByte(static_cast<std::uint8_t>(i));
  Cipher.Feedback = 0x77;
}

using KeySchedule = EngineTest;

TEST_F(KeySchedule, GivesPermutationsAndClearedCursorsWhateverCameBefore) {
  const Snapshot fresh = Keyed(u"correct horse", u"battery");
  Disturb();
  const Snapshot again = Keyed(u"correct horse", u"battery");
  EXPECT_TRUE(again == fresh);
  EXPECT_TRUE(IsPermutation(Cipher.Rotor1));
  EXPECT_TRUE(IsPermutation(Cipher.Rotor2));
  EXPECT_TRUE(IsPermutation(Cipher.Rotor3));
  EXPECT_EQ((std::array{again.Step1, again.Mix1, again.Step2, again.Mix2, again.Step3, again.Mix3}),
            (std::array<std::int16_t, 6>{}));
  EXPECT_EQ(Cipher.Feedback, 0);
  EXPECT_FALSE(IsIdentity(Cipher.Rotor1));
  EXPECT_FALSE(IsIdentity(Cipher.Rotor2));
  EXPECT_FALSE(IsIdentity(Cipher.Rotor3));
}

TEST_F(KeySchedule, DependsOnlyOnTheBytesThatTakePart) {
  std::u16string longKey;
  for (int i = 0; i < 500; ++i) longKey += static_cast<char16_t>(u'!' + (i * 37) % 90);
  std::u16string longSuffixA(u"abcdefghijklmnopqrstuvw"), longSuffixB = longSuffixA;
  longSuffixA += u"XYZ";
  longSuffixB += u"123456";
  struct Case {
    const char* name;
    std::u16string a, aSuffix, b, bSuffix;
  };
  const Case same[] = {
      {"a key and the key twice", u"k3y!", u"s", u"k3y!k3y!", u"s"},
      {"a long key and its first 463 characters", longKey, u"", longKey.substr(0, 463), u""},
      {"one character and that character repeated", u"Q", u"x", std::u16string(999, u'Q'), u"x"},
      {"a suffix and the suffix twice", u"key", u"ab", u"key", u"abab"},
      {"suffixes agreeing in their first 23", u"key", longSuffixA, u"key", longSuffixB},
      {"characters the page lacks without a look-alike are all '?'", u"k\u4E2Dy", u"", u"k?y", u""},
      {"a look-alike is the letter Windows writes for it", u"\u0141\u00f3d\u017A", u"\uFF12", u"L\u00f3dz", u"2"},
      {"no suffix and a suffix of zero bytes (XOR with 0)", u"key", u"", u"key", std::u16string(5, u'\0')},
  };
  for (const Case& c : same) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(Keyed(c.a, c.aSuffix) == Keyed(c.b, c.bSuffix));
  }
  const Case different[] = {
      {"the last key character within 463", longKey.substr(0, 463), u"", longKey.substr(0, 462) + u"#", u""},
      {"the 23rd suffix character", u"key", longSuffixA, u"key", longSuffixA.substr(0, 22) + u"!"},
      {"a key and its rotation", u"abc", u"", u"bca", u""},
  };
  for (const Case& c : different) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Keyed(c.a, c.aSuffix) == Keyed(c.b, c.bSuffix));
  }
}

TEST_F(KeySchedule, SuffixReachesOnlyTheThirdRotor) {
  const Snapshot plain = Keyed(u"the key", u"");
  const Snapshot suffixed = Keyed(u"the key", u"a suffix");
  EXPECT_EQ(plain.Rotor1, suffixed.Rotor1);
  EXPECT_EQ(plain.Rotor2, suffixed.Rotor2);
  EXPECT_NE(plain.Rotor3, suffixed.Rotor3);
}

TEST_F(KeySchedule, EmptyKeyFailsAfterTheFirstRotorIsReset) {
  Disturb();
  const Snapshot before = Take();
  try {
    InitCipher(u"", u"suffix");
    FAIL() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.number(), kErrDivisionByZero);
    EXPECT_EQ(e.description(), "Division by zero");
  }
  EXPECT_TRUE(IsIdentity(Cipher.Rotor1));
  EXPECT_EQ(Cipher.Step1, 0);
  EXPECT_EQ(Cipher.Mix1, 0);
  EXPECT_EQ(Cipher.Rotor2, before.Rotor2);
  EXPECT_EQ(Cipher.Rotor3, before.Rotor3);
  EXPECT_EQ(Cipher.Step2, before.Step2);
  EXPECT_EQ(Cipher.Feedback, before.Feedback);
}

TEST_F(KeySchedule, SuffixLengthIsSixteenBits) {
  const Snapshot keyed = Keyed(u"key", u"");
  Disturb();
  const Snapshot before = Take();
  try {
    InitCipher(u"key", std::u16string(32768, u'z'));
    FAIL() << "no error";
  } catch (const EngineError& e) {
    EXPECT_EQ(e.number(), kErrOverflow);
  }
  EXPECT_EQ(Cipher.Rotor1, keyed.Rotor1);  // both keyed, their cursors cleared
  EXPECT_EQ(Cipher.Rotor2, keyed.Rotor2);
  EXPECT_EQ(Cipher.Step2, 0);
  EXPECT_EQ(Cipher.Rotor3, before.Rotor3);  // untouched
  EXPECT_EQ(Cipher.Step3, before.Step3);
  EXPECT_EQ(Cipher.Feedback, before.Feedback);

  EXPECT_TRUE(Keyed(u"key", std::u16string(32767, u'z')) == Keyed(u"key", std::u16string(23, u'z')));
}

}  // namespace
}  // namespace trirotor::test
