// SPDX-License-Identifier: MIT
//
// frame.h - the frame around the payload: its layout, how the pipeline
// checks it, and how the encoder builds it.
//
// Frame of n bytes:
//   0              header length L (this byte included)
//   1..L-3         header filler, not interpreted
//   L-2..L-1       the check pair (for L = 2 its first byte is L itself)
//   L..n-3         the payload (the container), possibly empty
//   n-2..n-1       the trailer: the check pair again, in the same order
// The encoder always writes L = 16 from a FrameHeader; the checker takes any
// L from 2 to n - 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/trirotor.h"

namespace trirotor::internal {

// The header length the encoder writes: length byte, 13 filler bytes, check pair.
inline constexpr std::uint8_t kFrameHeaderLength = 16;
// The trailer's length.
inline constexpr std::size_t kFrameTrailerLength = 2;

// Where the payload lies in a frame that checks out.
struct FrameSpan {
  std::size_t offset;
  std::size_t length;
};

// nullopt when the frame does not check out: L > n - 2, a trailer that does
// not repeat the check pair, and (having no check pair) an empty frame or
// L of 0 or 1.
std::optional<FrameSpan> CheckFrame(const std::uint8_t* frame, std::size_t n);

// The frame around a container: byte 0 the header length 16, header[1..13]
// as filler, header[14..15] the check pair, the container, then the check
// pair again as the trailer.
ByteBuffer FrameContainer(const ByteBuffer& container, const FrameHeader& header);

}  // namespace trirotor::internal
