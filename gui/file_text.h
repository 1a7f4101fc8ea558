// SPDX-License-Identifier: MIT
//
// file_text.h - what a file taken into a window's input pane holds: the
// rules the Qt window and the Windows window share, free of either's types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace trirotor::gui {

// Files larger than this are refused before anything is read: the engine
// holds a few copies of a message, and its lengths are 32-bit.
inline constexpr std::int64_t kMaxInputFileBytes = std::int64_t{256} << 20;

// Texts longer than this many UTF-16 units are held aside and only
// summarised in a pane: laying out tens of megabytes would freeze a window
// for seconds.
inline constexpr std::size_t kPaneTextLimit = 256 * 1024;

struct FileText {
  std::u16string text;
  bool utf8 = true;  // false: bytes of this thread's code page
};

// The text a file's bytes stand for. Text files are UTF-8 (strict, a
// leading byte-order mark dropped), as the command line reads and writes
// them; bytes that are not valid UTF-8 are taken as characters of this
// thread's code page, one a byte, as the sealing program's own files were.
// Never fails: any bytes give a text.
FileText TextOfFileBytes(std::string_view bytes);

}  // namespace trirotor::gui
