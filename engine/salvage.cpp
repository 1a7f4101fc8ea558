// SPDX-License-Identifier: MIT
//
// salvage.cpp - reading what a damaged message still holds.
//
// A message cut short loses its trailer, so the frame check fails and the
// pipeline returns nothing, although every byte before the cut decrypts as
// it would have: each keystream byte depends only on the ciphertext before
// it. Salvage decrypts the message, trusts the header length if the payload
// after it starts with a container identification, and reads the container
// as far as it goes. The compressed container is walked bit by bit over its
// own tree: slow beside the pipeline's table, but it must stop on the first
// bit that goes bad rather than raise, and it runs once per damaged message.

#include "engine/trirotor.h"

#include <algorithm>
#include <utility>

#include "engine/base64.h"
#include "engine/container.h"
#include "engine/frame.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"
#include "engine/status.h"
#include "engine/salvage.h"

namespace trirotor {

using namespace internal;

namespace {

constexpr std::size_t kIdentLength = 4;

// The compressed container's header: checksum (1), plain length (4), entry
// count (2), then two bytes an entry.
constexpr std::size_t kEntriesAt = 11;

}  // namespace

namespace internal {

namespace {

// Whether the lengths fill the code space exactly: the sum of 2^-length over
// the codes is 1, added up from the longest codes with carries, so that
// lengths up to 255 need no wide numbers.
bool FillsCodeSpace(const std::array<std::uint8_t, 256>& codeLength) {
  std::array<std::uint32_t, 256> perLength{};
  for (std::uint8_t bits : codeLength) {
    if (bits != 0) ++perLength[bits];
  }
  std::uint32_t carry = 0;
  for (int bits = 255; bits >= 1; --bits) {
    const std::uint32_t total = perLength[static_cast<std::size_t>(bits)] + carry;
    if (total % 2 != 0) return false;
    carry = total / 2;
  }
  return carry == 1;
}

}  // namespace

CompressedReading ReadCompressedLeniently(const std::uint8_t* in, std::size_t n) {
  CompressedReading r;
  if (n < kEntriesAt) {
    r.stoppedAt = n;
    r.stoppedBecause = "the container header is cut short";
    return r;
  }
  r.headerWhole = true;
  r.checksum = in[4];
  r.plainLength = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(in[5]) | static_cast<std::uint32_t>(in[6]) << 8 |
      static_cast<std::uint32_t>(in[7]) << 16 | static_cast<std::uint32_t>(in[8]) << 24);
  r.entryCount = static_cast<std::int16_t>(in[9] | in[10] << 8);
  r.stoppedAt = kEntriesAt;
  if (r.plainLength < 0) {
    r.stoppedBecause = "the container announces a negative length";
    return r;
  }
  if (r.entryCount < 0) {
    r.stoppedBecause = "the code table has a negative entry count";
    return r;
  }
  const std::size_t codesAt = kEntriesAt + 2 * static_cast<std::size_t>(r.entryCount);
  if (codesAt > n) {
    r.stoppedAt = n;
    r.stoppedBecause = "the code table is cut short";
    return r;
  }

  // A later entry for a byte value replaces an earlier one.
  std::array<std::uint8_t, 256> codeLength{};
  for (std::size_t i = 0; i < static_cast<std::size_t>(r.entryCount); ++i) {
    codeLength[in[kEntriesAt + 2 * i]] = in[kEntriesAt + 2 * i + 1];
  }
  std::size_t codeBits = 0;
  for (std::uint8_t bits : codeLength) {
    codeBits += bits;
    if (bits == 0) continue;
    ++r.codeValues;
    r.shortestCode = r.shortestCode == 0 ? bits : std::min<int>(r.shortestCode, bits);
    r.longestCode = std::max<int>(r.longestCode, bits);
  }
  r.codeComplete = FillsCodeSpace(codeLength);

  // The codes' bits, in ascending order of byte value, into the tree.
  r.dataAt = codesAt + (codeBits + 7) / 8;
  if (r.dataAt > n) {
    r.stoppedAt = n;
    r.stoppedBecause = "the code bits are cut short";
    return r;
  }
  DecodeTree tree;
  std::int32_t nodesInUse = 1;
  std::size_t bitAt = codesAt * 8;
  bool prefixFree = true;
  for (std::int32_t value = 0; value < 256; ++value) {
    SymbolCode code;
    code.codeLength = codeLength[static_cast<std::size_t>(value)];
    code.codeBits.resize(code.codeLength);
    for (std::uint8_t& bit : code.codeBits) {
      bit = (in[bitAt / 8] >> (bitAt % 8)) & 1;
      ++bitAt;
    }
    if (code.codeLength == 0) continue;
    // Walking the bits first: a code that passes through or ends on another
    // code's end, or ends where nodes already hang, is not prefix-free.
    std::int32_t node = 0;
    for (std::uint8_t bit : code.codeBits) {
      if (node < 0) break;
      if (node != 0 && tree[static_cast<std::size_t>(node)].symbol >= 0) prefixFree = false;
      node = bit != 0 ? tree[static_cast<std::size_t>(node)].oneChild : tree[static_cast<std::size_t>(node)].zeroChild;
    }
    if (node >= 0) prefixFree = false;  // the whole path existed already
    try {
      AddTreeCode(tree, nodesInUse, value, code);
    } catch (const EngineError&) {
      r.stoppedAt = codesAt;
      r.stoppedBecause = "the codes outgrow the decode tree";
      return r;
    }
  }
  r.prefixFree = prefixFree;
  r.tableWhole = true;

  // The data bits, one code at a time; the output never outgrows the bits.
  const auto plainLength = static_cast<std::size_t>(r.plainLength);
  r.dataBitsPresent = std::uint64_t{n - r.dataAt} * 8;
  r.plain.reserve(std::min<std::uint64_t>(plainLength, r.dataBitsPresent));
  std::int16_t node = 0;
  std::uint64_t bitsTaken = 0;
  for (std::size_t p = r.dataAt; p < n && r.plain.size() < plainLength; ++p) {
    for (int bit = 0; bit < 8; ++bit) {
      const TreeNode& at = tree[static_cast<std::size_t>(node)];
      node = (in[p] >> bit) & 1 ? at.oneChild : at.zeroChild;
      ++bitsTaken;
      if (node < 0) {
        r.stoppedAt = p;
        r.stoppedBecause = "the data leaves the code tree";
        return r;
      }
      if (tree[static_cast<std::size_t>(node)].symbol >= 0) {
        r.plain.push_back(static_cast<std::uint8_t>(tree[static_cast<std::size_t>(node)].symbol));
        r.dataBitsUsed = bitsTaken;
        if (r.plain.size() == plainLength) break;
        node = 0;
      }
    }
  }
  if (r.plain.size() < plainLength) {
    r.stoppedAt = n;
    r.stoppedBecause = "the data ends";
    return r;
  }
  r.complete = true;
  return r;
}

std::size_t FindTrailer(const std::uint8_t* frame, std::size_t n) {
  const std::size_t headerLength = frame[0];
  // Searched from the end back, so a repeat inside the text cuts nothing
  // off when the trailer is there; p runs from n - 2 down to the first byte
  // after the identification.
  if (headerLength < 2 || headerLength + kIdentLength > n) return n;
  for (std::size_t p = n - 1; p-- > headerLength + kIdentLength;) {
    if (frame[p] == frame[headerLength - 2] && frame[p + 1] == frame[headerLength - 1]) return p;
  }
  return n;
}

}  // namespace internal

SalvageResult SalvageBytes(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix) {
  SalvageResult result;
  if (message.size() < 4) return result;
  DecodeBase64InPlace(message);
  if (!DecryptUnderKey(message, key, keySuffix)) return result;  // stopped at a pause: the bytes are half decrypted

  const std::uint8_t* frame = message.data();
  const std::size_t n = message.size();
  if (n == 0) return result;
  const std::size_t headerLength = frame[0];
  if (headerLength < 2 || headerLength + kIdentLength > n) return result;
  const std::uint8_t* container = frame + headerLength;
  if (container[0] != 'H' || container[1] != 'E' || container[3] != '\r' ||
      (container[2] != '0' && container[2] != '3')) {
    return result;
  }
  result.looksLikeFrame = true;
  result.kind = static_cast<char>(container[2]);

  // The trailer repeats the header's check pair; junk may follow it.
  const std::size_t end = FindTrailer(frame, n);

  if (result.kind == '0') {
    result.trailerFound = end != n;
    result.plain.assign(container + kIdentLength, frame + end);
  } else {
    // The announced length bounds the data, so the trailer and what follows
    // it need not be found.
    CompressedReading reading = ReadCompressedLeniently(container, n - headerLength);
    if (reading.headerWhole) result.announcedLength = reading.plainLength;
    result.complete = reading.complete;
    result.stoppedBecause = reading.stoppedBecause;
    if (reading.complete) {
      std::uint8_t sum = 0;
      for (std::uint8_t b : reading.plain) sum ^= b;
      result.checksumAgrees = sum == reading.checksum;
    }
    result.plain = std::move(reading.plain);
  }
  return result;
}

}  // namespace trirotor
