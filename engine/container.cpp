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

#include "engine/container.h"

#include <algorithm>
#include <limits>
#include <new>

#include "engine/checked.h"
#include "engine/trirotor.h"

namespace trirotor {

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

void DecodeCompressed(ByteBuffer& data, std::int32_t length) {
  const std::uint8_t* in = data.data();
  const std::uint8_t storedChecksum = checked::ByteAt(in, length, kChecksumAt, kSource);
  checked::RequireRange(length, kPlainLengthAt, 4, kSource);
  const auto plainLength = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(in[5]) | static_cast<std::uint32_t>(in[6]) << 8 |
      static_cast<std::uint32_t>(in[7]) << 16 | static_cast<std::uint32_t>(in[8]) << 24);
  if (plainLength == 0) {  // nothing to expand: the empty text
    data.clear();
    return;
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
    codes[value].CodeLength = bits;
    codes[value].CodeBits.assign(bits, 0);
  }

  // The code bits, in ascending order of byte value, from bit 0 of each
  // byte. A byte is loaded as soon as the one before is used up, so code bits
  // that end on a byte boundary need the byte after them to exist.
  std::int32_t r = kEntriesAt + 2 * entryCount;  // a negative count reads from inside the header
  std::uint8_t current = checked::ByteAt(in, length, r, kSource);
  int j = 0;
  for (SymbolCode& code : codes) {
    for (std::uint8_t& bit : code.CodeBits) {
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
  try {
    out.resize(capacity);
  } catch (const std::bad_alloc&) {
    platform::RaiseRuntimeError(kErrOutOfMemory, kSource);
  }

  std::int32_t m = 0;      // bytes decoded
  std::int16_t node = 0;   // carries over from one data byte to the next
  for (std::int32_t p = dataStart; p < length && m < plainLength; ++p) {
    const std::uint8_t byte = in[p];
    for (int bit = 0; bit < 8; ++bit) {
      const TreeNode& at = tree[node];
      node = (byte >> bit) & 1 ? at.OneChild : at.ZeroChild;
      if (node < 0) platform::RaiseRuntimeError(kErrSubscript, kSource);  // the bits leave the tree
      if (tree[node].Symbol >= 0) {
        out[m++] = static_cast<std::uint8_t>(tree[node].Symbol);
        if (m == plainLength) break;  // done: no pause after this byte
        node = 0;
      }
    }
    if (m < plainLength && (p + 1) % kDataPauseStride == 0) {
      platform::ProcessEvents();
      if (AbortFlag == -1) return;  // the container stays as given
    }
  }

  std::uint8_t checksum = 0;
  for (std::int32_t i = 0; i < m; ++i) {
    checksum ^= out[i];
    if (i % kChecksumPauseStride == 0) {
      platform::ProcessEvents();
      if (AbortFlag == -1) return;  // the decoded bytes are discarded
      Progress = checked::RoundHalfEven(static_cast<double>(i) / m * 50 + 5 + 45);
    }
  }
  if (checksum != storedChecksum) LastError = kErrChecksum;
  if (m == 0) platform::RaiseRuntimeError(kErrSubscript, kSource);  // no byte to form a result of

  out.resize(m);  // shorter than the plain length when the data ran out
  data = std::move(out);
}

}  // namespace

void AddTreeCode(DecodeTree& tree, std::int32_t& nodesInUse, std::int32_t byteValue,
                 const SymbolCode& code) {
  if (code.CodeLength == 0) return;
  std::int32_t node = 0;
  for (std::uint8_t bit : code.CodeBits) {
    std::int16_t& link = bit != 0 ? tree[node].OneChild : tree[node].ZeroChild;
    if (link == -1) {
      if (nodesInUse >= kTreeNodes) platform::RaiseRuntimeError(kErrSubscript, kSource);
      tree[nodesInUse] = TreeNode{static_cast<std::int16_t>(node), -1, -1, -1};
      link = static_cast<std::int16_t>(nodesInUse++);
    }
    node = link;
  }
  tree[node].Symbol = static_cast<std::int16_t>(byteValue);
}

void HuffmanDecode(ByteBuffer& data, std::int32_t length) {
  // Never trust `length` beyond the bytes actually there.
  length = static_cast<std::int32_t>(std::clamp<std::int64_t>(length, 0, static_cast<std::int64_t>(data.size())));
  const std::uint8_t* in = data.data();
  const std::uint8_t b0 = checked::ByteAt(in, length, 0, kSource);
  const std::uint8_t b1 = checked::ByteAt(in, length, 1, kSource);
  const std::uint8_t b3 = checked::ByteAt(in, length, 3, kSource);
  if (b0 == kIdent0 && b1 == kIdent1 && b3 == kIdent3) {
    const std::uint8_t version = in[2];
    if (version == kStored) return DecodeStored(data, length);
    if (version != kCompressed) RaiseUnknownVersion();
  }
  // Without the identification the data is read as compressed all the same.
  DecodeCompressed(data, length);
}

std::u16string HuffmanDecodeText(std::u16string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    platform::RaiseRuntimeError(kErrOverflow, kSource);
  }
  ByteBuffer data = platform::TextToBytes(text);
  HuffmanDecode(data, static_cast<std::int32_t>(data.size()));
  return platform::BytesToText(data);
}

}  // namespace trirotor
