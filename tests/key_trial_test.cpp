// SPDX-License-Identifier: MIT
//
// key_trial_test.cpp - KeyTrial, the quick test of one key against one
// message, held to the full decode: it must open what the full decode
// opens and nothing else.

#include <random>
#include <string>

#include "tests/damaged_messages.h"

namespace trirotor::test {
namespace {

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


// The early test never turns away a key that opens a message with a
// container, whatever its size, header or suffix, and turns away what the
// frame check alone lets through about once in 65,536: among 300,000 wrong
// keys none passes (one in 2^31 would).
TEST(KeyTrial, EarlyTestKeepsEveryOpenerAndFewWrongKeys) {
  std::mt19937 random(20261208);
  struct Case {
    std::size_t textLength;
    std::u16string key, suffix;
  };
  const Case cases[] = {
      {1, u"k", u""},
      {2, u"key", u"s"},
      {40, u"a longer key", u"suffix"},
      {1500, u"\u00e9t\u00e9", u""},
      {70000, u"big", u"b"},
      {0, u"empty text", u""},
  };
  for (const Case& c : cases) {
    std::string plain(c.textLength, '\0');
    for (char& ch : plain) ch = static_cast<char>(32 + random() % 20);  // few symbols: compressed
    FrameHeader header;
    for (std::uint8_t& b : header) b = static_cast<std::uint8_t>(random());
    const std::string sealed = EncodeBytes(Bytes(plain), c.key, c.suffix, header, 0);
    const KeyTrial trial(ByteBuffer(sealed.begin(), sealed.end()));
    const bool opens = trial.Opens(c.key, c.suffix);
    EXPECT_TRUE(opens || c.textLength == 0) << c.textLength;
    if (opens) {
      EXPECT_TRUE(trial.MayOpen(c.key, c.suffix)) << c.textLength;
    }
    EXPECT_FALSE(trial.MayOpen(c.key, c.suffix + u"x")) << c.textLength;
  }
  const std::string sealed = EncodeBytes(Bytes(English(40)), kKey, kSuffix, Header(), 0);
  const KeyTrial trial(ByteBuffer(sealed.begin(), sealed.end()));
  int passed = 0;
  for (int i = 0; i < 300000; ++i) passed += trial.MayOpen(u"wrong " + Text(std::to_string(i)), kSuffix);
  EXPECT_EQ(passed, 0);
  // Headers of every length the frame allows, from 2 to 255, around a
  // stored container: the longer ones need more than the first span.
  for (const int headerLength : {2, 3, 15, 16, 17, 21, 200, 255}) {
    ByteBuffer frame(static_cast<std::size_t>(headerLength), 0x41);
    frame[0] = static_cast<std::uint8_t>(headerLength);
    const std::uint8_t check1 = headerLength == 2 ? frame[0] : 0x33;
    if (headerLength > 2) frame[static_cast<std::size_t>(headerLength) - 2] = check1;
    frame[static_cast<std::size_t>(headerLength) - 1] = 0x44;
    for (const char c : std::string("HE0\rplain")) frame.push_back(static_cast<std::uint8_t>(c));
    frame.push_back(check1);
    frame.push_back(0x44);
    const std::u16string sealed = Seal(frame, kKey, kSuffix);
    const KeyTrial trial(Bytes(sealed));
    EXPECT_TRUE(trial.Opens(kKey, kSuffix)) << headerLength;
    EXPECT_TRUE(trial.MayOpen(kKey, kSuffix)) << headerLength;
    EXPECT_FALSE(trial.MayOpen(kKey, u"other")) << headerLength;
  }
  // Too short to hold a header, a container's identification and a trailer.
  for (const char* tiny : {"", "QUJD", "QUJDREVG"}) {
    EXPECT_FALSE(KeyTrial(Bytes(tiny)).MayOpen(kKey, kSuffix)) << tiny;
  }
}

}  // namespace
}  // namespace trirotor::test
