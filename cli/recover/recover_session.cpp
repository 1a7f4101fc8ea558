// SPDX-License-Identifier: MIT
//
// recover_session.cpp - reading, checking, saving and locking recover's
// session files.
//
// Version 2 records the files the search reads (size and SHA-256) and marks
// a search that found its key; version 1 files, which have neither, are
// still read.

#include "cli/recover/recover_session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/status.h"
#include "cli/file_io.h"
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
  // Sessions saved before keep a "suffix_check"; it is passed over.
  s.codePages = CodePagesOf(j);
  s.earlyTest = Flag(j, "early_test");
  // A part of a search (--skip, --limit); sessions of the whole have neither.
  if (j.contains("skip")) s.skip = Whole(j, "skip");
  if (j.contains("limit")) s.limit = Whole(j, "limit");
  if (s.limit == 0) Damaged("\"limit\" is 0");
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
    if (begin <= s.frontier || begin >= end)
      Damaged("\"done_above\" holds a run that is empty or not above the frontier");
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
  if (!version.is_number_integer() || version.get<std::int64_t>() < 1 ||
      version.get<std::int64_t>() > kSessionVersion) {
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

// Up to `limit` bytes from the start of the file; "" when there is none.
// Read without the interrupt check of the tool's readers: the save on
// Ctrl-C runs after the interrupt.
std::string HeadOf(const std::string& path, std::size_t limit) {
  const Descriptor fd = OpenToRead(path);
  if (!fd.valid()) return "";
  std::string head(limit, '\0');
  std::size_t got = 0;
  while (got < head.size()) {
    const long n = ReadFd(fd.get(), head.data() + got, head.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  head.resize(got);
  return head;
}

json FingerprintToJson(const Fingerprint& print) { return {{"bytes", print.bytes}, {"sha256", print.sha256}}; }

}  // namespace

json SearchToJson(const Search& s) {
  json custom = json::array();
  for (const auto& c : s.custom) custom.push_back(c ? json(*c) : json(nullptr));
  json j = {{"message", s.message},
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
            {"codepages", s.codePages},
            {"early_test", s.earlyTest}};
  if (s.skip != 0) j["skip"] = s.skip;
  if (s.limit) j["limit"] = *s.limit;
  return j;
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
  std::uint64_t tried = s.frontier - std::min(s.frontier, session.search.skip);  // of this part
  for (const auto& [b, e] : s.doneAbove) {
    ranges.push_back({b, e});
    tried += e - b;
  }
  j["standing"] = {
      {"frontier", s.frontier}, {"frontier_offset", s.frontierOffset},       {"frontier_lines", s.frontierLines},
      {"done_above", ranges},   {"early_passed_full_failed", s.falseAlarms}, {"tried", tried}};
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
    throw Failure{kExitUsage,
                  ShownName(path) + what + "; it is left as it is: give this search another --session FILE"};
  }
}

void SaveSession(const std::string& path, const json& j) {
  const std::string head = HeadOf(path, std::size_t{1} << 16);
  if (!head.empty() && head.find("\"trirotor_recover_session\"") == std::string::npos) {
    throw Failure{kExitInput, ShownName(path) + " is not a session of trirotor recover; it is left as it is"};
  }
  // Saved because the run stops, as often as not: a stop must not cut it.
  try {
    Output out(path, Output::Stop::kFinish);
    out.Write(j.dump(1) + "\n");
    out.Commit();
  } catch (const Failure& failure) {
    throw Failure{kExitInput, "cannot save the session: " + failure.message};
  }
}

Fingerprint FingerprintOf(const std::string& path, std::string_view what) {
  const Descriptor fd = OpenToRead(path);
  if (!fd.valid()) {
    throw Failure{kExitInput, "cannot read " + std::string(what) + " " + ShownName(path) + ": " + std::strerror(errno)};
  }
  Sha256 hash;
  Fingerprint print;
  std::string chunk(std::size_t{1} << 16, '\0');
  for (;;) {
    StopIfAsked();
    const std::size_t got = ReadSome(fd.get(), chunk.data(), chunk.size(), std::string(what) + " " + ShownName(path));
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
  return Failure{kExitInput, ShownName(session) + " is in use by another trirotor recover (it holds " +
                                 ShownName(lock) + "): let that run end, or stop it, before starting this one"};
}

Failure NotOurs(const std::string& lock) {
  return Failure{kExitInput, ShownName(lock) +
                                 " is in the way of the session's lock and is not one; it is left as "
                                 "it is: move it, or give the search another --session FILE"};
}

Failure CannotLock(const std::string& session, const std::string& lock, const std::string& why) {
  return Failure{kExitInput,
                 "cannot lock the session " + ShownName(session) + " (with " + ShownName(lock) + "): " + why};
}


}  // namespace

SessionLock::SessionLock(const std::string& sessionPath) : session_(sessionPath) {
  const std::string path = sessionPath + ".lock";
  std::string why;
  switch (HoldLock(path, kLockMark, lock_, why)) {
    case LockRefusal::kNone: return;
    case LockRefusal::kInUse: throw InUse(session_, path);
    case LockRefusal::kNotOurs: throw NotOurs(path);
    case LockRefusal::kCannot: throw CannotLock(session_, path, why);
  }
}

SessionLock::~SessionLock() { ReleaseLock(lock_); }

}  // namespace trirotor::cli
