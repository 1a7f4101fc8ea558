// SPDX-License-Identifier: MIT
//
// archive_run.h - the archive run's entry: whether a command line asks for one,
// and the run.
#pragma once

#include "cli/decode/options.h"

namespace trirotor::cli {

// Whether the options ask for an archive run: decode with --verify or
// --output-dir (files, folders, or both; any -j).
bool IsArchiveRun(const Options& options);
// The run: keys resolved here; throws Failure as Run's other paths do.
int RunArchive(const Options& options);

}  // namespace trirotor::cli
