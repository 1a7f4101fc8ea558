// SPDX-License-Identifier: MIT
//
// key_schedule.cpp - the three keyed rotors, from a key and a key suffix.
//
// The rotors are keyed in a chain: Rotor1 is shuffled by the key bytes, then
// folded into 17 bytes that drive Rotor2's shuffle; Rotor2 is folded into 23
// bytes, the suffix is XORed in, and those drive Rotor3. One running mix
// value is carried from each shuffle into the next, so the key alone decides
// the first two rotors and the suffix only the third.
//
// Why InitCipher is faster than the schedule taken step by step
// (InitCipherSimple): each shuffle is one chain of 463, 251 or 181 dependent
// mix values, and the chain is all that counts.
// - The drive bytes are laid out per position before the shuffle (the key
//   repeated, the folds repeated), so no step divides by the key's length.
// - The remainder of entry + drive byte comes from a table, off the chain;
//   the chain is then one add, subtract and conditional move (AddMod) where
//   `%` by a constant is a multiply and shift.
// - The entries at the next positions are loaded before the swap's stores
//   and patched in the rare case that the swap hit them (StepRotor, shared
//   with the keystream).

#include "engine/key_schedule.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/checked.h"
#include "engine/reduce.h"
#include "platform/platform.h"

namespace trirotor::internal {

constinit thread_local CipherState Cipher{};

namespace {

constexpr const char* kSource = "InitCipher()";

template <std::size_t N>
void FillIdentity(std::array<std::int16_t, N>& rotor) {
  for (std::size_t i = 0; i < N; ++i) rotor[i] = static_cast<std::int16_t>(i);
}

// Swaps each entry in turn with the one at a running mix position; the mix
// value carries over from one rotor's shuffle into the next.
template <std::size_t N, typename Drive>
void Shuffle(std::array<std::int16_t, N>& rotor, std::int32_t& scheduleMix, Drive drive) {
  constexpr auto n = static_cast<std::int32_t>(N);
  for (std::int32_t p = 0; p < n; ++p) {
    scheduleMix = (rotor[p] + scheduleMix + drive(p)) % n;  // at most 462 + 462 + 255
    std::swap(rotor[p], rotor[scheduleMix]);
  }
}

template <std::size_t N, std::size_t M>
void Fold(const std::array<std::int16_t, N>& rotor, std::array<std::uint8_t, M>& fold) {
  for (std::size_t p = 0; p < N; ++p) fold[p % M] ^= static_cast<std::uint8_t>(rotor[p] % 256);
}

/// The quick schedule ///

// The sizes of the three rotors, as ints for the templates below.
constexpr int kSize1 = kRotor1Size;
constexpr int kSize2 = kRotor2Size;
constexpr int kSize3 = kRotor3Size;

template <int N>
constexpr std::array<std::int16_t, N> kIdentity = [] {
  std::array<std::int16_t, N> identity{};
  for (int i = 0; i < N; ++i) identity[i] = static_cast<std::int16_t>(i);
  return identity;
}();

// The shuffle of a rotor that holds the identity, driven by drive[p] at
// position p; takes and returns the running mix value (any value below
// 463: only its remainder mod N counts).
template <int N>
std::size_t QuickShuffle(std::array<std::int16_t, N>& rotor, const std::uint8_t* drive, std::size_t mix) {
  const internal::ModTable<N>& mod = internal::kModTable<N>;
  std::uint16_t r[N + 2];  // two spare entries: the loads ahead of the last steps read them
  std::memcpy(r, kIdentity<N>.data(), sizeof(std::int16_t) * N);
  r[N] = r[N + 1] = 0;
  mix %= N;
  std::size_t ahead1 = r[0];
  std::size_t ahead2 = r[1];
  for (std::size_t p = 0; p < static_cast<std::size_t>(N); ++p) {
    internal::StepRotor<N>(r, p, drive[p], mix, ahead1, ahead2, mod);
  }
  std::memcpy(rotor.data(), r, sizeof(std::int16_t) * N);
  return mix;
}

// The fold of a rotor into M bytes, a row of M entries at a time.
template <std::size_t N, std::size_t M>
void QuickFold(const std::array<std::int16_t, N>& rotor, std::array<std::uint8_t, M>& fold) {
  std::size_t p = 0;
  for (; p + M <= N; p += M) {
    for (std::size_t k = 0; k < M; ++k) fold[k] ^= static_cast<std::uint8_t>(rotor[p + k]);
  }
  for (std::size_t k = 0; p + k < N; ++k) fold[k] ^= static_cast<std::uint8_t>(rotor[p + k]);
}

// bytes[0..count) repeated to fill out[0..N); count >= 1.
template <std::size_t N>
void Repeat(const std::uint8_t* bytes, std::size_t count, std::array<std::uint8_t, N>& out) {
  std::size_t filled = std::min<std::size_t>(count, N);
  std::memcpy(out.data(), bytes, filled);
  while (filled < N) {  // doubling copies
    const std::size_t more = std::min<std::size_t>(filled, N - filled);
    std::memcpy(out.data() + filled, out.data(), more);
    filled += more;
  }
}

}  // namespace

std::size_t ScheduleKeyRotors(const std::uint8_t* keyBytes, std::size_t keyLength, CipherState& state,
                              std::array<std::uint8_t, 23>& fold23) {
  std::array<std::uint8_t, kSize1> drive1;
  Repeat(keyBytes, std::min<std::size_t>(keyLength, kSize1), drive1);
  std::size_t scheduleMix = QuickShuffle<kSize1>(state.Rotor1, drive1.data(), 0);
  state.Step1 = 0;
  state.Mix1 = 0;
  std::array<std::uint8_t, 17> fold17{};
  QuickFold(state.Rotor1, fold17);

  std::array<std::uint8_t, kSize2> drive2;
  Repeat(fold17.data(), fold17.size(), drive2);
  scheduleMix = QuickShuffle<kSize2>(state.Rotor2, drive2.data(), scheduleMix);
  state.Step2 = 0;
  state.Mix2 = 0;
  fold23.fill(0);
  QuickFold(state.Rotor2, fold23);
  return scheduleMix;
}

void InitCipher(std::u16string_view key, std::u16string_view keySuffix) {
  checked::Int32Length(key.size(), kSource);
  // Only the first 463 positions of the cyclic key take part.
  const std::size_t keyTaken = std::min<std::size_t>(key.size(), kSize1);
  std::uint8_t keyBytes[kSize1];
  platform::TextToBytes(key.substr(0, keyTaken), keyBytes);
  if (keyTaken == 0) {
    Cipher.Rotor1 = kIdentity<kSize1>;
    Cipher.Step1 = 0;
    Cipher.Mix1 = 0;
    platform::RaiseRuntimeError(kErrDivisionByZero, kSource);  // p mod 0
  }
  std::array<std::uint8_t, 23> fold23;
  const std::size_t scheduleMix = ScheduleKeyRotors(keyBytes, keyTaken, Cipher, fold23);

  // The suffix length is a signed 16-bit value.
  if (keySuffix.size() > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max())) {
    platform::RaiseRuntimeError(kErrOverflow, kSource);
  }
  if (!keySuffix.empty()) {
    // A shorter suffix repeats; only its first 23 characters take part.
    std::uint8_t suffixBytes[23];
    const std::size_t suffixTaken = std::min(keySuffix.size(), fold23.size());
    platform::TextToBytes(keySuffix.substr(0, suffixTaken), suffixBytes);
    std::array<std::uint8_t, 23> suffix23;
    Repeat(suffixBytes, suffixTaken, suffix23);
    for (std::size_t k = 0; k < fold23.size(); ++k) fold23[k] ^= suffix23[k];
  }

  std::array<std::uint8_t, kSize3> drive3;
  Repeat(fold23.data(), fold23.size(), drive3);
  QuickShuffle<kSize3>(Cipher.Rotor3, drive3.data(), scheduleMix);
  Cipher.Step3 = 0;
  Cipher.Mix3 = 0;
  Cipher.Feedback = 0;
}

void InitCipherSimple(std::u16string_view key, std::u16string_view keySuffix) {
  std::array<std::uint8_t, 17> fold17{};
  std::array<std::uint8_t, 23> fold23{};
  std::int32_t scheduleMix = 0;

  const std::int32_t keyLength = checked::Int32Length(key.size(), kSource);
  // Only the first 463 positions of the cyclic key take part.
  const ByteBuffer keyBytes = platform::TextToBytes(key.substr(0, kRotor1Size));

  FillIdentity(Cipher.Rotor1);
  Cipher.Step1 = 0;
  Cipher.Mix1 = 0;
  if (keyLength == 0) platform::RaiseRuntimeError(kErrDivisionByZero, kSource);  // p mod 0
  Shuffle(Cipher.Rotor1, scheduleMix, [&](std::int32_t p) { return keyBytes[p % keyLength]; });
  Fold(Cipher.Rotor1, fold17);

  FillIdentity(Cipher.Rotor2);
  Cipher.Step2 = 0;
  Cipher.Mix2 = 0;
  Shuffle(Cipher.Rotor2, scheduleMix, [&](std::int32_t p) { return fold17[p % 17]; });
  Fold(Cipher.Rotor2, fold23);

  // The suffix length is a signed 16-bit value.
  if (keySuffix.size() > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max())) {
    platform::RaiseRuntimeError(kErrOverflow, kSource);
  }
  const auto suffixLength = static_cast<std::int16_t>(keySuffix.size());
  if (suffixLength > 0) {
    // A shorter suffix repeats; only its first 23 characters take part.
    const ByteBuffer suffixBytes = platform::TextToBytes(keySuffix.substr(0, fold23.size()));
    for (std::size_t k = 0; k < fold23.size(); ++k) fold23[k] ^= suffixBytes[k % suffixLength];
  }

  FillIdentity(Cipher.Rotor3);
  Shuffle(Cipher.Rotor3, scheduleMix, [&](std::int32_t p) { return fold23[p % 23]; });
  Cipher.Step3 = 0;
  Cipher.Mix3 = 0;
  Cipher.Feedback = 0;
}

}  // namespace trirotor::internal
