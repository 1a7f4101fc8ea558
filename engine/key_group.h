// SPDX-License-Identifier: MIT
//
// key_group.h - the key schedule and the key trials' early test for eight
// keys side by side, one per lane of a 16-byte vector.
//
// One key's schedule is a chain of 895 dependent swaps; eight keys in the
// lanes of one vector make eight chains that the processor runs at once,
// and the arithmetic of all eight is one vector operation. Each rotor is
// held position-major: row p holds the entry at position p of every lane's
// rotor, so the entries a step takes at its shared position are one load,
// and only the entries at each lane's mix position are read and written one
// lane at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/key_schedule.h"

namespace trirotor::internal {

inline constexpr std::size_t kLaneCount = 8;

// One value per lane. Entries and positions are below 463 and fit 16 bits;
// a mix position is held as the byte offset of its entry in the rotor
// (position * 16 + lane * 2), so that reading it is one indexed load.
using Lanes = std::uint16_t __attribute__((vector_size(16)));
static_assert(sizeof(Lanes) == 2 * kLaneCount);

// What one lane is keyed with: the key's bytes (only the first 463 take
// part; keyLength >= 1) and the suffix's (only the first 23; may be none).
struct LaneKey {
  const std::uint8_t* key = nullptr;
  std::size_t keyLength = 0;
  const std::uint8_t* suffix = nullptr;
  std::size_t suffixLength = 0;
};

// The rotors of eight keys side by side, and the working rows that key
// them. Rows past each rotor's last are spare: a step loads the row after
// its own before its swaps, and the last step's is one of these.
struct alignas(64) KeyGroup {
  Lanes rotor1[kRotor1Size + 1];
  Lanes rotor2[kRotor2Size + 1];
  Lanes rotor3[kRotor3Size + 1];
  Lanes drive[kRotor1Size + 1];  // the drive byte of each position, for the shuffle at hand
  Lanes mix;                     // each lane's ScheduleMix, as a byte offset
};

// Schedules keys[0..count) into lanes 0..count-1 of `group`, 1 <= count <=
// 8; lanes past count are keyed with keys[0] again. Each lane ends as
// InitCipher would leave CipherState for its key and suffix.
void ScheduleGroup(KeyGroup& group, const LaneKey* keys, std::size_t count);

// Lane `lane`'s rotors as a CipherState (cursors and Feedback 0), for the
// tests that hold the group to InitCipher.
void GroupCipherState(const KeyGroup& group, std::size_t lane, CipherState& state);

// The frame bytes the early test may read: a header of up to 255 bytes and
// the four of the identification after it.
inline constexpr std::size_t kEarlyTestBytes = 255 + 4;

// The frame's first bytes, as the early tests read them.
struct FrameHead {
  std::uint8_t bytes[kEarlyTestBytes];     // the first min(length, 259) bytes of the frame
  std::uint8_t feedback[kEarlyTestBytes];  // Rotor1's input for each: 0, then the byte before
  std::size_t length = 0;                  // the whole frame's
};

// KeyTrial::MayOpen's early test for every lane of a freshly scheduled
// group: decrypts the frame's first bytes under each lane's rotors and sets
// the bit of each lane whose header length L fits (2 <= L and L + 6 <=
// frame length) and whose bytes L..L+3 are a container's identification.
// The frame is 8 bytes or more. Leaves the group's rotors stepped.
std::uint32_t EarlyTestGroup(KeyGroup& group, const FrameHead& frame);

// What a key alone gives a suffix search: its Rotor1 and Rotor2, stepped as
// far as the early tests so far have read, and what they added to each
// keystream byte. The suffixes then need only Rotor3.
struct KeyRotors {
  CipherState state;                      // Rotor1 and Rotor2, stepped over `made` bytes
  std::array<std::uint8_t, 23> fold23{};  // Rotor2's fold, before the suffix
  std::size_t scheduleMix = 0;            // as Rotor2's shuffle left it
  std::uint8_t out2[kEarlyTestBytes];     // Rotor2's output for each frame byte
  std::uint8_t sum12[kEarlyTestBytes];    // Rotor1's and Rotor2's, added mod 256
  std::size_t made = 0;                   // frame bytes stepped so far
};

// Schedules Rotor1 and Rotor2 of the key keyBytes[0..keyLength), keyLength
// >= 1 (only the first 463 take part), into `rotors`, nothing stepped yet.
void ScheduleKeyRotors(KeyRotors& rotors, const std::uint8_t* keyBytes, std::size_t keyLength);

// Schedules Rotor3 of the key in `rotors` with suffixes[0..count) into
// lanes 0..count-1 of `group`, 1 <= count <= 8 (lanes past count take
// suffixes[0] again); LaneKey::key is not read. Rotor1 and Rotor2 of the
// group are left alone.
void ScheduleSuffixes(KeyGroup& group, const KeyRotors& rotors, const LaneKey* suffixes, std::size_t count);

// EarlyTestGroup for the lanes ScheduleSuffixes keyed: their Rotor3 in the
// group, Rotor1 and Rotor2 from `rotors`, which are stepped further when
// the test reads more of the frame than they have made.
std::uint32_t EarlyTestSuffixes(KeyGroup& group, KeyRotors& rotors, const FrameHead& frame);

}  // namespace trirotor::internal
