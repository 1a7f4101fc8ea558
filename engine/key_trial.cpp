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

}  // namespace trirotor
