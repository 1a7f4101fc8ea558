// SPDX-License-Identifier: MIT
//
// block_copy.cpp - a byte copy whose source and destination may overlap.

#include <cstring>

#include "platform/platform.h"

namespace trirotor::platform {

void BlockCopy(void* destination, const void* source, std::size_t count) {
  if (count != 0) std::memmove(destination, source, count);
}

}  // namespace trirotor::platform
