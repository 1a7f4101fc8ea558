// SPDX-License-Identifier: MIT
//
// keystream_encode.cpp - the rotor keystream run forward, for the encoder.
//
// The decoder feeds each ciphertext byte back into Rotor1 before the next
// keystream byte, so the encoder must feed back the byte it has just made,
// not the plain byte: then both sides step the rotors with the same inputs.

#include "engine/key_schedule.h"
#include "engine/keystream.h"

namespace trirotor {

std::uint8_t EncryptByte(std::uint8_t plainByte) {
  const auto cipherByte = static_cast<std::uint8_t>(plainByte ^ NextKeyByte(Feedback));
  Feedback = cipherByte;
  return cipherByte;
}

void EncryptBuffer(ByteBuffer& buffer) {
  for (std::uint8_t& b : buffer) b = EncryptByte(b);
}

}  // namespace trirotor
