// SPDX-License-Identifier: MIT
//
// open_file.h - opening a file by its UTF-8 name, the one call the helpers
// below the tool (key files) need from the system: open() of the name's
// bytes on POSIX systems (open_file_posix.cpp), _wopen() of its UTF-16 form
// on Windows (wide_path_windows.cpp). Either way the descriptor is not
// inherited by children.
#pragma once

#include <string>

namespace trirotor::support {

// The file named `utf8`, opened with `flags` (O_RDONLY, ...) and `mode` for
// a file made; -1 with errno set as open() sets it. On Windows always
// binary, and the name goes through WidePath (wide_path.h).
int OpenFile(const std::string& utf8, int flags, int mode = 0);

}  // namespace trirotor::support
