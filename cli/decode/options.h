// SPDX-License-Identifier: MIT
//
// options.h - the options of decode, encode and inspect, as the command line
// gives them to the parts that carry them out.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace trirotor::cli {

enum class Mode { kDecode, kEncode, kInspect };

struct Options {
  Mode mode = Mode::kDecode;
  std::string input;                // "" or "-": standard input; the first of `inputs`
  std::vector<std::string> inputs;  // decode: several with --output-dir or --check
  std::string outputDir;            // decode --output-dir: DIR/<name>.txt for each
  bool check = false;               // decode --check: decode, write nothing
  std::string output;               // "": standard output
  std::optional<std::string> keyText, keyFile, keyEnv;
  std::optional<std::string> suffixText, suffixFile;
  int codePage = 1252;
  bool raw = false;
  std::optional<int> wrap;  // encode: 76 by default, 0 in JSON lines
  bool progress = false;
  bool quiet = false;
  bool jsonl = false;
  unsigned jobs = 0;                   // 0: one per core
  bool salvage = false;                // decode --salvage: what a damaged message still holds
  bool json = false;                   // inspect --json
  std::optional<std::string> keyRing;  // decode --keyring FILE ("-": standard input)
  // Archives (archive.cpp): folders in, a mirrored tree out, a report.
  bool recursive = false;                     // -r: every file under each folder
  std::vector<std::string> include, exclude;  // globs on the relative path or the name
  bool followLinks = false;                   // --follow-symlinks: enter linked folders
  std::string report;                         // --report FILE: JSON lines, one per input
  bool resume = false;                        // --resume: go on with --report's run
  std::string verify;                         // --verify REPORT: decode again, compare, write nothing
};

}  // namespace trirotor::cli
