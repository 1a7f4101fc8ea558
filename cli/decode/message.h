// SPDX-License-Identifier: MIT
//
// message.h - a message file's bytes as the code page's bytes, and the plain
// bytes back out as UTF-8.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/trirotor.h"

namespace trirotor::cli {

// What reading a message's characters through the code page found.
struct MessageReading {
  std::size_t bestFit = 0;                                      // characters read as Windows' look-alike ('Ａ' as 'A')
  std::vector<std::pair<char16_t, std::size_t>> commonBestFit;  // up to 3, most frequent first
};
// A message file's bytes as the code page's bytes, in place: a file that is
// valid UTF-8 and not all ASCII is read as text and each character turned
// into its byte, a look-alike's under Windows' tables; any other file is
// taken as the page's bytes as they stand.
MessageReading MessageToCodePage(ByteBuffer& message);

// The plain bytes as UTF-8, a slice at a time (each at most 96 KiB), through
// the code page: what decode writes without --raw.
void ForEachUtf8Slice(const ByteBuffer& plain, const std::function<void(std::string_view)>& take);

}  // namespace trirotor::cli
