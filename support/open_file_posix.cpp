// SPDX-License-Identifier: MIT
//
// open_file_posix.cpp - OpenFile where a name is its bytes.

#include "support/open_file.h"

#include <fcntl.h>

namespace trirotor::support {

int OpenFile(const std::string& utf8, int flags, int mode) { return ::open(utf8.c_str(), flags | O_CLOEXEC, mode); }

}  // namespace trirotor::support
