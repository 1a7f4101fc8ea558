// SPDX-License-Identifier: MIT
//
// key_trial.cpp - one message against many keys. Per key the work is the key
// schedule and one decryption of the frame; the frame check on its result
// is the decoder's own, so no key the full decode accepts is turned away.

#include "engine/trirotor.h"

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
  const std::size_t headerLength = DecryptByte(frame_[0]);
  if (headerLength < 2 || headerLength + kIdentification + kFrameTrailerLength > n) return false;
  for (std::size_t i = 1; i < headerLength; ++i) DecryptByte(frame_[i]);
  std::uint8_t id[kIdentification];
  for (std::size_t k = 0; k < kIdentification; ++k) id[k] = DecryptByte(frame_[headerLength + k]);
  return id[0] == 'H' && id[1] == 'E' && (id[2] == '0' || id[2] == '3') && id[3] == '\r';
}

}  // namespace trirotor
