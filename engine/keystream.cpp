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
// - Each pass works on a copy of its rotor with its cursors in registers;
//   the copy goes back to CipherState at each pause.
// - Each step issues as few operations as it can (see RotorPass): no wrap
//   test, the next two entries loaded ahead, and the mix cursor's chain cut
//   to one add, subtract and conditional move by taking the remainders from
//   tables off the chain. Each of these alone gained little or nothing; the
//   loop is bound by how many operations a step issues, and together they
//   take about a third off.
// Blocks end at the pause positions, so pauses, Progress and the state an
// abort leaves are those of the byte-by-byte pass.

#include "engine/keystream.h"
#include "engine/reduce.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/checked.h"
#include "engine/key_schedule.h"
#include "engine/trirotor.h"

namespace trirotor::internal {

namespace {

constexpr std::int32_t kPauseStride = 5000;  // positions 0, 5000, 10000, ... pause

// One rotor step: advance the step cursor, move the mix cursor by the entry
// under it and the input byte, swap the two entries, and output the entry at
// their sum. Every sum stays below 1200.
template <std::size_t N>
std::uint8_t StepRotor(std::array<std::int16_t, N>& rotor, std::int16_t& step, std::int16_t& mix, std::uint8_t x) {
  constexpr auto n = static_cast<std::int16_t>(N);
  step = static_cast<std::int16_t>((step + 1) % n);
  mix = static_cast<std::int16_t>((rotor[step] + mix + x) % n);
  std::swap(rotor[step], rotor[mix]);
  const auto t = static_cast<std::int16_t>((rotor[step] + rotor[mix]) % n);
  return static_cast<std::uint8_t>(rotor[t] % 256);
}

/// One rotor's pass over a block ///

// Runs the rotor of N entries over a block: steps it once for each input
// x[0..count) and hands each output byte to emit(i, byte). The rotor is
// copied out of CipherState for the pass, with two spare entries so that the
// loads ahead of the last steps before the wrap stay inside it.
//
// The step cursor runs in segments up to the wrap point, so a step has no
// wrap test; each step is StepRotor (its loads ahead and their patch are
// explained there). The remainder of the two entries whose sum names the
// output comes from the same table. All cursors are 64-bit and all entries
// unsigned 16-bit, so no index needs widening.
template <int N, typename Emit>
void RotorPass(std::array<std::int16_t, N>& rotor, std::int16_t& step0, std::int16_t& mix0, const std::uint8_t* x,
               std::size_t count, Emit emit) {
  const internal::ModTable<N>& mod = internal::kModTable<N>;
  std::uint16_t r[N + 2];
  std::memcpy(r, rotor.data(), sizeof(std::int16_t) * N);
  r[N] = r[N + 1] = 0;
  std::size_t mix = static_cast<std::uint16_t>(mix0);
  std::size_t s = static_cast<std::uint16_t>(step0);  // the last position stepped
  std::size_t done = 0;
  while (done < count) {
    const std::size_t start = s + 1 == static_cast<std::size_t>(N) ? 0 : s + 1;
    const std::size_t end = start + std::min(static_cast<std::size_t>(N) - start, count - done);
    std::size_t p = start;
    const std::uint8_t* in = x + done;       // in[p - start] is the input of the step at p
    const std::size_t first = done - start;  // emit(first + p) for the step at p (wraps, then adds back)
    std::size_t ahead1 = r[p];
    std::size_t ahead2 = r[p + 1];
    for (; p < end; ++p) {
      const internal::SwappedPair swapped = internal::StepRotor<N>(r, p, in[p - start], mix, ahead1, ahead2, mod);
      // Entries of Rotor2 and Rotor3 are below 256; Rotor1's keep their low 8 bits.
      emit(first + p, static_cast<std::uint8_t>(r[mod.rem[swapped.a + swapped.b]]));
    }
    done += end - start;
    s = end - 1;
  }
  std::memcpy(rotor.data(), r, sizeof(std::int16_t) * N);
  step0 = static_cast<std::int16_t>(s);
  mix0 = static_cast<std::int16_t>(mix);
}

// Decrypts block[0..count) with the three passes; 1 <= count <= kPauseStride.
void DecryptBlock(std::uint8_t* block, std::int32_t count) {
  const auto n = static_cast<std::size_t>(count);
  std::uint8_t in1[kPauseStride];   // Rotor1's inputs: the feedback, then the block shifted by one
  std::uint8_t out1[kPauseStride];  // Rotor1's outputs
  std::uint8_t out2[kPauseStride];  // Rotor2's outputs
  in1[0] = Cipher.Feedback;
  std::memcpy(in1 + 1, block, n - 1);
  RotorPass<kRotor1Size>(Cipher.Rotor1, Cipher.Step1, Cipher.Mix1, in1, n,
                         [&](std::size_t i, std::uint8_t o) { out1[i] = o; });
  Cipher.Feedback = block[n - 1];
  RotorPass<kRotor2Size>(Cipher.Rotor2, Cipher.Step2, Cipher.Mix2, out1, n,
                         [&](std::size_t i, std::uint8_t o) { out2[i] = o; });
  RotorPass<kRotor3Size>(Cipher.Rotor3, Cipher.Step3, Cipher.Mix3, out2, n, [&](std::size_t i, std::uint8_t o) {
    block[i] ^= static_cast<std::uint8_t>(out1[i] + out2[i] + o);
  });
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
    const std::int16_t q = upper == 0 ? 50 : checked::RoundHalfEven(static_cast<double>(last) / upper * 50);
    if (q != Progress) Progress = q;
  }
}

}  // namespace

std::uint8_t NextKeyByte(std::uint8_t feedbackByte) {
  const std::uint8_t o1 = StepRotor(Cipher.Rotor1, Cipher.Step1, Cipher.Mix1, feedbackByte);
  const std::uint8_t o2 = StepRotor(Cipher.Rotor2, Cipher.Step2, Cipher.Mix2, o1);
  const std::uint8_t o3 = StepRotor(Cipher.Rotor3, Cipher.Step3, Cipher.Mix3, o2);
  return static_cast<std::uint8_t>((o1 + o2 + o3) % 256);
}

std::uint8_t DecryptByte(std::uint8_t cipherByte) {
  const std::uint8_t k = NextKeyByte(Cipher.Feedback);
  Cipher.Feedback = cipherByte;
  return cipherByte ^ k;
}

void DecryptBufferSimple(ByteBuffer& buffer) {
  RunPass(buffer, [](std::uint8_t* block, std::int32_t count) {
    for (std::int32_t k = 0; k < count; ++k) block[k] = DecryptByte(block[k]);
  });
}

void DecryptBuffer(ByteBuffer& buffer) { RunPass(buffer, DecryptBlock); }

void DecryptSpan(std::uint8_t* bytes, std::int32_t count) { DecryptBlock(bytes, count); }

void RunKeyRotors(CipherState& state, const std::uint8_t* inputs, std::size_t count, std::uint8_t* out2,
                  std::uint8_t* sum12) {
  std::uint8_t out1[kPauseStride];
  RotorPass<kRotor1Size>(state.Rotor1, state.Step1, state.Mix1, inputs, count,
                         [&](std::size_t i, std::uint8_t o) { out1[i] = o; });
  RotorPass<kRotor2Size>(state.Rotor2, state.Step2, state.Mix2, out1, count, [&](std::size_t i, std::uint8_t o) {
    out2[i] = o;
    sum12[i] = static_cast<std::uint8_t>(out1[i] + o);
  });
}

bool DecryptUnderKey(ByteBuffer& bytes, std::u16string_view key, std::u16string_view keySuffix) {
  AbortFlag = 0;
  InitCipher(key, keySuffix);
  DecryptBuffer(bytes);
  return AbortFlag != -1;
}

}  // namespace trirotor::internal
