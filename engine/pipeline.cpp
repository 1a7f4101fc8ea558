// SPDX-License-Identifier: MIT
//
// pipeline.cpp - DecodeText and DecodeBytes, and the engine's status.
//
// The stages hand their data on in place: the base64 layer decodes straight
// into the buffer that is decrypted, the frame check reads that buffer, and
// the container is expanded from the payload moved to the buffer's front.
// Text is made once only: when the result is returned. DecodeBytes, for hosts
// that hold the message as bytes, does not make it at all and decodes the
// base64 in the message's own storage.

#include "engine/trirotor.h"

#include <algorithm>
#include <new>
#include <utility>

#include "engine/base64.h"
#include "engine/container.h"
#include "engine/frame.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"
#include "platform/platform.h"
#include "platform/big_buffer.h"

namespace trirotor {

using namespace internal;

constinit thread_local std::int16_t LastError = 0;
constinit thread_local std::int16_t AbortFlag = 0;
constinit thread_local std::int16_t Progress = 0;

namespace {

thread_local bool decodeRunning = false;

// What the stages leave.
enum class Outcome { kFrameFailed, kBytes, kText };

/// Text conversions ///

constexpr std::size_t kWidenSlice = std::size_t{1} << 15;

// The plain bytes as text, one character per byte. The text is sized on huge
// pages and filled a slice at a time, each slice widened by the code page.
std::u16string WidenPlain(const ByteBuffer& plain) {
  if (plain.size() < 2 * kWidenSlice) return platform::BytesToText(plain);
  std::u16string text;
  SizeFreshBuffer(text, plain.size());
  for (std::size_t at = 0; at < plain.size(); at += kWidenSlice) {
    const std::u16string slice = platform::BytesToText(plain.data() + at, std::min(kWidenSlice, plain.size() - at));
    std::copy(slice.begin(), slice.end(), text.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return text;
}

// Room for a compressed payload's plain bytes in the upper half of the text
// they become, so that they are widened in place and never need a buffer of
// their own.
class TextStorage final : public PlainStorage {
 public:
  explicit TextStorage(std::u16string& text) : text_(text) {}
  std::uint8_t* Reserve(std::size_t capacity) override {
    SizeFreshBuffer(text_, capacity);
    return reinterpret_cast<std::uint8_t*>(text_.data()) + capacity;
  }

 private:
  std::u16string& text_;
};

// Widens the `count` bytes that TextStorage placed in the upper half of
// `text`, front to back, and cuts the text to them. Character i lands on
// bytes 2i and 2i+1, which lie below byte capacity + i, where byte i was:
// a slice is always read before the characters it becomes are written.
void WidenInPlace(std::u16string& text, std::size_t count) {
  const std::uint8_t* bytes = reinterpret_cast<const std::uint8_t*>(text.data()) + text.size();
  for (std::size_t at = 0; at < count; at += kWidenSlice) {
    const std::u16string slice = platform::BytesToText(bytes + at, std::min(kWidenSlice, count - at));
    std::copy(slice.begin(), slice.end(), text.begin() + static_cast<std::ptrdiff_t>(at));
  }
  text.resize(count);
}

// Expands the payload in `buffer`; a compressed one decoded to its end is
// widened straight into `text` (true). Otherwise `buffer` holds the bytes,
// as HuffmanDecode leaves them, and `text` is untouched.
bool ExpandToText(ByteBuffer& buffer, std::int32_t length, std::u16string& text) {
  std::u16string wide;
  TextStorage storage(wide);
  const Expansion expansion = ExpandContainer(buffer, length, storage);
  if (expansion.where != Expansion::kInStorage) return false;
  WidenInPlace(wide, static_cast<std::size_t>(expansion.count));
  text = std::move(wide);
  return true;
}

// The stages after base64, in order, on the decoded buffer. The payload's
// plain bytes are left in `buffer` (kBytes) or, given `text` and a
// compressed payload, its plain text in `text` (kText). `busy` tracks the
// pointer so that an error can put the default pointer back.
Outcome RunStages(ByteBuffer& buffer, std::u16string_view key, std::u16string_view keySuffix, bool& busy,
                  std::u16string* text) {
  InitCipher(key, keySuffix);
  DecryptBuffer(buffer);
  platform::SetMousePointer(platform::kPointerDefault);
  busy = false;

  const std::optional<FrameSpan> payload = CheckFrame(buffer.data(), buffer.size());
  if (!payload) {
    LastError = kErrFrameCheck;
    platform::SetMousePointer(platform::kPointerDefault);
    return Outcome::kFrameFailed;
  }
  // The payload moves to the front of the buffer and is expanded there.
  platform::BlockCopy(buffer.data(), buffer.data() + payload->offset, payload->length);
  buffer.resize(payload->length);
  const auto length = static_cast<std::int32_t>(buffer.size());
  if (text == nullptr) {
    HuffmanDecode(buffer, length);
    return Outcome::kBytes;
  }
  return ExpandToText(buffer, length, *text) ? Outcome::kText : Outcome::kBytes;
}

// What both entries do before base64 decoding.
void StartDecode(bool& busy) {
  Progress = 0;
  platform::SetMousePointer(platform::kPointerBusy);
  busy = true;
  AbortFlag = 0;
}

// A decode must not start inside another on this thread (from the event hook).
void RequireNotRunning() {
  if (decodeRunning) {
    platform::RaiseError(kErrInvalidCall, "DecodeText()",
                         "A decode is already running on this thread; it cannot be started "
                         "again from inside it");
  }
}

// Runs `decode` as one decode: whatever ends it leaves the engine usable and
// the default pointer showing.
template <typename Decode>
auto RunGuarded(Decode decode) -> decltype(decode(std::declval<bool&>())) {
  decodeRunning = true;
  bool busy = false;
  try {
    auto result = decode(busy);
    decodeRunning = false;
    return result;
  } catch (...) {
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

}  // namespace

std::u16string DecodeText(std::u16string_view message, std::u16string_view key, std::u16string_view keySuffix) {
  RequireNotRunning();
  if (message.size() < kShortestMessage) return {};
  return RunGuarded([&](bool& busy) {
    StartDecode(busy);
    ByteBuffer buffer = DecodeBase64Bytes(message);
    std::u16string result;
    const Outcome outcome = RunStages(buffer, key, keySuffix, busy, &result);
    if (outcome == Outcome::kFrameFailed) return std::u16string();
    if (outcome == Outcome::kBytes) result = WidenPlain(buffer);
    platform::SetMousePointer(platform::kPointerDefault);
    return result;
  });
}

ByteBuffer DecodeBytes(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix) {
  RequireNotRunning();
  if (message.size() < kShortestMessage) return {};
  return RunGuarded([&](bool& busy) {
    StartDecode(busy);
    // The message's own storage becomes the buffer that is decrypted.
    DecodeBase64InPlace(message);
    if (RunStages(message, key, keySuffix, busy, nullptr) == Outcome::kFrameFailed) return ByteBuffer();
    platform::SetMousePointer(platform::kPointerDefault);
    return std::move(message);
  });
}

}  // namespace trirotor
