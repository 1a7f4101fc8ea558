// SPDX-License-Identifier: MIT
//
// key_group.cpp - eight keys scheduled and tried side by side, one per lane.
//
// Why a group is faster than eight InitCipher calls: one key's shuffle is a
// chain of dependent swaps, and each swap stores to a position that the
// chain has only just computed, so the loads after it wait. Here the lanes'
// eight chains advance together:
// - The entries at the step's position are one row, loaded before the
//   step's stores (and patched in the lanes whose swap hit that row), so no
//   load waits for a store it does not need.
// - The mix arithmetic of all lanes is a handful of vector operations: the
//   remainders are one or two conditional subtractions, and each mix
//   position is kept as the byte offset of its entry, ready to index.
// - Only the entries at the lanes' mix positions are read and written one
//   lane at a time.
// The early test runs on the same rows, all lanes in step, so nothing is
// copied out per key: Rotor1 runs over the span first (its inputs are the
// frame's own bytes), then Rotor2 over its outputs, then Rotor3, as
// DecryptBuffer does. Each lane reads up to its own header length, so the
// lanes go on in step only while most of them still need bytes; the last
// few go on alone, one lane's entries at a time.

#include "engine/key_group.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/frame.h"
#include "engine/keystream.h"
#include "engine/reduce.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trirotor::internal {

namespace {

constexpr std::uint16_t kRowBytes = sizeof(Lanes);
constexpr Lanes kLaneOffsets = {0, 2, 4, 6, 8, 10, 12, 14};  // each lane's entry in a row, in bytes
static_assert(kRowBytes * kRotor1Size * 2 < 32768, "a mix offset and a step's sum fit 15 bits");

Lanes Splat(std::size_t value) { return Lanes{} + static_cast<std::uint16_t>(value); }

// The lanes of `yes` where mask is all ones, of `no` elsewhere.
Lanes Select(Lanes mask, Lanes yes, Lanes no) { return (yes & mask) | (no & ~mask); }

// v - n in the lanes where v >= n; for v < 2n. Every value here is below
// 32768, so a signed comparison serves, which SSE2 has in one instruction.
Lanes SubtractOnce(Lanes v, Lanes n) {
  using SignedLanes = std::int16_t __attribute__((vector_size(16)));
  const auto atLeast = reinterpret_cast<Lanes>(reinterpret_cast<SignedLanes>(v) >
                                               reinterpret_cast<SignedLanes>(n - Splat(1)));
  return v - (n & atLeast);
}

// v mod N for an entry plus a byte (v < N + 256).
template <int N>
Lanes ReduceEntryAndByte(Lanes v) {
  if constexpr (N + 255 < 2 * N) {
    return SubtractOnce(v, Splat(N));
  } else {
    static_assert(N + 255 < 4 * N);
    return SubtractOnce(SubtractOnce(v, Splat(2 * N)), Splat(N));
  }
}

// The entries at each lane's byte offset in rows.
Lanes Gather(const Lanes* rows, Lanes offsets) {
  const auto* base = reinterpret_cast<const unsigned char*>(rows);
  Lanes entries;
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    std::uint16_t entry;
    std::memcpy(&entry, base + offsets[k], sizeof entry);
    entries[k] = entry;
  }
  return entries;
}

void Scatter(Lanes* rows, Lanes offsets, Lanes entries) {
  auto* base = reinterpret_cast<unsigned char*>(rows);
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    const std::uint16_t entry = entries[k];
    std::memcpy(base + offsets[k], &entry, sizeof entry);
  }
}

// The offsets of row `position` in every lane.
Lanes RowOffsets(std::size_t position) { return Splat(position * kRowBytes) + kLaneOffsets; }

/// The schedule ///

// Fills the rotor of N entries with the identity in every lane and shuffles
// it, driven by drive[p] at position p. mix (each lane's ScheduleMix as an
// offset, below 2N rows) enters from the shuffle before and leaves for the
// next.
template <int N>
void ShuffleLanes(Lanes* rows, const Lanes* drive, Lanes& mix) {
  for (int p = 0; p < N; ++p) rows[p] = Splat(static_cast<std::size_t>(p));
  rows[N] = Lanes{};
  const Lanes size = Splat(N * kRowBytes);
  Lanes m = SubtractOnce(mix, size);
  Lanes next = rows[0];
  for (std::size_t p = 0; p < static_cast<std::size_t>(N); ++p) {
    const Lanes a = next;
    next = rows[p + 1];  // before the swaps: a load after them would wait for their offsets
    m = SubtractOnce(m + (ReduceEntryAndByte<N>(a + drive[p]) << 4), size);
    const Lanes b = Gather(rows, m);
    rows[p] = b;
    Scatter(rows, m, a);
    next = Select(reinterpret_cast<Lanes>(m == RowOffsets(p + 1)), a, next);
  }
  mix = m;
}
static_assert(kRowBytes == 1 << 4, "a row is 16 bytes: the shifts above scale positions to offsets");

// The fold of N rows into M, each lane's entries' low bytes XORed together
// by position mod M.
template <int N, int M>
void FoldLanes(const Lanes* rows, Lanes (&fold)[M]) {
  // One column at a time, in a register: an array of M accumulators
  // updated row by row went through memory at every step.
  for (int k = 0; k < M; ++k) {
    Lanes column = {};
    for (int p = k; p < N; p += M) column ^= rows[p];
    fold[k] = column & Splat(0xFF);
  }
}

// drive[p] = fold[p mod M] for p < N.
template <int N, int M>
void RepeatRows(const Lanes (&fold)[M], Lanes* drive) {
  for (int p = 0; p < N; p += M) {
    for (int k = 0; k < M && p + k < N; ++k) drive[p + k] = fold[k];
  }
}

// XORs each lane's suffix, repeated, into the fold of Rotor2.
void AddSuffixes(Lanes (&fold23)[23], const LaneKey* keys, std::size_t count) {
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    const LaneKey& key = keys[k < count ? k : 0];
    const std::size_t taken = std::min<std::size_t>(key.suffixLength, 23);
    if (taken == 0) continue;
    for (std::size_t j = 0, s = 0; j < 23; ++j, s = s + 1 == taken ? 0 : s + 1) {
      fold23[j][k] = static_cast<std::uint16_t>(fold23[j][k] ^ key.suffix[s]);
    }
  }
}

// The drive bytes of a lane, with room to read them eight at a time.
constexpr std::size_t kDriveBytes = (kRotor1Size + 7) / 8 * 8;
static_assert(kDriveBytes <= kRotor1Size + 1, "the drive rows hold the last block's spare position");

// bytes[0..count) repeated to fill out[0..kDriveBytes); count >= 1.
void RepeatBytes(const std::uint8_t* bytes, std::size_t count, std::uint8_t* out) {
  std::size_t filled = std::min(count, kDriveBytes);
  std::memcpy(out, bytes, filled);
  while (filled < kDriveBytes) {  // doubling copies
    const std::size_t more = std::min(filled, kDriveBytes - filled);
    std::memcpy(out + filled, out, more);
    filled += more;
  }
}

// drive[p][k] = bytes[k][p]: eight lanes' drive bytes turned into rows.
// Written out one entry at a time, the 3,704 stores cost about as much as
// a third of the shuffle they drive; with SSE2 (every x86-64) eight
// positions at a time are interleaved bytes, then pairs, then fours.
void TransposeDrive(const std::uint8_t (&bytes)[kLaneCount][kDriveBytes], Lanes* drive) {
#if defined(__SSE2__)
  static_assert(sizeof(Lanes) == sizeof(__m128i));
  const __m128i zero = _mm_setzero_si128();
  for (std::size_t p = 0; p < kDriveBytes; p += 8) {
    __m128i lane[kLaneCount];  // each lane's eight bytes, in the low half
    for (std::size_t k = 0; k < kLaneCount; ++k) {
      lane[k] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes[k] + p));
    }
    // Words: lanes 0-1, 2-3, 4-5 and 6-7 at positions p to p + 7.
    const __m128i pair01 = _mm_unpacklo_epi8(lane[0], lane[1]);
    const __m128i pair23 = _mm_unpacklo_epi8(lane[2], lane[3]);
    const __m128i pair45 = _mm_unpacklo_epi8(lane[4], lane[5]);
    const __m128i pair67 = _mm_unpacklo_epi8(lane[6], lane[7]);
    // Fours: lanes 0-3 and 4-7 at positions p to p + 3, then p + 4 to p + 7.
    const __m128i low03 = _mm_unpacklo_epi16(pair01, pair23);
    const __m128i high03 = _mm_unpackhi_epi16(pair01, pair23);
    const __m128i low47 = _mm_unpacklo_epi16(pair45, pair67);
    const __m128i high47 = _mm_unpackhi_epi16(pair45, pair67);
    const __m128i rows[4] = {// the eight lanes at two positions each
                             _mm_unpacklo_epi32(low03, low47), _mm_unpackhi_epi32(low03, low47),
                             _mm_unpacklo_epi32(high03, high47), _mm_unpackhi_epi32(high03, high47)};
    for (std::size_t r = 0; r < 4; ++r) {
      _mm_store_si128(reinterpret_cast<__m128i*>(drive + p + 2 * r), _mm_unpacklo_epi8(rows[r], zero));
      _mm_store_si128(reinterpret_cast<__m128i*>(drive + p + 2 * r + 1), _mm_unpackhi_epi8(rows[r], zero));
    }
  }
#else
  for (std::size_t p = 0; p < kDriveBytes; ++p) {
    for (std::size_t k = 0; k < kLaneCount; ++k) drive[p][k] = bytes[k][p];
  }
#endif
}

/// The early test ///

// One rotor of every lane, stepped as the keystream steps it, all lanes at
// the same step cursor.
template <int N>
class LaneRotor {
 public:
  explicit LaneRotor(Lanes* rows) : rows_(rows), ahead_(rows[1]) {}

  // Steps every lane's rotor once with its input x; returns each lane's
  // output entry (Rotor1's above 255 are cut to a byte by the caller).
  Lanes Step(Lanes x) {
    const std::size_t p = at_;
    const std::size_t q = p + 1 == static_cast<std::size_t>(N) ? 0 : p + 1;
    const Lanes size = Splat(N * kRowBytes);
    const Lanes a = ahead_;
    ahead_ = rows_[q];  // before the swaps, as in the shuffle
    mix_ = SubtractOnce(mix_ + (ReduceEntryAndByte<N>(a + x) << 4), size);
    const Lanes b = Gather(rows_, mix_);
    rows_[p] = b;
    Scatter(rows_, mix_, a);
    ahead_ = Select(reinterpret_cast<Lanes>(mix_ == RowOffsets(q)), a, ahead_);
    at_ = q;
    return Gather(rows_, (SubtractOnce(a + b, Splat(N)) << 4) + kLaneOffsets);
  }

 private:
  template <int>
  friend class OneLane;
  Lanes* rows_;
  std::size_t at_ = 1;        // the step cursor starts at 0 and advances before each step
  Lanes ahead_;               // rows_[at_], loaded before the last step's swaps
  Lanes mix_ = kLaneOffsets;  // the mix cursors, 0 after the schedule
};

// One lane of a LaneRotor stepped on alone, from where all lanes stand:
// the rotor step of the keystream on that lane's entries. The LaneRotor
// must not step again after.
template <int N>
class OneLane {
 public:
  OneLane(const LaneRotor<N>& rotor, std::size_t lane)
      : lane_(reinterpret_cast<unsigned char*>(rotor.rows_) + 2 * lane),
        at_(rotor.at_),
        mix_((rotor.mix_[lane] - 2 * lane) / kRowBytes) {}

  std::size_t Step(std::size_t x) {
    const ModTable<N>& mod = kModTable<N>;
    const std::size_t p = at_;
    at_ = p + 1 == static_cast<std::size_t>(N) ? 0 : p + 1;
    const std::size_t a = Entry(p);
    mix_ += mod.rem[a + x];
    if (mix_ >= static_cast<std::size_t>(N)) mix_ -= N;
    const std::size_t b = Entry(mix_);
    SetEntry(p, b);
    SetEntry(mix_, a);
    return Entry(mod.rem[a + b]);
  }

 private:
  std::size_t Entry(std::size_t p) const {
    std::uint16_t entry;
    std::memcpy(&entry, lane_ + p * kRowBytes, sizeof entry);
    return entry;
  }
  void SetEntry(std::size_t p, std::size_t value) {
    const auto entry = static_cast<std::uint16_t>(value);
    std::memcpy(lane_ + p * kRowBytes, &entry, sizeof entry);
  }

  unsigned char* lane_;  // the lane's entry in row 0
  std::size_t at_;       // the next position stepped
  std::size_t mix_;      // the mix cursor, a position
};

// Once no more than this many lanes are still in the early test, each goes
// on alone: a step of all eight lanes costs about as much as six of one.
constexpr std::size_t kTailLanes = 3;

// The early test over lanes that decrypt(begin, end, plain) decrypts in
// step, writing plain[i] for begin <= i < end, and that alone(k) goes on
// with one at a time: alone(k) returns a decryptor of lane k's bytes, which
// is called with consecutive spans from where the lanes in step stopped.
// The lanes decrypt byte 0 in step, which gives each its header length L;
// they go on in step while more than kTailLanes of them have not reached
// their L, and those go on alone. A lane whose byte L is the
// identification's first (one wrong key in 256) is given the three after.
template <typename Decrypt, typename Alone>
std::uint32_t EarlyTestLanes(const FrameHead& frame, Decrypt decrypt, Alone alone) {
  Lanes plain[kEarlyTestBytes];
  decrypt(0, 1, plain);
  const Lanes header = plain[0];  // each lane's L
  std::size_t ends[kLaneCount];   // one past each live lane's byte L
  std::size_t live = 0;
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    const std::size_t length = header[k];
    if (length >= 2 && length + 4 + kFrameTrailerLength <= frame.length) ends[live++] = length + 1;
  }
  if (live == 0) return 0;
  for (std::size_t i = 1; i < live; ++i) {  // largest first
    for (std::size_t j = i; j > 0 && ends[j - 1] < ends[j]; --j) std::swap(ends[j - 1], ends[j]);
  }
  const std::size_t together = live > kTailLanes ? ends[kTailLanes] : 1;  // bytes decrypted in step
  if (together > 1) decrypt(1, together, plain);

  std::uint32_t passed = 0;
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    const std::size_t length = header[k];
    if (length < 2 || length + 4 + kFrameTrailerLength > frame.length) continue;
    if (length + 1 <= together && plain[length][k] != 'H') continue;  // the common case
    // Lane k's bytes past `together`, as far as the test reads them.
    std::uint8_t more[kEarlyTestBytes];
    auto rest = alone(k);
    std::size_t made = together;
    auto byteAt = [&](std::size_t i) {
      if (i < together) return static_cast<std::uint8_t>(plain[i][k]);
      if (i >= made) {
        const std::size_t end = std::max(i + 1, std::min(length + 1, kEarlyTestBytes));
        rest(made, end, more + (made - together));
        made = end;
      }
      return more[i - together];
    };
    if (byteAt(length) != 'H') continue;
    if (byteAt(length + 1) == 'E' && (byteAt(length + 2) == '0' || byteAt(length + 2) == '3') &&
        byteAt(length + 3) == '\r') {
      passed |= 1u << k;
    }
  }
  return passed;
}

}  // namespace

void ScheduleGroup(KeyGroup& group, const LaneKey* keys, std::size_t count) {
  // Rotor1's drive: each lane's key bytes repeated, then turned into rows.
  alignas(16) std::uint8_t repeated[kLaneCount][kDriveBytes];
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    const LaneKey& key = keys[k < count ? k : 0];
    RepeatBytes(key.key, std::min<std::size_t>(key.keyLength, kRotor1Size), repeated[k]);
  }
  TransposeDrive(repeated, group.drive);
  group.mix = kLaneOffsets;
  ShuffleLanes<kRotor1Size>(group.rotor1, group.drive, group.mix);

  Lanes fold17[17];
  FoldLanes<kRotor1Size>(group.rotor1, fold17);
  RepeatRows<kRotor2Size>(fold17, group.drive);
  ShuffleLanes<kRotor2Size>(group.rotor2, group.drive, group.mix);

  Lanes fold23[23];
  FoldLanes<kRotor2Size>(group.rotor2, fold23);
  AddSuffixes(fold23, keys, count);
  RepeatRows<kRotor3Size>(fold23, group.drive);
  ShuffleLanes<kRotor3Size>(group.rotor3, group.drive, group.mix);
}

void GroupCipherState(const KeyGroup& group, std::size_t lane, CipherState& state) {
  for (std::size_t p = 0; p < kRotor1Size; ++p) state.Rotor1[p] = static_cast<std::int16_t>(group.rotor1[p][lane]);
  for (std::size_t p = 0; p < kRotor2Size; ++p) state.Rotor2[p] = static_cast<std::int16_t>(group.rotor2[p][lane]);
  for (std::size_t p = 0; p < kRotor3Size; ++p) state.Rotor3[p] = static_cast<std::int16_t>(group.rotor3[p][lane]);
  state.Step1 = state.Mix1 = state.Step2 = state.Mix2 = state.Step3 = state.Mix3 = 0;
  state.Feedback = 0;
}

std::uint32_t EarlyTestGroup(KeyGroup& group, const FrameHead& frame) {
  LaneRotor<kRotor1Size> rotor1(group.rotor1);
  LaneRotor<kRotor2Size> rotor2(group.rotor2);
  LaneRotor<kRotor3Size> rotor3(group.rotor3);
  const Lanes byteMask = Splat(0xFF);
  // Rotor1 runs over the span first (its inputs are the frame's own bytes),
  // then Rotor2 over its outputs, then Rotor3: three long chains of steps
  // where one pass of all three would make each step wait for the last.
  Lanes out1[kEarlyTestBytes], out2[kEarlyTestBytes];
  return EarlyTestLanes(
      frame,
      [&](std::size_t begin, std::size_t end, Lanes* plain) {
        for (std::size_t i = begin; i < end; ++i) out1[i] = rotor1.Step(Splat(frame.feedback[i])) & byteMask;
        for (std::size_t i = begin; i < end; ++i) out2[i] = rotor2.Step(out1[i]);
        for (std::size_t i = begin; i < end; ++i) {
          plain[i] = (Splat(frame.bytes[i]) ^ (out1[i] + out2[i] + rotor3.Step(out2[i]))) & byteMask;
        }
      },
      [&](std::size_t k) {
        // In three passes, as in step: each rotor's chain is then its own.
        return [&frame, one1 = OneLane(rotor1, k), one2 = OneLane(rotor2, k), one3 = OneLane(rotor3, k)](
                   std::size_t begin, std::size_t end, std::uint8_t* out) mutable {
          std::size_t alone1[kEarlyTestBytes], alone2[kEarlyTestBytes];
          for (std::size_t i = begin; i < end; ++i) alone1[i] = one1.Step(frame.feedback[i]) & 0xFF;
          for (std::size_t i = begin; i < end; ++i) alone2[i] = one2.Step(alone1[i]);
          for (std::size_t i = begin; i < end; ++i) {
            out[i - begin] = static_cast<std::uint8_t>(frame.bytes[i] ^ (alone1[i] + alone2[i] + one3.Step(alone2[i])));
          }
        };
      });
}

void ScheduleKeyRotors(KeyRotors& rotors, const std::uint8_t* keyBytes, std::size_t keyLength) {
  rotors.scheduleMix = ScheduleKeyRotors(keyBytes, keyLength, rotors.state, rotors.fold23);
  rotors.made = 0;
}

void ScheduleSuffixes(KeyGroup& group, const KeyRotors& rotors, const LaneKey* suffixes, std::size_t count) {
  Lanes fold23[23];
  for (std::size_t j = 0; j < 23; ++j) fold23[j] = Splat(rotors.fold23[j]);
  AddSuffixes(fold23, suffixes, count);
  RepeatRows<kRotor3Size>(fold23, group.drive);
  group.mix = RowOffsets(rotors.scheduleMix);
  ShuffleLanes<kRotor3Size>(group.rotor3, group.drive, group.mix);
}

std::uint32_t EarlyTestSuffixes(KeyGroup& group, KeyRotors& rotors, const FrameHead& frame) {
  LaneRotor<kRotor3Size> rotor3(group.rotor3);
  // Rotor1 and Rotor2 go as far as any lane may read, once for the key.
  auto reach = [&](std::size_t end) {
    if (end <= rotors.made) return;
    RunKeyRotors(rotors.state, frame.feedback + rotors.made, end - rotors.made, rotors.out2 + rotors.made,
                 rotors.sum12 + rotors.made);
    rotors.made = end;
  };
  return EarlyTestLanes(
      frame,
      [&](std::size_t begin, std::size_t end, Lanes* plain) {
        reach(end);
        for (std::size_t i = begin; i < end; ++i) {
          const Lanes o3 = rotor3.Step(Splat(rotors.out2[i]));
          plain[i] = (Splat(frame.bytes[i]) ^ (Splat(rotors.sum12[i]) + o3)) & Splat(0xFF);
        }
      },
      [&](std::size_t k) {
        return [&frame, &rotors, &reach, one3 = OneLane(rotor3, k)](std::size_t begin, std::size_t end,
                                                                    std::uint8_t* out) mutable {
          reach(end);
          for (std::size_t i = begin; i < end; ++i) {
            out[i - begin] = static_cast<std::uint8_t>(frame.bytes[i] ^ (rotors.sum12[i] + one3.Step(rotors.out2[i])));
          }
        };
      });
}

}  // namespace trirotor::internal
