// SPDX-License-Identifier: MIT
//
// encode_test.cpp - the encoder against the decoder.
//
// Each encoding stage must be the exact inverse of its decoding stage: a
// message the encoder makes that the decoder reads differently is a text
// lost for good. The containers are checked byte for byte against the
// decoder's documented examples, the cipher against the reference encryption
// in test_util.h, and the whole against DecodeText over seeded random texts
// (the seed is printed; TRIROTOR_SEED=n replays a run).

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/internal.h"
#include "engine/trirotor.h"
#include "tests/test_util.h"

namespace trirotor {
using namespace internal;
namespace {

using test::Bytes;
using test::FromHex;
using test::Hex;

using test::Seed;

ByteBuffer Encoded(const ByteBuffer& bytes, int wrap = 76) {
  const std::string text = EncodeBase64(bytes.data(), bytes.size(), wrap);
  return ByteBuffer(text.begin(), text.end());
}

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

/// Base64 ///

TEST(Base64Encode, MatchesRfc4648) {
  struct Case {
    const char* bytes;
    const char* text;
  };
  const Case cases[] = {{"", ""},
                        {"f", "Zg=="},
                        {"fo", "Zm8="},
                        {"foo", "Zm9v"},
                        {"foob", "Zm9vYg=="},
                        {"fooba", "Zm9vYmE="},
                        {"foobar", "Zm9vYmFy"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(Encoded(Bytes(std::string_view(c.bytes)), 0), Bytes(std::string_view(c.text)));
  }
}

TEST(Base64Encode, WrapsIntoLinesWithoutATrailingBreak) {
  struct Case {
    const char* name;
    std::size_t bytes;
    int wrap;
    std::vector<std::size_t> lines;
  };
  const Case cases[] = {
      {"one line", 100, 0, {136}},
      {"two lines", 100, 76, {76, 60}},
      {"exactly one full line", 57, 76, {76}},
      {"one full line and one digit group", 60, 76, {76, 4}},
      {"narrow", 6, 3, {3, 3, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteBuffer bytes(c.bytes, 0xAB);
    const std::string text = EncodeBase64(bytes.data(), bytes.size(), c.wrap);
    std::vector<std::size_t> lengths;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lengths.push_back(end - start);
    }
    lengths.push_back(text.size() - start);
    EXPECT_EQ(lengths, c.lines);
    std::string joined = text;
    std::erase(joined, '\n');
    EXPECT_EQ(joined, EncodeBase64(bytes.data(), bytes.size(), 0));
  }
}

TEST(Base64Encode, DecoderReadsEveryLengthAndByteBack) {
  ByteBuffer all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(255 - i);
  for (std::size_t n = 0; n <= all.size(); n += (n < 12 ? 1 : 61)) {
    SCOPED_TRACE(n);
    const ByteBuffer bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
    for (int wrap : {0, 4, 76}) {
      const std::string text = EncodeBase64(bytes.data(), bytes.size(), wrap);
      EXPECT_EQ(DecodeBase64Bytes(Widen(text)), bytes) << "wrap " << wrap;
    }
  }
}

/// Keystream ///

class EncryptTest : public test::EngineTest {};

TEST_F(EncryptTest, MatchesTheReferenceAndDecryptsBack) {
  std::mt19937_64 random(Seed());
  struct Case {
    const char* name;
    std::size_t size;
    std::u16string key;
    std::u16string suffix;
  };
  const Case cases[] = {{"empty", 0, u"k", u""},
                        {"one byte", 1, u"key", u"s"},
                        {"past a rotor's length", 1000, u"a longer key", u""},
                        {"past the pause stride", 12000, u"\u00e9t\u00e9", u"suffix"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBuffer plain(c.size);
    for (auto& b : plain) b = static_cast<std::uint8_t>(random());
    ByteBuffer cipher = plain;
    InitCipher(c.key, c.suffix);
    EncryptBuffer(cipher);
    if (!plain.empty()) {
      EXPECT_EQ(Cipher.Feedback, cipher.back());  // the ciphertext is fed back
    }
    EXPECT_EQ(cipher, test::Encrypt(plain, c.key, c.suffix));

    ByteBuffer back = cipher;
    InitCipher(c.key, c.suffix);
    DecryptBuffer(back);
    EXPECT_EQ(back, plain);
  }
}

/// Huffman code lengths ///

std::uint64_t Cost(const std::array<std::uint64_t, 256>& counts, const CodeLengths& lengths) {
  std::uint64_t bits = 0;
  for (int v = 0; v < 256; ++v) bits += counts[v] * lengths[v];
  return bits;
}

TEST(HuffmanCodeLengths, AreOptimalAndComplete) {
  struct Case {
    const char* name;
    std::vector<std::uint64_t> weights;
    std::uint64_t cost;
    int longest;
  };
  // Costs from the textbook examples: the classic six-letter table, and
  // Fibonacci weights, which give the deepest tree for their count.
  const Case cases[] = {
      {"two values", {7, 1}, 8, 1},
      {"six letters", {45, 13, 12, 16, 9, 5}, 224, 4},
      {"fibonacci", {1, 1, 2, 3, 5, 8, 13}, 1 * 6 + 1 * 6 + 2 * 5 + 3 * 4 + 5 * 3 + 8 * 2 + 13 * 1, 6},
      {"uniform", std::vector<std::uint64_t>(256, 3), 256 * 3 * 8, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<std::uint64_t, 256> counts{};
    for (std::size_t i = 0; i < c.weights.size(); ++i) counts[i * 256 / c.weights.size()] = c.weights[i];
    const CodeLengths lengths = HuffmanCodeLengths(counts);
    EXPECT_EQ(Cost(counts, lengths), c.cost);
    EXPECT_EQ(*std::max_element(lengths.begin(), lengths.end()), c.longest);
    double kraft = 0;
    for (int v = 0; v < 256; ++v) {
      EXPECT_EQ(counts[v] > 0, lengths[v] > 0) << "value " << v;
      if (lengths[v] > 0) kraft += std::ldexp(1.0, -lengths[v]);
    }
    EXPECT_DOUBLE_EQ(kraft, 1.0);  // no code can be shortened
  }
}

TEST(HuffmanCodeLengths, GiveOneDistinctByteAOneBitCode) {
  std::array<std::uint64_t, 256> counts{};
  counts['z'] = 1000;
  CodeLengths expected{};
  expected['z'] = 1;
  EXPECT_EQ(HuffmanCodeLengths(counts), expected);
  EXPECT_EQ(HuffmanCodeLengths({}), CodeLengths{});
}

/// Containers ///

class ContainerEncodeTest : public test::EngineTest {};

ByteBuffer Expand(ByteBuffer container) {
  const auto length = static_cast<std::int32_t>(container.size());
  HuffmanDecode(container, length);
  return container;
}

TEST_F(ContainerEncodeTest, MatchesTheDocumentedContainers) {
  CodeLengths abcLengths{};
  abcLengths['A'] = 1;
  abcLengths['B'] = 2;
  abcLengths['C'] = 2;
  const std::string dcba = "DCBA";
  const std::string abc = "ABC";
  const std::string lowerAbc = "abc";
  const auto* dcbaBytes = reinterpret_cast<const std::uint8_t*>(dcba.data());
  const auto* abcBytes = reinterpret_cast<const std::uint8_t*>(abc.data());
  std::array<std::uint64_t, 256> dcbaCounts{};
  for (char ch : dcba) ++dcbaCounts[static_cast<std::uint8_t>(ch)];

  struct Case {
    const char* name;
    ByteBuffer built;
    const char* hex;
  };
  // clang-format off
  const Case cases[] = {
      {"stored abc", StoreContainer(reinterpret_cast<const std::uint8_t*>(lowerAbc.data()), 3), "4845300d616263"},
      // A 0, B 10, C 11: code bits and data bits are both 1A.
      {"ABC", CompressContainer(abcBytes, 3, abcLengths), "4845330d40030000000300410142024302" "1a1a"},
      // Four 2-bit codes fill the code byte D8 exactly; data starts right after.
      {"DCBA", CompressContainer(dcbaBytes, 4, HuffmanCodeLengths(dcbaCounts)),
       "4845330d040400000004004102420243024402" "d827"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Hex(c.built), c.hex);
  }
}

TEST_F(ContainerEncodeTest, OneDistinctByteIsOneBitPerByte) {
  const ByteBuffer plain(41, 'a');
  const ByteBuffer container = HuffmanEncode(plain.data(), plain.size());
  const ByteBuffer expected = test::ByteWriter()
                                  .Str("HE3\r")
                                  .U8('a' * (41 % 2))  // checksum: 41 times 'a' XORed
                                  .I32(41)             // plain length
                                  .I16(1)              // one entry
                                  .U8s({'a', 1})       // 'a', one bit
                                  .U8(0x00)            // its code, 0
                                  .Fill(6, 0x00)       // 41 zero bits
                                  .bytes();
  EXPECT_EQ(Hex(container), Hex(expected));
  EXPECT_EQ(Expand(container), plain);
  EXPECT_EQ(LastError, 0);
}

TEST_F(ContainerEncodeTest, PicksTheSmallerContainerAndStoredOnATie) {
  std::mt19937_64 random(Seed());
  auto text = [](std::string_view s) { return ByteBuffer(s.begin(), s.end()); };
  ByteBuffer noise(4096);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());
  ByteBuffer everyByte(256);
  for (int i = 0; i < 256; ++i) everyByte[i] = static_cast<std::uint8_t>(i);
  ByteBuffer skewed(5000);
  for (auto& b : skewed) b = static_cast<std::uint8_t>(std::min<std::uint64_t>(random() % 64, random() % 64));

  struct Case {
    const char* name;
    ByteBuffer plain;
    char version;
  };
  // clang-format off
  const Case cases[] = {
      {"empty", {}, '0'},
      {"short", text("abc"), '0'},
      {"every byte once", everyByte, '0'},
      {"noise", noise, '0'},
      {"runs", ByteBuffer(1000, 'x'), '3'},
      {"prose", text("the quick brown fox jumps over the lazy dog, and then the dog sleeps again. "
                     "the fox does not mind, for the fox has places to go and things to see. "
                     "the dog, for its part, dreams of the fox and of the places it goes to."),
       '3'},
      {"skewed", skewed, '3'},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteBuffer chosen = HuffmanEncode(c.plain.data(), c.plain.size());
    ASSERT_GE(chosen.size(), 4u);
    EXPECT_EQ(chosen[2], c.version);
    const std::size_t stored = StoreContainer(c.plain.data(), c.plain.size()).size();
    EXPECT_LE(chosen.size(), stored);
    if (!c.plain.empty()) {
      std::array<std::uint64_t, 256> counts{};
      for (auto b : c.plain) ++counts[b];
      const std::size_t compressed =
          CompressContainer(c.plain.data(), c.plain.size(), HuffmanCodeLengths(counts)).size();
      EXPECT_EQ(chosen.size(), std::min(compressed < stored ? compressed : stored, stored));
      LastError = 0;
      EXPECT_EQ(Expand(chosen), c.plain);
      EXPECT_EQ(LastError, 0);
    }
  }
}

TEST_F(ContainerEncodeTest, RefusesLengthsThatAreNoPrefixCode) {
  const std::string plain = "abc";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(plain.data());
  CodeLengths missing{};
  missing['a'] = 1;
  missing['b'] = 1;  // 'c' occurs but has no code
  CodeLengths crowded{};
  crowded['a'] = crowded['b'] = crowded['c'] = 1;  // three 1-bit codes
  CodeLengths tooLong{};
  tooLong['a'] = 1;
  tooLong['b'] = 2;
  tooLong['c'] = 60;
  for (const CodeLengths* lengths : {&missing, &crowded, &tooLong}) {
    try {
      CompressContainer(bytes, plain.size(), *lengths);
      ADD_FAILURE() << "no error";
    } catch (const EngineError& error) {
      EXPECT_EQ(error.number(), kErrInvalidCall);
    }
  }
}

/// Frames and whole messages ///

class EncodeTextTest : public test::EngineTest {};

constexpr FrameHeader kHeader = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0xC1, 0xC2};

TEST_F(EncodeTextTest, FrameChecksOutAndHoldsTheContainer) {
  const ByteBuffer container = FromHex("4845300d616263");
  const ByteBuffer frame = FrameContainer(container, kHeader);
  ASSERT_EQ(frame.size(), 16 + container.size() + 2);
  EXPECT_EQ(frame[0], 16);  // the header length, whatever header[0] held
  EXPECT_EQ(ByteBuffer(frame.begin() + 1, frame.begin() + 16), ByteBuffer(kHeader.begin() + 1, kHeader.end()));
  EXPECT_EQ(frame[frame.size() - 2], 0xC1);
  EXPECT_EQ(frame[frame.size() - 1], 0xC2);
  const auto span = CheckFrame(frame.data(), frame.size());
  ASSERT_TRUE(span.has_value());
  EXPECT_EQ(ByteBuffer(frame.begin() + static_cast<std::ptrdiff_t>(span->offset),
                       frame.begin() + static_cast<std::ptrdiff_t>(span->offset + span->length)),
            container);
}

TEST_F(EncodeTextTest, MessageIsTheFrameEncryptedInBase64) {
  const std::u16string message = EncodeText(u"abc", u"key", u"sfx", kHeader, 0);
  ByteBuffer frame = DecodeBase64Bytes(message);
  InitCipher(u"key", u"sfx");
  DecryptBuffer(frame);
  EXPECT_EQ(Hex(frame), Hex(FrameContainer(FromHex("4845300d616263"), kHeader)));
}

TEST_F(EncodeTextTest, RandomHeaderMakesEveryMessageDifferent) {
  const std::u16string first = EncodeText(u"same text", u"same key", u"");
  const std::u16string second = EncodeText(u"same text", u"same key", u"");
  EXPECT_NE(first, second);
  // ... while the header alone decides: the same header, the same message.
  EXPECT_EQ(EncodeText(u"same text", u"same key", u"", kHeader), EncodeText(u"same text", u"same key", u"", kHeader));
  EXPECT_EQ(DecodeText(first, u"same key", u""), u"same text");
  EXPECT_EQ(DecodeText(second, u"same key", u""), u"same text");
  EXPECT_EQ(LastError, 0);
}

TEST_F(EncodeTextTest, OtherKeyOrSuffixFailsTheFrame) {
  const std::u16string message = EncodeText(u"secret", u"right", u"tail", kHeader);
  struct Case {
    const char* name;
    std::u16string key, suffix;
  };
  const Case cases[] = {{"key", u"wrong", u"tail"}, {"suffix", u"right", u"tall"}, {"no suffix", u"right", u""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LastError = 0;
    EXPECT_EQ(DecodeText(message, c.key, c.suffix), u"");
    EXPECT_EQ(LastError, kErrFrameCheck);
  }
}

TEST_F(EncodeTextTest, RaisesTheKeyScheduleErrors) {
  struct Case {
    const char* name;
    std::u16string key, suffix;
    std::int32_t number;
  };
  const Case cases[] = {{"empty key", u"", u"", kErrDivisionByZero},
                        {"suffix too long", u"k", std::u16string(32768, u'x'), kErrOverflow}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      EncodeText(u"text", c.key, c.suffix, kHeader);
      ADD_FAILURE() << "no error";
    } catch (const EngineError& error) {
      EXPECT_EQ(error.number(), c.number);
    }
  }
}

// The stages EncodeBytes tells, as the hook saw them.
std::vector<std::pair<EncodeStage, std::size_t>> gStagesSeen;
void RecordStage(EncodeStage stage, std::size_t bytes) { gStagesSeen.emplace_back(stage, bytes); }

TEST_F(EncodeTextTest, EncodeBytesGivesBackEveryByteAndTellsItsStages) {
  ByteBuffer everyByte(256);
  for (int b = 0; b < 256; ++b) everyByte[b] = static_cast<std::uint8_t>(b);
  struct Case {
    const char* name;
    ByteBuffer plain;
    int wrap;
  };
  const Case cases[] = {
      {"every byte value", everyByte, 76},
      {"compressible", ByteBuffer(20000, 'a'), 0},
      {"empty", ByteBuffer(), 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    gStagesSeen.clear();
    const std::string message = EncodeBytes(c.plain, u"key", u"sfx", kHeader, c.wrap, RecordStage);
    if (c.wrap > 0) {
      for (std::size_t at = 0, next; at < message.size(); at = next + 1) {
        next = std::min(message.find('\n', at), message.size());
        EXPECT_LE(next - at, static_cast<std::size_t>(c.wrap));
      }
    }
    LastError = 0;
    EXPECT_EQ(DecodeBytes(ByteBuffer(message.begin(), message.end()), u"key", u"sfx"), c.plain);
    EXPECT_EQ(LastError, 0);
    // The frame is what the base64 holds; each stage is told its own input.
    const std::size_t frame = DecodeBase64Bytes(std::u16string(message.begin(), message.end())).size();
    const std::vector<std::pair<EncodeStage, std::size_t>> expected = {{EncodeStage::kCompressing, c.plain.size()},
                                                                       {EncodeStage::kEncrypting, frame},
                                                                       {EncodeStage::kWritingBase64, frame}};
    EXPECT_EQ(gStagesSeen, expected);
  }
  // The bytes cannot hold a character the page lacks, but the key and suffix
  // can: refused, as EncodeText refuses them, before any stage runs.
  struct Refused {
    const char* name;
    std::u16string key, suffix;
  };
  const Refused refused[] = {{"key", u"\u65e5\u672c", u""}, {"suffix", u"k", u"x\u0100"}};
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.name);
    gStagesSeen.clear();
    try {
      EncodeBytes(ByteBuffer(10, 'a'), r.key, r.suffix, kHeader, 76, RecordStage);
      ADD_FAILURE() << "sealed";
    } catch (const EngineError& error) {
      EXPECT_EQ(error.number(), kErrInvalidCall);
    }
    EXPECT_TRUE(gStagesSeen.empty());
  }
}

TEST_F(EncodeTextTest, EmptyTextRoundTrips) {
  const std::u16string message = EncodeText(u"", u"k", u"", kHeader);
  EXPECT_EQ(DecodeText(message, u"k", u""), u"");
  EXPECT_EQ(LastError, 0);
}

// Texts of the kinds people seal, and the kinds that stress each stage.
ByteBuffer MakePlain(std::mt19937_64& random, int kind, std::size_t size) {
  static const char* words[] = {"the ", "of ",     "message ", "and ",     "key ", "rotor ",
                                "a ",   "sealed ", "text\r\n", "letter, ", "is ",  "\u00e9t\u00e9 "};
  ByteBuffer out;
  out.reserve(size);
  while (out.size() < size) {
    switch (kind) {
      case 0: out.push_back(static_cast<std::uint8_t>(random())); break;  // every byte value
      case 1: {                                                           // prose
        const std::string_view w = words[random() % std::size(words)];
        out.insert(out.end(), w.begin(), w.end());
        break;
      }
      case 2:
        out.insert(out.end(), 1 + random() % 300, static_cast<std::uint8_t>(random()));  // runs
        break;
      default: out.push_back(static_cast<std::uint8_t>(random() % 3 == 0 ? random() : 'e'));  // skewed
    }
  }
  out.resize(size);
  return out;
}

std::u16string RandomText(std::mt19937_64& random, std::size_t length) {
  std::u16string out(length, u'x');
  for (auto& ch : out) {
    // Mostly printable ASCII, some Latin-1 and now and then one of 1252's
    // characters from outside Latin-1 (the encoder refuses any the page
    // cannot hold).
    static constexpr char16_t kBeyondLatin1[] = u"\u20AC\u201A\u0192\u2020\u0160\u0152\u017D\u2122\u0161\u0153";
    const auto r = random() % 20;
    ch = r < 16   ? static_cast<char16_t>(0x20 + random() % 95)
         : r < 19 ? static_cast<char16_t>(0xA0 + random() % 96)
                  : kBeyondLatin1[random() % 10];
  }
  return out;
}

TEST_F(EncodeTextTest, DecodeTextGivesBackEveryText) {
  std::mt19937_64 random(Seed());
  const std::size_t sizes[] = {0, 1, 2, 3, 15, 16, 17, 255, 1000, 4999, 5000, 5001, 10001, 70000, 300000};
  int cases = 0;
  for (std::size_t size : sizes) {
    for (int kind = 0; kind < 4; ++kind) {
      if (size >= 70000 && static_cast<std::size_t>(kind) != (size / 70000) % 4) continue;  // keep the suite fast
      const std::u16string plain = test::Text(MakePlain(random, kind, size));
      const std::u16string key = RandomText(random, 1 + random() % 600);
      const std::u16string suffix = RandomText(random, random() % 41);
      const int wrap = static_cast<int>(random() % 3) * 38;
      SCOPED_TRACE(testing::Message() << "size " << size << ", kind " << kind << ", key length " << key.size()
                                      << ", suffix length " << suffix.size() << ", wrap " << wrap);
      LastError = 0;
      const std::u16string message = EncodeText(plain, key, suffix, wrap);
      EXPECT_EQ(DecodeText(message, key, suffix), plain);
      EXPECT_EQ(LastError, 0);
      ++cases;
    }
  }
  EXPECT_GT(cases, 40);
}

}  // namespace
}  // namespace trirotor

namespace trirotor::test {
namespace {

TEST(EncodeTextRefusal, ACharacterThePageCannotHoldIsRefusedNotLost) {
  platform::SetCodePage(1252);
  const FrameHeader header{};
  struct Case {
    const char* name;
    std::u16string plain;
    std::size_t position;  // 1-based, as the description names it
    const char* where;
    const char* consequence;
  };
  // A key or suffix of such characters would be sealed as '?'s, which any
  // other such characters of the same length would open.
  // A look-alike is refused too: the text would change, and the same key
  // typed under another page would not give the look-alike's byte.
  const Case cases[] = {
      {"A with macron", u"Caf\u0100", 4, "the text", " and would become 'A'"},
      {"a lone surrogate", u"ab\xD800", 3, "the text", " and would be lost"},
      {"C1 control outside the five", u"\u0080x", 1, "the text", " and would be lost"},
      {"Japanese key", u"\u65E5\u672C\u8A9E", 1, "the key", " and would be sealed as '?'"},
      {"key with a Greek letter last", u"abc\u03B1", 4, "the key", " look-alike 'a', as Windows does"},
      {"key with a Polish l", u"\u0142ock", 1, "the key", " look-alike 'l', as Windows does"},
      {"suffix with an emoji", u"s\xD83D\xDE00", 2, "the key suffix",
       " sealed as '?"
       "?'"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string_view fine = u"plain";
    const std::string where(c.where);
    try {
      EncodeText(where == "the text" ? c.plain : fine, where == "the key" ? c.plain : fine,
                 where == "the key suffix" ? c.plain : std::u16string_view(), header);
      ADD_FAILURE() << "sealed";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.number(), kErrInvalidCall);
      EXPECT_NE(e.description().find("character " + std::to_string(c.position) + " of " + where + ": U+"),
                std::string::npos)
          << e.description();
      EXPECT_NE(e.description().find(c.consequence), std::string::npos) << e.description();
    }
  }
  // Every character the page holds, the five unassigned bytes' stand-ins
  // included, comes back exactly.
  std::u16string all;
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    all += platform::BytesToText(&byte, 1);
  }
  EXPECT_EQ(DecodeText(EncodeText(all, u"key", u"", header), u"key", u""), all);
}

}  // namespace
}  // namespace trirotor::test
