// SPDX-License-Identifier: MIT
//
// container_encode.cpp - building the payload container: stored (HE0) or
// Huffman-coded (HE3).
//
// The decoder rebuilds its tree from the code lengths and code bits alone,
// so any prefix code will do; canonical codes keep the output reproducible.
// Both bit areas are written from the least significant bit of each byte,
// and each code from its root bit, which is what the decoder walks.

#include "engine/container.h"

#include <algorithm>
#include <cstring>
#include <queue>
#include <vector>

#include "engine/checked.h"
#include "platform/big_buffer.h"

namespace trirotor::internal {

namespace {

constexpr const char* kSource = "HuffmanEncode()";
constexpr int kMaxCodeLength = 57;  // a code and 7 pending bits fit a 64-bit register
// The whole container's length must fit the decoder's signed 32-bit lengths.
constexpr std::size_t kMaxPlainBytes = static_cast<std::size_t>(checked::kMaxLength) - kEntriesAt - 1;

// Four tables, so that runs of one byte value do not make each increment
// wait for the one before.
std::array<std::uint64_t, 256> CountBytes(const std::uint8_t* plain, std::size_t count) {
  std::array<std::array<std::uint64_t, 256>, 4> partial{};
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    ++partial[0][plain[i]];
    ++partial[1][plain[i + 1]];
    ++partial[2][plain[i + 2]];
    ++partial[3][plain[i + 3]];
  }
  for (; i < count; ++i) ++partial[0][plain[i]];
  std::array<std::uint64_t, 256> counts{};
  for (int v = 0; v < 256; ++v) counts[v] = partial[0][v] + partial[1][v] + partial[2][v] + partial[3][v];
  return counts;
}

// Appends bits from the least significant bit of each byte on.
class BitWriter {
 public:
  explicit BitWriter(std::uint8_t* out) : out_(out) {}
  // Writes the low `length` bits of `bits`, bit 0 first; length <= 57.
  void Put(std::uint64_t bits, int length) {
    pending_ |= bits << count_;
    count_ += length;
    while (count_ >= 8) {
      *out_++ = static_cast<std::uint8_t>(pending_);
      pending_ >>= 8;
      count_ -= 8;
    }
  }
  // Writes the last partial byte, its unused high bits 0.
  std::uint8_t* Flush() {
    if (count_ > 0) *out_++ = static_cast<std::uint8_t>(pending_);
    pending_ = 0;
    count_ = 0;
    return out_;
  }

 private:
  std::uint8_t* out_;
  std::uint64_t pending_ = 0;  // bits not yet stored, the oldest at bit 0
  int count_ = 0;              // how many, 0..7 between calls
};

// Canonical codes for valid lengths, each returned with its root bit at bit
// 0 so that BitWriter emits the root bit first.
std::array<std::uint64_t, 256> RootFirstCodes(const CodeLengths& lengths) {
  std::array<std::uint64_t, 256> codes{};
  std::uint64_t next = 0;  // the next code of the current length, root bit highest
  int current = 0;
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    next <<= 1;
    current = length;
    for (int v = 0; v < 256; ++v) {
      if (lengths[v] != current) continue;
      std::uint64_t reversed = 0;
      for (int k = 0; k < length; ++k) reversed |= ((next >> (length - 1 - k)) & 1) << k;
      codes[v] = reversed;
      ++next;
    }
  }
  return codes;
}

// The data bits of plain[0..count) from `out` on, the code of each byte in
// turn. The same bits as a BitWriter::Put per byte, but whole 32-bit words
// are stored at once and the pending bits stay in a register: at most 31 are
// left over after a store, so a code of up to 32 bits always fits beside
// them, and a longer one (rare: only very skewed texts have them) goes in
// two halves.
std::uint8_t* PutDataBits(std::uint8_t* out, const std::uint8_t* plain, std::size_t count,
                          const std::array<std::uint64_t, 256>& codes, const CodeLengths& lengths) {
  std::uint64_t pending = 0;  // the oldest bit at bit 0
  int held = 0;               // 0..31 between codes
  auto put = [&](std::uint64_t bits, int length) {
    pending |= bits << held;
    held += length;
    if (held >= 32) {
      const auto word = static_cast<std::uint32_t>(pending);
      out[0] = static_cast<std::uint8_t>(word);
      out[1] = static_cast<std::uint8_t>(word >> 8);
      out[2] = static_cast<std::uint8_t>(word >> 16);
      out[3] = static_cast<std::uint8_t>(word >> 24);
      out += 4;
      pending >>= 32;
      held -= 32;
    }
  };
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t code = codes[plain[i]];
    const int length = lengths[plain[i]];
    if (length <= 32) [[likely]] {
      put(code, length);
    } else {
      put(code & 0xFFFFFFFFu, 32);
      put(code >> 32, length - 32);
    }
  }
  // The last partial word, its unused high bits 0.
  for (; held > 0; held -= 8) {
    *out++ = static_cast<std::uint8_t>(pending);
    pending >>= 8;
  }
  return out;
}

std::uint64_t DivideUp8(std::uint64_t bits) { return (bits + 7) / 8; }

// The HE3 container's size, or 0 when the lengths cannot make one.
std::uint64_t CompressedSize(const std::array<std::uint64_t, 256>& counts, const CodeLengths& lengths) {
  std::uint64_t entries = 0, codeBits = 0, dataBits = 0;
  for (int v = 0; v < 256; ++v) {
    if (lengths[v] == 0) continue;
    ++entries;
    codeBits += lengths[v];
    dataBits += counts[v] * lengths[v];
  }
  return kEntriesAt + 2 * entries + DivideUp8(codeBits) + DivideUp8(dataBits);
}

}  // namespace

CodeLengths HuffmanCodeLengths(const std::array<std::uint64_t, 256>& counts) {
  CodeLengths lengths{};
  // Nodes 0..255 are the byte values; merged nodes follow. Equal weights are
  // taken in order of node number, so the result is reproducible.
  std::vector<std::uint64_t> weight(counts.begin(), counts.end());
  std::vector<int> parent(256, -1);
  using Entry = std::pair<std::uint64_t, int>;  // (weight, node)
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] > 0) queue.emplace(counts[v], v);
  }
  if (queue.empty()) return lengths;
  if (queue.size() == 1) {
    lengths[queue.top().second] = 1;
    return lengths;
  }
  while (queue.size() > 1) {
    const Entry a = queue.top();
    queue.pop();
    const Entry b = queue.top();
    queue.pop();
    const int node = static_cast<int>(weight.size());
    weight.push_back(a.first + b.first);
    parent.push_back(-1);
    parent[a.second] = node;
    parent[b.second] = node;
    queue.emplace(a.first + b.first, node);
  }
  // Depth of each merged node, from the root (the last one made) down.
  std::vector<int> depth(weight.size(), 0);
  for (int node = static_cast<int>(weight.size()) - 2; node >= 0; --node) {
    if (parent[node] >= 0) depth[node] = depth[parent[node]] + 1;
  }
  for (int v = 0; v < 256; ++v) {
    if (counts[v] > 0) lengths[v] = static_cast<std::uint8_t>(std::min(depth[v], 255));
  }
  return lengths;
}

ByteBuffer StoreContainer(const std::uint8_t* plain, std::size_t count) {
  ByteBuffer out(kIdentificationLength + count);
  out[0] = kIdentFirst;
  out[1] = kIdentSecond;
  out[2] = kVersionStored;
  out[3] = kIdentLast;
  if (count > 0) std::memcpy(out.data() + kIdentificationLength, plain, count);
  return out;
}

namespace {

// CompressContainer with the byte counts already made.
ByteBuffer CompressCounted(const std::uint8_t* plain, std::size_t count, const CodeLengths& codeLengths,
                           const std::array<std::uint64_t, 256>& counts) {

  // The lengths must describe a prefix code that covers the text: check the
  // Kraft sum in units of 2^-57.
  std::uint64_t kraft = 0;
  std::uint8_t checksum = 0;
  std::int16_t entries = 0;
  for (int v = 0; v < 256; ++v) {
    const int length = codeLengths[v];
    if (length > kMaxCodeLength || (counts[v] > 0 && length == 0)) {
      platform::RaiseRuntimeError(kErrInvalidCall, kSource);
    }
    if (length == 0) continue;
    kraft += std::uint64_t{1} << (kMaxCodeLength - length);
    ++entries;
    if (counts[v] % 2 == 1) checksum ^= static_cast<std::uint8_t>(v);
  }
  if (kraft > (std::uint64_t{1} << kMaxCodeLength)) platform::RaiseRuntimeError(kErrInvalidCall, kSource);
  const std::uint64_t size = CompressedSize(counts, codeLengths);
  checked::Int32Length(size, kSource);

  ByteBuffer out;
  SizeFreshBuffer(out, static_cast<std::size_t>(size));
  const auto plainLength = static_cast<std::uint32_t>(count);
  std::uint8_t* cursor = out.data();
  *cursor++ = kIdentFirst;
  *cursor++ = kIdentSecond;
  *cursor++ = kVersionCompressed;
  *cursor++ = kIdentLast;
  *cursor++ = checksum;  // the XOR of all plain bytes
  for (int shift = 0; shift < 32; shift += 8) *cursor++ = static_cast<std::uint8_t>(plainLength >> shift);
  *cursor++ = static_cast<std::uint8_t>(entries & 0xFF);
  *cursor++ = static_cast<std::uint8_t>(entries >> 8);
  for (int v = 0; v < 256; ++v) {
    if (codeLengths[v] == 0) continue;
    *cursor++ = static_cast<std::uint8_t>(v);  // byte value
    *cursor++ = codeLengths[v];                // its code length in bits
  }

  // The code bits, in ascending order of value, then padding to a byte.
  const std::array<std::uint64_t, 256> codes = RootFirstCodes(codeLengths);
  BitWriter codeBits(cursor);
  for (int v = 0; v < 256; ++v) {
    if (codeLengths[v] != 0) codeBits.Put(codes[v], codeLengths[v]);
  }
  cursor = codeBits.Flush();

  // The data bits, the code of each plain byte in turn.
  PutDataBits(cursor, plain, count, codes, codeLengths);
  return out;
}

}  // namespace

ByteBuffer CompressContainer(const std::uint8_t* plain, std::size_t count, const CodeLengths& codeLengths) {
  if (count > kMaxPlainBytes) platform::RaiseRuntimeError(kErrOverflow, kSource);
  return CompressCounted(plain, count, codeLengths, CountBytes(plain, count));
}

ByteBuffer HuffmanEncode(const std::uint8_t* plain, std::size_t count) {
  if (count > kMaxPlainBytes) platform::RaiseRuntimeError(kErrOverflow, kSource);
  const std::array<std::uint64_t, 256> counts = CountBytes(plain, count);
  const CodeLengths lengths = HuffmanCodeLengths(counts);
  // The empty text has no code to give; HE3 only when it saves bytes.
  if (count > 0 && CompressedSize(counts, lengths) < 4 + count) {
    return CompressCounted(plain, count, lengths, counts);
  }
  return StoreContainer(plain, count);
}

}  // namespace trirotor::internal
