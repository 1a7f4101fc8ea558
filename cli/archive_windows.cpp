// SPDX-License-Identifier: MIT
//
// archive_windows.cpp - the archive run in the Windows build: not there yet.
// Its walk, globs and digests are POSIX's and libcrypto's; until they have a
// Windows side, an archive run is refused with words that say so, and
// --output-dir with a list of files works as before.

#include <algorithm>
#include <string>

#include "cli/cli.h"
#include "support/wide_path.h"

namespace trirotor::cli {

bool IsArchiveRun(const Options& options) {
  if (options.mode != Mode::kDecode || options.jsonl) return false;
  if (!options.verify.empty()) return true;
  if (options.outputDir.empty()) return false;
  if (options.recursive || !options.include.empty() || !options.exclude.empty() || options.followLinks ||
      !options.report.empty() || options.resume || options.keyRing || options.jobs != 0) {
    return true;
  }
  return std::any_of(options.inputs.begin(), options.inputs.end(),
                     [](const std::string& input) { return support::IsDirectory(input); });
}

int RunArchive(const Options&) {
  throw Failure{kExitUsage,
                "folders as inputs, and -r, --include, --exclude, --follow-symlinks, --report, --resume, --verify, "
                "--keyring or -j with --output-dir, are not in the Windows build yet: give --output-dir a list of "
                "files"};
}

}  // namespace trirotor::cli
