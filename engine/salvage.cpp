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

#include "engine/base64.h"
#include "engine/container.h"
#include "engine/frame.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"

namespace trirotor {

using namespace internal;

namespace {

constexpr std::size_t kIdentLength = 4;

// The compressed container's header: checksum (1), plain length (4), entry
// count (2), then two bytes an entry.
constexpr std::size_t kEntriesAt = 11;

// Reads a compressed container in[0..n) into `result`.
void SalvageCompressed(const std::uint8_t* in, std::size_t n, SalvageResult& result) {
  if (n < kEntriesAt) {
    result.stoppedBecause = "the container header is cut short";
    return;
  }
  const std::uint8_t checksum = in[4];
  const auto plainLength = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(in[5]) | static_cast<std::uint32_t>(in[6]) << 8 |
      static_cast<std::uint32_t>(in[7]) << 16 | static_cast<std::uint32_t>(in[8]) << 24);
  const auto entryCount = static_cast<std::int16_t>(in[9] | in[10] << 8);
  result.announcedLength = plainLength;
  if (plainLength < 0) {
    result.stoppedBecause = "the container announces a negative length";
    return;
  }
  if (entryCount < 0) {
    result.stoppedBecause = "the code table has a negative entry count";
    return;
  }
  const std::size_t codesAt = kEntriesAt + 2 * static_cast<std::size_t>(entryCount);
  if (codesAt > n) {
    result.stoppedBecause = "the code table is cut short";
    return;
  }

  // A later entry for a byte value replaces an earlier one.
  std::array<std::uint8_t, 256> codeLength{};
  for (std::size_t i = 0; i < static_cast<std::size_t>(entryCount); ++i) {
    codeLength[in[kEntriesAt + 2 * i]] = in[kEntriesAt + 2 * i + 1];
  }
  std::size_t codeBits = 0;
  for (std::uint8_t bits : codeLength) codeBits += bits;

  // The codes' bits, in ascending order of byte value, into the tree.
  const std::size_t dataAt = codesAt + (codeBits + 7) / 8;
  if (dataAt > n) {
    result.stoppedBecause = "the code bits are cut short";
    return;
  }
  DecodeTree tree;
  std::int32_t nodesInUse = 1;
  std::size_t bitAt = codesAt * 8;
  for (std::int32_t value = 0; value < 256; ++value) {
    SymbolCode code;
    code.codeLength = codeLength[static_cast<std::size_t>(value)];
    code.codeBits.resize(code.codeLength);
    for (std::uint8_t& bit : code.codeBits) {
      bit = (in[bitAt / 8] >> (bitAt % 8)) & 1;
      ++bitAt;
    }
    try {
      AddTreeCode(tree, nodesInUse, value, code);
    } catch (const EngineError&) {
      result.stoppedBecause = "the codes outgrow the decode tree";
      return;
    }
  }

  // The data bits, one code at a time; the output never outgrows the bits.
  const std::size_t limit =
      std::min(static_cast<std::size_t>(plainLength), (n - dataAt) * 8);
  result.plain.reserve(limit);
  std::int16_t node = 0;
  for (std::size_t p = dataAt; p < n && result.plain.size() < static_cast<std::size_t>(plainLength); ++p) {
    for (int bit = 0; bit < 8; ++bit) {
      const TreeNode& at = tree[static_cast<std::size_t>(node)];
      node = (in[p] >> bit) & 1 ? at.oneChild : at.zeroChild;
      if (node < 0) {
        result.stoppedBecause = "the data leaves the code tree at byte " + std::to_string(p) +
                                " of the container";
        return;
      }
      if (tree[static_cast<std::size_t>(node)].symbol >= 0) {
        result.plain.push_back(static_cast<std::uint8_t>(tree[static_cast<std::size_t>(node)].symbol));
        if (result.plain.size() == static_cast<std::size_t>(plainLength)) break;
        node = 0;
      }
    }
  }
  if (result.plain.size() < static_cast<std::size_t>(plainLength)) {
    result.stoppedBecause = "the data ends";
    return;
  }
  result.complete = true;
  std::uint8_t sum = 0;
  for (std::uint8_t b : result.plain) sum ^= b;
  result.checksumAgrees = sum == checksum;
}

}  // namespace

SalvageResult SalvageBytes(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix) {
  SalvageResult result;
  if (message.size() < 4) return result;
  DecodeBase64InPlace(message);
  InitCipher(key, keySuffix);
  DecryptBuffer(message);

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
  const std::uint8_t pair0 = frame[headerLength - 2];
  const std::uint8_t pair1 = frame[headerLength - 1];
  std::size_t end = n;
  // Searched from the end back, so a repeat inside the text cuts nothing
  // off when the trailer is there; p runs from n - 2 down to the first byte
  // after the identification (n >= 6 here).
  for (std::size_t p = n - 1; p-- > headerLength + kIdentLength;) {
    if (frame[p] == pair0 && frame[p + 1] == pair1) {
      end = p;
      break;
    }
  }

  if (result.kind == '0') {
    result.trailerFound = end != n;
    result.plain.assign(container + kIdentLength, frame + end);
  } else {
    // The announced length bounds the data, so the trailer and what follows
    // it need not be found.
    SalvageCompressed(container, n - headerLength, result);
  }
  return result;
}

}  // namespace trirotor
