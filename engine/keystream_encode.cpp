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

// The step cursor's successor, s + 1 wrapped to 0 at N.
template <int N>
inline int NextStep(int s) {
  s += 1;
  return s == N ? 0 : s;  // off the feedback chain: a branch predicted right N-1 times in N
}

// One rotor with its cursors in registers, its entries held kCopies times
// over, and the entry under the next step cursor already loaded. The copies
// let both look-ups on the feedback chain index without a reduction: the
// mix entry at (a + mix reduced) + x < N + 256, the output at a + b < 2N.
// The reduced mix cursor, which the swap's stores need, is worked out beside
// the first look-up instead of before it. The same step as NextKeyByte's,
// kept apart from the decoder's copy so that each side can be tuned on its
// own.
template <int N>
struct ForwardRotor {
  static constexpr int kCopies = std::max(2, (N + 255 + N - 1) / N);
  std::int16_t entries[kCopies * N];  // entries[k] == entries[k % N]
  int step;
  int mix;
  int ahead;  // entries[NextStep(step)] as it stands

  ForwardRotor(const std::array<std::int16_t, N>& rotor, std::int16_t step0, std::int16_t mix0)
      : step(step0), mix(mix0) {
    for (int k = 0; k < kCopies; ++k) std::copy(rotor.begin(), rotor.end(), entries + k * N);
    ahead = entries[NextStep<N>(step0)];
  }

  std::uint8_t Step(int x) {
    static_assert(N - 1 + 255 < kCopies * N && 2 * N - 2 < kCopies * N, "the copies must cover every index");
    const int s = NextStep<N>(step);
    const int a = ahead;                          // entries[s]
    const int base = SubtractOnce<N>(a + mix);    // known before x arrives
    const int b = entries[base + x];              // the entry under the new mix cursor
    const int m = Reduce<N>(base + x);            // that cursor, for the stores
    const int next = NextStep<N>(s);
    int aheadNext = entries[next];  // loaded before the swap's stores
    for (int k = 0; k < kCopies; ++k) {
      entries[s + k * N] = static_cast<std::int16_t>(b);
      entries[m + k * N] = static_cast<std::int16_t>(a);
    }
    // next != s, so only the store to entries[m] can have changed it (1 in N).
    if (next == m) [[unlikely]] aheadNext = a;
    ahead = aheadNext;
    step = s;
    mix = m;
    return static_cast<std::uint8_t>(entries[a + b]);  // the low 8 bits, as `% 256` of a non-negative entry
  }

  void WriteBack(std::array<std::int16_t, N>& rotor, std::int16_t& step0, std::int16_t& mix0) const {
    std::copy(entries, entries + N, rotor.begin());
    step0 = static_cast<std::int16_t>(step);
    mix0 = static_cast<std::int16_t>(mix);
  }
};

}  // namespace

std::uint8_t EncryptByte(std::uint8_t plainByte) {
  const auto cipherByte = static_cast<std::uint8_t>(plainByte ^ NextKeyByte(Feedback));
  Feedback = cipherByte;
  return cipherByte;
}

void EncryptBufferSimple(ByteBuffer& buffer) {
  for (std::uint8_t& b : buffer) b = EncryptByte(b);
}

void EncryptBuffer(ByteBuffer& buffer) {
  ForwardRotor<kRotor1Size> r1(Rotor1, Step1, Mix1);
  ForwardRotor<kRotor2Size> r2(Rotor2, Step2, Mix2);
  ForwardRotor<kRotor3Size> r3(Rotor3, Step3, Mix3);
  std::uint8_t feedback = Feedback;
  for (std::uint8_t& b : buffer) {
    const std::uint8_t o1 = r1.Step(feedback);
    const std::uint8_t o2 = r2.Step(o1);
    const std::uint8_t o3 = r3.Step(o2);
    feedback = static_cast<std::uint8_t>(b ^ static_cast<std::uint8_t>(o1 + o2 + o3));
    b = feedback;
  }
  Feedback = feedback;
  r1.WriteBack(Rotor1, Step1, Mix1);
  r2.WriteBack(Rotor2, Step2, Mix2);
  r3.WriteBack(Rotor3, Step3, Mix3);
}

}  // namespace trirotor::internal
