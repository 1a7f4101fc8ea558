// SPDX-License-Identifier: MIT
//
// wide_path.h - files by UTF-8 name on Windows, where the system's own
// names are UTF-16: the one way the tool and its helpers open, create and
// replace files there. (On other systems a name is its bytes, and open()
// takes it as it stands.)
#pragma once

#include <string>
#include <string_view>

#include "support/open_file.h"  // OpenFile: _wopen of WidePath(utf8) here

namespace trirotor::support {

// A UTF-8 name as Windows takes it: UTF-16, and an absolute name of a
// drive or share, made full first, given the \\?\ form, which lifts the
// 260-character limit. Device names (NUL, CON) come out as \\.\NUL; '/'
// is taken as '\'. Invalid UTF-8 gives "" (no file is named so).
std::wstring WidePath(std::string_view utf8);

// Whether the UTF-8 name names a folder.
bool IsDirectory(const std::string& utf8);

// UTF-8 to UTF-16 as it stands ("" for invalid UTF-8).
std::wstring WideText(std::string_view utf8);

// UTF-16 to UTF-8 (a lone surrogate becomes U+FFFD), for names and
// arguments the system gives.
std::string NarrowText(std::wstring_view wide);

}  // namespace trirotor::support
