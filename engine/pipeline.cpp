// SPDX-License-Identifier: MIT
//
// pipeline.cpp - DecodeText, the frame check, and the engine's status.
//
// The stages hand their data on in place: the base64 layer decodes straight
// into the buffer that is decrypted, the frame check reads that buffer, and
// the container is expanded from the payload moved to the buffer's front.
// Text is made twice only: when the message is read and when the result is
// returned.

#include "engine/pipeline.h"

#include <new>
#include <utility>

#include "engine/base64.h"
#include "engine/container.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"
#include "engine/trirotor.h"

namespace trirotor {

thread_local std::int16_t LastError = 0;
thread_local std::int16_t AbortFlag = 0;
thread_local std::int16_t Progress = 0;

namespace {

thread_local bool decodeRunning = false;

// The stages, in order. `busy` tracks the pointer so that an error can put
// the default pointer back.
std::u16string RunStages(std::u16string_view message, std::u16string_view key,
                         std::u16string_view keySuffix, bool& busy) {
  Progress = 0;
  platform::SetMousePointer(platform::kPointerBusy);
  busy = true;
  AbortFlag = 0;

  ByteBuffer buffer = DecodeBase64Bytes(message);
  InitCipher(key, keySuffix);
  DecryptBuffer(buffer);
  platform::SetMousePointer(platform::kPointerDefault);
  busy = false;

  const std::optional<FrameSpan> payload = CheckFrame(buffer.data(), buffer.size());
  if (!payload) {
    LastError = kErrFrameCheck;
    platform::SetMousePointer(platform::kPointerDefault);
    return {};
  }
  // The payload moves to the front of the buffer and is expanded there.
  platform::BlockCopy(buffer.data(), buffer.data() + payload->offset, payload->length);
  buffer.resize(payload->length);
  HuffmanDecode(buffer, static_cast<std::int32_t>(buffer.size()));
  std::u16string result = platform::BytesToText(buffer);
  platform::SetMousePointer(platform::kPointerDefault);
  return result;
}

}  // namespace

std::string_view ErrorMessage(std::int16_t code) {
  switch (code) {
    case kErrChecksum: return "Compression checksum error (Error 5)";
    case kErrFrameCheck: return "Failed decoding the text (Error 33)";
    default: return "";
  }
}

std::optional<FrameSpan> CheckFrame(const std::uint8_t* frame, std::size_t n) {
  if (n == 0) return std::nullopt;
  const std::size_t headerLength = frame[0];
  // A header of 0 or 1 bytes has no check pair to compare.
  if (headerLength < 2 || headerLength + 2 > n) return std::nullopt;
  if (frame[n - 2] != frame[headerLength - 2] || frame[n - 1] != frame[headerLength - 1]) {
    return std::nullopt;
  }
  return FrameSpan{headerLength, n - headerLength - 2};
}

std::u16string DecodeText(std::u16string_view message, std::u16string_view key,
                          std::u16string_view keySuffix) {
  if (decodeRunning) {
    platform::RaiseError(kErrInvalidCall, "DecodeText()",
                         "A decode is already running on this thread; it cannot be started "
                         "again from inside it");
  }
  if (message.size() < 4) return {};

  decodeRunning = true;
  bool busy = false;
  try {
    std::u16string result = RunStages(message, key, keySuffix, busy);
    decodeRunning = false;
    return result;
  } catch (...) {
    // Whatever ends the decode leaves the engine usable and the default
    // pointer showing.
    decodeRunning = false;
    if (busy) platform::SetMousePointer(platform::kPointerDefault);
    try {
      throw;
    } catch (const std::bad_alloc&) {
      platform::RaiseRuntimeError(kErrOutOfMemory, "DecodeText()");
    } catch (const std::length_error&) {
      platform::RaiseRuntimeError(kErrOutOfMemory, "DecodeText()");
    }
  }
}

}  // namespace trirotor
