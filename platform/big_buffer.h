// SPDX-License-Identifier: MIT
//
// big_buffer.h - sizing large working buffers on huge pages, a host service
// for the engine's buffers and the tool's buffer that a message is read into.
//
// A fresh page costs a fault when it is first touched, and on a busy virtual
// machine that fault costs more than decoding the bytes on the page. Asking
// for transparent huge pages before the first touch lets one fault serve
// 2 MB. Only the aligned middle of a buffer of 4 MB or more is advised; on
// systems without madvise, and where the system declines, the buffer is an
// ordinary one. Contents and sizes are never affected.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace trirotor {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Resizes the empty `buffer` to `count` zeroed elements, advising huge
// pages for its storage first when it is large.
template <typename Buffer>
void SizeFreshBuffer(Buffer& buffer, std::size_t count) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const std::size_t bytes = count * sizeof(typename Buffer::value_type);
  if (bytes >= 2 * kHugePage) {
    buffer.reserve(count);
    const auto start = reinterpret_cast<std::uintptr_t>(buffer.data());
    const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // advice only
  }
#endif
  buffer.resize(count);
}

}  // namespace trirotor
