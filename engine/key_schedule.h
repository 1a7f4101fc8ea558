// SPDX-License-Identifier: MIT
//
// key_schedule.h - the cipher state and how a key sets it up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace trirotor::internal {

inline constexpr std::int16_t kRotor1Size = 463;
inline constexpr std::int16_t kRotor2Size = 251;
inline constexpr std::int16_t kRotor3Size = 181;

// CipherState: three rotors (each always a permutation of 0..N-1), their
// step and mix cursors (each within 0..N-1) and the fed-back ciphertext byte.
// One per thread, in Cipher; compare two with ==. Do not rely on its layout.
struct CipherState {
  // Each rotor starts a cache line: the passes and the key schedule copy
  // them whole, and a rotor at an odd offset made both measurably slower.
  alignas(64) std::array<std::int16_t, kRotor1Size> Rotor1;
  alignas(64) std::array<std::int16_t, kRotor2Size> Rotor2;
  alignas(64) std::array<std::int16_t, kRotor3Size> Rotor3;
  std::int16_t Step1, Mix1, Step2, Mix2, Step3, Mix3;
  std::uint8_t Feedback;
  bool operator==(const CipherState&) const = default;
};
extern thread_local constinit CipherState Cipher;

// Sets up the whole CipherState afresh from `key` and `keySuffix`. The key
// alone keys Rotor1 and Rotor2; the suffix enters at Rotor3. Raises 11
// (division by zero) for an empty key, after Rotor1 is reset to the
// identity; 6 (overflow) for a suffix of more than 32767 characters, after
// Rotor1 and Rotor2 are keyed.
void InitCipher(std::u16string_view key, std::u16string_view keySuffix);
// The same schedule step by step, with a division for every position: the
// reference that InitCipher must match in CipherState and in the state a
// failure leaves; kept for tests, benchmarks and the differential fuzz target.
void InitCipherSimple(std::u16string_view key, std::u16string_view keySuffix);

// The part of the schedule the key alone decides: Rotor1 and Rotor2 (and
// their cursors, 0) of the key whose bytes are keyBytes[0..keyLength), of
// which only the first 463 take part; keyLength >= 1. Returns the
// ScheduleMix their shuffles leave, and the fold of Rotor2 that the suffix
// is XORed into. InitCipher is this, the suffix, then Rotor3.
std::size_t ScheduleKeyRotors(const std::uint8_t* keyBytes, std::size_t keyLength, CipherState& state,
                              std::array<std::uint8_t, 23>& fold23);

}  // namespace trirotor::internal
