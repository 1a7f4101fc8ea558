// SPDX-License-Identifier: MIT
//
// recover.h - the search for a forgotten key, as a library: the command
// line, the tests and the Python module each hand it the search's options
// and their own hooks, and get back what it found.
//
// The run reads no global of its own: whether to stop, how to show
// progress, what to tell the user and where the key found goes are the
// caller's hooks, so that a second caller (the Python module) runs the very
// search the tool runs, in process.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace trirotor::cli {

// The search and how to run it; the words of the tool's options.
struct RecoverOptions {
  std::string message;  // the message's file, "-" for standard input
  // The message itself instead of a file (the Python module's); such a
  // search keeps no session.
  std::optional<std::string> messageBytes;
  bool keepSession = true;  // false: no session file is read, locked or written
  std::optional<std::string> wordlist, rules, mask, appendMask, prependMask;
  std::array<std::optional<std::string>, 4> custom;
  bool increment = false;
  std::size_t incrementMin = 1;
  // A fixed suffix's UTF-8 bytes, asked for once the search's message and
  // word list are known (so that a suffix file on standard input is read
  // only when it is free); nullopt for none. Never stored, only checked
  // against a restored session.
  std::function<std::optional<std::string>(const std::string& message, const std::optional<std::string>& wordlist)>
      fixedSuffix;
  std::optional<std::string> suffixFile;  // where it came from, so that --decode-to is not written over it
  std::optional<std::string> suffixWordlist, suffixMask;
  std::string codePages = "1252";
  unsigned jobs = 0;  // 0: one per core
  bool dryRun = false, noEarlyTest = false;
  // One part of the search: the candidates numbered skip + 1 to skip +
  // limit (hashcat's words), as docs/recover.md numbers them.
  std::optional<std::uint64_t> skip, limit;
  std::optional<std::string> decodeTo, session, restore;
};

// Where the search stands, for a progress line: candidates tried (all
// runs of a restored session), the total (nullopt for a word list on
// standard input) and the rate this run measured on its own work.
struct RecoverProgress {
  std::uint64_t tried = 0;
  std::optional<std::uint64_t> total;
  double perSecond = 0;
  std::uint64_t falseAlarms = 0;  // passed the early test, not the full decode
  bool last = false;              // the report once the search has ended, however it ended
};

// A key found: its bytes as made, the suffix's, the code page that opened
// the message, its number (0-based) and where it came from in words.
struct RecoverFound {
  std::string key, suffix;
  int codePage = 0;
  std::uint64_t number = 0;
  std::string from;
  std::string shownKey, shownSuffix;  // as decode takes them back (UTF-8 or $HEX[...])
};

struct RecoverHooks {
  // Asked often, from every thread: true stops the search where it stands
  // (the session is saved and resumes it). Must be cheap and thread-safe.
  std::function<bool()> stop = [] { return false; };
  // From the overseeing thread, about every 50 ms while the search runs,
  // and once more when it has ended (RecoverProgress::last).
  std::function<void(const RecoverProgress&)> progress;
  // Lines for the user: the announcement, the summary, a session that
  // cannot be saved. Never a candidate. `chatter` marks the lines a quiet
  // run leaves out (the announcement, and the line that says the key was
  // found, which the key itself already tells).
  std::function<void(std::string_view line, bool chatter)> tell;
  // The key found, before the session is marked finished; returns "" when
  // it reached its reader, else why not (the session then keeps the place,
  // and --restore finds it again).
  std::function<std::string(const RecoverFound&)> deliver;
};

struct RecoverResult {
  int status = 0;  // 0 found (or a dry run), 3 none opens
  std::optional<RecoverFound> found;
  std::uint64_t tried = 0;
  std::string announcement;  // the count and the time it takes, as --dry-run prints it
  // A dry run's count of candidates (of the part; nullopt for a word list
  // on standard input) and its measured rate on one core.
  std::optional<std::uint64_t> count;
  double perCore = 0;
};

// The progress line a terminal shows (bar, count, rate, time left), with
// no line end, and the --status-json line, with none either.
std::string ProgressText(const RecoverProgress& progress);
std::string StatusJson(const RecoverProgress& progress);

// Runs the search. Throws Failure (cli/status.h) for what ends it otherwise:
// bad usage, unreadable inputs, a stop (kExitAborted, after the session is
// saved).
RecoverResult Recover(const RecoverOptions& options, const RecoverHooks& hooks);

}  // namespace trirotor::cli
