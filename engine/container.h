// SPDX-License-Identifier: MIT
//
// container.h - the payload container: stored (HE0) or Huffman-coded (HE3).
//
// Layout, offsets from 0, integers little-endian:
//   0..3  'H' 'E' version '\r'   version '0' stored, '3' compressed
//   HE0:  4..   the plain bytes
//   HE3:  4     checksum, the XOR of all plain bytes
//         5..8  plain length, signed 32-bit
//         9..10 entry count N, signed 16-bit
//         11..  N entries (byte value, code length in bits)
//         then  the codes of the byte values that have one, in ascending
//               order of value, bit by bit from the root; padded to a byte
//         then  the data bits, the code of each plain byte in turn
// Both bit areas are read from the least significant bit of each byte.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace trirotor::internal {

/// The format, for every reader and the writer ///

inline constexpr std::size_t kIdentificationLength = 4;  // 'H' 'E' version '\r'
inline constexpr std::uint8_t kIdentFirst = 'H';
inline constexpr std::uint8_t kIdentSecond = 'E';
inline constexpr std::uint8_t kIdentLast = '\r';
inline constexpr std::uint8_t kVersionStored = '0';
inline constexpr std::uint8_t kVersionCompressed = '3';
// The compressed header's fields.
inline constexpr std::size_t kChecksumAt = 4;
inline constexpr std::size_t kPlainLengthAt = 5;
inline constexpr std::size_t kEntryCountAt = 9;
inline constexpr std::size_t kEntriesAt = 11;  // two bytes an entry: byte value, code length
static_assert(kChecksumAt == kIdentificationLength && kPlainLengthAt == kChecksumAt + 1 &&
              kEntryCountAt == kPlainLengthAt + 4 && kEntriesAt == kEntryCountAt + 2);

// What a container's first four bytes say.
enum class ContainerKind { kStored, kCompressed, kUnknownVersion, kNoIdentification };
// kNoIdentification also for fewer than four bytes.
ContainerKind IdentifyContainer(const std::uint8_t* in, std::size_t n);

// Where and why a reader of a compressed container stopped.
enum class ContainerFault : std::uint8_t {
  kNone,
  kHeaderCut,       // before the entry count ends
  kNegativeLength,  // the plain length is below 0
  kNegativeEntryCount,
  kTableCut,        // the entries end past the container
  kCodeBitsCut,     // the code bits end past the container
  kTreeOutgrown,    // the codes need more than kTreeNodes nodes
  kDataLeavesTree,  // a data bit leads nowhere
  kDataEnds,        // the data ends before the plain length is reached
};
// For a user: "the code table is cut short", ...; "" for kNone.
std::string_view ContainerFaultReason(ContainerFault fault);

using CodeLengths = std::array<std::uint8_t, 256>;  // bits per byte value, 0: no code

// A compressed container's header and code table as the format lays them
// out, read once for the decoder, salvage and inspection alike. Reading
// stops at the first fault, in the order of the fields; what was read
// before it stays filled in. The plain length is known from 9 bytes on,
// before the entry count is: the decoder acts on it first.
struct CodeTable {
  bool plainLengthKnown = false;  // checksum and plain length present
  bool headerWhole = false;       // the entry count as well
  std::uint8_t checksum = 0;      // the XOR of the plain bytes, as stored
  std::int32_t plainLength = 0;
  std::int16_t entryCount = 0;
  CodeLengths codeLength{};  // a later entry for a value replaces an earlier one
  std::size_t codesAt = 0;   // the first byte of the code bits
  std::size_t codeBits = 0;  // all codes' bits together
  std::size_t dataAt = 0;    // the first byte of the data bits
  ContainerFault fault = ContainerFault::kNone;
  std::size_t faultAt = 0;  // container byte where reading stopped
};
CodeTable ReadCodeTable(const std::uint8_t* in, std::size_t n);

inline constexpr int kTreeNodes = 512;

// One byte value's code: its length in bits and the bits from the root.
struct SymbolCode {
  std::uint8_t codeLength = 0;
  std::vector<std::uint8_t> codeBits;  // each 0 or 1; [0] is taken at the root
};

struct TreeNode {
  std::int16_t parent = -1;
  std::int16_t oneChild = -1;
  std::int16_t zeroChild = -1;
  std::int16_t symbol = -1;  // >= 0: a code ends here (a leaf for decoding)
};

using DecodeTree = std::array<TreeNode, kTreeNodes>;

// Adds one byte value's code to the tree, making nodes as needed; false,
// with the tree as far as it got, when a node past the table would be
// needed. Length 0 adds nothing.
[[nodiscard]] bool AddTreeCode(DecodeTree& tree, std::int32_t& nodesInUse, std::int32_t byteValue,
                               const SymbolCode& code);

// The codes of `table` read from in[table.codesAt..) straight into the tree,
// in ascending order of byte value, from bit 0 of each byte. False when the
// tree outgrows its nodes. The caller has seen that the bits are there.
// `nodesInUse` (when given) is how many nodes the tree took.
[[nodiscard]] bool BuildDecodeTree(const std::uint8_t* in, const CodeTable& table, DecodeTree& tree,
                                   std::int32_t* nodesInUse = nullptr);

// Replaces the container in data[0..length) by the plain bytes. Returns early,
// with data as given, on an abort. Raises 9 for truncated or malformed data,
// 7 for a negative plain length, kErrUnknownVersion for "HE?\r" with a
// version other than '0' or '3'. Records LastError = 5 on a checksum
// mismatch.
// Compressed containers decode through a table that yields up to three
// bytes per look-up, as wide as the longest code needs and the data repays (at
// most 12 bits), falling back to the tree walk for long codes, bits that
// leave the tree and the bytes around each pause.
void HuffmanDecode(ByteBuffer& data, std::int32_t length);
// The same container decoded from a record per byte value and by walking the
// tree one bit at a time: the reference that HuffmanDecode must match in
// results, errors, LastError, Progress and pauses; kept for tests,
// benchmarks and the differential fuzz target.
void HuffmanDecodeSimple(ByteBuffer& data, std::int32_t length);
std::u16string HuffmanDecodeText(std::u16string_view text);

// Where a compressed container's plain bytes are decoded, for a caller that
// wants them somewhere of its own (the pipeline decodes them into the upper
// half of the text they become, and widens them in place).
class PlainStorage {
 public:
  // Room for `capacity` bytes, asked for once, before any is written.
  virtual std::uint8_t* Reserve(std::size_t capacity) = 0;

 protected:
  ~PlainStorage() = default;
};

// Where ExpandContainer left the plain bytes.
struct Expansion {
  enum Where {
    kInData,     // in `data`, resized to them (stored, or a plain length of 0)
    kInStorage,  // the first `count` bytes of the storage's room; `data` as given
    kAsGiven,    // nowhere: aborted, `data` as given
  } where;
  std::int32_t count;
};

// HuffmanDecode with the compressed variant's plain bytes decoded into
// `storage`: the same results, errors, LastError, Progress and pauses.
Expansion ExpandContainer(ByteBuffer& data, std::int32_t length, PlainStorage& storage);

}  // namespace trirotor::internal

/// Encoding ///

namespace trirotor::internal {

// The code lengths of an optimal prefix code for the byte values' counts: 0
// for a value that does not occur; 1 for the only value of a text of one
// distinct byte (the decoder needs at least one bit per byte). Ties are
// broken by byte value, so the lengths depend on the counts alone. For counts
// summing to less than 2^31 no length exceeds 45.
CodeLengths HuffmanCodeLengths(const std::array<std::uint64_t, 256>& counts);

// The stored container: "HE0\r" and the plain bytes.
ByteBuffer StoreContainer(const std::uint8_t* plain, std::size_t count);

// The compressed container of plain[0..count) under the given code lengths,
// which must give every occurring byte value a code, be at most 57 and fit a
// prefix code (Kraft sum at most 1); the codes are the canonical ones (shorter
// codes first, equal lengths in ascending order of value). Raises 5 (invalid
// argument) for lengths that break those rules, 6 (overflow) for more than
// 2^31 - 12 plain bytes.
ByteBuffer CompressContainer(const std::uint8_t* plain, std::size_t count, const CodeLengths& codeLengths);

// The container the encoder seals: HE3 with optimal codes when that is
// smaller than HE0, HE0 otherwise. The empty text gives "HE0\r" alone.
// Raises 6 (overflow) past what a container's 32-bit lengths can hold.
ByteBuffer HuffmanEncode(const std::uint8_t* plain, std::size_t count);

}  // namespace trirotor::internal
