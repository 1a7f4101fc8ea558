// SPDX-License-Identifier: MIT
//
// run_tool.h - runs a program in a child process the way the command-line
// tests need it: arguments, standard input as a regular file or a pipe,
// variables added to the environment, and, where a test must answer the
// program, a pseudo-terminal of its own or the open input pipe. Standard
// output and standard error come back whole, with the exit status.
//
// POSIX only (fork, poll, forkpty). Free of any test framework: what went
// wrong in the running comes back in the Outcome for the test to judge. The
// calling process is left with SIGPIPE ignored (the child is not).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace trirotor::test {

struct RunOptions {
  std::vector<std::string> args = {};  // after the program's name
  std::string input = {};              // the bytes of standard input
  // Standard input is a regular file that holds `input`, or with `pipe` a
  // pipe that carries it and is closed after it, as a shell pipeline would.
  bool pipe = false;
  std::vector<std::pair<std::string, std::string>> env = {};  // set on top of ours
  // With `terminal`, the program gets a pseudo-terminal as its controlling
  // terminal (its /dev/tty); its standard streams stay as above.
  bool terminal = false;
  // Typed one at a time, each once the program has asked for it: with a
  // terminal, on the terminal once it shows text ending in ": "; without,
  // down the input pipe (a pipe then, whatever `pipe` says), after `input`,
  // once standard output has ended a line; the pipe closes after the last
  // answer, so an empty last answer holds it open until one more line. A
  // program that shows nothing for 60 seconds while an answer waits is
  // killed.
  std::vector<std::string> answers = {};
};

struct Outcome {
  int status = -1;  // the exit status, or 1000 + the signal that ended it
  int signal = 0;   // the signal that ended it, or 0
  std::string out, err;
  std::string terminal;      // all the terminal showed
  std::size_t answered = 0;  // answers given whole, each after its prompt
  bool inputWhole = true;    // `input` and the answers reached the program whole
  long maxRssKiB = 0;        // the child's peak resident memory
};

// Runs `program` (a path) to its end. When the child cannot be started,
// status stays -1 and `err` says why.
Outcome RunTool(const std::string& program, const RunOptions& options);

}  // namespace trirotor::test
