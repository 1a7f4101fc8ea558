// SPDX-License-Identifier: MIT
//
// random.cpp - the host's random source, the one the encoder draws each
// frame header from.
//
// Linux has getrandom. The WebAssembly C library declares getrandom without
// providing it, but has getentropy, which takes its bytes from the browser's
// crypto.getRandomValues (or Node.js's crypto) at most 256 at a time.

#include <cerrno>
#include <cstddef>

#include <sys/random.h>
#include <unistd.h>

#include "platform/platform.h"

namespace trirotor::platform {

bool RandomBytes(void* buffer, std::size_t length) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t filled = 0;
  while (filled < length) {
#if defined(__EMSCRIPTEN__)
    const std::size_t chunk = length - filled < 256 ? length - filled : 256;
    if (getentropy(out + filled, chunk) != 0) return false;
    filled += chunk;
#else
    const ssize_t got = getrandom(out + filled, length - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
#endif
  }
  return true;
}

}  // namespace trirotor::platform
