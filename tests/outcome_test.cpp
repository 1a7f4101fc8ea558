// SPDX-License-Identifier: MIT
//
// outcome_test.cpp - TryDecodeBytes and TryDecodeText held to their legacy
// twins: for each kind of message the outcome must say what DecodeBytes and
// DecodeText say through their result, LastError and raised error, so that
// the two faces cannot drift apart.

#include <optional>
#include <string>
#include <vector>

#include "engine/internal.h"
#include "tests/test_util.h"

namespace trirotor::test {
namespace {

const std::u16string kKey = u"outcome key";
const std::u16string kSuffix = u"sfx";

ByteBuffer Stored(std::string_view plain) { return ByteWriter().Str("HE0\r").Str(plain).bytes(); }

// "ABC" compressed, its stored checksum wrong (0x00 where 'A'^'B'^'C' is 0x40).
ByteBuffer AbcWithBadChecksum() {
  return ByteWriter().Str("HE3\r").U8(0x00).I32(3).I16(3).U8s({0x41, 1, 0x42, 2, 0x43, 2}).U8(0x1A).U8(0x1A).bytes();
}

// What a legacy call said, in all three of its places.
struct LegacyAnswer {
  std::u16string text;
  std::int16_t lastError = 0;
  std::optional<std::int32_t> raised;
  std::string source, description;
};

template <typename Call>
LegacyAnswer AskLegacy(Call call) {
  LegacyAnswer answer;
  LastError = 0;
  try {
    answer.text = call();
  } catch (const EngineError& error) {
    answer.raised = error.number();
    answer.source = error.source();
    answer.description = error.description();
  }
  answer.lastError = LastError;
  return answer;
}

// The outcome must restate the legacy answer, field by field.
void ExpectTwins(const DecodeOutcome& outcome, const std::u16string& text, const LegacyAnswer& legacy) {
  if (legacy.raised) {
    EXPECT_EQ(outcome.status, DecodeStatus::kEngineError);
    EXPECT_EQ(outcome.error, *legacy.raised);
    EXPECT_EQ(outcome.source, legacy.source);
    EXPECT_EQ(outcome.description, legacy.description);
    EXPECT_FALSE(outcome.HasText());
    return;
  }
  EXPECT_EQ(outcome.error, legacy.lastError);
  EXPECT_EQ(outcome.description, std::string(ErrorMessage(legacy.lastError)));
  EXPECT_EQ(text, legacy.text);
  EXPECT_TRUE(outcome.source.empty());
}

class Outcome : public EngineTest {};

TEST_F(Outcome, EachKindOfMessageIsClassifiedAsItsLegacyTwinReportsIt) {
  const std::u16string good = Seal(Frame(Stored("Meet at noon.")), kKey, kSuffix);
  struct Case {
    const char* name;
    std::u16string message, key;
    DecodeStatus status;
    std::int32_t error;
    std::u16string text;
  };
  // clang-format off
  const Case cases[] = {
      {"good",              good,                                          kKey,       DecodeStatus::kOpened,           0,                  u"Meet at noon."},
      {"checksum mismatch", Seal(Frame(AbcWithBadChecksum()), kKey, kSuffix), kKey,    DecodeStatus::kChecksumMismatch, kErrChecksum,       u"ABC"},
      {"wrong key",         good,                                          u"not it",  DecodeStatus::kFrameFailed,      kErrFrameCheck,     u""},
      {"cut short",         good.substr(0, good.size() - 8),               kKey,       DecodeStatus::kFrameFailed,      kErrFrameCheck,     u""},
      {"no base64 at all",  u"@@@@!!",                                     kKey,       DecodeStatus::kFrameFailed,      kErrFrameCheck,     u""},
      {"empty payload",     Seal({2, 0x61, 2, 0x61}, kKey, kSuffix),       kKey,       DecodeStatus::kEngineError,      kErrSubscript,      u""},
      {"unknown version",   Seal(Frame(Bytes("HE7\rxyz")), kKey, kSuffix), kKey,       DecodeStatus::kEngineError,      kErrUnknownVersion, u""},
      {"empty key",         good,                                          u"",        DecodeStatus::kEngineError,      kErrDivisionByZero, u""},
      {"three characters",  u"QUJ",                                        kKey,       DecodeStatus::kNoMessage,        0,                  u""},
      {"empty",             u"",                                           kKey,       DecodeStatus::kNoMessage,        0,                  u""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LegacyAnswer textTwin = AskLegacy([&] { return DecodeText(c.message, c.key, kSuffix); });
    const LegacyAnswer bytesTwin = AskLegacy([&] { return Text(DecodeBytes(Bytes(c.message), c.key, kSuffix)); });

    // A code left by an earlier call must neither leak into the outcome nor
    // be lost to the caller.
    LastError = 77;
    const DecodeOutcome fromText = TryDecodeText(c.message, c.key, kSuffix);
    EXPECT_EQ(LastError, 77);
    const DecodeOutcome fromBytes = TryDecodeBytes(Bytes(c.message), c.key, kSuffix);
    EXPECT_EQ(LastError, 77);

    EXPECT_EQ(fromText.status, c.status);
    EXPECT_EQ(fromText.error, c.error);
    EXPECT_EQ(fromText.text, c.text);
    EXPECT_TRUE(fromText.plain.empty());
    ExpectTwins(fromText, fromText.text, textTwin);

    EXPECT_EQ(fromBytes.status, c.status);
    EXPECT_EQ(fromBytes.error, c.error);
    EXPECT_EQ(Text(fromBytes.plain), c.text);
    EXPECT_TRUE(fromBytes.text.empty());
    ExpectTwins(fromBytes, Text(fromBytes.plain), bytesTwin);
  }
}

TEST_F(Outcome, StatusNamesAreDistinct) {
  const DecodeStatus all[] = {DecodeStatus::kOpened, DecodeStatus::kChecksumMismatch, DecodeStatus::kFrameFailed,
                              DecodeStatus::kEngineError, DecodeStatus::kNoMessage};
  const std::vector<std::string> expected = {"opened", "checksum-mismatch", "frame-failed", "engine-error",
                                             "no-message"};
  std::vector<std::string> names;
  for (const DecodeStatus status : all) names.emplace_back(DecodeStatusName(status));
  EXPECT_EQ(names, expected);
}

// The outcome face decodes as the legacy one does: the same pauses, Progress
// and pointers, and an abort that the frame check then turns away.
TEST_F(Outcome, PausesPointersAndAbortAreTheLegacyDecodes) {
  const std::u16string message = Seal(Frame(Stored(std::string(40000, 'x'))), kKey, kSuffix);
  const auto record = [&](auto decode) {
    Log() = HookLog{};
    Log().abortAtPause = 1;
    LastError = 0;
    decode();
    return std::make_tuple(Log().pauses, Log().pointers, Log().progressAtPause, Progress, AbortFlag, LastError);
  };
  const auto legacy = record([&] { DecodeText(message, kKey, kSuffix); });
  const auto outcome = record([&] {
    const DecodeOutcome o = TryDecodeText(message, kKey, kSuffix);
    EXPECT_EQ(o.status, DecodeStatus::kFrameFailed);
  });
  EXPECT_GT(std::get<0>(legacy), 1);
  EXPECT_EQ(std::get<5>(legacy), kErrFrameCheck);
  // The outcome face leaves LastError as it found it: 0 here.
  EXPECT_EQ(std::get<5>(outcome), 0);
  EXPECT_EQ(std::get<0>(outcome), std::get<0>(legacy));
  EXPECT_EQ(std::get<1>(outcome), std::get<1>(legacy));
  EXPECT_EQ(std::get<2>(outcome), std::get<2>(legacy));
  EXPECT_EQ(std::get<3>(outcome), std::get<3>(legacy));
  EXPECT_EQ(std::get<4>(outcome), std::get<4>(legacy));
}

// A decode started from the event hook inside another is refused, even for a
// message too short to be one: the outcome says so instead of "no message".
std::optional<DecodeOutcome> nested;
void TryNestedDecode() {
  if (!nested) nested = TryDecodeText(u"QUJ", kKey, kSuffix);
}

TEST_F(Outcome, ADecodeInsideAnotherIsAnEngineErrorNotNoMessage) {
  nested.reset();
  platform::SetEventHook(TryNestedDecode);
  const DecodeOutcome outer = TryDecodeText(Seal(Frame(Stored(std::string(20000, 'y'))), kKey, kSuffix), kKey, kSuffix);
  platform::SetEventHook(nullptr);
  EXPECT_EQ(outer.status, DecodeStatus::kOpened);
  EXPECT_EQ(outer.text, std::u16string(20000, u'y'));
  ASSERT_TRUE(nested.has_value());
  EXPECT_EQ(nested->status, DecodeStatus::kEngineError);
  EXPECT_EQ(nested->error, kErrInvalidCall);
}

}  // namespace
}  // namespace trirotor::test
