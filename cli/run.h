// SPDX-License-Identifier: MIT
//
// run.h - the decode, encode and inspect commands carried out: one
// message, several, JSON lines or an archive run.
#pragma once

#include "cli/decode/options.h"

namespace trirotor::cli {

// Does the work of one command line and returns its exit status.
int Run(const Options& options);

}  // namespace trirotor::cli
