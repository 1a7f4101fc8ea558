// SPDX-License-Identifier: MIT
//
// archive.h - the parts of an archive run: the files a walk of the inputs
// finds and what became of each (archive_walk.cpp), the file system as the
// run asks it (archive_files.cpp), and the report (archive_report.cpp);
// archive.cpp puts them together.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/decode/options.h"
#include "cli/status.h"
#include "cli/file_io.h"
#include "cli/os/files.h"
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
// The outcome a decode's status gives an input: the first four restate it,
// and a message under 4 characters is not a message.
Outcome OutcomeOf(DecodeStatus status);
// The outcome an eventOutcome names; nullopt for a name no run writes.
std::optional<Outcome> OutcomeNamed(std::string_view name);
// Whether it counts among the run's failures (and its status).
bool IsFailure(Outcome outcome);
// The status `trirotor decode` of this input alone would give.
int StatusOf(Outcome outcome);

/// The walk (archive_walk.cpp) ///

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
  // Called after each folder is read, with the items found so far: the
  // progress of a walk that may take minutes.
  std::function<void(std::size_t found)> onFolder;
};

// The files of the inputs in order: each input as given (a file stands
// under its own folder), a folder's entries sorted by name (byte order).
// At an interrupt it stops with what it found so far, `whole` false.
std::vector<Item> Walk(const std::vector<std::string>& inputs, const WalkRules& rules, bool& whole);

// The folder an input's files are recorded under (their inputRoot): the
// input itself, made full, when it is a folder, else the folder that holds
// it; nullopt, with `why`, when there is nothing there to look at.
std::optional<std::string> InputRootOf(const std::string& input, std::string& why);

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

/// Files (archive_files.cpp; the system's side is cli/os/files.h) ///

// "a folder", "a file", "a link to nothing", ...
std::string_view KindName(PathKind kind);

// A file's SHA-256 in lowercase hex, read a chunk at a time; `exists` is
// false, and "" returned, for a file that cannot be opened or read.
// Throws Failure(kExitAborted) on an interrupt.
std::string FileSha256(const std::string& path, bool& exists);

/// The report (archive_report.cpp) ///

using Json = nlohmann::ordered_json;

// A line as the report holds it: JSON on one line, any bad UTF-8 left in a
// human text (a message) as U+FFFD.
std::string Dump(const Json& line);
// The string `field` holds, "" when it holds none.
std::string Text(const Json& line, const char* field);

// A name in the report: the readable field (UTF-8, with U+FFFD for bytes
// that are not), and, when those lost something, "<field>Bytes" beside it
// with the name's own bytes in lowercase hex, so that Latin-1 names from
// old archives stay apart.
void PutName(Json& line, const char* field, const std::string& name);
// The name `field` records: its bytes when the line has them.
std::string RecordedName(const Json& line, const char* field);
// Whether PutName writes a name without loss (no bytes field).
bool IsWholeUtf8(std::string_view name);

// A line of the report read back.
struct Recorded {
  std::string raw;  // the line as written, without its line end
  Json json;
};
// The whole lines of a report; a last line without its line end (a run
// killed while writing it) is left out and `torn` set. Throws Failure for
// a file that cannot be read or a line no run writes.
std::vector<Recorded> ReadReport(const std::string& path, bool& torn);
// The same for a report's text; `shown` names it in the Failure.
std::vector<Recorded> ParseReport(std::string_view text, const std::string& shown, bool& torn);
// Why a report is not a whole run's record ("" when its last whole line is
// a summary line and no line is cut short).
std::string WhyUnfinished(const std::vector<Recorded>& lines, bool torn);

// Where --report goes, as found before any work.
struct ReportPlace {
  enum class Kind {
    kNone,      // no --report
    kNew,       // nothing there yet: a file made for it
    kExisting,  // a report to go on with (--resume)
    kStream,    // "-", standard output's file, a device or FIFO: written as it comes
  };
  Kind kind = Kind::kNone;
  std::string path;
};
// Throws Failure: a folder, a link to nothing, a socket, a missing or closed
// folder (status 2); an existing report without --resume, a --resume whose
// report is a stream (status 1).
ReportPlace PlaceReport(const Options& options);

// Appends whole lines to the report; each goes out in one write where the
// system allows.
class ReportFile {
 public:
  explicit ReportFile(const ReportPlace& place);  // throws Failure(kExitInput)
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  void Line(const std::string& text);  // throws Failure(kExitInput)
  void Sync();                         // a stream has nothing to flush

 private:
  std::string path_;
  Descriptor fd_;
  bool stream_ = false;
};

// Refuses (Failure kExitUsage) a --resume that is not the report's own run
// going on: inputs under other folders than the report's (`roots`, the
// inputs' InputRootOf), texts in another output folder, another code page
// or text form. Asked before anything is touched.
void RefuseAnotherRun(const std::vector<Recorded>& lines, const std::string& report,
                      const std::vector<std::string>& roots, const std::string& outputRoot, const Options& options);

// What a --resume keeps of its report.
struct ResumePlan {
  // By item: its line stays, and it is not done again.
  std::vector<bool> keep;
  // The lines that stay, in the report's order, each with its line end.
  std::string retained;
  // Of the lines that stay: their outcomes, and the highest status.
  std::array<std::size_t, kOutcomes> counts{};
  int worst = kExitOk;
  std::size_t kept = 0;       // items kept
  std::size_t notWalked = 0;  // lines of inputs this run did not walk, kept as they are
};
// An input the walk found keeps its line when the line records an output
// in `outputRoot` that still has its digest, of an input of the same size;
// every other line of a walked input goes, to be done again. A line of an
// input the walk did not find (gone, or left out this time) stays.
ResumePlan PlanResume(const std::vector<Recorded>& lines, const std::vector<Item>& items, const std::string& outputDir,
                      const std::string& outputRoot);

}  // namespace trirotor::cli
