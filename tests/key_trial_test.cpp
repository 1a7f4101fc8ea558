// SPDX-License-Identifier: MIT
//
// key_trial_test.cpp - KeyTrial, the quick test of one key against one
// message, held to the full decode: it must open what the full decode
// opens and nothing else. KeyGroupTrial, sixteen keys at a time, held to
// KeyTrial::MayOpen and to the literal schedule on each lane path this
// machine can run: a lane that reads another
// lane's entry, a wrong remainder on a rare sum, a row patched in the wrong
// lane or a test cut short shows up only on some keys, so the twins meet on
// random keys of every length.

#include <bit>
#include <random>
#include <span>
#include <string>
#include <vector>

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
  // clang-format off
  const Case cases[] = {
      {1, u"k", u""},
      {2, u"key", u"s"},
      {40, u"a longer key", u"suffix"},
      {1500, u"\u00e9t\u00e9", u""},
      {70000, u"big", u"b"},
      {0, u"empty text", u""},
  };
  // clang-format on
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

/// Many keys at once ///

// A random key or suffix as text: ASCII, Latin-1, a character the code page
// takes as its look-alike ('ł' as 'l' under 1252) or as '?' ('日'), so that
// the group converts them as the single-key schedule does.
std::u16string RandomText(std::mt19937& random, std::size_t length) {
  static const char16_t kOdd[] = {u'\u00e9', u'\u00ff', u'\u0142', u'\u65e5', u'\u20ac', u'\u0000'};
  std::u16string text(length, u' ');
  for (char16_t& c : text) {
    const unsigned pick = random() % 16;
    c = pick < 12 ? static_cast<char16_t>(32 + random() % 95) : kOdd[random() % std::size(kOdd)];
  }
  return text;
}

std::u16string RandomSuffix(std::mt19937& random) {
  const unsigned kind = random() % 4;
  return RandomText(random, kind == 0 ? 0 : kind == 1 ? 1 + random() % 22 : 20 + random() % 30);
}

// Each lane of a group ends with exactly the rotors the literal schedule
// gives its key and suffix: keys of every length from 1 to 600 bytes, in
// groups of keys of several lengths and of keys all of one length (whose
// drive is made for that length alone), suffixes empty, short and past 23
// bytes, groups of 1 to 16 keys, and suffix groups on a key's Rotor1 and
// Rotor2 made once.
void CheckLanesHoldTheLiteralSchedulesRotors() {
  std::mt19937 random(static_cast<std::uint32_t>(Seed()));
  KeyGroup group;
  KeyRotors rotors;
  const auto check = [&](std::size_t count, const auto& lengthOf) {
    ByteBuffer keys[kLaneCount], suffixes[kLaneCount];
    LaneKey lanes[kLaneCount];
    for (std::size_t k = 0; k < count; ++k) {
      keys[k] = RandomBytes(random, lengthOf(k));
      suffixes[k] = Bytes(RandomSuffix(random));
      lanes[k] = {keys[k].data(), keys[k].size(), suffixes[k].data(), suffixes[k].size()};
    }
    ScheduleGroup(group, lanes, count);
    CipherState keyed[kLaneCount], suffixed[kLaneCount];
    for (std::size_t k = 0; k < count; ++k) GroupCipherState(group, k, keyed[k]);
    ScheduleKeyRotors(rotors, keys[0].data(), keys[0].size());
    ScheduleSuffixes(group, rotors, lanes, count);
    for (std::size_t k = 0; k < count; ++k) GroupCipherState(group, k, suffixed[k]);
    for (std::size_t k = 0; k < count; ++k) {
      SCOPED_TRACE("key of " + std::to_string(keys[k].size()) + " bytes, suffix of " +
                   std::to_string(suffixes[k].size()) + ", lane " + std::to_string(k) + " of " + std::to_string(count));
      InitCipherSimple(Text(keys[k]), Text(suffixes[k]));
      EXPECT_TRUE(keyed[k] == Cipher);
      // A suffix lane: keys[0]'s first two rotors, made once, and its Rotor3 with this suffix.
      InitCipherSimple(Text(keys[0]), Text(suffixes[k]));
      EXPECT_TRUE(suffixed[k].Rotor3 == Cipher.Rotor3);
      EXPECT_TRUE(rotors.state.Rotor1 == Cipher.Rotor1 && rotors.state.Rotor2 == Cipher.Rotor2);
    }
  };
  std::size_t length = 1;
  for (std::size_t count = 1; length <= 600; count = count % kLaneCount + 1) {
    check(count, [&](std::size_t) { return length++; });
  }
  for (std::size_t one = 1; one <= 600; one += 1 + one / 40) {
    check(one % kLaneCount + 1, [&](std::size_t) { return one; });
  }
}

// KeyGroupTrial answers exactly what KeyTrial::MayOpen answers, key by key,
// on messages whose early test reads few or many bytes: random text keys of
// 1 to 600 characters under two code pages, as text and as bytes, in calls
// of 1 to 64 candidates (groups not full), and suffix searches; the sealing
// key and suffix are among them, so that "may open" is answered too.
void CheckAnswersAsKeyTrialDoes() {
  std::mt19937 random(static_cast<std::uint32_t>(Seed()) + 1);
  struct Case {
    const char* name;
    int codePage;
    std::size_t headerLength;  // L, the frame's byte 0
    std::string_view identification;
    std::size_t payload;  // bytes after the identification
    bool opens;           // the sealing key passes
  };
  const Case cases[] = {
      {"the encoder's header", 1252, 16, "HE3\r", 40, true},
      {"the longest header", 1252, 255, "HE0\r", 4, true},
      {"the shortest header", 1251, 2, "HE0\r", 0, true},
      {"'H' and 'E' right, then no version", 1252, 30, "HE1\r", 9, false},
      {"no carriage return", 1251, 200, "HE3\n", 9, false},
      {"a frame too short for L + 6", 1252, 20, "HE0", 0, false},
  };
  const std::size_t calls[] = {1, 3, 16, 17, 33, 64, 5};  // 139 candidates a message
  std::size_t keyLength = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::SetCodePage(c.codePage);
    ByteBuffer frame(c.headerLength, 0x41);
    frame[0] = static_cast<std::uint8_t>(c.headerLength);
    frame.insert(frame.end(), c.identification.begin(), c.identification.end());
    frame.resize(frame.size() + c.payload, 0x62);
    frame.push_back(frame[c.headerLength - 2]);  // the trailer repeats the check pair
    frame.push_back(frame[c.headerLength - 1]);
    const std::u16string key = RandomText(random, 1 + random() % 40);
    const std::u16string suffix = RandomSuffix(random);
    const KeyTrial trial(Bytes(Seal(frame, key, suffix)));
    KeyGroupTrial group(trial);

    std::vector<std::u16string> keys, suffixes;
    for (const std::size_t n : calls) {
      for (std::size_t i = 0; i < n; ++i, keyLength = keyLength % 600 + 1) {
        keys.push_back(RandomText(random, keyLength));
        suffixes.push_back(RandomSuffix(random));
      }
    }
    for (std::size_t at = 0; at < keys.size(); at += 29) {  // the sealer, and near misses
      keys[at] = key;
      keys[at] = at % 2 == 0 ? key : key + u"\x01";  // a near miss: the key with one more character
      suffixes[at] = suffix;
    }
    std::size_t start = 0, passed = 0;
    for (const std::size_t n : calls) {
      std::vector<KeyGroupTrial::Candidate> texts;
      std::vector<ByteBuffer> keyBytes, suffixBytes;
      std::vector<KeyGroupTrial::ByteCandidate> bytes;
      std::vector<std::u16string_view> suffixViews;
      std::uint64_t expected = 0, expectedWithKey = 0;
      for (std::size_t i = 0; i < n; ++i) {
        texts.push_back({keys[start + i], suffixes[start + i]});
        keyBytes.push_back(Bytes(keys[start + i]));
        suffixBytes.push_back(Bytes(suffixes[start + i]));
        suffixViews.push_back(suffixes[start + i]);
        expected |= std::uint64_t{trial.MayOpen(keys[start + i], suffixes[start + i])} << i;
        expectedWithKey |= std::uint64_t{trial.MayOpen(key, suffixes[start + i])} << i;
      }
      for (std::size_t i = 0; i < n; ++i) {
        bytes.push_back(
            {std::string_view(reinterpret_cast<const char*>(keyBytes[i].data()), keyBytes[i].size()),
             std::string_view(reinterpret_cast<const char*>(suffixBytes[i].data()), suffixBytes[i].size())});
      }
      SCOPED_TRACE("candidates " + std::to_string(start) + " to " + std::to_string(start + n - 1));
      EXPECT_EQ(group.MayOpen(std::span<const KeyGroupTrial::Candidate>(texts)), expected);
      EXPECT_EQ(group.MayOpen(std::span<const KeyGroupTrial::ByteCandidate>(bytes)), expected);
      group.SetKey(key);
      EXPECT_EQ(group.MayOpenWithSuffixes(std::span<const std::u16string_view>(suffixViews)), expectedWithKey);
      passed += static_cast<std::size_t>(std::popcount(expected));
      start += n;
    }
    // The sealer is among them twice in every 58 (the near misses never pass).
    EXPECT_EQ(passed, c.opens ? (keys.size() + 57) / 58 : 0);
  }
  platform::SetCodePage(1252);
}

// Runs `check` on each lane path this build and processor have (the
// portable one always), and leaves the fastest chosen again.
template <typename Check>
void OnEachLanePath(Check check) {
  const LanePath fastest = CurrentLanePath();
  for (const LanePath path : {LanePath::kPortable, LanePath::kAvx2}) {
    if (!LanePathAvailable(path)) continue;
    SCOPED_TRACE(path == LanePath::kAvx2 ? "AVX2 lanes" : "portable lanes");
    UseLanePath(path);
    check();
  }
  UseLanePath(fastest);
}

TEST(KeyGroupTrial, LanesHoldTheLiteralSchedulesRotors) { OnEachLanePath(CheckLanesHoldTheLiteralSchedulesRotors); }

TEST(KeyGroupTrial, AnswersAsKeyTrialDoes) { OnEachLanePath(CheckAnswersAsKeyTrialDoes); }

// What the group raises, and when it answers without trying.
TEST(KeyGroupTrial, RaisesWhatMayOpenRaises) {
  const KeyTrial trial(Bytes(SealContainer(Bytes("HE0\rplain"), kKey, kSuffix)));
  KeyGroupTrial group(trial);
  const std::u16string tooLong(32768, u's');
  struct Case {
    const char* name;
    std::vector<KeyGroupTrial::Candidate> candidates;
    std::int32_t error;  // 0: answers
  };
  const std::vector<KeyGroupTrial::Candidate> many(65, {kKey, kSuffix});
  const Case cases[] = {
      {"the right key", {{u"other", u""}, {kKey, kSuffix}}, 0},
      {"an empty key after a good one", {{kKey, kSuffix}, {u"", u""}}, kErrDivisionByZero},
      {"a suffix of 32768 characters", {{u"k", tooLong}}, kErrOverflow},
      {"an empty key before a long suffix", {{u"", tooLong}}, kErrDivisionByZero},
      {"65 candidates", many, kErrInvalidCall},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::int32_t raised = 0;
    std::uint64_t answer = 0;
    try {
      answer = group.MayOpen(std::span<const KeyGroupTrial::Candidate>(c.candidates));
    } catch (const EngineError& e) {
      raised = e.number();
    }
    EXPECT_EQ(raised, c.error);
    EXPECT_EQ(answer, c.error == 0 ? 2u : 0u);
  }
  EXPECT_THROW(KeyGroupTrial(trial).MayOpenWithSuffixes(std::span<const std::u16string_view>()), EngineError);
  EXPECT_THROW(group.SetKey(u""), EngineError);
  // Too short for the test: every answer is 0, an empty key included.
  KeyGroupTrial tiny{KeyTrial(Bytes("QUJD"))};
  const KeyGroupTrial::Candidate empty[] = {{u"", u""}, {kKey, kSuffix}};
  EXPECT_EQ(tiny.MayOpen(std::span<const KeyGroupTrial::Candidate>(empty)), 0u);
}

}  // namespace
}  // namespace trirotor::test
