// SPDX-License-Identifier: MIT
//
// recover_session.h - recover's session file: which search it holds, the
// files that search reads as they were, where it stands, and the lock that
// keeps a second run off it.
//
// A session is what lets a search of days survive a stop, so it is read as
// hostile input: every field is checked, and a session is resumed only over
// the very message, word list, rules and suffixes it was made with. It never
// holds a candidate; once the search has found its key it keeps no place
// either, since the place of the winner is the key.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/recover/candidates.h"

namespace trirotor::cli {

// What decides the candidates and their numbers: given on the command line,
// or read back from a session.
struct Search {
  std::string message;  // absolute, or "-"
  std::optional<std::string> wordlist, rules;
  std::string mask;  // "" for none
  MaskPlace place = MaskPlace::kNone;
  std::array<std::optional<std::string>, 4> custom;
  bool increment = false;
  std::size_t incrementMin = 1;
  std::optional<std::string> suffixWordlist, suffixMask;
  // A fixed suffix's text is never stored, nor anything made from it: a
  // check of a short suffix would give it away to whoever reads the session.
  bool fixedSuffix = false;
  std::vector<int> codePages;
  bool earlyTest = true;
  // The part of the search this is: candidates skip to skip + limit - 1
  // (0-based); a session of the whole search has neither.
  std::uint64_t skip = 0;
  std::optional<std::uint64_t> limit;
};

// Where the search stands: every candidate below the frontier is tried,
// and so are the runs done beyond it.
struct Standing {
  std::uint64_t frontier = 0;
  std::uint64_t frontierOffset = 0, frontierLines = 0;  // the frontier word's line in the word list
  std::map<std::uint64_t, std::uint64_t> doneAbove;     // begin -> end
  std::uint64_t falseAlarms = 0;
  bool complete = false;  // every candidate was tried, a word list on standard input to its end
};

// A file the search reads, as it was: its size and SHA-256 ("" when an
// older session did not record it).
struct Fingerprint {
  std::uint64_t bytes = 0;
  std::string sha256;
  bool operator==(const Fingerprint&) const = default;
};

// What a session file holds.
struct Session {
  Search search;
  // "message", "wordlist", "rules", "suffix_wordlist": each file read (a
  // word list on standard input has none).
  std::map<std::string, Fingerprint> sources;
  std::optional<std::uint64_t> total;  // nullopt: the word list is standard input
  std::optional<Standing> standing;    // nullopt: the search found its key
  bool fromOlderVersion = false;       // made before sources were recorded
  // Whether every candidate was tried (and none opened the message).
  bool Exhausted() const { return standing && (standing->complete || (total && standing->frontier >= *total)); }
};

// The search as a session keeps it; two searches are the same search when
// these are equal.
nlohmann::json SearchToJson(const Search& search);
nlohmann::json SessionToJson(const Session& session);
// Reads and checks the file as a whole: JSON, version, each field's type
// and range, code pages this system has, and a search that makes sense.
// Throws Failure(kExitInput) saying what is wrong.
Session ReadSession(const std::string& path);
// What lies at `path` before a new search takes it: nothing (nullopt), or
// the session it holds. Throws Failure(kExitUsage) for a file that is not a
// session; it is left as it is.
std::optional<Session> SessionAt(const std::string& path);

// Replaces the session file atomically: a temporary beside it, flushed,
// renamed. Refuses (Failure kExitInput) to replace a file that is not one
// of our sessions.
void SaveSession(const std::string& path, const nlohmann::json& session);

// Size and SHA-256 of a whole file, read as a stream. Throws Failure.
Fingerprint FingerprintOf(const std::string& path, std::string_view what);

// Holds SESSION.lock while a run works on SESSION: a second run on the same
// session is refused (Failure kExitInput) instead of doing the work twice.
// On POSIX a lock (flock) that dies with its process, on a file removed at
// the end; on Windows a file opened for no one else, removed when closed.
class SessionLock {
 public:
  explicit SessionLock(const std::string& sessionPath);
  ~SessionLock();
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;

 private:
  std::string session_;
  HeldLock lock_;
};

}  // namespace trirotor::cli
