// SPDX-License-Identifier: MIT
//
// key_schedule.cpp - the three keyed rotors, from a key and a key suffix.
//
// The rotors are keyed in a chain: Rotor1 is shuffled by the key bytes, then
// folded into 17 bytes that drive Rotor2's shuffle; Rotor2 is folded into 23
// bytes, the suffix is XORed in, and those drive Rotor3. One running mix
// value is carried from each shuffle into the next, so the key alone decides
// the first two rotors and the suffix only the third.

#include "engine/key_schedule.h"

#include <limits>

#include "engine/checked.h"
#include "platform/platform.h"

namespace trirotor::internal {

constinit thread_local std::array<std::int16_t, kRotor1Size> Rotor1{};
constinit thread_local std::array<std::int16_t, kRotor2Size> Rotor2{};
constinit thread_local std::array<std::int16_t, kRotor3Size> Rotor3{};
constinit thread_local std::int16_t Step1 = 0, Mix1 = 0, Step2 = 0, Mix2 = 0, Step3 = 0, Mix3 = 0;
constinit thread_local std::uint8_t Feedback = 0;

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

}  // namespace

void InitCipher(std::u16string_view key, std::u16string_view keySuffix) {
  std::array<std::uint8_t, 17> fold17{};
  std::array<std::uint8_t, 23> fold23{};
  std::int32_t scheduleMix = 0;

  const std::int32_t keyLength = checked::Int32Length(key.size(), kSource);
  // Only the first 463 positions of the cyclic key take part.
  const ByteBuffer keyBytes = platform::TextToBytes(key.substr(0, kRotor1Size));

  FillIdentity(Rotor1);
  Step1 = 0;
  Mix1 = 0;
  if (keyLength == 0) platform::RaiseRuntimeError(kErrDivisionByZero, kSource);  // p mod 0
  Shuffle(Rotor1, scheduleMix, [&](std::int32_t p) { return keyBytes[p % keyLength]; });
  Fold(Rotor1, fold17);

  FillIdentity(Rotor2);
  Step2 = 0;
  Mix2 = 0;
  Shuffle(Rotor2, scheduleMix, [&](std::int32_t p) { return fold17[p % 17]; });
  Fold(Rotor2, fold23);

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

  FillIdentity(Rotor3);
  Shuffle(Rotor3, scheduleMix, [&](std::int32_t p) { return fold23[p % 23]; });
  Step3 = 0;
  Mix3 = 0;
  Feedback = 0;
}

}  // namespace trirotor::internal
