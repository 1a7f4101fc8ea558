// SPDX-License-Identifier: MIT
//
// key_group.h - the key schedule and the key trials' early test for sixteen
// keys side by side, one per lane of a row.
//
// One key's schedule is a chain of 895 dependent swaps; sixteen keys in the
// lanes of one row make sixteen chains that the processor runs at once, and
// the arithmetic of all of them is a few vector operations. Each rotor is
// held position-major: row p holds the entry at position p of every lane's
// rotor, so the entries a step takes at its shared position are one load,
// and only the entries at each lane's mix position are read and written one
// lane at a time.
//
// Two paths do the work on the same rows: AVX2 (a row is one 32-byte
// register), chosen at run time where the processor has it, and a portable
// one (two 16-byte halves; SSE2 on x86-64), which every build has and which
// the tests hold to the same answers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/key_schedule.h"

namespace trirotor::internal {

inline constexpr std::size_t kLaneCount = 16;

// Frame bytes the early test decrypts per pass of one rotor: the passes'
// outputs stay small and in the cache.
inline constexpr std::size_t kPassBytes = 64;

// The rotors of sixteen keys side by side, and the key bytes that drive
// Rotor1's shuffle. An entry is 16 bits, so a row is 32 bytes; a lane's mix position is
// held as the byte offset of its entry (position * 32 + lane * 2), so that
// reading it is one indexed load. The row past each rotor's last is spare: a
// shuffle step loads the row after its own before its swaps.
struct alignas(64) KeyGroup {
  std::uint16_t rotor1[kRotor1Size + 1][kLaneCount];
  std::uint16_t rotor2[kRotor2Size + 1][kLaneCount];
  std::uint16_t rotor3[kRotor3Size + 1][kLaneCount];
  std::uint16_t drive[kRotor1Size + 1][kLaneCount];  // each position's drive byte, for Rotor1's shuffle
  std::uint16_t mix[kLaneCount];                     // each lane's ScheduleMix, as a byte offset
  // The early test's outputs of each rotor over a pass, a row per frame
  // byte. A lane left out of a step keeps what its entry held: a byte (they
  // start at 0), which the next rotor may take in but nothing reads back.
  // Kept here, so that they are cleared once and not at every test.
  std::uint16_t out[3][kPassBytes][kLaneCount] = {};
};

// What one lane is keyed with: the key's bytes (only the first 463 take
// part; keyLength >= 1) and the suffix's (only the first 23; may be none).
struct LaneKey {
  const std::uint8_t* key = nullptr;
  std::size_t keyLength = 0;
  const std::uint8_t* suffix = nullptr;
  std::size_t suffixLength = 0;
};

// The ways the lanes can be run. kAvx2 exists only in x86-64 builds for
// Linux and the like (the Windows compiler does not keep 32-byte values
// aligned on the stack) and runs only on a processor with AVX2.
enum class LanePath {
  kPortable,
  kAvx2,
};

// Whether this build and this processor can run `path`.
bool LanePathAvailable(LanePath path);
// The path the calls below take: the fastest available, unless a test chose
// another with UseLanePath (an unavailable path is ignored). Process-wide.
LanePath CurrentLanePath();
void UseLanePath(LanePath path);

// Schedules keys[0..count) into lanes 0..count-1 of `group`, 1 <= count <=
// 16; lanes past count are keyed with keys[0] again. Each lane ends as
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
// lanes 0..count-1 of `group`, 1 <= count <= 16 (lanes past count take
// suffixes[0] again); LaneKey::key is not read. Rotor1 and Rotor2 of the
// group are left alone.
void ScheduleSuffixes(KeyGroup& group, const KeyRotors& rotors, const LaneKey* suffixes, std::size_t count);

// EarlyTestGroup for the lanes ScheduleSuffixes keyed: their Rotor3 in the
// group, Rotor1 and Rotor2 from `rotors`, which are stepped further when
// the test reads more of the frame than they have made.
std::uint32_t EarlyTestSuffixes(KeyGroup& group, KeyRotors& rotors, const FrameHead& frame);

}  // namespace trirotor::internal
