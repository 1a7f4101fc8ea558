// SPDX-License-Identifier: MIT
//
// keystream_encode.cpp - the rotor keystream run forward, for the encoder.
//
// The decoder feeds each ciphertext byte back into Rotor1 before the next
// keystream byte, so the encoder must feed back the byte it has just made,
// not the plain byte: then both sides step the rotors with the same inputs.
//
// Why EncryptBuffer is faster than an EncryptByte per byte, although the
// decoder's trick of running Rotor1 over a block first is closed to it (the
// feedback is the output being made): the cursors of all three rotors live in
// registers for the whole buffer, every reduction is a subtract and a
// conditional move instead of a division, each rotor is held two or three
// times over so that neither look-up on the chain waits for a reduction, and
// the entry under each next step cursor is loaded before the swap's stores.
// What is left is the chain the feedback makes, an add and a load twice per
// rotor: Rotor1, Rotor2, Rotor3, then the next byte.

#include <algorithm>

#include "engine/key_schedule.h"
#include "engine/keystream.h"
#include "engine/reduce.h"

namespace trirotor::internal {

namespace {

using internal::Reduce;
using internal::SubtractOnce;

// The step cursor's successor in the encoder's rotors, s + 1 wrapped to 0 at
// N. The decoder's RotorPass runs its step cursor in segments up to the wrap
// instead; here the cursor is off the feedback chain, so a branch costs
// nothing.
template <int N>
inline int ForwardStep(int s) {
  s += 1;
  return s == N ? 0 : s;  // off the feedback chain: a branch predicted right N-1 times in N
}

// One rotor with its cursors in registers, its entries held kCopies times
// over, and the entry under the next step cursor already loaded. The copies
// let both look-ups on the feedback chain index without a reduction: the
// mix entry at (stepEntry + mix reduced) + input < N + 256, the output at
// stepEntry + mixEntry < 2N. The reduced mix cursor, which the swap's stores
// need, is worked out beside the first look-up instead of before it. The
// same step as NextKeyByte's, kept apart from the decoder's copy so that each
// side can be tuned on its own.
template <int N>
struct ForwardRotor {
  static constexpr int kCopies = std::max(2, (N + 255 + N - 1) / N);
  std::int16_t entries[kCopies * N];  // entries[k] == entries[k % N]
  int step;
  int mix;
  int ahead;  // entries[ForwardStep(step)] as it stands

  ForwardRotor(const std::array<std::int16_t, N>& rotor, std::int16_t step0, std::int16_t mix0)
      : step(step0), mix(mix0) {
    for (int k = 0; k < kCopies; ++k) std::copy(rotor.begin(), rotor.end(), entries + k * N);
    ahead = entries[ForwardStep<N>(step0)];
  }

  std::uint8_t Step(int input) {
    static_assert(N - 1 + 255 < kCopies * N && 2 * N - 2 < kCopies * N, "the copies must cover every index");
    const int stepAt = ForwardStep<N>(step);
    const int stepEntry = ahead;                        // entries[stepAt]
    const int base = SubtractOnce<N>(stepEntry + mix);  // known before the input arrives
    const int mixEntry = entries[base + input];         // the entry under the new mix cursor
    const int mixAt = Reduce<N>(base + input);          // that cursor, for the stores
    const int next = ForwardStep<N>(stepAt);
    int aheadNext = entries[next];  // loaded before the swap's stores
    for (int k = 0; k < kCopies; ++k) {
      entries[stepAt + k * N] = static_cast<std::int16_t>(mixEntry);
      entries[mixAt + k * N] = static_cast<std::int16_t>(stepEntry);
    }
    // next != stepAt, so only the store to entries[mixAt] can have changed it (1 in N).
    if (next == mixAt) [[unlikely]]
      aheadNext = stepEntry;
    ahead = aheadNext;
    step = stepAt;
    mix = mixAt;
    // The low 8 bits, as `% 256` of a non-negative entry.
    return static_cast<std::uint8_t>(entries[stepEntry + mixEntry]);
  }

  void WriteBack(std::array<std::int16_t, N>& rotor, std::int16_t& step0, std::int16_t& mix0) const {
    std::copy(entries, entries + N, rotor.begin());
    step0 = static_cast<std::int16_t>(step);
    mix0 = static_cast<std::int16_t>(mix);
  }
};

}  // namespace

std::uint8_t EncryptByte(std::uint8_t plainByte) {
  const auto cipherByte = static_cast<std::uint8_t>(plainByte ^ NextKeyByte(Cipher.Feedback));
  Cipher.Feedback = cipherByte;
  return cipherByte;
}

void EncryptBufferSimple(ByteBuffer& buffer) {
  for (std::uint8_t& byte : buffer) byte = EncryptByte(byte);
}

void EncryptBuffer(ByteBuffer& buffer) {
  ForwardRotor<kRotor1Size> r1(Cipher.Rotor1, Cipher.Step1, Cipher.Mix1);
  ForwardRotor<kRotor2Size> r2(Cipher.Rotor2, Cipher.Step2, Cipher.Mix2);
  ForwardRotor<kRotor3Size> r3(Cipher.Rotor3, Cipher.Step3, Cipher.Mix3);
  std::uint8_t feedback = Cipher.Feedback;
  for (std::uint8_t& byte : buffer) {
    const std::uint8_t out1 = r1.Step(feedback);
    const std::uint8_t out2 = r2.Step(out1);
    const std::uint8_t out3 = r3.Step(out2);
    feedback = static_cast<std::uint8_t>(byte ^ static_cast<std::uint8_t>(out1 + out2 + out3));
    byte = feedback;
  }
  Cipher.Feedback = feedback;
  r1.WriteBack(Cipher.Rotor1, Cipher.Step1, Cipher.Mix1);
  r2.WriteBack(Cipher.Rotor2, Cipher.Step2, Cipher.Mix2);
  r3.WriteBack(Cipher.Rotor3, Cipher.Step3, Cipher.Mix3);
}

}  // namespace trirotor::internal
