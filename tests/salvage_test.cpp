// SPDX-License-Identifier: MIT
//
// salvage_test.cpp - SalvageBytes on messages the encoder made and then
// damaged: cut at every byte of the frame, a byte flipped, junk appended.
// What must come back is worked out from the container's layout and the
// encoder's code lengths, never from the salvage code.

#include <algorithm>
#include <string>

#include "tests/damaged_messages.h"

namespace trirotor::test {
namespace {

SalvageResult Salvage(const ByteBuffer& frame) { return SalvageBytes(AsMessage(frame), kKey, kSuffix); }

// Every cut of the frame, from nothing to one byte short of whole: the
// header, the identification, the container header, the code table, the
// data and the trailer all fall inside the range.
TEST(Salvage, CutAtEveryByteRecoversTheReadablePrefix) {
  struct Case {
    const char* name;
    std::string plain;
    char kind;
  };
  const Case cases[] = {
      {"stored", "Meet at noon by the old mill.", '0'},
      {"compressed", English(600), '3'},
      {"compressed, one value", std::string(300, 'z'), '3'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteBuffer frame = SealedFrame(c.plain);
    const std::size_t containerAt = 16;
    const CompressedLayout layout = Layout(c.plain);
    for (std::size_t cut = 0; cut < frame.size(); ++cut) {
      SCOPED_TRACE("cut at " + std::to_string(cut));
      const SalvageResult got = Salvage(ByteBuffer(frame.begin(), frame.begin() + cut));
      if (cut < containerAt + 4) {
        EXPECT_FALSE(got.looksLikeFrame);
        continue;
      }
      ASSERT_TRUE(got.looksLikeFrame);
      EXPECT_EQ(got.kind, c.kind);
      std::size_t expected;
      if (c.kind == '0') {
        // Every byte present after the identification; a cut inside the
        // trailer leaves its first byte, which cannot be told from text.
        expected = cut - containerAt - 4;
        const std::string want = c.plain + "\x01";
        ASSERT_LE(expected, want.size());
        EXPECT_EQ(Str(got.plain), want.substr(0, expected));
        EXPECT_FALSE(got.trailerFound);
      } else {
        expected = std::min(layout.Whole(cut - containerAt), c.plain.size());
        EXPECT_EQ(Str(got.plain), c.plain.substr(0, expected));
        if (cut >= containerAt + 11) {
          EXPECT_EQ(got.announcedLength, static_cast<std::int64_t>(c.plain.size()));
        }
        EXPECT_EQ(got.complete, expected == c.plain.size());
        EXPECT_EQ(got.checksumAgrees, expected == c.plain.size());
        EXPECT_EQ(got.stoppedBecause.empty(), expected == c.plain.size());
      }
    }
  }
}

// An undamaged message, and the same with junk after it or its trailer
// spoiled: the whole text, as DecodeBytes gives it for the whole message.
TEST(Salvage, WholeTextWhereOnlyTheEndIsDamaged) {
  for (const std::string& plain : {std::string("Meet at noon."), English(2000), std::string()}) {
    const ByteBuffer frame = SealedFrame(plain);
    ASSERT_EQ(Str(DecodeBytes(AsMessage(frame), kKey, kSuffix)), plain);
    const ByteBuffer junk = Bytes(std::string_view("\x11\x22\x33\x44\x55\x66\x77\x88\x99"));
    struct Damage {
      const char* name;
      ByteBuffer frame;
    };
    ByteBuffer appended = frame;
    appended.insert(appended.end(), junk.begin(), junk.end());
    ByteBuffer badTrailer = frame;
    badTrailer.back() ^= 0x80;
    const Damage damages[] = {{"none", frame}, {"junk appended", appended}, {"trailer flipped", badTrailer}};
    for (const Damage& d : damages) {
      SCOPED_TRACE(std::string(d.name) + ", " + std::to_string(plain.size()) + " bytes");
      const SalvageResult got = Salvage(d.frame);
      ASSERT_TRUE(got.looksLikeFrame);
      const bool lostTrailer = std::string(d.name) == "trailer flipped";
      if (got.kind == '3') {
        EXPECT_EQ(Str(got.plain), plain);
        EXPECT_TRUE(got.complete);
        EXPECT_TRUE(got.checksumAgrees);
      } else if (lostTrailer) {
        // A stored text has no length: with its trailer not found again,
        // the bytes up to the end are kept, the trailer's two among them.
        EXPECT_FALSE(got.trailerFound);
        EXPECT_EQ(Str(got.plain).substr(0, plain.size() + 1), plain + "\x01");
        EXPECT_EQ(got.plain.size(), plain.size() + 2);
      } else {
        EXPECT_TRUE(got.trailerFound);
        EXPECT_EQ(Str(got.plain), plain);
      }
    }
  }
}

// Junk appended as text after the base64, as a mail program adds it.
TEST(Salvage, SignatureAfterTheBase64) {
  const std::string plain = English(900);
  const std::string message = EncodeBytes(Bytes(plain), kKey, kSuffix, Header(), 76);
  const std::string signed_ = message + "\n-- \nSent from my phone, please excuse typos\n";
  EXPECT_TRUE(DecodeBytes(Bytes(signed_), kKey, kSuffix).empty());
  const SalvageResult got = SalvageBytes(Bytes(signed_), kKey, kSuffix);
  EXPECT_EQ(Str(got.plain), plain);
  EXPECT_TRUE(got.checksumAgrees);
}

// A byte flipped inside the data spoils the text from there on, never
// before: every code that ends before the flipped byte comes back as it was.
TEST(Salvage, FlippedDataByteKeepsWhatCameBefore) {
  const std::string plain = English(1500);
  const ByteBuffer frame = SealedFrame(plain);
  const CompressedLayout layout = Layout(plain);
  for (std::size_t at : {16 + layout.dataAt, 16 + layout.dataAt + 100, frame.size() - 40}) {
    ByteBuffer damaged = frame;
    damaged[at] ^= 0x10;
    const SalvageResult got = Salvage(damaged);
    const std::size_t intact = layout.Whole(at - 16);
    ASSERT_GE(got.plain.size(), intact) << at;
    EXPECT_EQ(Str(got.plain).substr(0, intact), plain.substr(0, intact)) << at;
  }
}

// Wrong key, damaged header: nothing claims to be a frame.
TEST(Salvage, NotAFrameOfThisKey) {
  const ByteBuffer frame = SealedFrame(English(300));
  EXPECT_FALSE(SalvageBytes(AsMessage(frame), u"another key", kSuffix).looksLikeFrame);
  EXPECT_FALSE(SalvageBytes(AsMessage(frame), kKey, u"").looksLikeFrame);
  ByteBuffer badLength = frame;
  badLength[0] ^= 0x01;
  EXPECT_FALSE(Salvage(badLength).looksLikeFrame);
  EXPECT_FALSE(SalvageBytes(Bytes(std::string_view("abc")), kKey, kSuffix).looksLikeFrame);
}

}  // namespace
}  // namespace trirotor::test
