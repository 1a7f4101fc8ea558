// SPDX-License-Identifier: MIT
//
// random_windows.cpp - the host's random source on Windows: the system's
// preferred generator through BCryptGenRandom, which takes a ULONG length,
// so a huge request goes in slices.

#include <cstddef>

#include <windows.h>
#include <bcrypt.h>

#include "platform/platform.h"

namespace trirotor::platform {

bool RandomBytes(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  constexpr std::size_t kSlice = std::size_t{1} << 30;
  while (length > 0) {
    const std::size_t chunk = length < kSlice ? length : kSlice;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, static_cast<ULONG>(chunk), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return false;
    out += chunk;
    length -= chunk;
  }
  return true;
}

}  // namespace trirotor::platform
