// SPDX-License-Identifier: MIT
//
// pipeline.h - the frame around the payload, as the pipeline checks it.
//
// Frame of n bytes: byte 0 is the header length L (this byte included); the
// header's last two bytes are the check pair; the payload follows the header;
// the last two bytes repeat the check pair in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace trirotor {

// Where the payload lies in a frame that checks out.
struct FrameSpan {
  std::size_t offset;
  std::size_t length;
};

// nullopt when the frame does not check out: L > n - 2, a trailer that does
// not repeat the check pair, and (having no check pair) an empty frame or
// L of 0 or 1.
std::optional<FrameSpan> CheckFrame(const std::uint8_t* frame, std::size_t n);

}  // namespace trirotor
