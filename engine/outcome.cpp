// SPDX-License-Identifier: MIT
//
// outcome.cpp - TryDecodeBytes and TryDecodeText: one decode's whole answer
// in one value.
//
// They wrap DecodeBytes and DecodeText rather than run the stages again, so
// that the two faces can never tell a message apart differently: the
// legacy entry decides, and this file only reads what it left (the result,
// the code recorded in LastError, or the error raised) and puts the
// caller's LastError back.

#include <utility>

#include "engine/trirotor.h"

namespace trirotor {

namespace {

// Puts LastError back as the caller had it, however the decode ends; the
// outcome carries the code the decode recorded.
class KeepLastError {
 public:
  KeepLastError() : saved_(LastError) { LastError = 0; }
  ~KeepLastError() { LastError = saved_; }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  std::int16_t saved_;
};

// The status of a decode that returned, from the code it recorded (LastError
// was 0 before it).
DecodeStatus StatusOfRecorded(std::int16_t recorded) {
  switch (recorded) {
    case kErrFrameCheck: return DecodeStatus::kFrameFailed;
    case kErrChecksum: return DecodeStatus::kChecksumMismatch;
    default: return DecodeStatus::kOpened;
  }
}

// Runs `decode` (which stores the plain result where it belongs) and sorts
// what it left into the outcome.
template <typename Decode>
DecodeOutcome Classify(std::size_t length, Decode decode) {
  DecodeOutcome outcome;
  const KeepLastError keep;
  try {
    decode(outcome);
  } catch (const EngineError& error) {
    outcome.status = DecodeStatus::kEngineError;
    outcome.error = error.number();
    outcome.source = error.source();
    outcome.description = error.description();
    return outcome;
  }
  // A short message is no message: the call returned "" and touched nothing
  // (but a decode started inside another raises even for one).
  if (length < kShortestMessage) return outcome;
  const std::int16_t recorded = LastError;
  outcome.status = StatusOfRecorded(recorded);
  if (outcome.status != DecodeStatus::kOpened) {
    outcome.error = recorded;
    outcome.description = std::string(ErrorMessage(recorded));
  }
  return outcome;
}

}  // namespace

std::string_view DecodeStatusName(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOpened: return "opened";
    case DecodeStatus::kChecksumMismatch: return "checksum-mismatch";
    case DecodeStatus::kFrameFailed: return "frame-failed";
    case DecodeStatus::kEngineError: return "engine-error";
    case DecodeStatus::kNoMessage: return "no-message";
  }
  return "";
}

DecodeOutcome TryDecodeBytes(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix) {
  const std::size_t length = message.size();
  return Classify(length,
                  [&](DecodeOutcome& outcome) { outcome.plain = DecodeBytes(std::move(message), key, keySuffix); });
}

DecodeOutcome TryDecodeText(std::u16string_view message, std::u16string_view key, std::u16string_view keySuffix) {
  return Classify(message.size(), [&](DecodeOutcome& outcome) { outcome.text = DecodeText(message, key, keySuffix); });
}

}  // namespace trirotor
