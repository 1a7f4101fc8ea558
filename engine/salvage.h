// SPDX-License-Identifier: MIT
//
// salvage.h - reading a compressed container without trusting it to the
// end: every fact it gives and every byte whose code is complete, stopping
// on the first fault instead of raising. Shared by salvage and inspection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/trirotor.h"

namespace trirotor::internal {

struct CompressedReading {
  bool headerWhole = false;   // checksum, plain length and entry count present
  std::uint8_t checksum = 0;  // as stored
  std::int32_t plainLength = 0;
  std::int16_t entryCount = 0;
  bool tableWhole = false;                // the entries and code bits present, the tree built
  int codeValues = 0;                     // byte values with a code
  int shortestCode = 0, longestCode = 0;  // in bits, over those values
  bool prefixFree = false;                // no code begins another, no two the same
  bool codeComplete = false;              // the lengths fill the code space exactly
  std::size_t dataAt = 0;                 // where the data bits start in the container
  std::uint64_t dataBitsPresent = 0;
  std::uint64_t dataBitsUsed = 0;  // by the bytes decoded
  ByteBuffer plain;                // the bytes decoded, at most plainLength
  bool complete = false;           // all plainLength bytes decoded
  std::size_t stoppedAt = 0;       // container byte where decoding stopped, when incomplete
  std::string stoppedBecause;      // "" when complete
};

// Reads the compressed container in[0..n) ("HE3\r" first).
CompressedReading ReadCompressedLeniently(const std::uint8_t* in, std::size_t n);

// Where a decrypted frame's trailer starts: the last repeat of the header's
// check pair after the container's identification, n when there is none.
std::size_t FindTrailer(const std::uint8_t* frame, std::size_t n);

}  // namespace trirotor::internal
