// SPDX-License-Identifier: MIT
//
// checked.h - the engine's checked indexing: every read the data can steer
// goes through here and raises the host's run-time error instead of reading
// out of bounds.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace trirotor::internal::checked {

// The byte at `index` of data[0..length), or error 9 raised in `source`.
inline std::uint8_t ByteAt(const std::uint8_t* data, std::int64_t length, std::int64_t index,
                           const char* source) {
  if (index < 0 || index >= length) platform::RaiseRuntimeError(kErrSubscript, source);
  return data[index];
}

// Fails with error 9 unless data[index..index+count) lies within data[0..length).
inline void RequireRange(std::int64_t length, std::int64_t index, std::int64_t count,
                         const char* source) {
  if (index < 0 || count < 0 || index > length - count) {
    platform::RaiseRuntimeError(kErrSubscript, source);
  }
}

}  // namespace trirotor::internal::checked

#include <cmath>

namespace trirotor::internal::checked {

// A double narrowed to a 16-bit integer the host's way: to the nearest,
// halves to even. Only used on percentages, which always fit.
inline std::int16_t RoundHalfEven(double value) {
  return static_cast<std::int16_t>(std::nearbyint(value));
}

}  // namespace trirotor::internal::checked
