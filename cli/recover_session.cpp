// SPDX-License-Identifier: MIT
//
// recover_session.cpp - reading, checking, saving and locking recover's
// session files.
//
// Version 2 records the files the search reads (size and SHA-256) and marks
// a search that found its key; version 1 files, which have neither, are
// still read.

#include "cli/recover_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include "support/wide_path.h"  // files by UTF-8 name, long paths
#else
#include <sys/file.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/cli.h"
#include "cli/io.h"
#include "cli/sha256.h"
#include "engine/trirotor.h"

namespace trirotor::cli {

namespace {

using nlohmann::json;

constexpr int kSessionVersion = 2;
constexpr std::size_t kMaxSessionBytes = std::size_t{64} << 20;
constexpr const char* kPlaces[] = {"none", "alone", "append", "prepend"};

/// Reading a session as hostile input ///

// What is wrong with a file read as a session; `isSession` once it is
// recognisably one of ours.
struct SessionProblem {
  bool isSession;
  std::string reason;
};

[[noreturn]] void Damaged(const std::string& reason) { throw SessionProblem{true, reason}; }

const json& Field(const json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end()) Damaged(std::string("it has no \"") + name + "\"");
  return *found;
}

std::uint64_t Whole(const json& object, const char* name) {
  const json& value = Field(object, name);
  if (!value.is_number_unsigned()) Damaged(std::string("\"") + name + "\" is not a whole number from 0 to 2^64 - 1");
  return value.get<std::uint64_t>();
}

bool Flag(const json& object, const char* name) {
  const json& value = Field(object, name);
  if (!value.is_boolean()) Damaged(std::string("\"") + name + "\" is not true or false");
  return value.get<bool>();
}

std::string Text(const json& value, const std::string& name) {
  if (!value.is_string()) Damaged("\"" + name + "\" is not a text");
  return value.get<std::string>();
}

// A text that may be null; an empty one names nothing.
std::optional<std::string> MaybeName(const json& object, const char* name) {
  const json& value = Field(object, name);
  if (value.is_null()) return std::nullopt;
  const std::string text = Text(value, name);
  if (text.empty()) Damaged(std::string("\"") + name + "\" is empty");
  return text;
}

std::vector<int> CodePagesOf(const json& object) {
  const json& list = Field(object, "codepages");
  if (!list.is_array() || list.empty() || list.size() > 1024) Damaged("\"codepages\" is not a list of code pages");
  std::vector<int> pages;
  for (const json& page : list) {
    if (!page.is_number_integer()) Damaged("\"codepages\" holds something that is no code page number");
    const auto number = page.get<std::int64_t>();
    if (number < 0 || number > 65535 || !platform::IsCodePageSupported(static_cast<int>(number))) {
      Damaged("it searches under code page " + std::to_string(number) +
              ", which this system does not support "
              "('trirotor --list-codepages' shows those it does)");
    }
    pages.push_back(static_cast<int>(number));
  }
  return pages;
}

// The sources of candidates must make one search: a mask alone or with a
// word list, rules on words, one kind of suffix.
void CheckSearchShape(const Search& s) {
  if ((s.place == MaskPlace::kNone) != s.mask.empty()) Damaged("its mask and \"mask_place\" disagree");
  if (s.place == MaskPlace::kAlone && s.wordlist) Damaged("a mask alone comes with a word list");
  if ((s.place == MaskPlace::kAppend || s.place == MaskPlace::kPrepend || s.place == MaskPlace::kNone) && !s.wordlist) {
    Damaged("it has no candidates: no word list and no mask alone");
  }
  if (s.rules && !s.wordlist) Damaged("it has rules but no word list");
  if (s.increment && s.mask.empty()) Damaged("it has --increment but no mask");
  if (s.incrementMin < 1) Damaged("\"increment_min\" is below 1");
  if (int{s.suffixWordlist.has_value()} + int{s.suffixMask.has_value()} + int{s.fixedSuffix} > 1) {
    Damaged("it has more than one kind of suffix");
  }
  if (s.suffixMask && s.suffixMask->empty()) Damaged("its suffix mask is empty");
  if (s.message == "-" && s.wordlist == "-") Damaged("the message and the word list are both standard input");
}

Search SearchFromJson(const json& j) {
  if (!j.is_object()) Damaged("\"search\" is not an object");
  Search s;
  s.message = Text(Field(j, "message"), "message");
  if (s.message.empty()) Damaged("\"message\" is empty");
  s.wordlist = MaybeName(j, "wordlist");
  s.rules = MaybeName(j, "rules");
  s.mask = Text(Field(j, "mask"), "mask");
  const std::string place = Text(Field(j, "mask_place"), "mask_place");
  const auto* named = std::find(std::begin(kPlaces), std::end(kPlaces), place);
  if (named == std::end(kPlaces)) Damaged("\"mask_place\" is not one of none, alone, append, prepend");
  s.place = static_cast<MaskPlace>(named - std::begin(kPlaces));
  const json& custom = Field(j, "custom_charsets");
  if (!custom.is_array() || custom.size() != 4) Damaged("\"custom_charsets\" is not a list of four");
  for (std::size_t k = 0; k < 4; ++k) {
    if (!custom[k].is_null()) s.custom[k] = Text(custom[k], "custom_charsets");
  }
  s.increment = Flag(j, "increment");
  s.incrementMin = static_cast<std::size_t>(std::min<std::uint64_t>(Whole(j, "increment_min"), kMaxCandidateBytes + 1));
  s.suffixWordlist = MaybeName(j, "suffix_wordlist");
  const json& suffixMask = Field(j, "suffix_mask");
  if (!suffixMask.is_null()) s.suffixMask = Text(suffixMask, "suffix_mask");
  s.fixedSuffix = Flag(j, "fixed_suffix");
  s.suffixHash = Whole(j, "suffix_check");
  s.codePages = CodePagesOf(j);
  s.earlyTest = Flag(j, "early_test");
  CheckSearchShape(s);
  return s;
}

Standing StandingFromJson(const json& j) {
  if (!j.is_object()) Damaged("\"standing\" is not an object");
  Standing s;
  s.frontier = Whole(j, "frontier");
  s.frontierOffset = Whole(j, "frontier_offset");
  s.frontierLines = Whole(j, "frontier_lines");
  // Every line takes at least its line end.
  if (s.frontierLines > s.frontierOffset) Damaged("\"frontier_lines\" is more than its offset has room for");
  s.falseAlarms = Whole(j, "early_passed_full_failed");
  if (j.contains("complete")) s.complete = Flag(j, "complete");
  const json& ranges = Field(j, "done_above");
  if (!ranges.is_array()) Damaged("\"done_above\" is not a list");
  for (const json& range : ranges) {
    if (!range.is_array() || range.size() != 2 || !range[0].is_number_unsigned() || !range[1].is_number_unsigned()) {
      Damaged("\"done_above\" holds something that is no pair of candidate numbers");
    }
    const auto begin = range[0].get<std::uint64_t>(), end = range[1].get<std::uint64_t>();
    if (begin <= s.frontier || begin >= end) Damaged("\"done_above\" holds a run that is empty or not above the frontier");
    if (!s.doneAbove.emplace(begin, end).second) Damaged("\"done_above\" holds a run twice");
  }
  // The runs were tried apart: none overlaps the next.
  std::uint64_t reached = s.frontier;
  for (const auto& [begin, end] : s.doneAbove) {
    if (begin < reached) Damaged("\"done_above\" holds runs that overlap");
    reached = end;
  }
  return s;
}

Fingerprint FingerprintFromJson(const json& j, const std::string& name) {
  if (!j.is_object()) Damaged("\"sources\" holds \"" + name + "\" that is not an object");
  Fingerprint print{Whole(j, "bytes"), Text(Field(j, "sha256"), "sha256")};
  if (print.sha256.size() != 64 || print.sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
    Damaged("the SHA-256 of \"" + name + "\" is not 64 hex digits");
  }
  return print;
}

void ReadSources(const json& j, Session& session) {
  const json& sources = Field(j, "sources");
  if (!sources.is_object()) Damaged("\"sources\" is not an object");
  for (const auto& [name, print] : sources.items()) {
    if (name != "message" && name != "wordlist" && name != "rules" && name != "suffix_wordlist") {
      Damaged("\"sources\" names \"" + name + "\", which no search reads");
    }
    session.sources[name] = FingerprintFromJson(print, name);
  }
  const Search& s = session.search;
  const bool needed[] = {true, s.wordlist && *s.wordlist != "-", s.rules.has_value(), s.suffixWordlist.has_value()};
  const char* names[] = {"message", "wordlist", "rules", "suffix_wordlist"};
  for (std::size_t k = 0; k < 4; ++k) {
    if (needed[k] != (session.sources.count(names[k]) == 1)) {
      Damaged(std::string("\"sources\" and the search disagree on \"") + names[k] + "\"");
    }
  }
}

Session SessionFromJson(const json& j) {
  if (!j.is_object() || !j.contains("trirotor_recover_session")) throw SessionProblem{false, ""};
  const json& version = j.at("trirotor_recover_session");
  if (!version.is_number_integer() || version.get<std::int64_t>() < 1 || version.get<std::int64_t>() > kSessionVersion) {
    Damaged("it is of a version this trirotor does not know (" + version.dump() + ")");
  }
  Session session;
  session.search = SearchFromJson(Field(j, "search"));
  const json& total = Field(j, "total");
  if (!total.is_null()) session.total = Whole(j, "total");
  if (session.total.has_value() == (session.search.wordlist == "-")) {
    Damaged("its total and its word list disagree (a count only a word list on standard input lacks)");
  }
  if (version.get<int>() == 1) {
    session.fromOlderVersion = true;
    session.sources["message"] = Fingerprint{Whole(j, "message_bytes"), ""};
    session.standing = StandingFromJson(Field(j, "standing"));
  } else {
    ReadSources(j, session);
    const bool found = j.contains("finished");
    if (found && Text(j.at("finished"), "finished") != "found") Damaged("\"finished\" is not \"found\"");
    if (found == j.contains("standing")) Damaged("it has both a standing and a finish, or neither");
    if (!found) session.standing = StandingFromJson(j.at("standing"));
  }
  if (session.standing && session.total) {
    const Standing& at = *session.standing;
    if (at.frontier > *session.total || (!at.doneAbove.empty() && at.doneAbove.rbegin()->second > *session.total)) {
      Damaged("it stands past its total of " + std::to_string(*session.total) + " candidates");
    }
  }
  return session;
}

Session ParseSession(const std::string& text) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::exception&) {
    throw SessionProblem{false, ""};
  }
  return SessionFromJson(j);
}

/// Files ///

#if defined(_WIN32)
// The session's file calls, by UTF-8 name: Windows' rename does not replace.
int OpenSessionFile(const std::string& path, int flags, int mode = 0) { return support::OpenFile(path, flags, mode); }
int FlushSessionFile(int fd) { return ::_commit(fd); }
bool ReplaceSessionFile(const std::string& temp, const std::string& path) {
  if (::MoveFileExW(support::WidePath(temp).c_str(), support::WidePath(path).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  errno = EACCES;
  return false;
}
void RemoveSessionFile(const std::string& path) { ::DeleteFileW(support::WidePath(path).c_str()); }
#else
int OpenSessionFile(const std::string& path, int flags, int mode = 0) {
  return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}
int FlushSessionFile(int fd) { return ::fsync(fd); }
bool ReplaceSessionFile(const std::string& temp, const std::string& path) {
  return ::rename(temp.c_str(), path.c_str()) == 0;
}
void RemoveSessionFile(const std::string& path) { ::unlink(path.c_str()); }
#endif

// Up to `limit` bytes from the start of the file; "" when there is none.
// Read without the interrupt check of the tool's readers: the save on
// Ctrl-C runs after the interrupt.
std::string HeadOf(const std::string& path, std::size_t limit) {
  const int fd = OpenSessionFile(path, O_RDONLY);
  if (fd < 0) return "";
  std::string head(limit, '\0');
  std::size_t got = 0;
  while (got < head.size()) {
    const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  head.resize(got);
  return head;
}

bool WriteAllTo(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

json FingerprintToJson(const Fingerprint& print) { return {{"bytes", print.bytes}, {"sha256", print.sha256}}; }

}  // namespace

json SearchToJson(const Search& s) {
  json custom = json::array();
  for (const auto& c : s.custom) custom.push_back(c ? json(*c) : json(nullptr));
  return {{"message", s.message},
          {"wordlist", s.wordlist ? json(*s.wordlist) : json(nullptr)},
          {"rules", s.rules ? json(*s.rules) : json(nullptr)},
          {"mask", s.mask},
          {"mask_place", kPlaces[static_cast<int>(s.place)]},
          {"custom_charsets", custom},
          {"increment", s.increment},
          {"increment_min", s.incrementMin},
          {"suffix_wordlist", s.suffixWordlist ? json(*s.suffixWordlist) : json(nullptr)},
          {"suffix_mask", s.suffixMask ? json(*s.suffixMask) : json(nullptr)},
          {"fixed_suffix", s.fixedSuffix},
          {"suffix_check", s.suffixHash},
          {"codepages", s.codePages},
          {"early_test", s.earlyTest}};
}

json SessionToJson(const Session& session) {
  json sources = json::object();
  for (const auto& [name, print] : session.sources) sources[name] = FingerprintToJson(print);
  json j = {{"trirotor_recover_session", kSessionVersion},
            {"search", SearchToJson(session.search)},
            {"sources", sources},
            {"total", session.total ? json(*session.total) : json(nullptr)}};
  if (!session.standing) {
    j["finished"] = "found";  // and no place: the winner's place is the key
    return j;
  }
  const Standing& s = *session.standing;
  json ranges = json::array();
  std::uint64_t tried = s.frontier;
  for (const auto& [b, e] : s.doneAbove) {
    ranges.push_back({b, e});
    tried += e - b;
  }
  j["standing"] = {{"frontier", s.frontier},
                   {"frontier_offset", s.frontierOffset},
                   {"frontier_lines", s.frontierLines},
                   {"done_above", ranges},
                   {"early_passed_full_failed", s.falseAlarms},
                   {"tried", tried}};
  if (s.complete) j["standing"]["complete"] = true;
  return j;
}

Session ReadSession(const std::string& path) {
  const std::string text = ReadWhole(path, kMaxSessionBytes, "the session file");
  try {
    return ParseSession(text);
  } catch (const SessionProblem& problem) {
    if (!problem.isSession) throw Failure{kExitInput, ShownName(path) + " is not a session file of this trirotor"};
    throw Failure{kExitInput, ShownName(path) + " is a damaged session: " + problem.reason + "; it is left as it is"};
  }
}

std::optional<Session> SessionAt(const std::string& path) {
  if (!FileIdOf(path)) return std::nullopt;
  const std::string text = ReadWhole(path, kMaxSessionBytes, "the session file");
  try {
    return ParseSession(text);
  } catch (const SessionProblem& problem) {
    const std::string what = problem.isSession ? " holds a damaged session (" + problem.reason + ")"
                                               : " is not a session of trirotor recover";
    throw Failure{kExitUsage, ShownName(path) + what + "; it is left as it is: give this search another --session FILE"};
  }
}

void SaveSession(const std::string& path, const json& j) {
  const std::string head = HeadOf(path, std::size_t{1} << 16);
  if (!head.empty() && head.find("\"trirotor_recover_session\"") == std::string::npos) {
    throw Failure{kExitInput, ShownName(path) + " is not a session of trirotor recover; it is left as it is"};
  }
  const std::string text = j.dump(1) + "\n";
  const std::string temp = path + ".tmp" + std::to_string(::getpid());
  const int fd = OpenSessionFile(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) throw Failure{kExitInput, "cannot write the session file " + ShownName(temp) + ": " + std::strerror(errno)};
  const bool ok = WriteAllTo(fd, text) && FlushSessionFile(fd) == 0;
  ::close(fd);
  if (!ok || !ReplaceSessionFile(temp, path)) {
    const std::string why = std::strerror(errno);
    RemoveSessionFile(temp);
    throw Failure{kExitInput, "cannot write the session file " + ShownName(path) + ": " + why};
  }
}

Fingerprint FingerprintOf(const std::string& path, std::string_view what) {
  const int fd = OpenSessionFile(path, O_RDONLY);
  if (fd < 0) throw Failure{kExitInput, "cannot read " + std::string(what) + " " + ShownName(path) + ": " + std::strerror(errno)};
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  Sha256 hash;
  Fingerprint print;
  std::string chunk(std::size_t{1} << 16, '\0');
  for (;;) {
    if (Interrupted()) throw Failure{kExitAborted, "aborted"};
    const std::size_t got = ReadSome(fd, chunk.data(), chunk.size(), std::string(what) + " " + ShownName(path));
    if (got == 0) break;
    hash.Update(std::string_view(chunk.data(), got));
    print.bytes += got;
  }
  print.sha256 = hash.Hex();
  return print;
}

/// The lock ///

namespace {

// What a lock file holds, so that one of ours left by a run the system
// killed is told from a file of the user's that happens to bear the name.
constexpr std::string_view kLockMark = "trirotor recover lock\n";

Failure InUse(const std::string& session, const std::string& lock) {
  return Failure{kExitInput, ShownName(session) + " is in use by another trirotor recover (it holds " + ShownName(lock) +
                                 "): let that run end, or stop it, before starting this one"};
}

Failure NotOurs(const std::string& lock) {
  return Failure{kExitInput, ShownName(lock) +
                                 " is in the way of the session's lock and is not one; it is left as "
                                 "it is: move it, or give the search another --session FILE"};
}

Failure CannotLock(const std::string& session, const std::string& lock, const std::string& why) {
  return Failure{kExitInput, "cannot lock the session " + ShownName(session) + " (with " + ShownName(lock) + "): " + why};
}

bool IsOurMark(std::string_view held) { return held.empty() || held == kLockMark; }

}  // namespace

#if defined(_WIN32)
SessionLock::SessionLock(const std::string& sessionPath) : session_(sessionPath), path_(sessionPath + ".lock") {
  const std::wstring wide = support::WidePath(path_);
  // Shared with no one: a second run's open fails while this one lives, and
  // the file goes when the handle closes, however the process ends.
  constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
  HANDLE handle = ::CreateFileW(wide.c_str(), kAccess, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) {
    // Held by a run now, or left by a machine that went down: look first,
    // without the deletion, so that a file of the user's stays.
    HANDLE look = ::CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (look == INVALID_HANDLE_VALUE) {
      if (::GetLastError() == ERROR_SHARING_VIOLATION) throw InUse(session_, path_);
      throw CannotLock(session_, path_, "it cannot be opened");
    }
    char held[64] = {};
    DWORD got = 0;
    const bool read = ::ReadFile(look, held, sizeof held, &got, nullptr) != 0;
    ::CloseHandle(look);
    if (!read || !IsOurMark(std::string_view(held, got))) throw NotOurs(path_);
    handle = ::CreateFileW(wide.c_str(), kAccess, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_SHARING_VIOLATION) throw InUse(session_, path_);
    throw CannotLock(session_, path_, "it cannot be made (error " + std::to_string(::GetLastError()) + ")");
  }
  DWORD put = 0;
  ::WriteFile(handle, kLockMark.data(), static_cast<DWORD>(kLockMark.size()), &put, nullptr);
  handle_ = handle;
}

SessionLock::~SessionLock() {
  if (handle_ != nullptr) ::CloseHandle(static_cast<HANDLE>(handle_));
}
#else
SessionLock::SessionLock(const std::string& sessionPath) : session_(sessionPath), path_(sessionPath + ".lock") {
  // A run that ends removes its lock file; one that opened it just before
  // then holds a file no longer at the name, and tries again. The rounds
  // are bounded: each needs a whole run to start and end meanwhile.
  for (int round = 0; round < 16; ++round) {
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw CannotLock(session_, path_, std::strerror(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) throw InUse(session_, path_);
      throw CannotLock(session_, path_, std::strerror(error));
    }
    struct stat held = {};
    struct stat named = {};
    if (::fstat(fd, &held) != 0 || ::stat(path_.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
        held.st_ino != named.st_ino) {
      ::close(fd);
      continue;
    }
    char mark[64];
    const ssize_t got = ::pread(fd, mark, sizeof mark, 0);
    if (got < 0 || !IsOurMark(std::string_view(mark, static_cast<std::size_t>(got)))) {
      ::close(fd);
      throw NotOurs(path_);
    }
    if (got == 0 && ::pwrite(fd, kLockMark.data(), kLockMark.size(), 0) < 0) {
      // The lock holds all the same; the mark only tells it apart later.
    }
    fd_ = fd;
    return;
  }
  throw InUse(session_, path_);
}

SessionLock::~SessionLock() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());  // before the lock goes, so that no run takes a file on its way out
  ::close(fd_);
}
#endif

}  // namespace trirotor::cli
