// SPDX-License-Identifier: MIT
//
// inspect.h - trirotor inspect: what each stage of decoding saw.
#pragma once

#include "cli/decode/options.h"

namespace trirotor::cli {

// trirotor inspect: the report on standard output; the status decode would
// give (0 without a key for a message of 4 characters or more).
int RunInspect(const Options& options);

}  // namespace trirotor::cli
