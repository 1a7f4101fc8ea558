// SPDX-License-Identifier: MIT
//
// random.cpp - getrandom for the WebAssembly build.
//
// The encoder draws each frame header from getrandom, which this C library
// declares but does not provide; getentropy is there and takes its bytes
// from the browser's crypto.getRandomValues (or Node.js's crypto).

#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include <sys/random.h>

extern "C" ssize_t getrandom(void* buffer, std::size_t length, unsigned /*flags*/) {
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t filled = 0;
  while (filled < length) {
    const std::size_t chunk = std::min<std::size_t>(length - filled, 256);  // getentropy's limit
    if (getentropy(out + filled, chunk) != 0) return filled > 0 ? static_cast<ssize_t>(filled) : -1;
    filled += chunk;
  }
  return static_cast<ssize_t>(filled);
}
