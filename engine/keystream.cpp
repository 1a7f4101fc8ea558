// SPDX-License-Identifier: MIT
//
// keystream.cpp - the rotor keystream and in-place buffer decryption.
//
// Each keystream byte steps three rotors in a chain: the fed-back ciphertext
// byte drives Rotor1, Rotor1's output drives Rotor2, Rotor2's drives Rotor3.
// Feedback makes each key byte depend on the ciphertext before it, so the
// loop is inherently serial.

#include "engine/keystream.h"

#include <algorithm>
#include <limits>

#include "engine/checked.h"
#include "engine/key_schedule.h"
#include "engine/trirotor.h"

namespace trirotor {

namespace {

constexpr std::int32_t kPauseStride = 5000;  // positions 0, 5000, 10000, ... pause

// One rotor step: advance the step cursor, move the mix cursor by the entry
// under it and the input byte, swap the two entries, and output the entry at
// their sum. Every sum stays below 1200.
template <std::size_t N>
std::uint8_t StepRotor(std::array<std::int16_t, N>& rotor, std::int16_t& step, std::int16_t& mix,
                       std::uint8_t x) {
  constexpr auto n = static_cast<std::int16_t>(N);
  step = static_cast<std::int16_t>((step + 1) % n);
  mix = static_cast<std::int16_t>((rotor[step] + mix + x) % n);
  std::swap(rotor[step], rotor[mix]);
  const auto t = static_cast<std::int16_t>((rotor[step] + rotor[mix]) % n);
  return static_cast<std::uint8_t>(rotor[t] % 256);
}

}  // namespace

std::uint8_t NextKeyByte(std::uint8_t feedbackByte) {
  const std::uint8_t o1 = StepRotor(Rotor1, Step1, Mix1, feedbackByte);
  const std::uint8_t o2 = StepRotor(Rotor2, Step2, Mix2, o1);
  const std::uint8_t o3 = StepRotor(Rotor3, Step3, Mix3, o2);
  return static_cast<std::uint8_t>((o1 + o2 + o3) % 256);
}

std::uint8_t DecryptByte(std::uint8_t cipherByte) {
  const std::uint8_t k = NextKeyByte(Feedback);
  Feedback = cipherByte;
  return cipherByte ^ k;
}

void DecryptBuffer(ByteBuffer& buffer) {
  if (buffer.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    platform::RaiseRuntimeError(kErrOverflow, "DecryptBuffer()");  // positions are 32-bit
  }
  const auto upper = static_cast<std::int32_t>(buffer.size()) - 1;  // read once
  std::int32_t i = 0;
  while (i <= upper) {
    // Decrypt up to the next pause position (0, 5000, 10000, ...) or the end.
    const std::int32_t pause = i == 0 ? 0 : ((i + kPauseStride - 1) / kPauseStride) * kPauseStride;
    const std::int32_t last = std::min(pause, upper);
    for (; i <= last; ++i) buffer[i] = DecryptByte(buffer[i]);
    if (last != pause) break;

    platform::ProcessEvents();
    if (AbortFlag == -1) return;  // the rest of the buffer stays ciphertext
    // A one-byte buffer has no quotient to take; its pass is complete.
    const std::int16_t q =
        upper == 0 ? 50 : checked::RoundHalfEven(static_cast<double>(last) / upper * 50);
    if (q != Progress) Progress = q;
  }
}

}  // namespace trirotor
