// SPDX-License-Identifier: MIT
//
// archive_windows.cpp - the archive run in the Windows build: not there yet.
// Its walk, globs and digests are POSIX's and libcrypto's; until they have a
// Windows side, an archive run is refused with words that say so, and
// --output-dir with a list of files works as before.

#include <string>

#include "cli/cli.h"

namespace trirotor::cli {

int RunArchive(const Options&) {
  throw Failure{kExitUsage,
                "folders as inputs, and -r, --include, --exclude, --follow-symlinks, --report, --resume, --verify, "
                "--keyring or -j with --output-dir, are not in the Windows build yet: give --output-dir a list of "
                "files"};
}

}  // namespace trirotor::cli
