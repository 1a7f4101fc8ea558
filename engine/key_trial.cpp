// SPDX-License-Identifier: MIT
//
// key_trial.cpp - one message against many keys. Per key the work is the key
// schedule and one decryption of the frame; the frame check on its result
// is the decoder's own, so no key the full decode accepts is turned away.

#include "engine/trirotor.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "engine/base64.h"
#include "engine/frame.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"

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
  LastError = 0;
  try {
    DecodeBytes(message_, key, keySuffix);
  } catch (const EngineError&) {
    return false;
  }
  return LastError != kErrFrameCheck;
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

}  // namespace trirotor
