// SPDX-License-Identifier: MIT
//
// salvage_test.cpp - SalvageBytes, InspectMessage and KeyTrial on messages the encoder made and then
// damaged: cut at every byte of the frame, a byte flipped, junk appended.
// What must come back is worked out from the container's layout and the
// encoder's code lengths, never from the salvage code.

#include <algorithm>
#include <random>
#include <string>

#include "test_util.h"

namespace trirotor::test {
namespace {

const std::u16string kKey = u"salvage key";
const std::u16string kSuffix = u"sfx";

// Check pair 0x01 0x02: bytes that none of the texts below contain, so a
// repeat of the pair can only be the trailer.
FrameHeader Header() {
  FrameHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(0x40 + i);
  header[14] = 0x01;
  header[15] = 0x02;
  return header;
}

// The encrypted frame of `plain`, as the base64 layer carries it.
ByteBuffer SealedFrame(const std::string& plain) {
  const std::string message = EncodeBytes(Bytes(plain), kKey, kSuffix, Header(), 0);
  return DecodeBase64Bytes(Text(message));
}

ByteBuffer AsMessage(const ByteBuffer& frame) {
  const std::string text = EncodeBase64(frame.data(), frame.size(), 0);
  return ByteBuffer(text.begin(), text.end());
}

SalvageResult Salvage(const ByteBuffer& frame) { return SalvageBytes(AsMessage(frame), kKey, kSuffix); }

std::string Str(const ByteBuffer& b) { return std::string(b.begin(), b.end()); }

std::string English(std::size_t n) {
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
    return static_cast<std::size_t>(std::upper_bound(bitsAfter.begin(), bitsAfter.end(), bits) -
                                    bitsAfter.begin()) - 1;
  }
};

CompressedLayout Layout(const std::string& plain) {
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


// InspectMessage field by field on messages whose every fact is known from
// how they were made: the header, the texts, the encoder's code lengths.
TEST(Inspect, ReportsWhatEachStageSaw) {
  const std::string shortText = "Meet at noon.";
  const std::string longText = English(600);
  const ByteBuffer stored = SealedFrame(shortText);
  const ByteBuffer compressed = SealedFrame(longText);
  const CompressedLayout layout = Layout(longText);
  std::array<std::uint64_t, 256> counts{};
  for (unsigned char c : longText) ++counts[c];
  const CodeLengths lengths = HuffmanCodeLengths(counts);
  int values = 0, shortest = 99, longest = 0;
  std::uint8_t sum = 0;
  for (std::uint8_t l : lengths) {
    if (l == 0) continue;
    ++values;
    shortest = std::min<int>(shortest, l);
    longest = std::max<int>(longest, l);
  }
  for (unsigned char c : longText) sum ^= c;

  {
    SCOPED_TRACE("stored, whole, wrapped with junk");
    const std::string text = "~~" + Str(AsMessage(stored)) + "\n";
    const InspectReport r = InspectMessage(Bytes(text), kKey, kSuffix);
    EXPECT_EQ(r.characters, text.size());
    EXPECT_EQ(r.junk, 3u);
    ASSERT_EQ(r.commonJunk.size(), 2u);
    EXPECT_EQ(r.commonJunk[0], (std::pair<std::uint8_t, std::size_t>{'~', 2}));
    // 35 frame bytes: eleven groups and one of two bytes, padded once at place 4.
    EXPECT_EQ(r.bytes, 35u);
    EXPECT_EQ(r.digits, 47u);
    ASSERT_EQ(r.pads.size(), 1u);
    EXPECT_EQ(r.pads[0].at, text.size() - 2);
    EXPECT_EQ(r.pads[0].place, 4);
    EXPECT_EQ(r.unfinishedGroup, 0);
    EXPECT_EQ(r.headerLength, 16);
    EXPECT_TRUE(r.headerFits);
    EXPECT_EQ(r.headerPair, (std::array<int, 2>{1, 2}));
    EXPECT_EQ(r.trailerPair, (std::array<int, 2>{1, 2}));
    EXPECT_TRUE(r.frameChecks);
    EXPECT_EQ(r.kind, InspectReport::Kind::kStored);
    EXPECT_EQ(r.identification, Bytes(std::string_view("HE0\r")));
    EXPECT_EQ(r.storedBytes, shortText.size());
  }
  {
    SCOPED_TRACE("compressed, whole");
    const InspectReport r = InspectMessage(AsMessage(compressed), kKey, kSuffix);
    EXPECT_TRUE(r.frameChecks);
    EXPECT_EQ(r.kind, InspectReport::Kind::kCompressed);
    EXPECT_EQ(r.checksumStored, sum);
    EXPECT_EQ(r.checksumComputed, sum);
    EXPECT_EQ(r.plainLength, 600);
    EXPECT_EQ(r.entryCount, values);
    EXPECT_EQ(r.codeValues, values);
    EXPECT_EQ(r.shortestCode, shortest);
    EXPECT_EQ(r.longestCode, longest);
    EXPECT_TRUE(r.prefixFree);
    EXPECT_TRUE(r.codeComplete);
    EXPECT_EQ(r.dataBitsNeeded, layout.bitsAfter.back());
    EXPECT_EQ(r.dataBitsPresent, (compressed.size() - 16 - 2 - layout.dataAt) * 8);
    EXPECT_TRUE(r.decodingComplete);
    EXPECT_EQ(r.decodedBytes, 600u);
    EXPECT_FALSE(r.salvageWouldRecover);
  }
  {
    SCOPED_TRACE("compressed, cut in the data");
    const std::size_t cut = 16 + layout.dataAt + 100;
    const InspectReport r = InspectMessage(AsMessage(ByteBuffer(compressed.begin(), compressed.begin() + cut)), kKey, kSuffix);
    EXPECT_FALSE(r.frameChecks);
    EXPECT_EQ(r.checksumComputed, -1);
    EXPECT_FALSE(r.decodingComplete);
    EXPECT_EQ(r.decodedBytes, layout.Whole(cut - 16));
    EXPECT_EQ(r.dataBitsPresent, 800u);
    EXPECT_EQ(r.dataBitsNeeded, layout.bitsAfter[r.decodedBytes] + (600 - r.decodedBytes) * shortest);
    EXPECT_EQ(r.stoppedBecause, "the data ends");
    EXPECT_TRUE(r.salvageWouldRecover);
    EXPECT_EQ(r.salvageBytes, layout.Whole(cut - 16));
  }
  {
    SCOPED_TRACE("wrong key");
    const InspectReport r = InspectMessage(AsMessage(stored), u"not it", kSuffix);
    EXPECT_FALSE(r.frameChecks);
    EXPECT_FALSE(r.salvageWouldRecover);
    EXPECT_EQ(r.bytes, 35u);
  }
  {
    SCOPED_TRACE("no key: the base64 layer only");
    const InspectReport r = InspectMessage(Bytes(std::string_view("QUJD RA")));
    EXPECT_FALSE(r.keyed);
    EXPECT_EQ(r.digits, 6u);
    EXPECT_EQ(r.junk, 1u);
    EXPECT_EQ(r.unfinishedGroup, 2);
    EXPECT_EQ(r.bytes, 3u);
    EXPECT_EQ(r.kind, InspectReport::Kind::kNone);
  }
}

// A code table that is neither prefix-free nor complete is reported so.
TEST(Inspect, FaultyCodeTable) {
  struct Case {
    const char* name;
    ByteBuffer container;
    bool prefixFree, complete;
  };
  const Case cases[] = {
      // 'a' = 0, 'b' = 1: the only sound case.
      {"sound", ByteWriter().Str("HE3\r").U8('a' ^ 'b').I32(2).I16(2).U8s({'a', 1, 'b', 1}).U8(0b10).U8(0b10).bytes(), true, true},
      // 'a' = 0, 'b' = 01: 'a' begins 'b'.
      {"prefix", ByteWriter().Str("HE3\r").U8(0).I32(1).I16(2).U8s({'a', 1, 'b', 2}).U8(0b100).U8(0).bytes(), false, false},
      // 'a' = 0 alone: half the code space unused.
      {"incomplete", ByteWriter().Str("HE3\r").U8('a').I32(1).I16(1).U8s({'a', 1}).U8(0).U8(0).bytes(), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InitCipher(kKey, kSuffix);
    ByteBuffer frame = Frame(c.container, 0x01, 0x02);
    EncryptBuffer(frame);
    const InspectReport r = InspectMessage(AsMessage(frame), kKey, kSuffix);
    ASSERT_TRUE(r.tableWhole);
    EXPECT_EQ(r.prefixFree, c.prefixFree);
    EXPECT_EQ(r.codeComplete, c.complete);
  }
}


// What the full decode says of a key: opened (no engine error, frame check
// passed) or not.
bool FullDecodeOpens(const ByteBuffer& message, std::u16string_view key, std::u16string_view suffix) {
  LastError = 0;
  try {
    DecodeBytes(message, key, suffix);
  } catch (const EngineError&) {
    return false;
  }
  return LastError != kErrFrameCheck;
}

// KeyTrial never turns away a key the full decode accepts, nor accepts one
// it refuses: random texts and headers, the right key, near misses and
// random keys.
TEST(KeyTrial, AgreesWithTheFullDecode) {
  std::mt19937 random(20261207);
  int opened = 0;
  for (int m = 0; m < 200; ++m) {
    std::string plain(random() % 1500, '\0');
    const int alphabet = 2 + static_cast<int>(random() % 200);
    for (char& c : plain) c = static_cast<char>(32 + random() % static_cast<unsigned>(alphabet));
    FrameHeader header;
    for (std::uint8_t& b : header) b = static_cast<std::uint8_t>(random());
    const std::u16string key = u"key " + Text(std::to_string(random()));
    const std::u16string suffix = m % 3 == 0 ? u"" : u"s" + Text(std::to_string(m));
    const std::string sealed = EncodeBytes(Bytes(plain), key, suffix, header, m % 2 == 0 ? 76 : 0);
    const ByteBuffer message(sealed.begin(), sealed.end());
    const KeyTrial trial(message);
    const std::u16string candidates[] = {key, key + u"x", key.substr(1), Text(std::to_string(random()))};
    for (const std::u16string& candidate : candidates) {
      for (const std::u16string& s : {suffix, suffix + u"!"}) {
        const bool full = FullDecodeOpens(message, candidate, s);
        EXPECT_EQ(trial.Opens(candidate, s), full) << m;
        opened += full;
      }
    }
  }
  EXPECT_GE(opened, 200);  // every right key at least
}

// A wrong key that passes the 16-bit frame check, found by search: the
// trial tries the container too and turns it away.
TEST(KeyTrial, WrongKeyThatPassesTheFrameCheck) {
  const std::string sealed = EncodeBytes(Bytes(English(40)), kKey, kSuffix, Header(), 0);
  const ByteBuffer message(sealed.begin(), sealed.end());
  const ByteBuffer frame = DecodeBase64Bytes(Text(sealed));
  const KeyTrial trial(message);
  std::u16string found;
  for (int i = 0; i < 2000000 && found.empty(); ++i) {
    const std::u16string key = u"wrong " + Text(std::to_string(i));
    ByteBuffer work = frame;
    InitCipher(key, kSuffix);
    DecryptBuffer(work);
    if (CheckFrame(work.data(), work.size()) && !FullDecodeOpens(message, key, kSuffix)) found = key;
  }
  ASSERT_FALSE(found.empty());
  EXPECT_FALSE(trial.Opens(found, kSuffix));
  EXPECT_TRUE(trial.Opens(kKey, kSuffix));
}

}  // namespace
}  // namespace trirotor::test
