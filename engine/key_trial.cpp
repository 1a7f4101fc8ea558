// SPDX-License-Identifier: MIT
//
// key_trial.cpp - one message against many keys. Per key the work is the key
// schedule and one decryption of the frame; the frame check on its result
// is the decoder's own, so no key the full decode accepts is turned away.
// KeyGroupTrial gives the early test to sixteen keys at a time
// (engine/key_group.cpp), or to sixteen suffixes of one key.

#include "engine/trirotor.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/base64.h"
#include "engine/checked.h"
#include "engine/frame.h"
#include "engine/key_group.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"
#include "platform/platform.h"

namespace trirotor {

using namespace internal;

KeyTrial::KeyTrial(ByteBuffer message) : message_(std::move(message)) {
  if (message_.size() < kShortestMessage) return;  // the decoder takes it for no message
  frame_ = message_;
  DecodeBase64InPlace(frame_);
}

bool KeyTrial::Opens(std::u16string_view key, std::u16string_view keySuffix) const {
  if (message_.size() < kShortestMessage) return false;
  // Kept per thread for the next key; a large one is given back, or every
  // thread that ever tried a large message would keep its size.
  constexpr std::size_t kKeptWorkBytes = std::size_t{1} << 20;
  thread_local ByteBuffer work;
  work.assign(frame_.begin(), frame_.end());
  const bool decrypted = DecryptUnderKey(work, key, keySuffix);  // false: stopped at a pause, not tried
  const bool framed = decrypted && CheckFrame(work.data(), work.size());
  if (work.capacity() > kKeptWorkBytes) ByteBuffer().swap(work);
  if (!framed) return false;
  // The rare wrong key that passes the frame check fails in the container.
  return TryDecodeBytes(message_, key, keySuffix).HasText();
}

bool KeyTrial::MayOpen(std::u16string_view key, std::u16string_view keySuffix) const {
  // The header length L is the first byte; the identification follows the
  // header, and the trailer's two bytes follow a payload of 4 bytes at least.
  constexpr std::size_t kIdentification = 4;
  const std::size_t n = frame_.size();
  if (message_.size() < kShortestMessage || n < 2 + kIdentification + kFrameTrailerLength) return false;
  InitCipher(key, keySuffix);
  // The encoder's header is 16 bytes: 20 decrypted at once cover it and the
  // identification; a longer header takes a second span.
  std::uint8_t head[255 + kIdentification];
  const std::size_t first = std::min<std::size_t>(n, 16 + kIdentification);
  std::copy_n(frame_.begin(), first, head);
  DecryptSpan(head, static_cast<std::int32_t>(first));
  const std::size_t headerLength = head[0];
  if (headerLength < 2 || headerLength + kIdentification + kFrameTrailerLength > n) return false;
  const std::size_t need = headerLength + kIdentification;
  if (need > first) {
    std::copy_n(frame_.begin() + static_cast<std::ptrdiff_t>(first), need - first, head + first);
    DecryptSpan(head + first, static_cast<std::int32_t>(need - first));
  }
  const std::uint8_t* id = head + headerLength;
  return id[0] == 'H' && id[1] == 'E' && (id[2] == '0' || id[2] == '3') && id[3] == '\r';
}

/// Many keys at once ///

namespace {

constexpr const char* kScheduleSource = "InitCipher()";  // InitCipher raises for the key, so do these
constexpr std::size_t kKeyBytesTaken = kRotor1Size;      // the key bytes the schedule reads
constexpr std::size_t kSuffixBytesTaken = 23;            // the suffix bytes it reads

// The checks InitCipher makes of a key's and a suffix's lengths, in its order.
void CheckKey(std::size_t keyLength) {
  checked::Int32Length(keyLength, kScheduleSource);
  if (keyLength == 0) platform::RaiseRuntimeError(kErrDivisionByZero, kScheduleSource);  // p mod 0
}

void CheckSuffix(std::size_t suffixLength) {
  if (suffixLength > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max())) {
    platform::RaiseRuntimeError(kErrOverflow, kScheduleSource);
  }
}

void CheckCount(std::size_t count) {
  if (count > KeyGroupTrial::kMaxCandidates) platform::RaiseRuntimeError(kErrInvalidCall, "KeyGroupTrial");
}

// The first `most` bytes of a text (through the code page) or of bytes, as
// the schedule takes them; returns how many.
std::size_t TakeBytes(std::u16string_view text, std::size_t most, std::uint8_t* out) {
  const std::u16string_view taken = text.substr(0, most);
  platform::TextToBytes(taken, out);
  return taken.size();
}

std::size_t TakeBytes(std::string_view bytes, std::size_t most, std::uint8_t* out) {
  const std::size_t taken = std::min(bytes.size(), most);
  if (taken > 0) std::memcpy(out, bytes.data(), taken);
  return taken;
}

}  // namespace

static_assert(KeyGroupTrial::kGroupSize == kLaneCount, "a call's candidates fill the lanes a group at a time");

struct KeyGroupTrial::Work {
  KeyGroup group;
  KeyRotors rotors;  // the key SetKey set
  FrameHead frame;
  bool testable = false;  // the message is long enough for the early test
  bool keySet = false;
  LaneKey lanes[kGroupSize];
  std::uint8_t keyBytes[kGroupSize][kKeyBytesTaken];
  std::uint8_t suffixBytes[kGroupSize][kSuffixBytesTaken];

  // The candidates sixteen at a time: fill(candidate, k) sets up lane k,
  // run(count) schedules and tests lanes 0..count-1; bit i of the result is
  // candidate i's answer.
  template <typename Item, typename Fill, typename Run>
  std::uint64_t InGroups(std::span<const Item> candidates, Fill fill, Run run) {
    std::uint64_t result = 0;
    for (std::size_t start = 0; start < candidates.size(); start += kGroupSize) {
      const std::size_t count = std::min(kGroupSize, candidates.size() - start);
      for (std::size_t k = 0; k < count; ++k) fill(candidates[start + k], k);
      const std::uint32_t passed = run(count) & ((1u << count) - 1);
      result |= static_cast<std::uint64_t>(passed) << start;
    }
    return result;
  }

  template <typename Item>
  std::uint64_t TryCandidates(std::span<const Item> candidates) {
    CheckCount(candidates.size());
    if (!testable) return 0;
    for (const Item& c : candidates) {
      CheckKey(c.key.size());
      CheckSuffix(c.keySuffix.size());
    }
    return InGroups(
        candidates,
        [&](const Item& c, std::size_t k) {
          lanes[k] = {keyBytes[k], TakeBytes(c.key, kKeyBytesTaken, keyBytes[k]), suffixBytes[k],
                      TakeBytes(c.keySuffix, kSuffixBytesTaken, suffixBytes[k])};
        },
        [&](std::size_t count) {
          ScheduleGroup(group, lanes, count);
          return EarlyTestGroup(group, frame);
        });
  }

  template <typename Key>
  void SetKey(Key key) {
    keySet = false;
    if (testable) {
      CheckKey(key.size());
      ScheduleKeyRotors(rotors, keyBytes[0], TakeBytes(key, kKeyBytesTaken, keyBytes[0]));
    }
    keySet = true;
  }

  template <typename Suffix>
  std::uint64_t TrySuffixes(std::span<const Suffix> suffixes) {
    CheckCount(suffixes.size());
    if (!keySet) platform::RaiseRuntimeError(kErrInvalidCall, "KeyGroupTrial");
    if (!testable) return 0;
    for (const Suffix& s : suffixes) CheckSuffix(s.size());
    return InGroups(
        suffixes,
        [&](const Suffix& s, std::size_t k) {
          lanes[k] = {nullptr, 0, suffixBytes[k], TakeBytes(s, kSuffixBytesTaken, suffixBytes[k])};
        },
        [&](std::size_t count) {
          ScheduleSuffixes(group, rotors, lanes, count);
          return EarlyTestSuffixes(group, rotors, frame);
        });
  }
};

KeyGroupTrial::KeyGroupTrial(const KeyTrial& trial) : work_(std::make_unique<Work>()) {
  const ByteBuffer& frame = trial.frame_;
  FrameHead& head = work_->frame;
  work_->testable = trial.message_.size() >= kShortestMessage && frame.size() >= 2 + 4 + kFrameTrailerLength;
  head.length = frame.size();
  const std::size_t kept = std::min(frame.size(), kEarlyTestBytes);
  std::copy_n(frame.begin(), kept, head.bytes);
  head.feedback[0] = 0;
  std::copy_n(head.bytes, kEarlyTestBytes - 1, head.feedback + 1);
}

KeyGroupTrial::~KeyGroupTrial() = default;
KeyGroupTrial::KeyGroupTrial(KeyGroupTrial&&) noexcept = default;
KeyGroupTrial& KeyGroupTrial::operator=(KeyGroupTrial&&) noexcept = default;

std::uint64_t KeyGroupTrial::MayOpen(std::span<const Candidate> candidates) { return work_->TryCandidates(candidates); }

std::uint64_t KeyGroupTrial::MayOpen(std::span<const ByteCandidate> candidates) {
  return work_->TryCandidates(candidates);
}

void KeyGroupTrial::SetKey(std::u16string_view key) { work_->SetKey(key); }

void KeyGroupTrial::SetKey(std::string_view keyBytes) { work_->SetKey(keyBytes); }

std::uint64_t KeyGroupTrial::MayOpenWithSuffixes(std::span<const std::u16string_view> suffixes) {
  return work_->TrySuffixes(suffixes);
}

std::uint64_t KeyGroupTrial::MayOpenWithSuffixes(std::span<const std::string_view> suffixBytes) {
  return work_->TrySuffixes(suffixBytes);
}

}  // namespace trirotor
