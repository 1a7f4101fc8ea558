// SPDX-License-Identifier: MIT
//
// build_info.h - what --version tells about this build, for the tool and the
// window alike: the version, the commit, compiler and build type, and which
// optional parts were built.
#pragma once

#include <string>
#include <string_view>

namespace trirotor::support {

// The project's version, "0.1.0".
std::string_view Version();

// The lines after "PROGRAM VERSION", the last without its newline:
//   build: commit 8aeac27ab1c2, GNU 12.2.0, RelWithDebInfo
//   parts: window yes, Python no, Windows tables yes (always built in)
// The commit is "unknown" when the sources were not a git checkout.
std::string BuildDescription();

// The whole answer to --version, "PROGRAM VERSION\n" and BuildDescription(),
// without its last newline (CLI11 and Qt add one).
std::string VersionText(std::string_view program);

}  // namespace trirotor::support
