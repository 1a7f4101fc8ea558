// SPDX-License-Identifier: MIT
//
// previous_paths.cpp - the engine's fast paths as they stood before the
// second round of speed work, frozen here so that engine_bench can time the
// new code against the old in one run. For comparison only: nothing else
// links this, and it is not kept in step with the engine.
//
// InitCipher, DecryptBuffer and HuffmanDecode are copied verbatim (the
// widening variant of HuffmanDecode is there but unused); they work on the engine's own
// CipherState and status variables, as the originals did.

#include "bench/previous_paths.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "engine/checked.h"
#include "engine/internal.h"
#include "engine/reduce.h"
#include "engine/trirotor.h"
#include "platform/big_buffer.h"

namespace trirotor::bench::previous {

using namespace trirotor::internal;

/// InitCipher ///

namespace {
constexpr const char* kScheduleSource = "InitCipher()";

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

  if (key.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    platform::RaiseRuntimeError(kErrOverflow, kScheduleSource);
  }
  const auto keyLength = static_cast<std::int32_t>(key.size());
  // Only the first 463 positions of the cyclic key take part.
  const ByteBuffer keyBytes = platform::TextToBytes(key.substr(0, kRotor1Size));

  FillIdentity(Rotor1);
  Step1 = 0;
  Mix1 = 0;
  if (keyLength == 0) platform::RaiseRuntimeError(kErrDivisionByZero, kScheduleSource);  // p mod 0
  Shuffle(Rotor1, scheduleMix, [&](std::int32_t p) { return keyBytes[p % keyLength]; });
  Fold(Rotor1, fold17);

  FillIdentity(Rotor2);
  Step2 = 0;
  Mix2 = 0;
  Shuffle(Rotor2, scheduleMix, [&](std::int32_t p) { return fold17[p % 17]; });
  Fold(Rotor2, fold23);

  // The suffix length is a signed 16-bit value.
  if (keySuffix.size() > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max())) {
    platform::RaiseRuntimeError(kErrOverflow, kScheduleSource);
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


/// DecryptBuffer ///

namespace {

using internal::Reduce;
using internal::SubtractOnce;

constexpr std::int32_t kPauseStride = 5000;

// The step cursor's successor, s + 1 wrapped to 0 at N.
template <int N>
inline int NextStep(int s) {
  s += 1;
#if defined(__x86_64__) && defined(__GNUC__)
  asm("cmp %[n], %[s]\n\tcmove %[z], %[s]" : [s] "+r"(s) : [n] "i"(N), [z] "r"(0) : "cc");
  return s;
#else
  return s == N ? 0 : s;
#endif
}

/// One rotor's pass over a block ///

// A rotor with its cursors in registers, and the entry under the next step
// cursor already loaded.
template <int N>
struct RotorRun {
  std::int16_t* entries;
  int step;
  int mix;
  int ahead;  // entries[NextStep(step)] as it stands

  RotorRun(std::int16_t* rotor, std::int16_t step0, std::int16_t mix0)
      : entries(rotor), step(step0), mix(mix0), ahead(rotor[NextStep<N>(step0)]) {}

  std::uint8_t Step(int x) {
    static_assert(N - 1 + N - 1 + 255 < 4 * N, "one reduction must suffice");
    std::int16_t* r = entries;
    const int s = NextStep<N>(step);
    const int a = ahead;  // r[s]
    const int m = Reduce<N>(a + mix + x);
    const int b = r[m];
    const int next = NextStep<N>(s);
    int aheadNext = r[next];  // loaded before the swap's stores
    r[s] = static_cast<std::int16_t>(b);
    r[m] = static_cast<std::int16_t>(a);
    // next != s, so only the store to r[m] can have changed it. Rare (1 in
    // N): a branch that is always predicted beats a move on the chain.
    if (next == m) [[unlikely]] {
      aheadNext = a;
#if defined(__GNUC__)
      asm volatile("");  // keeps the compiler from turning this into a cmov
#endif
    }
    ahead = aheadNext;
    step = s;
    mix = m;
    const int t = SubtractOnce<N>(a + b);
    return static_cast<std::uint8_t>(r[t]);  // entries of Rotor2/3 are below 256; Rotor1's keep their low 8 bits
  }

  void WriteBack(std::int16_t& step0, std::int16_t& mix0) const {
    step0 = static_cast<std::int16_t>(step);
    mix0 = static_cast<std::int16_t>(mix);
  }
};

// Decrypts block[0..count) with the three passes; count <= kPauseStride.
void DecryptBlock(std::uint8_t* block, std::int32_t count) {
  std::uint8_t out1[kPauseStride];  // Rotor1's outputs
  std::uint8_t out2[kPauseStride];  // Rotor2's outputs
  {
    RotorRun<kRotor1Size> r1(Rotor1.data(), Step1, Mix1);
    out1[0] = r1.Step(Feedback);
    for (std::int32_t i = 1; i < count; ++i) out1[i] = r1.Step(block[i - 1]);
    r1.WriteBack(Step1, Mix1);
  }
  Feedback = block[count - 1];
  {
    RotorRun<kRotor2Size> r2(Rotor2.data(), Step2, Mix2);
    for (std::int32_t i = 0; i < count; ++i) out2[i] = r2.Step(out1[i]);
    r2.WriteBack(Step2, Mix2);
  }
  RotorRun<kRotor3Size> r3(Rotor3.data(), Step3, Mix3);
  for (std::int32_t i = 0; i < count; ++i) {
    const std::uint8_t o3 = r3.Step(out2[i]);
    block[i] ^= static_cast<std::uint8_t>(out1[i] + out2[i] + o3);
  }
  r3.WriteBack(Step3, Mix3);
}

std::int32_t UpperBound(const ByteBuffer& buffer) {
  if (buffer.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    platform::RaiseRuntimeError(kErrOverflow, "DecryptBuffer()");  // positions are 32-bit
  }
  return static_cast<std::int32_t>(buffer.size()) - 1;
}

// The pass shared by both decryptors: blocks that end at the pause positions
// (0, 5000, 10000, ...) or at the end, each followed by its pause.
template <typename DecryptRange>
void RunPass(ByteBuffer& buffer, DecryptRange decrypt) {
  const std::int32_t upper = UpperBound(buffer);  // read once
  std::int32_t i = 0;
  while (i <= upper) {
    const std::int32_t pause = i == 0 ? 0 : ((i + kPauseStride - 1) / kPauseStride) * kPauseStride;
    const std::int32_t last = std::min(pause, upper);
    decrypt(buffer.data() + i, last - i + 1);
    i = last + 1;
    if (last != pause) break;

    platform::ProcessEvents();
    if (AbortFlag == -1) return;  // the rest of the buffer stays ciphertext
    // A one-byte buffer has no quotient to take; its pass is complete.
    const std::int16_t q =
        upper == 0 ? 50 : checked::RoundHalfEven(static_cast<double>(last) / upper * 50);
    if (q != Progress) Progress = q;
  }
}

}  // namespace

void DecryptBuffer(ByteBuffer& buffer) { RunPass(buffer, DecryptBlock); }

/// HuffmanDecode ///

namespace {

constexpr const char* kSource = "HuffmanDecode()";
constexpr std::int32_t kDataPauseStride = 10000;      // after container bytes 9999, 19999, ...
constexpr std::int32_t kChecksumPauseStride = 10000;  // at output bytes 0, 10000, ...

constexpr std::uint8_t kIdent0 = 72;      // 'H'
constexpr std::uint8_t kIdent1 = 69;      // 'E'
constexpr std::uint8_t kIdent3 = 13;      // carriage return
constexpr std::uint8_t kStored = 48;      // '0'
constexpr std::uint8_t kCompressed = 51;  // '3'

// Offsets of the compressed header.
constexpr std::int32_t kChecksumAt = 4;
constexpr std::int32_t kPlainLengthAt = 5;
constexpr std::int32_t kEntryCountAt = 9;
constexpr std::int32_t kEntriesAt = 11;

[[noreturn]] void RaiseUnknownVersion() {
  platform::RaiseError(kErrUnknownVersion, kSource,
                       "The data either was not compressed with HE3 or is corrupt "
                       "(identification string not found)");
}

// The stored variant: the plain bytes follow the identification.
void DecodeStored(ByteBuffer& data, std::int32_t length) {
  const std::int32_t plainLength = length - 4;
  if (plainLength > 0) platform::BlockCopy(data.data(), data.data() + 4, plainLength);
  data.resize(plainLength);  // exactly 4 bytes: the empty text
}

/// Decode table ///

// The table's look-up width: 4096 entries of 4 bytes stay in L1 beside the
// output being written.
constexpr int kTableBits = 12;
constexpr std::uint32_t kTableSize = 1u << kTableBits;
// Containers with fewer data bytes than this are walked: building the table
// would cost more than it saves.
constexpr std::int32_t kTableMinDataBytes = 1024;
// Look-ups made from one 8-byte load: 4 x 12 bits fit the 57 it always holds.
constexpr int kLookupsPerLoad = 4;
static_assert(kLookupsPerLoad * kTableBits <= 57, "one load must feed every look-up");

// An entry: the one or two byte values that the next kTableBits bits start
// with (first in bits 0-7, second in 8-15), the bits they take (16-23) and
// how many there are (24-25). Count 0: the walk must decide, because the
// code is longer than the table or the bits leave the tree.
using DecodeTable = std::array<std::uint32_t, kTableSize>;

constexpr std::uint32_t Entry(std::uint32_t symbols, std::uint32_t bits, std::uint32_t count) {
  return symbols | bits << 16 | count << 24;
}
constexpr std::uint32_t EntryBits(std::uint32_t e) { return (e >> 16) & 0xFF; }
constexpr std::uint32_t EntryCount(std::uint32_t e) { return e >> 24; }

// Fills the one-symbol entries below `node`, reached by `depth` bits that
// read as `prefix` (first bit lowest, as the data is read). A node with a
// symbol is a leaf here as in the walk, whatever hangs below it.
void FillSingles(const DecodeTree& tree, DecodeTable& table, int node, int depth, std::uint32_t prefix) {
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    const int child = bit != 0 ? tree[node].oneChild : tree[node].zeroChild;
    if (child < 0) continue;  // leaves the tree: count 0, the walk raises
    const std::uint32_t code = prefix | bit << depth;
    const int length = depth + 1;
    if (tree[child].symbol >= 0) {
      const auto symbol = static_cast<std::uint32_t>(tree[child].symbol);
      for (std::uint32_t i = code; i < kTableSize; i += 1u << length) table[i] = Entry(symbol, length, 1);
    } else if (length < kTableBits) {
      FillSingles(tree, table, child, length, code);
    }  // a code longer than the table: count 0
  }
}

// The table for a tree: single entries first, then a second symbol wherever
// the bits left over after the first decide one by themselves.
void BuildDecodeTable(const DecodeTree& tree, DecodeTable& table) {
  table.fill(0);
  FillSingles(tree, table, 0, 0, 0);
  DecodeTable singles = table;
  for (std::uint32_t i = 0; i < kTableSize; ++i) {
    const std::uint32_t first = singles[i];
    if (EntryCount(first) == 0) continue;
    const std::uint32_t firstBits = EntryBits(first);
    const std::uint32_t second = singles[i >> firstBits];
    const std::uint32_t secondBits = EntryBits(second);
    // The bits above the look-up read as 0, so the second entry counts only
    // if it did not need them.
    if (EntryCount(second) != 0 && firstBits + secondBits <= kTableBits) {
      table[i] = Entry((first & 0xFF) | (second & 0xFF) << 8, firstBits + secondBits, 2);
    }
  }
}

/// Data bits ///

// What the data loop leaves: the bytes decoded, or an abort at a pause.
struct DataResult {
  std::int32_t decoded;
  bool aborted;
};

// The walk as the container's bytes are read: one bit at a time, a pause
// after each 10000th container byte unless the plain length is reached.
DataResult WalkData(const DecodeTree& tree, const std::uint8_t* in, std::int32_t length,
                    std::int32_t dataStart, std::int32_t plainLength, std::uint8_t* out) {
  std::int32_t m = 0;     // bytes decoded
  std::int16_t node = 0;  // carries over from one data byte to the next
  for (std::int32_t p = dataStart; p < length && m < plainLength; ++p) {
    const std::uint8_t byte = in[p];
    for (int bit = 0; bit < 8; ++bit) {
      const TreeNode& at = tree[node];
      node = (byte >> bit) & 1 ? at.oneChild : at.zeroChild;
      if (node < 0) platform::RaiseRuntimeError(kErrSubscript, kSource);  // the bits leave the tree
      if (tree[node].symbol >= 0) {
        out[m++] = static_cast<std::uint8_t>(tree[node].symbol);
        if (m == plainLength) break;  // done: no pause after this byte
        node = 0;
      }
    }
    if (m < plainLength && (p + 1) % kDataPauseStride == 0) {
      platform::ProcessEvents();
      if (AbortFlag == -1) return {m, true};  // the container stays as given
    }
  }
  return {m, false};
}

// The same decoding through the table. The data is taken in windows that
// end after each pause byte (or at the end of the container); inside a
// window the table decodes whole codes while twelve bits and an 8-byte load
// remain, and the walk takes over, bit by bit, for a code the table leaves
// open, for the last bits of the window, and for a code that spans a pause.
// So every pause, every error and every stop falls on the very bit where
// the walk has it.
DataResult TableData(const DecodeTree& tree, const DecodeTable& table, const std::uint8_t* in,
                     std::int32_t length, std::int32_t dataStart, std::int32_t plainLength,
                     std::uint8_t* out) {
  std::int32_t m = 0;                     // bytes decoded
  std::int16_t node = 0;                  // the walk's node, 0 between codes
  std::int64_t bit = std::int64_t{dataStart} * 8;  // next data bit
  const std::int64_t endBit = std::int64_t{length} * 8;
  // The last bit at which an 8-byte load still lies inside the container.
  const std::int64_t loadLimit = (std::int64_t{length} - 8) * 8;
  while (m < plainLength && bit < endBit) {
    const std::int64_t pauseByte = (bit / 8 / kDataPauseStride + 1) * kDataPauseStride - 1;
    const std::int64_t pauseEnd = (pauseByte + 1) * 8;
    const std::int64_t windowEnd = std::min(pauseEnd, endBit);

    if (node == 0) {
      // One 8-byte load holds at least 57 bits: enough for kLookupsPerLoad
      // look-ups, whose chain is then a mask, a table load and a shift.
      const std::int64_t fastLimit = std::min(windowEnd - kTableBits * kLookupsPerLoad, loadLimit);
      const std::int32_t outLimit = plainLength - 2 * kLookupsPerLoad;  // room for two bytes a look-up
      bool open = false;  // a code the table leaves to the walk
      while (bit <= fastLimit && m <= outLimit && !open) {
        std::uint64_t word;
        std::memcpy(&word, in + (bit >> 3), 8);
        word >>= bit & 7;
        std::uint32_t used = 0;
        for (int k = 0; k < kLookupsPerLoad; ++k) {
          const std::uint32_t e = table[word & (kTableSize - 1)];
          if (EntryCount(e) == 0) {
            open = true;
            break;
          }
          // Both bytes are written; a count of 1 leaves the second for the next.
          out[m] = static_cast<std::uint8_t>(e);
          out[m + 1] = static_cast<std::uint8_t>(e >> 8);
          m += static_cast<std::int32_t>(EntryCount(e));
          word >>= EntryBits(e);
          used += EntryBits(e);
        }
        bit += used;
      }
    }

    // The walk: until a code ends (then the table may go on), the window
    // ends, or the plain length is reached.
    while (bit < windowEnd && m < plainLength) {
      const TreeNode& at = tree[node];
      node = (in[bit >> 3] >> (bit & 7)) & 1 ? at.oneChild : at.zeroChild;
      ++bit;
      if (node < 0) platform::RaiseRuntimeError(kErrSubscript, kSource);  // the bits leave the tree
      if (tree[node].symbol >= 0) {
        out[m++] = static_cast<std::uint8_t>(tree[node].symbol);
        node = 0;
        if (windowEnd - bit > kTableBits) break;
      }
    }

    if (bit == pauseEnd && m < plainLength) {
      platform::ProcessEvents();
      if (AbortFlag == -1) return {m, true};  // the container stays as given
    }
  }
  return {m, false};
}

// The XOR of block[0..count), eight bytes at a time.
std::uint8_t XorBytes(const std::uint8_t* block, std::int32_t count) {
  std::uint64_t wide = 0;
  std::int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, block + i, 8);
    wide ^= word;
  }
  for (int shift = 32; shift >= 8; shift /= 2) wide ^= wide >> shift;
  auto x = static_cast<std::uint8_t>(wide);
  for (; i < count; ++i) x ^= block[i];
  return x;
}

void AddTreeCodeBefore(DecodeTree& tree, std::int32_t& nodesInUse, std::int32_t byteValue,
                 const SymbolCode& code) {
  if (code.codeLength == 0) return;
  std::int32_t node = 0;
  for (std::uint8_t bit : code.codeBits) {
    std::int16_t& link = bit != 0 ? tree[node].oneChild : tree[node].zeroChild;
    if (link == -1) {
      if (nodesInUse >= kTreeNodes) platform::RaiseRuntimeError(kErrSubscript, kSource);
      tree[nodesInUse] = TreeNode{static_cast<std::int16_t>(node), -1, -1, -1};
      link = static_cast<std::int16_t>(nodesInUse++);
    }
    node = link;
  }
  tree[node].symbol = static_cast<std::int16_t>(byteValue);
}

// Decodes the compressed variant; `useTable` selects the table decoder for
// containers large enough to repay it. With `wideOut`, a decode that runs to
// its end leaves the plain text there instead of the plain bytes in `data`,
// and returns true: the bytes are decoded into the upper half of the text's
// own storage and widened in place, front to back, so that the plain bytes
// never need a buffer of their own.
bool DecodeCompressed(ByteBuffer& data, std::int32_t length, bool useTable, std::u16string* wideOut) {
  const std::uint8_t* in = data.data();
  const std::uint8_t storedChecksum = checked::ByteAt(in, length, kChecksumAt, kSource);
  checked::RequireRange(length, kPlainLengthAt, 4, kSource);
  const auto plainLength = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(in[5]) | static_cast<std::uint32_t>(in[6]) << 8 |
      static_cast<std::uint32_t>(in[7]) << 16 | static_cast<std::uint32_t>(in[8]) << 24);
  if (plainLength == 0) {  // nothing to expand: the empty text
    data.clear();
    return false;
  }
  if (plainLength < 0) platform::RaiseRuntimeError(kErrOutOfMemory, kSource);

  checked::RequireRange(length, kEntryCountAt, 2, kSource);
  const auto entryCount = static_cast<std::int16_t>(in[9] | in[10] << 8);

  // The code table; a later entry for a byte value replaces an earlier one,
  // and a length of 0 leaves the value without a code.
  std::array<SymbolCode, 256> codes;
  for (std::int32_t i = 1; i <= entryCount; ++i) {
    const std::uint8_t value = checked::ByteAt(in, length, 9 + 2 * i, kSource);
    const std::uint8_t bits = checked::ByteAt(in, length, 10 + 2 * i, kSource);
    codes[value].codeLength = bits;
    codes[value].codeBits.assign(bits, 0);
  }

  // The code bits, in ascending order of byte value, from bit 0 of each
  // byte. A byte is loaded as soon as the one before is used up, so code bits
  // that end on a byte boundary need the byte after them to exist.
  std::int32_t r = kEntriesAt + 2 * entryCount;  // a negative count reads from inside the header
  std::uint8_t current = checked::ByteAt(in, length, r, kSource);
  int j = 0;
  for (SymbolCode& code : codes) {
    for (std::uint8_t& bit : code.codeBits) {
      bit = (current >> j) & 1;
      if (++j == 8) {
        current = checked::ByteAt(in, length, ++r, kSource);
        j = 0;
      }
    }
  }
  const std::int32_t dataStart = j == 0 ? r : r + 1;

  DecodeTree tree;
  std::int32_t nodesInUse = 1;
  for (std::int32_t value = 0; value < 256; ++value) AddTreeCodeBefore(tree, nodesInUse, value, codes[value]);

  // Every plain byte takes at least one data bit (no code is empty), so the
  // output never needs to be longer than the data has bits.
  const std::int64_t dataBits = std::max<std::int64_t>(0, std::int64_t{length} - dataStart) * 8;
  const auto capacity = static_cast<std::size_t>(std::min<std::int64_t>(plainLength, dataBits));
  ByteBuffer out;
  std::u16string wide;
  std::uint8_t* bytes = nullptr;  // where the plain bytes are decoded
  try {
    if (wideOut != nullptr) {
      SizeFreshBuffer(wide, capacity);
      bytes = reinterpret_cast<std::uint8_t*>(wide.data()) + capacity;  // the upper half
    } else if (useTable) {
      SizeFreshBuffer(out, capacity);
      bytes = out.data();
    } else {
      out.resize(capacity);
      bytes = out.data();
    }
  } catch (const std::bad_alloc&) {
    platform::RaiseRuntimeError(kErrOutOfMemory, kSource);
  }

  DataResult result;
  if (useTable && length - dataStart >= kTableMinDataBytes) {
    const auto table = std::make_unique<DecodeTable>();
    BuildDecodeTable(tree, *table);
    result = TableData(tree, *table, in, length, dataStart, plainLength, bytes);
  } else {
    result = WalkData(tree, in, length, dataStart, plainLength, bytes);
  }
  if (result.aborted) return false;
  const std::int32_t m = result.decoded;

  // The checksum pass pauses at output bytes 0, 10000, 20000, ...; what the
  // XOR holds at a pause is never seen, so each stride is taken whole.
  std::uint8_t checksum = 0;
  for (std::int32_t i = 0; i < m; i += kChecksumPauseStride) {
    platform::ProcessEvents();
    if (AbortFlag == -1) return false;  // the decoded bytes are discarded
    Progress = checked::RoundHalfEven(static_cast<double>(i) / m * 50 + 5 + 45);
    if (useTable) {
      checksum ^= XorBytes(bytes + i, std::min(kChecksumPauseStride, m - i));
    } else {
      for (std::int32_t k = i; k < std::min(i + kChecksumPauseStride, m); ++k) checksum ^= bytes[k];
    }
  }
  if (checksum != storedChecksum) LastError = kErrChecksum;
  if (m == 0) platform::RaiseRuntimeError(kErrSubscript, kSource);  // no byte to form a result of

  if (wideOut != nullptr) {
    // Character i lands on bytes 2i and 2i+1, which lie below byte
    // capacity + i, where byte i was: a slice is always read before the
    // characters it becomes are written.
    constexpr std::int32_t kSlice = 1 << 15;
    for (std::int32_t at = 0; at < m; at += kSlice) {
      const std::u16string slice = platform::BytesToText(bytes + at, static_cast<std::size_t>(std::min(kSlice, m - at)));
      std::copy(slice.begin(), slice.end(), wide.begin() + at);
    }
    wide.resize(static_cast<std::size_t>(m));
    *wideOut = std::move(wide);
    return true;
  }
  out.resize(m);  // shorter than the plain length when the data ran out
  data = std::move(out);
  return false;
}

bool DecodeContainer(ByteBuffer& data, std::int32_t length, bool useTable, std::u16string* wideOut = nullptr) {
  // Never trust `length` beyond the bytes actually there.
  length = static_cast<std::int32_t>(std::clamp<std::int64_t>(length, 0, static_cast<std::int64_t>(data.size())));
  const std::uint8_t* in = data.data();
  const std::uint8_t b0 = checked::ByteAt(in, length, 0, kSource);
  const std::uint8_t b1 = checked::ByteAt(in, length, 1, kSource);
  const std::uint8_t b3 = checked::ByteAt(in, length, 3, kSource);
  if (b0 == kIdent0 && b1 == kIdent1 && b3 == kIdent3) {
    const std::uint8_t version = in[2];
    if (version == kStored) {
      DecodeStored(data, length);
      return false;
    }
    if (version != kCompressed) RaiseUnknownVersion();
  }
  // Without the identification the data is read as compressed all the same.
  return DecodeCompressed(data, length, useTable, wideOut);
}

}  // namespace

void HuffmanDecode(ByteBuffer& data, std::int32_t length) { DecodeContainer(data, length, true); }


}  // namespace trirotor::bench::previous
