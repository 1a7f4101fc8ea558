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
// conditional move instead of a division, and the entry under each next step
// cursor is loaded before the swap's stores, so that the only chain left is
// the one the feedback makes: Rotor1, Rotor2, Rotor3, then the next byte.

#include "engine/key_schedule.h"
#include "engine/keystream.h"

namespace trirotor {

namespace {

// v - N when v >= N, else v; for 0 <= v < 2N. A conditional move: g++ makes
// branches of the plain form, and they mispredict half the time.
template <int N>
inline int SubtractOnce(int v) {
#if defined(__x86_64__) && defined(__GNUC__)
  int r = v;
  asm("sub %[n], %[r]\n\tcmovb %[v], %[r]" : [r] "+&r"(r) : [v] "r"(v), [n] "i"(N) : "cc");
  return r;
#else
  const int r = v - N;
  return r + (N & (r >> 31));
#endif
}

// v mod N for 0 <= v < 4N.
template <int N>
inline int Reduce(int v) {
  return SubtractOnce<N>(SubtractOnce<2 * N>(v));
}

// The step cursor's successor, s + 1 wrapped to 0 at N.
template <int N>
inline int NextStep(int s) {
  s += 1;
  return s == N ? 0 : s;  // off the feedback chain: a branch predicted right N-1 times in N
}

// One rotor with its cursors in registers and the entry under the next step
// cursor already loaded. The same step as NextKeyByte's, kept apart from the
// decoder's copy so that each side can be tuned on its own.
template <int N>
struct ForwardRotor {
  std::int16_t* entries;
  int step;
  int mix;
  int ahead;  // entries[NextStep(step)] as it stands

  ForwardRotor(std::int16_t* rotor, std::int16_t step0, std::int16_t mix0)
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
    // next != s, so only the store to r[m] can have changed it (1 in N).
    if (next == m) [[unlikely]] aheadNext = a;
    ahead = aheadNext;
    step = s;
    mix = m;
    const int t = SubtractOnce<N>(a + b);
    return static_cast<std::uint8_t>(r[t]);  // the low 8 bits, as `% 256` of a non-negative entry
  }

  void WriteBack(std::int16_t& step0, std::int16_t& mix0) const {
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
  ForwardRotor<kRotor1Size> r1(Rotor1.data(), Step1, Mix1);
  ForwardRotor<kRotor2Size> r2(Rotor2.data(), Step2, Mix2);
  ForwardRotor<kRotor3Size> r3(Rotor3.data(), Step3, Mix3);
  std::uint8_t feedback = Feedback;
  for (std::uint8_t& b : buffer) {
    const std::uint8_t o1 = r1.Step(feedback);
    const std::uint8_t o2 = r2.Step(o1);
    const std::uint8_t o3 = r3.Step(o2);
    feedback = static_cast<std::uint8_t>(b ^ static_cast<std::uint8_t>(o1 + o2 + o3));
    b = feedback;
  }
  Feedback = feedback;
  r1.WriteBack(Step1, Mix1);
  r2.WriteBack(Step2, Mix2);
  r3.WriteBack(Step3, Mix3);
}

}  // namespace trirotor
