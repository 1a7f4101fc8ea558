// SPDX-License-Identifier: MIT
//
// recover_command.h - trirotor recover on the command line: its options,
// and its run over the recover library (recover.h).
#pragma once

namespace CLI {
class App;
}

namespace trirotor::cli {

// Adds the recover command and its options to the tool's command line.
CLI::App* AddRecoverCommand(CLI::App& app);
// Runs the parsed recover command; returns its exit status (0 found,
// 3 none opens, 128 + N after signal N, as its --help tells).
int RunRecoverCommand();

}  // namespace trirotor::cli
