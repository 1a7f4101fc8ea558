// SPDX-License-Identifier: MIT
//
// recover_command.h - trirotor recover on the command line: its options,
// and its run over the recover library (recover.h).
#pragma once

#include <memory>

namespace CLI {
class App;
}

namespace trirotor::cli {

// The recover command on a command line, with the options it owns: made
// in the table of commands, it adds itself and its options to `app`.
class RecoverCommand {
 public:
  explicit RecoverCommand(CLI::App& app);
  ~RecoverCommand();
  RecoverCommand(const RecoverCommand&) = delete;
  RecoverCommand& operator=(const RecoverCommand&) = delete;

  CLI::App* App() const { return app_; }
  // Runs the parsed command; returns its exit status (0 found, 3 none
  // opens, 128 + N after signal N, as its --help tells).
  int Run();

  struct CommandOptions;

 private:
  std::unique_ptr<CommandOptions> options_;  // the options' parsers point into it
  CLI::App* app_;
};

}  // namespace trirotor::cli
