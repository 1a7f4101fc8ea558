// SPDX-License-Identifier: MIT
//
// keystream.cpp - the rotor keystream and in-place buffer decryption.
//
// Each keystream byte steps three rotors in a chain: the fed-back ciphertext
// byte drives Rotor1, Rotor1's output drives Rotor2, Rotor2's drives Rotor3.
// Feedback makes each key byte depend on the ciphertext before it, so the
// pass is inherently serial.
//
// Why DecryptBuffer is faster than a DecryptByte per byte:
// - The feedback byte is the previous ciphertext byte, which is known before
//   decryption starts, so Rotor1 can run over a whole block first; Rotor2
//   then runs over Rotor1's outputs and Rotor3 over Rotor2's. Each pass has a
//   single chain of dependent steps that the processor pipelines well, where
//   one loop over all three makes each byte wait for the last.
// - Cursors live in registers for a block and are written back at each pause.
// - Every reduction is a subtract and a conditional move; g++ turns the
//   plain `v >= n ? v - n : v` into branches that mispredict half the time.
// - The entry under the next step cursor is loaded before this step's swap
//   stores, and patched in the rare case that the swap hit it, so the next
//   step never waits on a store whose address was known late.
// Blocks end at the pause positions, so pauses, Progress and the state an
// abort leaves are those of the byte-by-byte pass.

#include "engine/keystream.h"
#include "engine/reduce.h"

#include <algorithm>

#include "engine/checked.h"
#include "engine/key_schedule.h"
#include "engine/status.h"

namespace trirotor::internal {

namespace {

using internal::Reduce;
using internal::SubtractOnce;

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

/// Branch-free reductions ///

// The step cursor's successor, s + 1 wrapped to 0 at N.
template <int N>
inline int NextStep(int s) {
  s += 1;
#if defined(__x86_64__) && defined(__GNUC__)
  asm("cmp %[n], %[s]\n\tcmove %[z], %[s]" : [s] "+r"(s) : [n] "i"(N), [z] "r"(0) : "cc");
  return s;
#else
  return s == N ? 0 : s;
#endif
}

/// One rotor's pass over a block ///

// A rotor with its cursors in registers, and the entry under the next step
// cursor already loaded.
template <int N>
struct RotorRun {
  std::int16_t* entries;
  int step;
  int mix;
  int ahead;  // entries[NextStep(step)] as it stands

  RotorRun(std::int16_t* rotor, std::int16_t step0, std::int16_t mix0)
      : entries(rotor), step(step0), mix(mix0), ahead(rotor[NextStep<N>(step0)]) {}

  std::uint8_t Step(int x) {
    static_assert(N - 1 + N - 1 + 255 < 4 * N, "one reduction must suffice");
    std::int16_t* r = entries;
    const int s = NextStep<N>(step);
    const int a = ahead;  // r[s]
    const int m = Reduce<N>(a + mix + x);
    const int b = r[m];
    const int next = NextStep<N>(s);
    int aheadNext = r[next];  // loaded before the swap's stores
    r[s] = static_cast<std::int16_t>(b);
    r[m] = static_cast<std::int16_t>(a);
    // next != s, so only the store to r[m] can have changed it. Rare (1 in
    // N): a branch that is always predicted beats a move on the chain.
    if (next == m) [[unlikely]] {
      aheadNext = a;
#if defined(__GNUC__)
      asm volatile("");  // keeps the compiler from turning this into a cmov
#endif
    }
    ahead = aheadNext;
    step = s;
    mix = m;
    const int t = SubtractOnce<N>(a + b);
    return static_cast<std::uint8_t>(r[t]);  // entries of Rotor2/3 are below 256; Rotor1's keep their low 8 bits
  }

  void WriteBack(std::int16_t& step0, std::int16_t& mix0) const {
    step0 = static_cast<std::int16_t>(step);
    mix0 = static_cast<std::int16_t>(mix);
  }
};

// Decrypts block[0..count) with the three passes; count <= kPauseStride.
void DecryptBlock(std::uint8_t* block, std::int32_t count) {
  std::uint8_t out1[kPauseStride];  // Rotor1's outputs
  std::uint8_t out2[kPauseStride];  // Rotor2's outputs
  {
    RotorRun<kRotor1Size> r1(Rotor1.data(), Step1, Mix1);
    out1[0] = r1.Step(Feedback);
    for (std::int32_t i = 1; i < count; ++i) out1[i] = r1.Step(block[i - 1]);
    r1.WriteBack(Step1, Mix1);
  }
  Feedback = block[count - 1];
  {
    RotorRun<kRotor2Size> r2(Rotor2.data(), Step2, Mix2);
    for (std::int32_t i = 0; i < count; ++i) out2[i] = r2.Step(out1[i]);
    r2.WriteBack(Step2, Mix2);
  }
  RotorRun<kRotor3Size> r3(Rotor3.data(), Step3, Mix3);
  for (std::int32_t i = 0; i < count; ++i) {
    const std::uint8_t o3 = r3.Step(out2[i]);
    block[i] ^= static_cast<std::uint8_t>(out1[i] + out2[i] + o3);
  }
  r3.WriteBack(Step3, Mix3);
}

std::int32_t UpperBound(const ByteBuffer& buffer) {
  return checked::Int32Length(buffer.size(), "DecryptBuffer()") - 1;  // positions are 32-bit
}

// The pass shared by both decryptors: blocks that end at the pause positions
// (0, 5000, 10000, ...) or at the end, each followed by its pause.
template <typename DecryptRange>
void RunPass(ByteBuffer& buffer, DecryptRange decrypt) {
  const std::int32_t upper = UpperBound(buffer);  // read once
  std::int32_t i = 0;
  while (i <= upper) {
    const std::int32_t pause = i == 0 ? 0 : ((i + kPauseStride - 1) / kPauseStride) * kPauseStride;
    const std::int32_t last = std::min(pause, upper);
    decrypt(buffer.data() + i, last - i + 1);
    i = last + 1;
    if (last != pause) break;

    platform::ProcessEvents();
    if (AbortFlag == -1) return;  // the rest of the buffer stays ciphertext
    // A one-byte buffer has no quotient to take; its pass is complete.
    const std::int16_t q =
        upper == 0 ? 50 : checked::RoundHalfEven(static_cast<double>(last) / upper * 50);
    if (q != Progress) Progress = q;
  }
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

void DecryptBufferSimple(ByteBuffer& buffer) {
  RunPass(buffer, [](std::uint8_t* block, std::int32_t count) {
    for (std::int32_t k = 0; k < count; ++k) block[k] = DecryptByte(block[k]);
  });
}

void DecryptBuffer(ByteBuffer& buffer) { RunPass(buffer, DecryptBlock); }

}  // namespace trirotor::internal
