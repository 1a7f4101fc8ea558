// SPDX-License-Identifier: MIT
//
// base64_test.cpp - the tolerant base64 layer: pads that shorten a group only
// in places 3 and 4, junk skipped even inside a group, unfinished groups
// dropped, and the output buffer never overrun.

#include "engine/internal.h"

#include "tests/test_util.h"

namespace trirotor::test {
namespace {

using Base64 = EngineTest;

TEST_F(Base64, DecodesAsTheLegacyDecoderDid) {
  struct Case {
    const char* name;
    std::u16string_view in;
    std::string_view hex;
  };
  const Case cases[] = {
      {"three bytes", u"QUJD", "414243"},
      {"one pad", u"QUI=", "4142"},
      {"two pads", u"QQ==", "41"},
      {"two groups", u"QUJDREVG", "414243444546"},
      {"empty", u"", ""},
      {"three characters", u"QQ=", ""},
      {"junk after", u"QUJD!", "414243"},
      {"line break inside a group", u"QU\r\nJD", "414243"},
      {"unfinished group dropped", u"QUJDRA", "414243"},
      {"pads after a full group", u"QUJDRA==", "41424344"},
      {"pad in place 3 then a digit", u"QU=D", "4140"},
      {"pad in place 1 is the digit 0", u"=UJD", "014243"},
      {"pad in place 2 is the digit 0", u"Q=JD", "400243"},
      {"four pads", u"====", "00"},
      {"pads in the middle", u"QUI=QUJD", "4142414243"},
      {"no alphabet character", u"!!!!", ""},
      {"fewer than four digits", u"Q!U!I!", ""},
      {"characters without a look-alike skipped", u"Q\u4E2DU\u0080JD", "414243"},
      {"Windows' look-alikes count as their digits", u"\uFF31\uFF35J\uFF24\uFF1D", "414243"},
      {"non-breaking and euro skipped", u"Q\u00A0U\u20ACJD", "414243"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Hex(DecodeBase64Bytes(c.in)), c.hex);
    EXPECT_EQ(Hex(Bytes(DecodeBase64(c.in))), c.hex);
  }
}

TEST_F(Base64, FillsItsBufferExactlyWithoutPads) {
  ByteBuffer bytes(3000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const std::u16string text = test::Base64(bytes);
  ASSERT_EQ(text.size(), 4000u);
  EXPECT_EQ(DecodeBase64Bytes(text), bytes);
}

TEST_F(Base64, EveryByteValueSurvives) {
  ByteBuffer bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  for (std::size_t cut = 0; cut < 4; ++cut) {  // each of the three pad forms
    const ByteBuffer part(bytes.begin(), bytes.end() - cut);
    SCOPED_TRACE(cut);
    EXPECT_EQ(DecodeBase64Bytes(test::Base64(part)), part);
  }
}

TEST_F(Base64, TableHoldsTheAlphabetAndNothingElse) {
  DecodeBase64(u"QUJD");
  int digits = 0;
  for (int code = 0; code < 256; ++code) {
    if (Base64Index[code] >= 0 && Base64Index[code] < 64) ++digits;
  }
  EXPECT_EQ(digits, 64);
  EXPECT_EQ(Base64Index['A'], 0);
  EXPECT_EQ(Base64Index['a'], 26);
  EXPECT_EQ(Base64Index['0'], 52);
  EXPECT_EQ(Base64Index['+'], 62);
  EXPECT_EQ(Base64Index['/'], 63);
  EXPECT_EQ(Base64Index['='], 64);
  EXPECT_EQ(Base64Index['-'], -1);
  EXPECT_EQ(Base64Index[0xC1], -1);
}

TEST_F(Base64, ShortTextLeavesTheTableAlone) {
  Base64Index.fill(7);
  EXPECT_TRUE(DecodeBase64(u"QUJ").empty());
  EXPECT_EQ(Base64Index['-'], 7);
}

TEST_F(Base64, ShiftsKeepTheirBits) {
  for (int x = 0; x < 256; ++x) {
    const auto b = static_cast<std::uint8_t>(x);
    ASSERT_EQ(ShiftLeft2(b), (x << 2) & 0xFF);
    ASSERT_EQ(ShiftLeft4(b), (x << 4) & 0xFF);
    ASSERT_EQ(ShiftLeft6(b), (x << 6) & 0xFF);
    ASSERT_EQ(ShiftRight2(b), x >> 2);
    ASSERT_EQ(ShiftRight4(b), x >> 4);
  }
}

}  // namespace
}  // namespace trirotor::test
