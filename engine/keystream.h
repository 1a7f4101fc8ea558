// SPDX-License-Identifier: MIT
//
// keystream.h - the rotor keystream, and buffer decryption in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/key_schedule.h"
#include "platform/platform.h"

namespace trirotor::internal {

// Steps Rotor1 (driven by feedbackByte), Rotor2 and Rotor3 once each and
// returns the keystream byte. Does not change Feedback.
std::uint8_t NextKeyByte(std::uint8_t feedbackByte);
// cipherByte XOR NextKeyByte(Feedback); then Feedback = cipherByte.
std::uint8_t DecryptByte(std::uint8_t cipherByte);
// Decrypts buffer in place. After positions 0, 5000, 10000, ... it lets the
// host process events, stops if AbortFlag is -1 (the rest of the buffer
// stays ciphertext) and raises Progress towards 50. CipherState is written
// back before every pause, so a handler and an abort see it exactly as
// after the byte at the pause position.
void DecryptBuffer(ByteBuffer& buffer);
// A fresh cipher state for key and suffix, then DecryptBuffer over `bytes`,
// with AbortFlag cleared first: false when an event handler stopped it at a
// pause (the bytes are then half decrypted). For the readers beside the
// decoder: salvage, inspection, key trials.
bool DecryptUnderKey(ByteBuffer& bytes, std::u16string_view key, std::u16string_view keySuffix);
// Decrypts bytes[0..count) in place, 1 <= count <= 5000, going on from the
// cipher state as it stands: DecryptBuffer's blocks without its pauses, for
// the key trials' early test, which reads a few bytes of each frame.
void DecryptSpan(std::uint8_t* bytes, std::int32_t count);
// Steps only Rotor1 and Rotor2 of `state`, once for each of inputs[0..count)
// (Rotor1's inputs: the fed-back ciphertext bytes), 1 <= count <= 5000, and
// writes each step's Rotor2 output to out2 and the sum of both outputs, mod
// 256, to sum12. What the key alone adds to each keystream byte, for the
// suffix searches; Step3, Mix3 and Feedback are left alone.
void RunKeyRotors(CipherState& state, const std::uint8_t* inputs, std::size_t count, std::uint8_t* out2,
                  std::uint8_t* sum12);
// The same pass made of one DecryptByte per byte: the reference that
// DecryptBuffer must match in bytes, pauses, Progress and CipherState; kept
// for tests, benchmarks and the differential fuzz target.
void DecryptBufferSimple(ByteBuffer& buffer);

// The encoder's direction: plainByte XOR NextKeyByte(Feedback); then
// Feedback = the ciphertext byte.
std::uint8_t EncryptByte(std::uint8_t plainByte);
// Encrypts buffer in place; no pauses, no Progress.
void EncryptBuffer(ByteBuffer& buffer);
// The same pass made of one EncryptByte per byte: the reference that
// EncryptBuffer must match in bytes and cipher state; kept for tests and
// benchmarks.
void EncryptBufferSimple(ByteBuffer& buffer);

}  // namespace trirotor::internal
