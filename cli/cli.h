// SPDX-License-Identifier: MIT
//
// cli.h - what the parts of the command-line tool share: the parsed options,
// the exit statuses scripts rely on, and the helpers run.cpp and batch.cpp
// both use.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/status.h"
#include "engine/trirotor.h"
#include "records/records.h"

namespace trirotor::cli {

enum class Mode { kDecode, kEncode, kInspect };

struct Options {
  Mode mode = Mode::kDecode;
  std::string input;   // "" or "-": standard input; the first of `inputs`
  std::vector<std::string> inputs;  // decode: several with --output-dir or --check
  std::string outputDir;            // decode --output-dir: DIR/<name>.txt for each
  bool check = false;               // decode --check: decode, write nothing
  std::string output;  // "": standard output
  std::optional<std::string> keyText, keyFile, keyEnv;
  std::optional<std::string> suffixText, suffixFile;
  int codePage = 1252;
  bool raw = false;
  std::optional<int> wrap;  // encode: 76 by default, 0 in JSON lines
  bool progress = false;
  bool quiet = false;
  bool jsonl = false;
  unsigned jobs = 0;  // 0: one per core
  bool salvage = false;  // decode --salvage: what a damaged message still holds
  bool json = false;     // inspect --json
  std::optional<std::string> keyRing;  // decode --keyring FILE ("-": standard input)
  // Archives (archive.cpp): folders in, a mirrored tree out, a report.
  bool recursive = false;                     // -r: every file under each folder
  std::vector<std::string> include, exclude;  // globs on the relative path or the name
  bool followLinks = false;                   // --follow-symlinks: enter linked folders
  std::string report;                         // --report FILE: JSON lines, one per input
  bool resume = false;                        // --resume: go on with --report's run
  std::string verify;                         // --verify REPORT: decode again, compare, write nothing
};

// Does the work of one command line and returns its exit status.
int Run(const Options& options);

/// Messages (message.cpp) ///

// What reading a message's characters through the code page found.
struct MessageReading {
  std::size_t bestFit = 0;  // characters read as Windows' look-alike ('Ａ' as 'A')
  std::vector<std::pair<char16_t, std::size_t>> commonBestFit;  // up to 3, most frequent first
};
// A message file's bytes as the code page's bytes, in place: a file that is
// valid UTF-8 and not all ASCII is read as text and each character turned
// into its byte, a look-alike's under Windows' tables; any other file is
// taken as the page's bytes as they stand.
MessageReading MessageToCodePage(ByteBuffer& message);

/// Keys (keys.cpp) ///

// The key and suffix as the options give them, in UTF-16 (the records'
// words: records/records.h). A key is absent (nullopt) only when no key
// option was given and no prompt was possible.
using records::KeyPair;
// Throws Failure(kExitInput) for an unreadable file, an unset variable,
// invalid UTF-8, an empty key, keys that differ when asked twice, and (in
// encode mode) a character the code page cannot hold; Failure(kExitUsage)
// as RefuseSharedStandardInput does. Decoding warns, one line, of
// characters the engine takes as '?'. When no key option was given and
// `mayPrompt` holds, asks without echo on the process's terminal whenever
// it has one (whatever standard input is), else on standard input when it
// is a terminal; encode asks twice. Call it after the code page is set.
KeyPair ResolveKeys(const Options& options, bool mayPrompt);

// Whether `path` is standard input: "-", or the same file by device and
// inode (/dev/stdin, /dev/fd/0, or the very file that was redirected in).
bool SameFileAsStandardInput(const std::string& path);
// Throws Failure(kExitUsage) when a key, suffix or key ring file is
// standard input while the message, text or records come from there too
// (the message would be taken as the key), or when two of them are. Call it
// before anything is read.
void RefuseSharedStandardInput(const Options& options);
// A key, suffix or key ring file as key files are read; "-" is standard
// input. Throws Failure: kExitInput naming `what`, kExitAborted.
std::u16string ReadKeySource(const std::string& path, std::string_view what);
// The value of environment variable `name` as UTF-8 (as Windows holds it,
// not through the ANSI page). Throws Failure(kExitInput) when it is unset.
std::string EnvironmentText(const std::string& name);

/// Signals and the event hook (hooks.cpp) ///

// SIGINT, SIGTERM and SIGHUP set a flag instead of ending the process (no
// SA_RESTART, so a blocked read or write returns with EINTR); the run stops
// at its next check and exits 128 + the signal's number. One that was
// ignored when the process started (nohup, a script's background job) is
// left ignored.
void InstallInterruptHandler();
// While on, a signal ends the process at once (status 128 + its number,
// after the usual "aborted by" line) instead of waiting for the engine's
// first pause; the hooks turn it off there, the caller when the engine
// returns. Only while nothing is written or created yet: for a single
// decode, whose base64 stage has no pauses, and a single encode, which has
// none at all.
void StopAtOnceUntilTheFirstPause(bool on);

// The hook for decoding threads: copies an interrupt into AbortFlag = -1.
void InstallAbortHook();

// A progress bar on standard error, drawn from the event hook on this
// thread: percentage, bytes and rate of a message of `totalBytes`.
void StartProgress(std::uint64_t totalBytes, bool forced);
void FinishProgress();

// Encoding has no pauses: the same place names each stage as it starts,
// with the size of its input.
void StartStages(bool forced);
void ShowStage(const std::string& stage, std::uint64_t bytes);
void FinishStages(bool done);  // done: the last line says how long it took

/// Salvage (salvage.cpp) ///

// For a message whose frame did not check out: the bytes its container
// still holds, after a warning line naming how many against the length it
// announces; nullopt, after saying why, when the message does not look like
// a frame of this key or not one byte of its text is left.
std::optional<ByteBuffer> SalvageOne(ByteBuffer message, const KeyPair& keys, const std::string& name);

/// Key rings (keyring.cpp) ///

// One candidate of a key ring (records/records.h).
using records::RingEntry;
using records::NoRingKeyOpens;
// Reads a key ring as key files are read (UTF-8, a leading byte-order mark
// dropped, 1 MiB at most; "-" is standard input); CRLF line ends and blank
// lines are taken. A line's suffix is what follows its first TAB.
// Throws Failure(kExitInput) for an unreadable file, an empty key or no key.
std::vector<RingEntry> ReadKeyRing(const std::string& path);
// The index of the first candidate that opens the message, tried on `jobs`
// threads (0: one per core); nullopt when none does.
std::optional<std::size_t> SearchKeyRing(const ByteBuffer& message, const std::vector<RingEntry>& ring,
                                         unsigned jobs);
// "line N of the key ring (comment)": never the key.
std::string RingLineName(const RingEntry& entry);
// decode --keyring: the key and suffix of the first line that opens the
// message, named on standard error (with any later line holding the same
// pair); throws Failure(kExitFrame) when none does.
KeyPair KeyFromRing(const Options& options, const ByteBuffer& message);

/// Inspection (inspect.cpp) ///

// trirotor inspect: the report on standard output; the status decode would
// give (0 without a key for a message of 4 characters or more).
int RunInspect(const Options& options);

/// Text out (run.cpp) ///

// The plain bytes as UTF-8, a slice at a time (each at most 96 KiB), through
// the code page: what decode writes without --raw.
void ForEachUtf8Slice(const ByteBuffer& plain, const std::function<void(std::string_view)>& take);

/// Archives (archive.cpp) ///

// Whether the options ask for an archive run: --verify, or --output-dir
// with a folder among the inputs or any of -r, --include, --exclude,
// --follow-symlinks, --report, --resume, --keyring, -j.
bool IsArchiveRun(const Options& options);
// The run: keys resolved here; throws Failure as Run's other paths do.
int RunArchive(const Options& options);

/// JSON lines (batch.cpp) ///

int RunBatch(const Options& options, const KeyPair& keys);

}  // namespace trirotor::cli
