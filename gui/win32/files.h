// SPDX-License-Identifier: MIT
//
// files.h - the Windows window's files: a message or text read into the
// input with a bound, and the result saved so that a failure never leaves
// half a file where a whole one was.
#pragma once

#include <cstdint>
#include <string>

namespace trirotor::gui::win32 {

struct InputFile {
  bool ok = false;
  std::u16string text;  // when ok
  bool utf8 = true;     // when ok: false if read as bytes of the code page
  std::wstring error;   // when not ok, for the status line
};

// Reads at most `maxBytes` bytes, whatever size the file claims, and takes
// them as gui/file_text.h says. A folder, a missing or unreadable file and
// one over the bound are refused in words naming the path.
InputFile ReadInputFile(const std::wstring& path, std::int64_t maxBytes);

// Writes `text` as UTF-8 to a new file beside `path`, then puts it in
// path's place (ReplaceFileW, keeping an old file's attributes, or
// MoveFileExW where there is none). On any failure the file at `path` is
// as it was and no temporary file is left. Returns "" or the reason.
std::wstring SaveTextFile(const std::wstring& path, std::u16string_view text);

}  // namespace trirotor::gui::win32
