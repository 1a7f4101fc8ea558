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
#include "engine/salvage.h"

namespace trirotor {

using namespace internal;

namespace internal {

namespace {

// Whether the lengths fill the code space exactly: the sum of 2^-length over
// the codes is 1, added up from the longest codes with carries, so that
// lengths up to 255 need no wide numbers.
bool FillsCodeSpace(const CodeLengths& codeLength) {
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

// Whether no code begins another and no two are the same: then no node
// where a code ends has anything below it, and every code has its own end.
bool IsPrefixFree(const DecodeTree& tree, std::int32_t nodesInUse, int codeValues) {
  int ends = 0;
  for (std::int32_t i = 1; i < nodesInUse; ++i) {
    const TreeNode& node = tree[static_cast<std::size_t>(i)];
    if (node.symbol < 0) continue;
    if (node.zeroChild >= 0 || node.oneChild >= 0) return false;
    ++ends;
  }
  return ends == codeValues;
}

}  // namespace

CompressedReading ReadCompressedLeniently(const std::uint8_t* in, std::size_t n) {
  CompressedReading r;
  const CodeTable table = ReadCodeTable(in, n);
  const auto stop = [&r](ContainerFault fault, std::size_t at) {
    r.stoppedAt = at;
    r.stoppedBecause = ContainerFaultReason(fault);
    return r;
  };
  r.headerWhole = table.headerWhole;
  if (table.headerWhole) {
    r.checksum = table.checksum;
    r.plainLength = table.plainLength;
    r.entryCount = table.entryCount;
  }
  for (const std::uint8_t bits : table.codeLength) {
    if (bits == 0) continue;
    ++r.codeValues;
    r.shortestCode = r.shortestCode == 0 ? bits : std::min<int>(r.shortestCode, bits);
    r.longestCode = std::max<int>(r.longestCode, bits);
  }
  r.codeComplete = FillsCodeSpace(table.codeLength);
  r.dataAt = table.dataAt;
  if (table.fault != ContainerFault::kNone) return stop(table.fault, table.faultAt);

  DecodeTree tree;
  std::int32_t nodesInUse = 1;
  if (!BuildDecodeTree(in, table, tree, &nodesInUse)) return stop(ContainerFault::kTreeOutgrown, table.codesAt);
  r.prefixFree = IsPrefixFree(tree, nodesInUse, r.codeValues);
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
      if (node < 0) return stop(ContainerFault::kDataLeavesTree, p);
      if (tree[static_cast<std::size_t>(node)].symbol >= 0) {
        r.plain.push_back(static_cast<std::uint8_t>(tree[static_cast<std::size_t>(node)].symbol));
        r.dataBitsUsed = bitsTaken;
        if (r.plain.size() == plainLength) break;
        node = 0;
      }
    }
  }
  if (r.plain.size() < plainLength) return stop(ContainerFault::kDataEnds, n);
  r.complete = true;
  return r;
}

std::size_t FindTrailer(const std::uint8_t* frame, std::size_t n) {
  const std::size_t headerLength = frame[0];
  // Searched from the end back, so a repeat inside the text cuts nothing
  // off when the trailer is there; p runs from n - 2 down to the first byte
  // after the identification.
  if (headerLength < 2 || headerLength + kIdentificationLength > n) return n;
  for (std::size_t p = n - 1; p-- > headerLength + kIdentificationLength;) {
    if (frame[p] == frame[headerLength - 2] && frame[p + 1] == frame[headerLength - 1]) return p;
  }
  return n;
}

}  // namespace internal

SalvageResult SalvageBytes(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix) {
  SalvageResult result;
  if (message.size() < kShortestMessage) return result;
  DecodeBase64InPlace(message);
  if (!DecryptUnderKey(message, key, keySuffix)) return result;  // stopped at a pause: the bytes are half decrypted

  const std::uint8_t* frame = message.data();
  const std::size_t n = message.size();
  if (n == 0) return result;
  const std::size_t headerLength = frame[0];
  if (headerLength < 2 || headerLength > n) return result;
  const std::uint8_t* container = frame + headerLength;
  const ContainerKind kind = IdentifyContainer(container, n - headerLength);
  if (kind != ContainerKind::kStored && kind != ContainerKind::kCompressed) return result;
  result.looksLikeFrame = true;
  result.kind = static_cast<char>(container[2]);

  // The trailer repeats the header's check pair; junk may follow it.
  const std::size_t end = FindTrailer(frame, n);

  if (result.kind == '0') {
    result.trailerFound = end != n;
    result.plain.assign(container + kIdentificationLength, frame + end);
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
