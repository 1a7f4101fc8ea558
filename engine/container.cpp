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
// A compressed container is decoded in steps, each below: read the header,
// read the codes into the tree, make room for the output, decode the data
// bits, checksum. Two ways through share every step but two:
// - HuffmanDecodeSimple, the reference, reads the code table into one record
//   per byte value with its bits, adds each to the tree as the format
//   describes it, and walks the tree one data bit at a time.
// - HuffmanDecode reads each code's bits straight into the tree (no record,
//   no allocation per byte value), then decodes through a table that turns
//   the next few data bits into one to three whole byte values and their bit
//   count in one look-up. The table is no wider than the longest code needs
//   and narrower for short data, so that a small container does not pay for
//   a table it cannot use: its setup grows with the code, not with 4096
//   entries. The walk stays for what the table cannot decide and for the
//   bits around each pause, so the two agree on every byte, error, pause and
//   Progress value.

#include "engine/container.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "engine/checked.h"
#include "engine/trirotor.h"
#include "platform/big_buffer.h"

namespace trirotor::internal {

namespace {

constexpr const char* kSource = "HuffmanDecode()";
constexpr std::int32_t kDataPauseStride = 10000;      // after container bytes 9999, 19999, ...
constexpr std::int32_t kChecksumPauseStride = 10000;  // at output bytes 0, 10000, ...

[[noreturn]] void RaiseUnknownVersion() {
  platform::RaiseError(kErrUnknownVersion, kSource,
                       "The data either was not compressed with HE3 or is corrupt "
                       "(identification string not found)");
}

// The stored variant: the plain bytes follow the identification.
void DecodeStored(ByteBuffer& data, std::int32_t length) {
  const std::int32_t plainLength = length - static_cast<std::int32_t>(kIdentificationLength);
  if (plainLength > 0) platform::BlockCopy(data.data(), data.data() + kIdentificationLength, plainLength);
  data.resize(plainLength);  // exactly 4 bytes: the empty text
}

/// Codes into the tree ///

// Each reader takes the code table and builds the decode tree from the code
// bits at table.codesAt; false when the tree outgrows its 512 nodes. Nothing
// else happens before data decoding, so which fault a container shows first
// cannot be seen.
using CodeReader = bool (*)(const std::uint8_t* in, const CodeTable& table, DecodeTree& tree);

// The reference: a record per byte value with its bits, then AddTreeCode
// for each value in ascending order.
bool ReadCodesIntoRecords(const std::uint8_t* in, const CodeTable& table, DecodeTree& tree) {
  std::array<SymbolCode, 256> codes;
  std::size_t at = table.codesAt * 8;  // next code bit
  for (std::size_t value = 0; value < codes.size(); ++value) {
    codes[value].codeLength = table.codeLength[value];
    for (int k = 0; k < table.codeLength[value]; ++k, ++at) {
      codes[value].codeBits.push_back((in[at / 8] >> (at % 8)) & 1);
    }
  }
  std::int32_t nodesInUse = 1;
  for (std::int32_t value = 0; value < 256; ++value) {
    if (!AddTreeCode(tree, nodesInUse, value, codes[static_cast<std::size_t>(value)])) return false;
  }
  return true;
}

bool ReadCodesIntoTree(const std::uint8_t* in, const CodeTable& table, DecodeTree& tree) {
  return BuildDecodeTree(in, table, tree);
}

/// Data bits ///

// What a data decoder leaves: the bytes decoded, or an abort at a pause.
struct DataResult {
  std::int32_t decoded;
  bool aborted;
};

// A data decoder turns the data bits in[dataStart..length) into at most
// plainLength bytes at `out`, pausing after each 10000th container byte
// unless the plain length is reached, and raising 9 for a bit that leaves
// the tree.
using DataDecoder = DataResult (*)(const DecodeTree& tree, const std::uint8_t* in, std::int32_t length,
                                   std::int32_t dataStart, std::int32_t plainLength, std::uint8_t* out);

// The walk as the container's bytes are read: one bit at a time.
DataResult WalkData(const DecodeTree& tree, const std::uint8_t* in, std::int32_t length, std::int32_t dataStart,
                    std::int32_t plainLength, std::uint8_t* out) {
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

/// Decode table ///

// The widest look-up: 4096 entries of 4 bytes stay in L1 beside the output.
constexpr int kMaxTableBits = 12;
// One 8-byte load always holds at least 57 bits: as many look-ups as fit.
constexpr int kLoadBits = 57;
static_assert(kLoadBits / kMaxTableBits >= 1, "one load must feed a look-up");
// The most byte values one entry decodes, and the bytes its store writes.
constexpr int kMostSymbols = 3;
constexpr int kStoreBytes = 4;

// An entry: the bits that the next one to three byte values take (bits
// 0-5, so that the bit buffer shifts by the entry itself), how many values
// there are (6-7) and the values, first in 8-15, then 16-23 and 24-31.
// Count 0 and no bits: the walk must decide, because the bits leave the
// tree. Count 0 with bits: a code longer than the table; bits 8-23 name the
// node that its first tableBits bits reach, so that the walk starts there
// and not at the root.
using DecodeTable = std::array<std::uint32_t, std::size_t{1} << kMaxTableBits>;

constexpr std::uint32_t Entry(std::uint32_t symbols, std::uint32_t bits, std::uint32_t count) {
  return bits | count << 6 | symbols << 8;
}
constexpr std::uint32_t EntryBits(std::uint32_t e) { return e & 63; }
constexpr std::uint32_t EntryCount(std::uint32_t e) { return (e >> 6) & 3; }
constexpr std::uint32_t EntrySymbols(std::uint32_t e) { return e >> 8; }
// The entry's bit budget: the most bits it holds fit its 6-bit field, its
// most values the 2-bit count, and a node index the 16 bits above.
static_assert(kLoadBits < 64 && kMostSymbols <= 3 && 8 * kMostSymbols + 8 <= 32, "an entry holds what it says");
static_assert(EntryBits(Entry(0xFFFFFF, 63, 3)) == 63 && EntryCount(Entry(0xFFFFFF, 63, 3)) == 3 &&
                  EntrySymbols(Entry(0xFFFFFF, 63, 3)) == 0xFFFFFF,
              "the fields of an entry do not overlap");
// The bit reader's 8-byte loads and the symbol stores take the first byte as
// the lowest: a little-endian host.
static_assert(std::endian::native == std::endian::little, "the fast paths assume a little-endian host");

// Whether a code ends or passes below `node` at a depth of `limit` or more,
// counting from `depth` at the node. A node with a symbol ends every code
// through it, as in the walk.
bool ReachesDepth(const DecodeTree& tree, int node, int depth, int limit) {
  if (tree[node].symbol >= 0 && node != 0) return depth >= limit;
  if (depth >= limit) return true;
  const int zero = tree[node].zeroChild;
  const int one = tree[node].oneChild;
  return (zero >= 0 && ReachesDepth(tree, zero, depth + 1, limit)) ||
         (one >= 0 && ReachesDepth(tree, one, depth + 1, limit));
}

// How many bits the table looks up: fewer for short data, where filling
// the table would cost more than its look-ups save (for a 1 KB record, 256
// entries beat 1024 by a quarter of the whole decode), and never more than
// the longest code needs.
int TableBits(const DecodeTree& tree, std::int32_t dataBytes) {
  int bits = dataBytes < 1024 ? 8 : dataBytes < 2048 ? 9 : dataBytes < 16384 ? 10 : dataBytes < 65536 ? 11 : 12;
  while (bits > 1 && !ReachesDepth(tree, 0, 0, bits)) --bits;
  return bits;
}

// Fills the one-symbol entries below `node`, reached by `depth` bits that
// read as `prefix` (first bit lowest, as the data is read).
void FillSingles(const DecodeTree& tree, DecodeTable& table, int tableBits, int node, int depth, std::uint32_t prefix) {
  const std::uint32_t size = 1u << tableBits;
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    const int child = bit != 0 ? tree[node].oneChild : tree[node].zeroChild;
    if (child < 0) continue;  // leaves the tree: count 0, the walk raises
    const std::uint32_t code = prefix | bit << depth;
    const int length = depth + 1;
    if (tree[child].symbol >= 0) {
      const auto symbol = static_cast<std::uint32_t>(tree[child].symbol);
      for (std::uint32_t i = code; i < size; i += 1u << length) table[i] = Entry(symbol, length, 1);
    } else if (length < tableBits) {
      FillSingles(tree, table, tableBits, child, length, code);
    } else {  // a code longer than the table: count 0, the walk goes on from here
      table[code] = Entry(static_cast<std::uint32_t>(child), length, 0);
    }
  }
}

// The table for a tree: single entries first, then a second and a third
// symbol wherever the bits left over after the ones before decide it by
// themselves. Entries are joined from the top down: i >> bits lies below i
// (or is i itself, for i = 0, read before it is written), so every entry i
// reads is still single.
void BuildDecodeTable(const DecodeTree& tree, DecodeTable& table, int tableBits) {
  const std::uint32_t size = 1u << tableBits;
  std::fill(table.begin(), table.begin() + size, 0u);
  FillSingles(tree, table, tableBits, 0, 0, 0);
  const auto limit = static_cast<std::uint32_t>(tableBits);
  for (std::uint32_t i = size; i-- > 0;) {
    std::uint32_t joined = table[i];
    if (EntryCount(joined) == 0) continue;
    // The bits above the look-up read as 0, so a further entry counts only
    // if it did not need them.
    for (std::uint32_t count = 1; count < kMostSymbols; ++count) {
      const std::uint32_t bits = EntryBits(joined);
      const std::uint32_t next = table[i >> bits];
      if (EntryCount(next) != 1 || bits + EntryBits(next) > limit) break;
      joined = Entry(EntrySymbols(joined) | EntrySymbols(next) << (8 * count), bits + EntryBits(next), count + 1);
    }
    table[i] = joined;
  }
}

// The same decoding through the table. The data is taken in windows that
// end after each pause byte (or at the end of the container); inside a
// window the table decodes whole codes while a load's look-ups fit before
// the window ends and their bytes fit the output, and the walk takes over,
// bit by bit, for a code the table leaves open, for the last bits of the
// window, and for a code that spans a pause. So every pause, every error and
// every stop falls on the very bit where the walk has it.
DataResult TableData(const DecodeTree& tree, const std::uint8_t* in, std::int32_t length, std::int32_t dataStart,
                     std::int32_t plainLength, std::uint8_t* out) {
  DecodeTable table;  // only its first 2^tableBits entries are made
  const int tableBits = TableBits(tree, length - dataStart);
  BuildDecodeTable(tree, table, tableBits);
  const std::uint64_t mask = (std::uint64_t{1} << tableBits) - 1;
  const int lookups = kLoadBits / tableBits;

  std::int32_t m = 0;                              // bytes decoded
  std::int16_t node = 0;                           // the walk's node, 0 between codes
  std::int64_t bit = std::int64_t{dataStart} * 8;  // next data bit
  const std::int64_t endBit = std::int64_t{length} * 8;
  // The last bit at which an 8-byte load still lies inside the container.
  const std::int64_t loadLimit = (std::int64_t{length} - 8) * 8;
  // The room ReserveOutput made: each store writes kStoreBytes at m. (A load
  // that ends 8 bytes before the container already keeps m below it, since
  // no code is empty; this keeps the bound plain to see.)
  const std::int64_t room = std::min<std::int64_t>(plainLength, endBit - std::int64_t{dataStart} * 8);
  const std::int64_t outLimit = room - std::int64_t{kMostSymbols} * lookups - kStoreBytes;
  while (m < plainLength && bit < endBit) {
    const std::int64_t pauseByte = (bit / 8 / kDataPauseStride + 1) * kDataPauseStride - 1;
    const std::int64_t pauseEnd = (pauseByte + 1) * 8;
    const std::int64_t windowEnd = std::min(pauseEnd, endBit);

    if (node == 0) {
      // The chain from one look-up to the next is a mask, a table load and
      // a shift by the entry.
      const std::int64_t fastLimit = std::min(windowEnd - std::int64_t{tableBits} * lookups, loadLimit);
      bool open = false;  // a code the table leaves to the walk
      while (bit <= fastLimit && m <= outLimit && !open) {
        std::uint64_t loaded;
        std::memcpy(&loaded, in + (bit >> 3), 8);
        std::uint64_t word = loaded >> (bit & 7);
        // The entries summed whole: their bit counts add up to at most 57,
        // so the low six bits of the sum are the bits used, and the shift
        // on the chain needs no mask of its own.
        std::uint32_t used = 0;
        for (int k = 0; k < lookups; ++k) {
          const std::uint32_t e = table[word & mask];
          if (EntryCount(e) == 0) {
            // No code ends within these bits (the table stops short of the
            // window's end), so the walk may start where they lead.
            if (e != 0) {  // not an entry whose bits leave the tree
              node = static_cast<std::int16_t>(EntrySymbols(e));
              used += e;
            }
            open = true;
            break;
          }
          // All the store's bytes are written; those past the count are
          // overwritten by the next.
          const std::uint32_t symbols = EntrySymbols(e);
          std::memcpy(out + m, &symbols, kStoreBytes);
          m += static_cast<std::int32_t>(EntryCount(e));
          word >>= EntryBits(e);
          used += e;
        }
        bit += EntryBits(used);
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
        if (windowEnd - bit > tableBits) break;
      }
    }

    if (bit == pauseEnd && m < plainLength) {
      platform::ProcessEvents();
      if (AbortFlag == -1) return {m, true};  // the container stays as given
    }
  }
  return {m, false};
}

/// Output and checksum ///

// Room for the plain bytes. Every plain byte takes at least one data bit (no
// code is empty), so the output never needs more room than the data has
// bits: a short hostile container cannot ask for gigabytes.
std::uint8_t* ReserveOutput(PlainStorage& storage, std::int32_t plainLength, std::int32_t length,
                            std::int32_t dataStart) {
  const std::int64_t dataBits = std::max<std::int64_t>(0, std::int64_t{length} - dataStart) * 8;
  try {
    return storage.Reserve(static_cast<std::size_t>(std::min<std::int64_t>(plainLength, dataBits)));
  } catch (const std::bad_alloc&) {
    platform::RaiseRuntimeError(kErrOutOfMemory, kSource);
  }
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

// The checksum pass over bytes[0..count): pauses at output bytes 0, 10000,
// 20000, ... and raises Progress from 50 towards 100; what the XOR holds at
// a pause is never seen, so each stride is taken whole. False on an abort.
bool ChecksumPass(const std::uint8_t* bytes, std::int32_t count, std::uint8_t& checksum) {
  checksum = 0;
  for (std::int32_t i = 0; i < count; i += kChecksumPauseStride) {
    platform::ProcessEvents();
    if (AbortFlag == -1) return false;  // the decoded bytes are discarded
    // The decryption's 50 is added as + 5 + 45, one double addition at a
    // time, as the legacy engine wrote it: x + 5 + 45 and x + 50 differ in
    // the last bit for some i and count (i = 10000, count = 31291 is one),
    // and a sum that lands by a half could then round the other way.
    Progress = checked::RoundHalfEven(static_cast<double>(i) / count * 50 + 5 + 45);
    checksum ^= XorBytes(bytes + i, std::min(kChecksumPauseStride, count - i));
  }
  return true;
}

/// The compressed variant ///

Expansion DecodeCompressed(ByteBuffer& data, std::int32_t length, PlainStorage& storage, CodeReader readCodes,
                           DataDecoder decodeData) {
  const std::uint8_t* in = data.data();
  const CodeTable table = ReadCodeTable(in, static_cast<std::size_t>(length));
  // The plain length is acted on before the rest of the header is needed.
  if (!table.plainLengthKnown) platform::RaiseRuntimeError(kErrSubscript, kSource);
  if (table.plainLength == 0) {  // nothing to expand: the empty text
    data.clear();
    return {Expansion::kInData, 0};
  }
  if (table.plainLength < 0) platform::RaiseRuntimeError(kErrOutOfMemory, kSource);
  // Every other fault of the header or code table is a read past the data.
  if (table.fault != ContainerFault::kNone) platform::RaiseRuntimeError(kErrSubscript, kSource);
  // The decoder loads the byte after code bits that end on a byte boundary,
  // so such a container with no data bits fails there, before any checksum.
  if (table.codeBits % 8 == 0 && table.dataAt == static_cast<std::size_t>(length)) {
    platform::RaiseRuntimeError(kErrSubscript, kSource);
  }

  DecodeTree tree;
  if (!readCodes(in, table, tree)) platform::RaiseRuntimeError(kErrSubscript, kSource);
  const auto dataStart = static_cast<std::int32_t>(table.dataAt);
  std::uint8_t* out = ReserveOutput(storage, table.plainLength, length, dataStart);
  const DataResult result = decodeData(tree, in, length, dataStart, table.plainLength, out);
  if (result.aborted) return {Expansion::kAsGiven, 0};

  std::uint8_t checksum = 0;
  if (!ChecksumPass(out, result.decoded, checksum)) return {Expansion::kAsGiven, 0};
  if (checksum != table.checksum) LastError = kErrChecksum;
  if (result.decoded == 0) platform::RaiseRuntimeError(kErrSubscript, kSource);  // no byte to form a result of
  return {Expansion::kInStorage, result.decoded};
}

// Storage in a fresh ByteBuffer, for callers that want the bytes.
class BufferStorage final : public PlainStorage {
 public:
  std::uint8_t* Reserve(std::size_t capacity) override {
    SizeFreshBuffer(buffer, capacity);
    return buffer.data();
  }
  ByteBuffer buffer;
};

Expansion DecodeContainer(ByteBuffer& data, std::int32_t length, PlainStorage& storage, CodeReader readCodes,
                          DataDecoder decodeData) {
  // Never trust `length` beyond the bytes actually there.
  length = static_cast<std::int32_t>(std::clamp<std::int64_t>(length, 0, static_cast<std::int64_t>(data.size())));
  if (static_cast<std::size_t>(length) < kIdentificationLength) platform::RaiseRuntimeError(kErrSubscript, kSource);
  switch (IdentifyContainer(data.data(), static_cast<std::size_t>(length))) {
    case ContainerKind::kStored:
      DecodeStored(data, length);
      return {Expansion::kInData, static_cast<std::int32_t>(data.size())};
    case ContainerKind::kUnknownVersion: RaiseUnknownVersion();
    case ContainerKind::kCompressed:
    case ContainerKind::kNoIdentification:  // read as compressed all the same
      break;
  }
  return DecodeCompressed(data, length, storage, readCodes, decodeData);
}

// HuffmanDecode's contract on top of DecodeContainer: the plain bytes end in
// `data`, or `data` stays as given.
void DecodeIntoData(ByteBuffer& data, std::int32_t length, CodeReader readCodes, DataDecoder decodeData) {
  BufferStorage storage;
  const Expansion expansion = DecodeContainer(data, length, storage, readCodes, decodeData);
  if (expansion.where != Expansion::kInStorage) return;
  // Shorter than the plain length when the data ran out.
  storage.buffer.resize(static_cast<std::size_t>(expansion.count));
  data = std::move(storage.buffer);
}

}  // namespace

ContainerKind IdentifyContainer(const std::uint8_t* in, std::size_t n) {
  if (n < kIdentificationLength || in[0] != kIdentFirst || in[1] != kIdentSecond || in[3] != kIdentLast) {
    return ContainerKind::kNoIdentification;
  }
  if (in[2] == kVersionStored) return ContainerKind::kStored;
  return in[2] == kVersionCompressed ? ContainerKind::kCompressed : ContainerKind::kUnknownVersion;
}

std::string_view ContainerFaultReason(ContainerFault fault) {
  switch (fault) {
    case ContainerFault::kNone: return "";
    case ContainerFault::kHeaderCut: return "the container header is cut short";
    case ContainerFault::kNegativeLength: return "the container announces a negative length";
    case ContainerFault::kNegativeEntryCount: return "the code table has a negative entry count";
    case ContainerFault::kTableCut: return "the code table is cut short";
    case ContainerFault::kCodeBitsCut: return "the code bits are cut short";
    case ContainerFault::kTreeOutgrown: return "the codes outgrow the decode tree";
    case ContainerFault::kDataLeavesTree: return "the data leaves the code tree";
    case ContainerFault::kDataEnds: return "the data ends";
  }
  return "";
}

CodeTable ReadCodeTable(const std::uint8_t* in, std::size_t n) {
  CodeTable t;
  const auto stop = [&t](ContainerFault fault, std::size_t at) {
    t.fault = fault;
    t.faultAt = at;
    return t;
  };
  if (n < kEntryCountAt) return stop(ContainerFault::kHeaderCut, n);
  t.plainLengthKnown = true;
  t.checksum = in[kChecksumAt];
  const std::uint8_t* length = in + kPlainLengthAt;
  t.plainLength = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(length[0]) | static_cast<std::uint32_t>(length[1]) << 8 |
      static_cast<std::uint32_t>(length[2]) << 16 | static_cast<std::uint32_t>(length[3]) << 24);
  if (n < kEntriesAt) return stop(ContainerFault::kHeaderCut, n);
  t.headerWhole = true;
  t.entryCount = static_cast<std::int16_t>(in[kEntryCountAt] | in[kEntryCountAt + 1] << 8);
  if (t.plainLength < 0) return stop(ContainerFault::kNegativeLength, kEntriesAt);
  if (t.entryCount < 0) return stop(ContainerFault::kNegativeEntryCount, kEntriesAt);
  t.codesAt = kEntriesAt + 2 * static_cast<std::size_t>(t.entryCount);
  if (t.codesAt > n) return stop(ContainerFault::kTableCut, n);
  for (std::size_t at = kEntriesAt; at < t.codesAt; at += 2) t.codeLength[in[at]] = in[at + 1];
  for (const std::uint8_t bits : t.codeLength) t.codeBits += bits;
  t.dataAt = t.codesAt + (t.codeBits + 7) / 8;
  if (t.dataAt > n) return stop(ContainerFault::kCodeBitsCut, n);
  return t;
}

namespace {

// The child of node along one bit, made when the tree has none there yet;
// -1 when the tree is full.
inline std::int32_t Descend(DecodeTree& tree, std::int32_t node, bool one, std::int32_t& nodesInUse) {
  std::int16_t& link = one ? tree[node].oneChild : tree[node].zeroChild;
  if (link == -1) {
    if (nodesInUse >= kTreeNodes) return -1;
    tree[nodesInUse] = TreeNode{static_cast<std::int16_t>(node), -1, -1, -1};
    link = static_cast<std::int16_t>(nodesInUse++);
  }
  return link;
}

}  // namespace

bool AddTreeCode(DecodeTree& tree, std::int32_t& nodesInUse, std::int32_t byteValue, const SymbolCode& code) {
  if (code.codeLength == 0) return true;
  std::int32_t node = 0;
  for (std::uint8_t bit : code.codeBits) {
    node = Descend(tree, node, bit != 0, nodesInUse);
    if (node < 0) return false;
  }
  tree[node].symbol = static_cast<std::int16_t>(byteValue);
  return true;
}

// The same tree as a record per value and AddTreeCode give, with no record:
// each code's bits go straight from the container into the tree.
bool BuildDecodeTree(const std::uint8_t* in, const CodeTable& table, DecodeTree& tree, std::int32_t* nodesInUse) {
  const std::uint8_t* at = in + table.codesAt;
  std::uint8_t current = table.codeBits == 0 ? 0 : *at;
  int bit = 0;
  std::int32_t used = 1;
  for (std::int32_t value = 0; value < 256; ++value) {
    const int codeLength = table.codeLength[static_cast<std::size_t>(value)];
    if (codeLength == 0) continue;
    std::int32_t node = 0;
    for (int k = 0; k < codeLength; ++k) {
      const bool one = (current >> bit) & 1;
      if (++bit == 8) {
        // Past the last code bit only when the codes end on a byte boundary:
        // that byte is not read.
        ++at;
        bit = 0;
        if (at < in + table.dataAt) current = *at;
      }
      node = Descend(tree, node, one, used);
      if (node < 0) return false;
    }
    tree[node].symbol = static_cast<std::int16_t>(value);
  }
  if (nodesInUse != nullptr) *nodesInUse = used;
  return true;
}

Expansion ExpandContainer(ByteBuffer& data, std::int32_t length, PlainStorage& storage) {
  return DecodeContainer(data, length, storage, ReadCodesIntoTree, TableData);
}

void HuffmanDecode(ByteBuffer& data, std::int32_t length) {
  DecodeIntoData(data, length, ReadCodesIntoTree, TableData);
}

void HuffmanDecodeSimple(ByteBuffer& data, std::int32_t length) {
  DecodeIntoData(data, length, ReadCodesIntoRecords, WalkData);
}

std::u16string HuffmanDecodeText(std::u16string_view text) {
  const std::int32_t length = checked::Int32Length(text.size(), kSource);
  ByteBuffer data = platform::TextToBytes(text);
  HuffmanDecode(data, length);
  return platform::BytesToText(data);
}

}  // namespace trirotor::internal
