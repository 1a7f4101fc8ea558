// SPDX-License-Identifier: MIT
//
// frame.cpp - checking a decrypted frame and building one around a container.

#include "engine/frame.h"

#include <algorithm>

#include "platform/big_buffer.h"

namespace trirotor::internal {

std::optional<FrameSpan> CheckFrame(const std::uint8_t* frame, std::size_t n) {
  if (n == 0) return std::nullopt;
  const std::size_t headerLength = frame[0];
  // A header of 0 or 1 bytes has no check pair to compare.
  if (headerLength < 2 || headerLength + kFrameTrailerLength > n) return std::nullopt;
  if (frame[n - 2] != frame[headerLength - 2] || frame[n - 1] != frame[headerLength - 1]) {
    return std::nullopt;
  }
  return FrameSpan{headerLength, n - headerLength - kFrameTrailerLength};
}

ByteBuffer FrameContainer(const ByteBuffer& container, const FrameHeader& header) {
  static_assert(std::tuple_size_v<FrameHeader> == kFrameHeaderLength);
  ByteBuffer frame;
  SizeFreshBuffer(frame, kFrameHeaderLength + container.size() + kFrameTrailerLength);
  std::uint8_t* out = frame.data();
  *out++ = kFrameHeaderLength;                               // header length L
  out = std::copy(header.begin() + 1, header.end(), out);    // filler, check pair
  out = std::copy(container.begin(), container.end(), out);  // payload
  *out++ = header[kFrameHeaderLength - 2];                   // trailer: the check pair again
  *out = header[kFrameHeaderLength - 1];
  return frame;
}

}  // namespace trirotor::internal
