// SPDX-License-Identifier: MIT
//
// checked.h - the engine's checked indexing: every read the data can steer
// goes through here and raises the host's run-time error instead of reading
// out of bounds, and every length the data can make too long for the
// engine's 32-bit positions is held to them here.
#pragma once

#include <cstdint>
#include <limits>

#include "platform/platform.h"

namespace trirotor::internal::checked {

// The largest length the engine's signed 32-bit lengths and positions hold.
inline constexpr std::int64_t kMaxLength = std::numeric_limits<std::int32_t>::max();

// `size` as a signed 32-bit length, or error 6 (overflow) raised in `source`
// when it does not fit: the one guard in front of every stage whose lengths
// and positions are 32-bit.
inline std::int32_t Int32Length(std::uint64_t size, const char* source) {
  if (size > static_cast<std::uint64_t>(kMaxLength)) platform::RaiseRuntimeError(kErrOverflow, source);
  return static_cast<std::int32_t>(size);
}

// The byte at `index` of data[0..length), or error 9 raised in `source`.
inline std::uint8_t ByteAt(const std::uint8_t* data, std::int64_t length, std::int64_t index, const char* source) {
  if (index < 0 || index >= length) platform::RaiseRuntimeError(kErrSubscript, source);
  return data[index];
}

// Fails with error 9 unless data[index..index+count) lies within data[0..length).
inline void RequireRange(std::int64_t length, std::int64_t index, std::int64_t count, const char* source) {
  if (index < 0 || count < 0 || index > length - count) {
    platform::RaiseRuntimeError(kErrSubscript, source);
  }
}

}  // namespace trirotor::internal::checked

#include <cmath>

namespace trirotor::internal::checked {

// A double narrowed to a 16-bit integer the host's way: to the nearest,
// halves to even. Only used on percentages, which always fit.
inline std::int16_t RoundHalfEven(double value) { return static_cast<std::int16_t>(std::nearbyint(value)); }

}  // namespace trirotor::internal::checked
