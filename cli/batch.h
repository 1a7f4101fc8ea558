// SPDX-License-Identifier: MIT
//
// batch.h - decode and encode --jsonl: one record a line in, one a line out.
#pragma once

#include "cli/decode/options.h"
#include "cli/decode/keys.h"

namespace trirotor::cli {

// The records of the input, each answered on standard output with the
// keys the command line gave; returns the run's exit status.
int RunBatch(const Options& options, const KeyPair& keys);

}  // namespace trirotor::cli
