// SPDX-License-Identifier: MIT
//
// archive.h - the parts of an archive run (archive.cpp, archive_walk.cpp):
// the files a walk of the inputs finds, and what became of each.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "cli/io.h"
#include "support/utf8_path.h"

namespace trirotor::cli {

// What became of one input; the report's eventOutcome is its name.
enum class Outcome {
  kOpened,
  kWrongKey,     // the frame did not check out, or no ring line opens it
  kDamaged,      // the engine raised an error
  kChecksum,     // LastError 5: written all the same
  kSalvaged,     // --salvage wrote what a damaged message still holds
  kNotAMessage,  // no base64 group, or binary bytes
  kUnreadable,
  kUnwritable,  // its output could not be written (a full disk)
  kSkipped,     // not a regular file, a linked folder not followed, a loop
};
inline constexpr int kOutcomes = 9;
std::string_view OutcomeName(Outcome outcome);
// Whether it counts among the run's failures (and its status).
bool IsFailure(Outcome outcome);

// One file a walk found, or a thing it reports and skips.
struct Item {
  std::string root;            // the folder it was found under, absolute
  std::string relative;        // its path under root: "2003/a.b64"
  std::string path;            // the path to open, as the user's spelling gives it
  std::string outputRelative;  // "2003/a.txt"
  std::uint64_t size = 0;
  FileId id;
  bool preset = false;  // decided by the walk: outcome and why say what it is
  Outcome outcome = Outcome::kSkipped;
  std::string why;
};

struct WalkRules {
  bool recursive = false;
  bool followLinks = false;
  std::vector<std::string> include, exclude;
  // Files and folders the walk leaves out without a word: the output
  // folder, the report.
  std::vector<FileId> leaveOut;
};

// The files of the inputs in order: each input as given (a file stands
// under its own folder), a folder's entries sorted by name (byte order).
// Throws Failure(kExitAborted) on an interrupt.
std::vector<Item> Walk(const std::vector<std::string>& inputs, const WalkRules& rules);

// "a/b.b64" -> "a/b.txt": the last extension of the name replaced; a name
// that starts with its only dot keeps it (".profile" -> ".profile.txt").
std::string OutputNameFor(const std::string& relative);

// A UTF-8 name as a path, and a path as UTF-8 (support/utf8_path.h).
using support::Utf8Name;
using support::Utf8Path;

// The full name of `path`, "." and ".." resolved, with no separator at its
// end but a root's; `path` itself when it cannot be made full.
std::string AbsoluteName(const std::string& path);

// Whether a glob selects a file or folder: one with a '/' is matched
// against the whole relative path ('*' stops at '/'), one without against
// the name alone (cli/glob.h).
bool GlobMatches(const std::string& glob, const std::string& relative);

}  // namespace trirotor::cli
