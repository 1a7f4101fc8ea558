// SPDX-License-Identifier: MIT
//
// key_group.cpp - sixteen keys scheduled and tried side by side, one per lane.
//
// Why a group is faster than sixteen InitCipher calls: one key's shuffle is
// a chain of dependent swaps, and each swap stores to a position that the
// chain has only just computed, so the loads after it wait. Here the lanes'
// chains advance together:
// - The entries at the step's position are one row, loaded before the
//   step's stores (and patched in the lanes whose swap hit that row), so no
//   load waits for a store it does not need.
// - The mix arithmetic of all lanes is a handful of vector operations: the
//   remainders are one or two conditional subtractions, and each mix
//   position is kept as the byte offset of its entry, ready to index.
// - Only the entries at the lanes' mix positions are read and written one
//   lane at a time: the offsets are stored once and read back one by one
//   (cheaper than extracting each), the entries read are inserted into a
//   row that is stored whole, so a swap costs one store of its own.
// The early test runs on the same rows, all lanes in step, so nothing is
// copied out per key: Rotor1 runs over a span first (its inputs are the
// frame's own bytes), then Rotor2 over its outputs, then Rotor3, as
// DecryptBuffer does. Each lane reads up to its own header length, and the
// longest of sixteen is about twice the mean, so once few lanes still read,
// the step does the memory work of those lanes only.

#include "engine/key_group.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "engine/frame.h"
#include "engine/keystream.h"
#include "engine/reduce.h"

// The AVX2 path: x86-64 with GCC or Clang, which compile it beside the
// rest by function attributes. Not on Windows, whose compiler cannot align
// the 32-byte values it spills to the stack.
#if defined(__x86_64__) && !defined(_WIN32) && (defined(__GNUC__) || defined(__clang__))
#define TRIROTOR_LANES_AVX2 1
#include <immintrin.h>
#else
#define TRIROTOR_LANES_AVX2 0
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace trirotor::internal {

namespace {

using Row = std::uint16_t[kLaneCount];     // the entries at one position, one per lane
using ByteRow = std::uint8_t[kLaneCount];  // a byte per lane

constexpr std::size_t kRowBytes = sizeof(Row);
static_assert(kRowBytes == 32, "a row is 32 bytes: the shifts by 5 scale positions to offsets");
static_assert(kRowBytes * kRotor1Size * 2 < 32768, "a mix offset and a step's sum fit 15 bits");
static_assert(sizeof(KeyGroup::rotor1) % 64 == 0 && sizeof(KeyGroup::rotor2) % 64 == 0 &&
                  sizeof(KeyGroup::rotor3) % 64 == 0,
              "every rotor's rows start on a cache line");

std::size_t Load16(const unsigned char* at) {
  std::uint16_t entry;
  std::memcpy(&entry, at, sizeof entry);
  return entry;
}

void Store16(unsigned char* at, std::size_t value) {
  const auto entry = static_cast<std::uint16_t>(value);
  std::memcpy(at, &entry, sizeof entry);
}

// One rotor of every lane in the early test, all lanes at the same step
// cursor, each with its own mix cursor.
struct RotorLanes {
  explicit RotorLanes(Row* r) : rows(r) {
    for (std::size_t k = 0; k < kLaneCount; ++k) mix[k] = static_cast<std::uint16_t>(2 * k);
  }
  Row* rows;
  std::size_t at = 1;                         // the next step's position: the cursor advances before each step
  alignas(32) std::uint16_t mix[kLaneCount];  // the mix cursors as byte offsets, 0 after the schedule
};

// The memory side of one keystream step of lane `lane` alone: the swap of
// the entry a at the shared position (rowAt) with the one at the lane's mix
// offset; returns the entry that was there. The step's vector side (the mix
// cursors) is the caller's.
[[gnu::always_inline]] inline std::size_t SwapOne(unsigned char* base, unsigned char* rowAt, std::size_t lane,
                                                  std::size_t mixOffset, std::size_t a) {
  const std::size_t b = Load16(base + mixOffset);
  Store16(rowAt + 2 * lane, b);
  Store16(base + mixOffset, a);
  return b;
}

// SwapOne, then the lane's output entry, cut to a byte.
template <int N>
[[gnu::always_inline]] inline std::uint8_t SwapAndOutput(unsigned char* base, unsigned char* rowAt, std::size_t lane,
                                                         std::size_t mixOffset, std::size_t a) {
  const std::size_t b = SwapOne(base, rowAt, lane, mixOffset, a);
  const auto t = static_cast<std::size_t>(SubtractOnce<N>(static_cast<int>(a + b)));
  return static_cast<std::uint8_t>(Load16(base + t * kRowBytes + 2 * lane));
}

// The listed lanes' side of a step: their swaps, and their outputs when
// wanted.
template <int N>
[[gnu::always_inline]] inline void StepListed(unsigned char* base, unsigned char* rowAt, const std::uint16_t* offsets,
                                              const std::uint16_t* entries, const std::uint8_t* lanes, std::size_t live,
                                              std::uint16_t* out) {
  if (out != nullptr) {
    for (std::size_t j = 0; j < live; ++j) {
      const std::size_t k = lanes[j];
      out[k] = SwapAndOutput<N>(base, rowAt, k, offsets[k], entries[k]);
    }
  } else {
    for (std::size_t j = 0; j < live; ++j) {
      const std::size_t k = lanes[j];
      SwapOne(base, rowAt, k, offsets[k], entries[k]);
    }
  }
}

/// The drive bytes ///

// The drive bytes of a lane, with room to turn them into rows 8 at a time.
constexpr std::size_t kDriveBytes = (kRotor1Size + 7) / 8 * 8;
static_assert(kDriveBytes <= kRotor1Size + 1, "the drive rows hold the last block's spare position");

// bytes[0..count) repeated to fill out[0..upTo); count >= 1, upTo <=
// kDriveBytes. A period of 16 bytes or more (a multiple of count) and 16
// bytes past it are made byte by byte; the rest is copied 16 bytes at a
// time from that prefix, written well before: a copy from just behind
// would load across the last two stores, which cannot be forwarded, and
// doubling memcpy called it six times or more a key.
void RepeatBytes(const std::uint8_t* bytes, std::size_t count, std::uint8_t* out, std::size_t upTo) {
  const std::size_t first = std::min(count, upTo);
  std::memcpy(out, bytes, first);
  std::size_t period = first;
  while (period < 16) period += first;
  const std::size_t prefix = std::min(period + 16, upTo);
  for (std::size_t i = first; i < prefix; ++i) out[i] = out[i - first];
  std::size_t i = prefix, from = prefix % period;  // position i repeats position i mod period
  for (; i + 16 <= upTo; i += 16) {
    std::memcpy(out + i, out + from, 16);
    from += 16;
    if (from >= period) from -= period;
  }
  for (; i < upTo; ++i) out[i] = out[i - period];
}

using DriveBytes = std::uint8_t[kLaneCount][kDriveBytes];

// drive[p][k] = bytes[k][p]: sixteen lanes' drive bytes turned into rows.
// Written out one entry at a time, the 7,400 stores cost about a third of
// the shuffle they drive; with SSE2 (every x86-64) each half row is made
// eight positions at a time: the eight lanes' bytes interleaved, then
// pairs, then fours, then widened to entries. Positions [0, positions) are
// turned; `positions` is a multiple of 8.
void TransposeDriveBy8(const DriveBytes& bytes, Row* drive, std::size_t positions) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (std::size_t half = 0; half < kLaneCount; half += 8) {
    for (std::size_t p = 0; p < positions; p += 8) {
      __m128i lane[8];  // each lane's eight bytes, in the low half
      for (std::size_t k = 0; k < 8; ++k) {
        lane[k] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes[half + k] + p));
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
        _mm_store_si128(reinterpret_cast<__m128i*>(drive[p + 2 * r] + half), _mm_unpacklo_epi8(rows[r], zero));
        _mm_store_si128(reinterpret_cast<__m128i*>(drive[p + 2 * r + 1] + half), _mm_unpackhi_epi8(rows[r], zero));
      }
    }
  }
#else
  for (std::size_t p = 0; p < positions; ++p) {
    for (std::size_t k = 0; k < kLaneCount; ++k) drive[p][k] = bytes[k][p];
  }
#endif
}

/// The portable path ///

// Each row as two halves of eight lanes, in the compiler's vector types:
// SSE2 on x86-64, whatever the target has elsewhere.
namespace portable {

using Half = std::uint16_t __attribute__((vector_size(16)));
using SignedHalf = std::int16_t __attribute__((vector_size(16)));
constexpr std::size_t kHalfLanes = 8;
constexpr Half kHalfOffsets = {0, 2, 4, 6, 8, 10, 12, 14};  // each lane's entry in a half, in bytes

Half Splat(std::size_t value) { return Half{} + static_cast<std::uint16_t>(value); }

// The lanes of `yes` where mask is all ones, of `no` elsewhere.
Half Select(Half mask, Half yes, Half no) { return (yes & mask) | (no & ~mask); }

// v - n in the lanes where v >= n; for v < 2n. Every value here is below
// 32768, so a signed comparison serves, which SSE2 has in one instruction.
Half SubtractOnce(Half v, Half n) {
  const auto atLeast =
      reinterpret_cast<Half>(reinterpret_cast<SignedHalf>(v) > reinterpret_cast<SignedHalf>(n - Splat(1)));
  return v - (n & atLeast);
}

// v mod N for an entry plus a byte (v < N + 256).
template <int N>
Half ReduceEntryAndByte(Half v) {
  if constexpr (N + 255 < 2 * N) {
    return SubtractOnce(v, Splat(N));
  } else {
    static_assert(N + 255 < 4 * N);
    return SubtractOnce(SubtractOnce(v, Splat(2 * N)), Splat(N));
  }
}

Half LoadHalf(const void* at) {
  Half half;
  std::memcpy(&half, at, sizeof half);
  return half;
}

void StoreHalf(void* at, Half half) { std::memcpy(at, &half, sizeof half); }

// The entries at each lane's byte offset from base.
Half Gather(const unsigned char* base, Half offsets) {
  Half entries;
#pragma GCC unroll 8
  for (std::size_t k = 0; k < kHalfLanes; ++k) entries[k] = static_cast<std::uint16_t>(Load16(base + offsets[k]));
  return entries;
}

void Scatter(unsigned char* base, Half offsets, Half entries) {
#pragma GCC unroll 8
  for (std::size_t k = 0; k < kHalfLanes; ++k) Store16(base + offsets[k], entries[k]);
}

// The offsets of half h of row `position`.
Half RowOffsets(std::size_t position, std::size_t h) {
  return Splat(position * kRowBytes + h * sizeof(Half)) + kHalfOffsets;
}

struct Path {
  static void TransposeDrive(const DriveBytes& bytes, Row* drive, std::size_t positions) {
    TransposeDriveBy8(bytes, drive, positions);
  }

  // The fold of N rows into M: each lane's entries' low bytes XORed
  // together by position mod M.
  template <int N, int M>
  static void Fold(const Row* rows, Row (&fold)[M]) {
    // One column at a time, in registers: an array of M accumulators
    // updated row by row went through memory at every step.
    for (int k = 0; k < M; ++k) {
      Half column[2] = {};
      for (int p = k; p < N; p += M) {
        for (std::size_t h = 0; h < 2; ++h) column[h] ^= LoadHalf(rows[p] + h * kHalfLanes);
      }
      for (std::size_t h = 0; h < 2; ++h) StoreHalf(fold[k] + h * kHalfLanes, column[h] & Splat(0xFF));
    }
  }

  // Fills the rotor of N rows with the identity in every lane and shuffles
  // it, driven by drive[p mod period] at position p (each lane's drive
  // bytes as entries). mix (each lane's ScheduleMix as an offset, below 2N
  // rows) enters from the shuffle before and leaves for the next.
  template <int N>
  static void Shuffle(Row* rows, const Row* drive, std::size_t period, std::uint16_t* mixOffsets) {
    auto* base = reinterpret_cast<unsigned char*>(rows);
    for (std::size_t p = 0; p < static_cast<std::size_t>(N); ++p) {
      for (std::size_t h = 0; h < 2; ++h) StoreHalf(rows[p] + h * kHalfLanes, Splat(p));
    }
    std::memset(rows[N], 0, kRowBytes);
    const Half size = Splat(N * kRowBytes);
    Half mix[2], ahead[2];
    for (std::size_t h = 0; h < 2; ++h) {
      mix[h] = SubtractOnce(LoadHalf(mixOffsets + h * kHalfLanes), size);
      ahead[h] = LoadHalf(rows[0] + h * kHalfLanes);
    }
    for (std::size_t p = 0, j = 0; p < static_cast<std::size_t>(N); ++p, j = j + 1 == period ? 0 : j + 1) {
      Half a[2];
#pragma GCC unroll 2
      for (std::size_t h = 0; h < 2; ++h) {
        a[h] = ahead[h];
        // Before the swaps: a load after them would wait for their offsets.
        ahead[h] = LoadHalf(rows[p + 1] + h * kHalfLanes);
        mix[h] = SubtractOnce(mix[h] + (ReduceEntryAndByte<N>(a[h] + LoadHalf(drive[j] + h * kHalfLanes)) << 5), size);
      }
#pragma GCC unroll 2
      for (std::size_t h = 0; h < 2; ++h) {
        StoreHalf(rows[p] + h * kHalfLanes, Gather(base, mix[h]));
        Scatter(base, mix[h], a[h]);
        ahead[h] = Select(reinterpret_cast<Half>(mix[h] == RowOffsets(p + 1, h)), a[h], ahead[h]);
      }
    }
    for (std::size_t h = 0; h < 2; ++h) StoreHalf(mixOffsets + h * kHalfLanes, mix[h]);
  }

  // Steps every lane's rotor `count` times, as the keystream steps it, with
  // input byte in[i] (kSplat: the same for every lane, in bytes) or rows[i]
  // (one per lane, in rows), and from step outFrom on writes each output
  // entry's low byte to out[i]. With a list of lanes, only those lanes'
  // entries are swapped and their outputs written; the others' rotors stay
  // as they are.
  template <int N, bool kSplat>
  static void Step(RotorLanes& rotor, const std::uint8_t* in, const Row* rows, Row* out, std::size_t count,
                   std::size_t outFrom, const std::uint8_t* lanes, std::size_t live) {
    auto* base = reinterpret_cast<unsigned char*>(rotor.rows);
    const Half size = Splat(N * kRowBytes);
    std::size_t p = rotor.at;
    Half mix[2], ahead[2];
    for (std::size_t h = 0; h < 2; ++h) {
      mix[h] = LoadHalf(rotor.mix + h * kHalfLanes);
      ahead[h] = LoadHalf(rotor.rows[p] + h * kHalfLanes);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t q = p + 1 == static_cast<std::size_t>(N) ? 0 : p + 1;
      unsigned char* rowAt = base + p * kRowBytes;
      Half a[2];
#pragma GCC unroll 2
      for (std::size_t h = 0; h < 2; ++h) {
        a[h] = ahead[h];
        ahead[h] = LoadHalf(rotor.rows[q] + h * kHalfLanes);  // before the swaps, as in the shuffle
        const Half x = kSplat ? Splat(in[i]) : LoadHalf(rows[i] + h * kHalfLanes);
        mix[h] = SubtractOnce(mix[h] + (ReduceEntryAndByte<N>(a[h] + x) << 5), size);
      }
      if (lanes == nullptr) {
#pragma GCC unroll 2
        for (std::size_t h = 0; h < 2; ++h) {
          const Half b = Gather(base, mix[h]);
          StoreHalf(rowAt + h * sizeof(Half), b);
          Scatter(base, mix[h], a[h]);
          if (i < outFrom) continue;
          const Half sums = (SubtractOnce(a[h] + b, Splat(N)) << 5) + kHalfOffsets + Splat(h * sizeof(Half));
          StoreHalf(out[i] + h * kHalfLanes, Gather(base, sums) & Splat(0xFF));
        }
      } else {
        alignas(16) std::uint16_t offsets[kLaneCount], entries[kLaneCount];
#pragma GCC unroll 2
        for (std::size_t h = 0; h < 2; ++h) {
          StoreHalf(offsets + h * kHalfLanes, mix[h]);
          StoreHalf(entries + h * kHalfLanes, a[h]);
        }
        StepListed<N>(base, rowAt, offsets, entries, lanes, live, i < outFrom ? nullptr : out[i]);
      }
#pragma GCC unroll 2
      for (std::size_t h = 0; h < 2; ++h) {
        ahead[h] = Select(reinterpret_cast<Half>(mix[h] == RowOffsets(q, h)), a[h], ahead[h]);
      }
      p = q;
    }
    rotor.at = p;
    for (std::size_t h = 0; h < 2; ++h) StoreHalf(rotor.mix + h * kHalfLanes, mix[h]);
  }
};

}  // namespace portable

/// The AVX2 path ///

#if TRIROTOR_LANES_AVX2
// The same steps as the portable path's, a row to a register. Every
// function here is compiled for AVX2 and only ever runs where
// LanePathAvailable found it.
namespace avx2 {

#define TRIROTOR_AVX2_INLINE [[gnu::target("avx2"), gnu::always_inline]] inline

TRIROTOR_AVX2_INLINE __m256i Splat(std::size_t value) { return _mm256_set1_epi16(static_cast<short>(value)); }
TRIROTOR_AVX2_INLINE __m256i LaneOffsets() {
  return _mm256_setr_epi16(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
}
TRIROTOR_AVX2_INLINE __m256i Load(const Row& row) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(row)); }
TRIROTOR_AVX2_INLINE void Store(Row& row, __m256i entries) {
  _mm256_store_si256(reinterpret_cast<__m256i*>(row), entries);
}

// v - n in the lanes where v >= n; for v < 2n < 32768.
TRIROTOR_AVX2_INLINE __m256i SubtractOnce(__m256i v, std::size_t n) {
  return _mm256_sub_epi16(v, _mm256_and_si256(Splat(n), _mm256_cmpgt_epi16(v, Splat(n - 1))));
}

template <int N>
TRIROTOR_AVX2_INLINE __m256i ReduceEntryAndByte(__m256i v) {
  if constexpr (N + 255 < 2 * N) {
    return SubtractOnce(v, N);
  } else {
    return SubtractOnce(SubtractOnce(v, 2 * N), N);
  }
}

// mix + (x mod N) rows, mod N rows; x is an entry plus a byte.
template <int N>
TRIROTOR_AVX2_INLINE __m256i AdvanceMix(__m256i mix, __m256i x) {
  return SubtractOnce(_mm256_add_epi16(mix, _mm256_slli_epi16(ReduceEntryAndByte<N>(x), 5)), N * kRowBytes);
}

// Each lane's value, to be read one at a time. The compiler turns the reads
// into extractions from the register, which measured faster than reading
// them back from memory (and than forcing it to).
TRIROTOR_AVX2_INLINE void Spill(std::uint16_t (&to)[kLaneCount], __m256i values) {
  _mm_store_si128(reinterpret_cast<__m128i*>(to), _mm256_castsi256_si128(values));
  _mm_store_si128(reinterpret_cast<__m128i*>(to + 8), _mm256_extracti128_si256(values, 1));
}

// The entries at each lane's offset from base, as a row.
TRIROTOR_AVX2_INLINE __m256i Gather(const unsigned char* base, const std::uint16_t* offsets) {
  const auto entry = [&](std::size_t k) { return static_cast<int>(Load16(base + offsets[k])); };
  __m128i low = _mm_cvtsi32_si128(entry(0));
  __m128i high = _mm_cvtsi32_si128(entry(8));
  low = _mm_insert_epi16(low, entry(1), 1);
  high = _mm_insert_epi16(high, entry(9), 1);
  low = _mm_insert_epi16(low, entry(2), 2);
  high = _mm_insert_epi16(high, entry(10), 2);
  low = _mm_insert_epi16(low, entry(3), 3);
  high = _mm_insert_epi16(high, entry(11), 3);
  low = _mm_insert_epi16(low, entry(4), 4);
  high = _mm_insert_epi16(high, entry(12), 4);
  low = _mm_insert_epi16(low, entry(5), 5);
  high = _mm_insert_epi16(high, entry(13), 5);
  low = _mm_insert_epi16(low, entry(6), 6);
  high = _mm_insert_epi16(high, entry(14), 6);
  low = _mm_insert_epi16(low, entry(7), 7);
  high = _mm_insert_epi16(high, entry(15), 7);
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// Lane k of the low half and lane k + 8 of the high half: the entry at its
// mix offset read into b, and its entry of a written there.
template <int k>
TRIROTOR_AVX2_INLINE void SwapLanePair(unsigned char* base, __m128i (&mix)[2], __m128i (&a)[2], __m128i (&b)[2]) {
  for (std::size_t h = 0; h < 2; ++h) {
    unsigned char* at = base + static_cast<std::uint16_t>(_mm_extract_epi16(mix[h], k));
    b[h] = _mm_insert_epi16(b[h], static_cast<int>(Load16(at)), k);
    Store16(at, static_cast<std::uint16_t>(_mm_extract_epi16(a[h], k)));
  }
}

template <int... k>
TRIROTOR_AVX2_INLINE void SwapLanePairs(unsigned char* base, __m128i (&mix)[2], __m128i (&a)[2], __m128i (&b)[2],
                                        std::integer_sequence<int, k...>) {
  (SwapLanePair<k>(base, mix, a, b), ...);
}

// A step's swaps, lane by lane: each lane's entry at its mix offset is
// read (the row returned) and replaced by its entry of a. A lane touches
// its own column only, so its store may go before the next lane's load,
// and each offset is taken from the register once, for its load and its
// store: gathering all sixteen first kept sixteen offsets live for the
// stores after, more than the registers hold.
TRIROTOR_AVX2_INLINE __m256i SwapLanes(unsigned char* base, __m256i mix, __m256i a) {
  __m128i mixHalves[2] = {_mm256_castsi256_si128(mix), _mm256_extracti128_si256(mix, 1)};
  __m128i aHalves[2] = {_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1)};
  __m128i b[2] = {_mm_setzero_si128(), _mm_setzero_si128()};
  SwapLanePairs(base, mixHalves, aHalves, b, std::make_integer_sequence<int, 8>());
  return _mm256_inserti128_si256(_mm256_castsi128_si256(b[0]), b[1], 1);
}

// Lanes where the mix offset is in row `position`: the offsets of that row.
TRIROTOR_AVX2_INLINE __m256i RowOffsets(std::size_t position) {
  return _mm256_add_epi16(Splat(position * kRowBytes), LaneOffsets());
}

TRIROTOR_AVX2_INLINE __m256i Select(__m256i mask, __m256i yes, __m256i no) { return _mm256_blendv_epi8(no, yes, mask); }

struct Path {
  // TransposeDriveBy8's rows, sixteen positions at a time: a register holds
  // lane k's sixteen bytes in its low half and lane k + 8's in its high
  // half, so that the three rounds of interleaving serve all sixteen lanes
  // and leave two positions a register, widened to entries. A third of the
  // instructions of eight at a time.
  [[gnu::target("avx2")]] static void TransposeDrive(const DriveBytes& bytes, Row* drive, std::size_t positions) {
    static_assert(kDriveBytes % 16 == 0, "the drive bytes are whole blocks of sixteen positions");
    const auto load = [&](std::size_t k, std::size_t p) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes[k] + p));
    };
    for (std::size_t p = 0; p < positions; p += 16) {
      __m256i lanes[8];  // lanes k and k + 8 at positions p to p + 15
      for (std::size_t k = 0; k < 8; ++k) {
        lanes[k] = _mm256_inserti128_si256(_mm256_castsi128_si256(load(k, p)), load(k + 8, p), 1);
      }
      for (std::size_t half = 0; half < 2; ++half) {  // positions p to p + 7, then p + 8 to p + 15
        __m256i pairs[4];                             // lanes 2j, 2j + 1 at eight positions
        for (std::size_t j = 0; j < 4; ++j) {
          pairs[j] = half == 0 ? _mm256_unpacklo_epi8(lanes[2 * j], lanes[2 * j + 1])
                               : _mm256_unpackhi_epi8(lanes[2 * j], lanes[2 * j + 1]);
        }
        // Fours: lanes 0-3 and 4-7 at the first four positions, then the next four.
        const __m256i low03 = _mm256_unpacklo_epi16(pairs[0], pairs[1]);
        const __m256i high03 = _mm256_unpackhi_epi16(pairs[0], pairs[1]);
        const __m256i low47 = _mm256_unpacklo_epi16(pairs[2], pairs[3]);
        const __m256i high47 = _mm256_unpackhi_epi16(pairs[2], pairs[3]);
        const __m256i twos[4] = {// the eight lanes at two positions each, in each half
                                 _mm256_unpacklo_epi32(low03, low47), _mm256_unpackhi_epi32(low03, low47),
                                 _mm256_unpacklo_epi32(high03, high47), _mm256_unpackhi_epi32(high03, high47)};
        for (std::size_t r = 0; r < 4; ++r) {
          // Lanes 0-7 and 8-15 of the first position, then of the second.
          const __m256i rows = _mm256_permute4x64_epi64(twos[r], 0xD8);
          const std::size_t at = p + 8 * half + 2 * r;
          Store(drive[at], _mm256_cvtepu8_epi16(_mm256_castsi256_si128(rows)));
          Store(drive[at + 1], _mm256_cvtepu8_epi16(_mm256_extracti128_si256(rows, 1)));
        }
      }
    }
  }

  // Path::Fold of the portable path, a row to a register.
  template <int N, int M>
  [[gnu::target("avx2")]] static void Fold(const Row* rows, Row (&fold)[M]) {
    // Each column's rows, N / M of them and one more for the first N % M,
    // unrolled: a loop over p += M spent three instructions a row on itself.
    for (int k = 0; k < M; ++k) {
      __m256i column = k < N % M ? Load(rows[k + N / M * M]) : _mm256_setzero_si256();
#pragma GCC unroll 32
      for (int i = 0; i < N / M; ++i) column = _mm256_xor_si256(column, Load(rows[k + i * M]));
      Store(fold[k], _mm256_and_si256(column, Splat(0xFF)));
    }
  }

  template <int N>
  [[gnu::target("avx2")]] static void Shuffle(Row* rows, const Row* drive, std::size_t period,
                                              std::uint16_t* mixOffsets) {
    auto* base = reinterpret_cast<unsigned char*>(rows);
    __m256i identity = _mm256_setzero_si256();
    for (std::size_t p = 0; p < static_cast<std::size_t>(N); ++p) {
      Store(rows[p], identity);
      identity = _mm256_add_epi16(identity, Splat(1));
    }
    Store(rows[N], _mm256_setzero_si256());
    __m256i mix = SubtractOnce(Load(*reinterpret_cast<const Row*>(mixOffsets)), N * kRowBytes);
    __m256i ahead = Load(rows[0]);
    __m256i nextOffsets = LaneOffsets();
    for (std::size_t p = 0, j = 0; p < static_cast<std::size_t>(N); ++p, j = j + 1 == period ? 0 : j + 1) {
      const __m256i a = ahead;
      ahead = Load(rows[p + 1]);  // before the swaps: a load after them would wait for their offsets
      mix = AdvanceMix<N>(mix, _mm256_add_epi16(a, Load(drive[j])));
      Store(rows[p], SwapLanes(base, mix, a));
      nextOffsets = _mm256_add_epi16(nextOffsets, Splat(kRowBytes));
      ahead = Select(_mm256_cmpeq_epi16(mix, nextOffsets), a, ahead);
    }
    Store(*reinterpret_cast<Row*>(mixOffsets), mix);
  }

  template <int N, bool kSplat>
  [[gnu::target("avx2")]] static void Step(RotorLanes& rotor, const std::uint8_t* in, const Row* rows, Row* out,
                                           std::size_t count, std::size_t outFrom, const std::uint8_t* lanes,
                                           std::size_t live) {
    auto* base = reinterpret_cast<unsigned char*>(rotor.rows);
    std::size_t p = rotor.at;
    __m256i mix = Load(rotor.mix);
    __m256i ahead = Load(rotor.rows[p]);
    alignas(32) std::uint16_t offsets[kLaneCount], entries[kLaneCount], sums[kLaneCount];
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t q = p + 1 == static_cast<std::size_t>(N) ? 0 : p + 1;
      unsigned char* rowAt = base + p * kRowBytes;
      const __m256i a = ahead;
      ahead = Load(rotor.rows[q]);  // before the swaps, as in the shuffle
      const __m256i x = kSplat ? Splat(in[i]) : Load(rows[i]);
      mix = AdvanceMix<N>(mix, _mm256_add_epi16(a, x));
      if (lanes == nullptr) {
        const __m256i b = SwapLanes(base, mix, a);
        Store(*reinterpret_cast<Row*>(rowAt), b);
        if (i >= outFrom) {
          const __m256i t = _mm256_slli_epi16(SubtractOnce(_mm256_add_epi16(a, b), N), 5);
          Spill(sums, _mm256_add_epi16(t, LaneOffsets()));
          Store(out[i], _mm256_and_si256(Gather(base, sums), Splat(0xFF)));
        }
      } else {
        Spill(offsets, mix);
        Spill(entries, a);
        StepListed<N>(base, rowAt, offsets, entries, lanes, live, i < outFrom ? nullptr : out[i]);
      }
      ahead = Select(_mm256_cmpeq_epi16(mix, RowOffsets(q)), a, ahead);
      p = q;
    }
    rotor.at = p;
    Store(rotor.mix, mix);
  }
};

#undef TRIROTOR_AVX2_INLINE

}  // namespace avx2
#endif  // TRIROTOR_LANES_AVX2

/// The folds ///

// XORs each lane's suffix, repeated, into the fold of Rotor2.
void AddSuffixes(Row (&fold23)[23], const LaneKey* keys, std::size_t count) {
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    const LaneKey& key = keys[k < count ? k : 0];
    const std::size_t taken = std::min<std::size_t>(key.suffixLength, 23);
    if (taken == 0) continue;
    for (std::size_t j = 0, s = 0; j < 23; ++j, s = s + 1 == taken ? 0 : s + 1) fold23[j][k] ^= key.suffix[s];
  }
}

void StartMix(std::uint16_t (&mix)[kLaneCount], std::size_t position) {
  for (std::size_t k = 0; k < kLaneCount; ++k) mix[k] = static_cast<std::uint16_t>(position * kRowBytes + 2 * k);
}

// Rotor1's drive rows for the lanes' keys (only their first 463 bytes take
// part); returns their period. Keys of one length (every key of a mask
// search) repeat with that length, so only that many positions are turned
// into rows, and the shuffle goes round them; keys of several lengths
// repeat each its own way, and all 463 positions are made.
template <class Path>
std::size_t MakeDrive(KeyGroup& group, const LaneKey* keys, std::size_t count) {
  const auto taken = [&](std::size_t k) {
    return std::min<std::size_t>(keys[k < count ? k : 0].keyLength, kRotor1Size);
  };
  std::size_t period = taken(0);
  for (std::size_t k = 1; k < count; ++k) {
    if (taken(k) != period) period = kRotor1Size;
  }
  // Whole blocks of sixteen positions, the most either transposition turns at once.
  const std::size_t positions = std::min(kDriveBytes, (period + 15) / 16 * 16);
  alignas(16) DriveBytes repeated;
  for (std::size_t k = 0; k < kLaneCount; ++k)
    RepeatBytes(keys[k < count ? k : 0].key, taken(k), repeated[k], positions);
  Path::TransposeDrive(repeated, group.drive, positions);
  return period;
}

template <class Path>
void ScheduleGroupOn(KeyGroup& group, const LaneKey* keys, std::size_t count) {
  const std::size_t period = MakeDrive<Path>(group, keys, count);
  StartMix(group.mix, 0);
  Path::template Shuffle<kRotor1Size>(group.rotor1, group.drive, period, group.mix);

  alignas(32) Row fold17[17];
  Path::template Fold<kRotor1Size>(group.rotor1, fold17);
  Path::template Shuffle<kRotor2Size>(group.rotor2, fold17, 17, group.mix);

  alignas(32) Row fold23[23];
  Path::template Fold<kRotor2Size>(group.rotor2, fold23);
  AddSuffixes(fold23, keys, count);
  Path::template Shuffle<kRotor3Size>(group.rotor3, fold23, 23, group.mix);
}

template <class Path>
void ScheduleSuffixesOn(KeyGroup& group, const KeyRotors& rotors, const LaneKey* suffixes, std::size_t count) {
  alignas(32) Row fold23[23];
  for (std::size_t j = 0; j < 23; ++j) std::fill_n(fold23[j], kLaneCount, rotors.fold23[j]);
  AddSuffixes(fold23, suffixes, count);
  StartMix(group.mix, rotors.scheduleMix);
  Path::template Shuffle<kRotor3Size>(group.rotor3, fold23, 23, group.mix);
}

/// The early test ///

// Once no more than this many lanes still read, a step does the memory
// work of those lanes only (listed) instead of all sixteen unrolled.
constexpr std::size_t kListedLanes = 8;

// The plain bytes read of a span: its last three. A lane reads its byte L
// at the end of a span, and the three after it (when byte L is 'H') in
// spans that end no later than L + 4, each byte in the last three of its
// span; and every span starts at a lane's end or at byte 0.
constexpr std::size_t kWantedBytes = 3;

// Every lane's plain byte of one frame position: the frame's byte XOR the
// rotors' outputs added mod 256, the rows `outputs` (one, two or three of
// them) and `add`, the same for every lane. Eight lanes to a vector of the
// compiler's.
template <std::size_t kRows>
void PlainRow(std::uint8_t cipher, const Row* const (&outputs)[kRows], std::uint8_t add, ByteRow& plain) {
  using Entries = std::uint16_t __attribute__((vector_size(16)));
  using Bytes = std::uint8_t __attribute__((vector_size(8)));
  for (std::size_t h = 0; h < kLaneCount; h += 8) {
    Entries sum = Entries{} + add;
    for (const Row* row : outputs) {
      Entries entries;
      std::memcpy(&entries, *row + h, sizeof entries);
      sum += entries;
    }
    const Bytes bytes = __builtin_convertvector(sum, Bytes) ^ cipher;
    std::memcpy(plain + h, &bytes, sizeof bytes);
  }
}

// The early test over the lanes that runner.Run(begin, end, lanes, live)
// decrypts in step (lanes: the list of lanes still reading, or nullptr for
// all) and whose plain bytes runner.Plain(i, k) gives. The lanes decrypt
// byte 0 together, which gives each its header length L; each then reads
// to its byte L, and, when that is the identification's first (one wrong
// key in 256), the three after it. The span up to the nearest lane's end is
// decrypted at once, so the lanes that still read stay in step.
template <typename Runner>
std::uint32_t EarlyTestLanes(const FrameHead& frame, Runner& runner) {
  runner.Run(0, 1, nullptr, kLaneCount);
  std::size_t header[kLaneCount];  // each lane's L
  std::size_t end[kLaneCount];     // one past the last byte each lane reads
  std::uint8_t reading[kLaneCount];
  std::size_t live = 0;
  for (std::size_t k = 0; k < kLaneCount; ++k) {
    header[k] = runner.Plain(0, k);
    end[k] = header[k] + 1;
    if (header[k] >= 2 && header[k] + 4 + kFrameTrailerLength <= frame.length)
      reading[live++] = static_cast<std::uint8_t>(k);
  }
  std::uint32_t passed = 0;
  std::size_t at = 1;
  while (live > 0) {
    std::size_t nearest = end[reading[0]];
    for (std::size_t j = 1; j < live; ++j) nearest = std::min(nearest, end[reading[j]]);
    runner.Run(at, nearest, live > kListedLanes ? nullptr : reading, live);
    at = nearest;
    std::size_t kept = 0;
    for (std::size_t j = 0; j < live; ++j) {
      const std::size_t k = reading[j];
      const std::size_t length = header[k];
      if (end[k] != at) {
        reading[kept++] = static_cast<std::uint8_t>(k);
      } else if (at == length + 1) {
        if (runner.Plain(length, k) != 'H') continue;  // the common case
        end[k] = length + 4;
        reading[kept++] = static_cast<std::uint8_t>(k);
      } else if (runner.Plain(length + 1, k) == 'E' &&
                 (runner.Plain(length + 2, k) == '0' || runner.Plain(length + 2, k) == '3') &&
                 runner.Plain(length + 3, k) == '\r') {
        passed |= 1u << k;
      }
    }
    live = kept;
  }
  return passed;
}

// Decrypts spans of the frame under all three rotors of every lane.
template <class Path>
class GroupRunner {
 public:
  GroupRunner(KeyGroup& group, const FrameHead& frame)
      : frame_(frame),
        rotor1_(group.rotor1),
        rotor2_(group.rotor2),
        rotor3_(group.rotor3),
        out1_(group.out[0]),
        out2_(group.out[1]),
        out3_(group.out[2]) {}

  void Run(std::size_t begin, std::size_t end, const std::uint8_t* lanes, std::size_t live) {
    const std::size_t wanted = end - std::min<std::size_t>(end - begin, kWantedBytes);
    for (std::size_t at = begin; at < end; at += kPassBytes) {
      const std::size_t n = std::min(kPassBytes, end - at);
      const std::size_t outFrom = std::clamp(wanted, at, at + n) - at;
      // Rotor1 over the span first (its inputs are the frame's own bytes),
      // then Rotor2 over its outputs, then Rotor3: three long chains of
      // steps where one pass of all three would make each step wait for
      // the last. Rotor3's outputs count only where a plain byte is read.
      Path::template Step<kRotor1Size, true>(rotor1_, frame_.feedback + at, nullptr, out1_, n, 0, lanes, live);
      Path::template Step<kRotor2Size, false>(rotor2_, nullptr, out1_, out2_, n, 0, lanes, live);
      Path::template Step<kRotor3Size, false>(rotor3_, nullptr, out2_, out3_, n, outFrom, lanes, live);
      for (std::size_t i = outFrom; i < n; ++i) {
        const Row* const outputs[] = {&out1_[i], &out2_[i], &out3_[i]};
        PlainRow(frame_.bytes[at + i], outputs, 0, plain_[at + i]);
      }
    }
  }

  std::uint8_t Plain(std::size_t i, std::size_t k) const { return plain_[i][k]; }

 private:
  const FrameHead& frame_;
  RotorLanes rotor1_, rotor2_, rotor3_;
  // Each step's outputs, a row per frame byte: the group's (KeyGroup::out).
  Row *out1_, *out2_, *out3_;
  ByteRow plain_[kEarlyTestBytes];
};

// Decrypts spans of the frame under each lane's Rotor3 and the key's Rotor1
// and Rotor2, which are run once for all lanes.
template <class Path>
class SuffixRunner {
 public:
  SuffixRunner(KeyGroup& group, KeyRotors& rotors, const FrameHead& frame)
      : frame_(frame), rotors_(rotors), rotor3_(group.rotor3), out3_(group.out[2]) {}

  void Run(std::size_t begin, std::size_t end, const std::uint8_t* lanes, std::size_t live) {
    if (end > rotors_.made) {  // Rotor1 and Rotor2 as far as any lane reads, once for the key
      RunKeyRotors(rotors_.state, frame_.feedback + rotors_.made, end - rotors_.made, rotors_.out2 + rotors_.made,
                   rotors_.sum12 + rotors_.made);
      rotors_.made = end;
    }
    const std::size_t wanted = end - std::min<std::size_t>(end - begin, kWantedBytes);
    for (std::size_t at = begin; at < end; at += kPassBytes) {
      const std::size_t n = std::min(kPassBytes, end - at);
      const std::size_t outFrom = std::clamp(wanted, at, at + n) - at;
      Path::template Step<kRotor3Size, true>(rotor3_, rotors_.out2 + at, nullptr, out3_, n, outFrom, lanes, live);
      for (std::size_t i = outFrom; i < n; ++i) {
        const Row* const outputs[] = {&out3_[i]};
        PlainRow(frame_.bytes[at + i], outputs, rotors_.sum12[at + i], plain_[at + i]);
      }
    }
  }

  std::uint8_t Plain(std::size_t i, std::size_t k) const { return plain_[i][k]; }

 private:
  const FrameHead& frame_;
  KeyRotors& rotors_;
  RotorLanes rotor3_;
  Row* out3_;
  ByteRow plain_[kEarlyTestBytes];
};

/// Choosing the path ///

bool ProcessorHasAvx2() {
#if TRIROTOR_LANES_AVX2
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

std::atomic<LanePath>& ChosenPath() {
  static std::atomic<LanePath> chosen{LanePathAvailable(LanePath::kAvx2) ? LanePath::kAvx2 : LanePath::kPortable};
  return chosen;
}

// Calls run.template operator()<Path>() with the current path's kernels.
template <typename Run>
auto OnCurrentPath(Run run) {
#if TRIROTOR_LANES_AVX2
  if (CurrentLanePath() == LanePath::kAvx2) return run.template operator()<avx2::Path>();
#endif
  return run.template operator()<portable::Path>();
}

}  // namespace

bool LanePathAvailable(LanePath path) {
  if (path == LanePath::kPortable) return true;
  static const bool hasAvx2 = ProcessorHasAvx2();
  return path == LanePath::kAvx2 && hasAvx2;
}

LanePath CurrentLanePath() { return ChosenPath().load(std::memory_order_relaxed); }

void UseLanePath(LanePath path) {
  if (LanePathAvailable(path)) ChosenPath().store(path, std::memory_order_relaxed);
}

void ScheduleGroup(KeyGroup& group, const LaneKey* keys, std::size_t count) {
  OnCurrentPath([&]<class Path>() { ScheduleGroupOn<Path>(group, keys, count); });
}

void GroupCipherState(const KeyGroup& group, std::size_t lane, CipherState& state) {
  for (std::size_t p = 0; p < kRotor1Size; ++p) state.Rotor1[p] = static_cast<std::int16_t>(group.rotor1[p][lane]);
  for (std::size_t p = 0; p < kRotor2Size; ++p) state.Rotor2[p] = static_cast<std::int16_t>(group.rotor2[p][lane]);
  for (std::size_t p = 0; p < kRotor3Size; ++p) state.Rotor3[p] = static_cast<std::int16_t>(group.rotor3[p][lane]);
  state.Step1 = state.Mix1 = state.Step2 = state.Mix2 = state.Step3 = state.Mix3 = 0;
  state.Feedback = 0;
}

std::uint32_t EarlyTestGroup(KeyGroup& group, const FrameHead& frame) {
  return OnCurrentPath([&]<class Path>() {
    GroupRunner<Path> runner(group, frame);
    return EarlyTestLanes(frame, runner);
  });
}

void ScheduleKeyRotors(KeyRotors& rotors, const std::uint8_t* keyBytes, std::size_t keyLength) {
  rotors.scheduleMix = ScheduleKeyRotors(keyBytes, keyLength, rotors.state, rotors.fold23);
  rotors.made = 0;
}

void ScheduleSuffixes(KeyGroup& group, const KeyRotors& rotors, const LaneKey* suffixes, std::size_t count) {
  OnCurrentPath([&]<class Path>() { ScheduleSuffixesOn<Path>(group, rotors, suffixes, count); });
}

std::uint32_t EarlyTestSuffixes(KeyGroup& group, KeyRotors& rotors, const FrameHead& frame) {
  return OnCurrentPath([&]<class Path>() {
    SuffixRunner<Path> runner(group, rotors, frame);
    return EarlyTestLanes(frame, runner);
  });
}

}  // namespace trirotor::internal
