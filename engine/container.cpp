// SPDX-License-Identifier: MIT
//
// container.cpp - expanding the payload: a stored or Huffman-coded container.
//
// The decode tree is a fixed table of 512 nodes joined by 16-bit links, built
// from the stored code lengths and code bits in ascending order of byte
// value. The codes are not trusted: they need not be prefix-free (a node
// where a code ends is a leaf for decoding, whatever hangs below it), and any
// bit that leaves the tree, any read past the container and any tree that
// outgrows its table raises error 9. The output never grows past what the
// data bits can fill, so a short hostile container cannot ask for gigabytes.
//
// Why HuffmanDecode is faster than the walk: a table of 4096 entries, built
// from the tree once per container, turns the next twelve data bits into one
// or two whole byte values and their bit count in one look-up, instead of one
// look-up and one branch per bit. The walk stays for what the table cannot
// decide and for the bits around each pause, so the two decoders agree on
// every byte, error, pause and Progress value.

#include "engine/container.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "engine/checked.h"
#include "engine/status.h"
#include "support/big_buffer.h"

namespace trirotor::internal {

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
  for (std::int32_t value = 0; value < 256; ++value) AddTreeCode(tree, nodesInUse, value, codes[value]);

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

}  // namespace

void AddTreeCode(DecodeTree& tree, std::int32_t& nodesInUse, std::int32_t byteValue,
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

namespace {

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

void HuffmanDecodeSimple(ByteBuffer& data, std::int32_t length) { DecodeContainer(data, length, false); }

bool HuffmanDecodeToText(ByteBuffer& data, std::int32_t length, std::u16string& text) {
  return DecodeContainer(data, length, true, &text);
}

std::u16string HuffmanDecodeText(std::u16string_view text) {
  const std::int32_t length = checked::Int32Length(text.size(), kSource);
  ByteBuffer data = platform::TextToBytes(text);
  HuffmanDecode(data, length);
  return platform::BytesToText(data);
}

}  // namespace trirotor::internal
