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
// The early test runs on the same rows, all lanes in step: every lane
// decrypts the byte at the same position, so a row holds each rotor's
// entries at the shared step cursor. A lane whose test has already failed
// goes on stepping with the others; its answer is simply not taken.

#include "engine/key_group.h"

#include <algorithm>
#include <cstring>

#include "engine/keystream.h"

namespace trirotor::internal {

namespace {

constexpr std::uint16_t kRowBytes = sizeof(Lanes);
constexpr Lanes kLaneOffsets = {0, 2, 4, 6, 8, 10, 12, 14};  // each lane's entry in a row, in bytes
static_assert(kRowBytes * kRotor1Size * 2 < 65536, "a mix offset and a step's sum fit 16 bits");

Lanes Splat(std::size_t value) { return Lanes{} + static_cast<std::uint16_t>(value); }

// The lanes of `yes` where mask is all ones, of `no` elsewhere.
Lanes Select(Lanes mask, Lanes yes, Lanes no) { return (yes & mask) | (no & ~mask); }

// v - n in the lanes where v >= n; for v < 2n. Unsigned: v - n wraps above
// v where v < n.
Lanes SubtractOnce(Lanes v, Lanes n) {
  const Lanes less = v - n;
  return Select(reinterpret_cast<Lanes>(less < v), less, v);
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
  for (Lanes& f : fold) f = Lanes{};
  int p = 0;
  for (; p + M <= N; p += M) {
    for (int k = 0; k < M; ++k) fold[k] ^= rows[p + k];
  }
  for (int k = 0; p + k < N; ++k) fold[k] ^= rows[p + k];
  for (Lanes& f : fold) f &= Splat(0xFF);
}

// drive[p] = fold[p mod M] for p < N.
template <int N, int M>
void RepeatRows(const Lanes (&fold)[M], Lanes* drive) {
  for (int p = 0; p < N; ++p) drive[p] = fold[p % M];
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
  Lanes* rows_;
  std::size_t at_ = 1;        // the step cursor starts at 0 and advances before each step
  Lanes ahead_;               // rows_[at_], loaded before the last step's swaps
  Lanes mix_ = kLaneOffsets;  // the mix cursors, 0 after the schedule
};

bool IsLaneSet(std::uint32_t lanes, std::size_t k) { return ((lanes >> k) & 1) != 0; }

// The early test over lanes that decrypt(i) gives the plain byte i of, in
// order from 0; `reach(end)` is called before bytes up to end - 1 are asked
// for. Every lane steps on until the last lane still in the test is done.
template <typename Decrypt, typename Reach>
std::uint32_t EarlyTestLanes(const FrameHead& frame, Decrypt decrypt, Reach reach) {
  reach(1);
  const Lanes header = decrypt(0);  // each lane's header length L
  std::uint32_t live = 0;
  std::size_t end = 0;  // one past the last byte the test reads
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    const std::size_t length = header[k];
    if (length < 2 || length + 4 + 2 > frame.length) continue;
    live |= 1u << k;
    end = std::max(end, length + 1);
  }
  if (live == 0) return 0;
  // The identification's four bytes, caught as each lane passes them; only
  // the rare lane whose first is right needs the other three.
  Lanes caught[4] = {};
  std::size_t i = 1;
  for (int round = 0; round < 2; ++round) {
    reach(end);
    for (; i < end; ++i) {
      const Lanes plain = decrypt(i);
      for (int j = 0; j < 4; ++j) {
        caught[j] = Select(reinterpret_cast<Lanes>(header + Splat(static_cast<std::size_t>(j)) == Splat(i)), plain,
                           caught[j]);
      }
    }
    std::uint32_t stillLive = 0;
    for (std::size_t k = 0; k < kLaneCount; ++k) {
      if (IsLaneSet(live, k) && caught[0][k] == 'H') {
        stillLive |= 1u << k;
        end = std::max<std::size_t>(end, header[k] + 4u);
      }
    }
    live = stillLive;
    if (live == 0) return 0;
  }
  std::uint32_t passed = 0;
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    const bool identified =
        caught[1][k] == 'E' && (caught[2][k] == '0' || caught[2][k] == '3') && caught[3][k] == '\r';
    if (IsLaneSet(live, k) && identified) passed |= 1u << k;
  }
  return passed;
}

}  // namespace

void ScheduleGroup(KeyGroup& group, const LaneKey* keys, std::size_t count) {
  // Rotor1's drive: each lane's key bytes repeated, one lane at a time.
  std::uint8_t repeated[kRotor1Size];
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    const LaneKey& key = keys[k < count ? k : 0];
    const std::size_t taken = std::min<std::size_t>(key.keyLength, kRotor1Size);
    std::memcpy(repeated, key.key, taken);
    for (std::size_t p = taken; p < kRotor1Size; ++p) repeated[p] = repeated[p - taken];
    for (std::size_t p = 0; p < kRotor1Size; ++p) group.drive[p][k] = repeated[p];
  }
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
  return EarlyTestLanes(
      frame,
      [&](std::size_t i) {
        const Lanes o1 = rotor1.Step(Splat(frame.feedback[i])) & byteMask;
        const Lanes o2 = rotor2.Step(o1);
        const Lanes o3 = rotor3.Step(o2);
        return (Splat(frame.bytes[i]) ^ (o1 + o2 + o3)) & byteMask;
      },
      [](std::size_t) {});
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
  return EarlyTestLanes(
      frame,
      [&](std::size_t i) {
        const Lanes o3 = rotor3.Step(Splat(rotors.out2[i]));
        return (Splat(frame.bytes[i]) ^ (Splat(rotors.sum12[i]) + o3)) & Splat(0xFF);
      },
      [&](std::size_t end) {
        if (end <= rotors.made) return;
        RunKeyRotors(rotors.state, frame.feedback + rotors.made, end - rotors.made, rotors.out2 + rotors.made,
                     rotors.sum12 + rotors.made);
        rotors.made = end;
      });
}

}  // namespace trirotor::internal
