// SPDX-License-Identifier: MIT
//
// recover.cpp - trirotor recover: searches for a forgotten key among the
// candidates of a word list, rules and masks, on every core, resumable.
//
// Candidates are numbered: candidate g is word g / Q of the list, and
// within it expansion (g % Q) / S with suffix g % S (Q = the expansion's
// count times S). Workers take runs of numbers in order; a run's words come
// from a block read under the dispenser's lock, so the word list is read
// once, as a stream, whatever its size. What is done is kept as a frontier
// (every number below it tried) and the runs done above it, which is all a
// session file holds: a number, the frontier word's byte offset and line,
// and a few ranges. Never a candidate.
//
// A candidate counts only once the full decode takes it: the early test
// (the header and the container's identification) lets through about one
// wrong key in 2^31, and those, like the lucky keys that pass the frame
// check, are counted and reported, never taken.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>

#include "support/wide_path.h"  // files by UTF-8 name, long paths
#endif

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/candidates.h"
#include "cli/cli.h"
#include "cli/io.h"
#include "cli/recover.h"
#include "engine/trirotor.h"
#include "support/utf8.h"
#include "support/utf8_path.h"  // std::filesystem paths of UTF-8 names

namespace trirotor::cli {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int kExitFound = 0;
constexpr int kExitNoneOpens = 3;
constexpr std::uint64_t kRunLength = 1 << 12;  // candidates a worker takes at a time
constexpr std::size_t kBlockWords = 4096;      // words read at a time, at most
constexpr auto kSaveEvery = std::chrono::seconds(5);
constexpr auto kDrawEvery = std::chrono::milliseconds(200);
constexpr std::size_t kMaxSuffixes = std::size_t{1} << 22;
constexpr int kSessionVersion = 1;

/// Numbers for people ///

std::string Grouped(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string Duration(double seconds) {
  if (seconds < 1) return "less than a second";
  const auto s = static_cast<std::uint64_t>(seconds + 0.5);
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min" + (s % 60 ? " " + std::to_string(s % 60) + " s" : "");
  if (s < 86400) return std::to_string(s / 3600) + " h" + (s % 3600 / 60 ? " " + std::to_string(s % 3600 / 60) + " min" : "");
  if (seconds > 100.0 * 365 * 86400) return "more than 100 years";
  return Grouped(s / 86400) + " d" + (s % 86400 / 3600 ? " " + std::to_string(s % 86400 / 3600) + " h" : "");
}

// "about 5 h 40 min", or "under a second".
std::string About(double seconds) { return seconds < 1 ? "under a second" : "about " + Duration(seconds); }

std::uint64_t Fnv(const ByteBuffer& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (const std::uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

std::string Absolute(const std::string& path) {
  if (path == "-") return path;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(support::Utf8Path(path), error);
  return error ? path : support::Utf8Name(absolute);
}

/// The search's definition ///

// What decides the candidates and their numbers: given on the command line,
// or read back from a session.
struct Search {
  std::string message;
  std::optional<std::string> wordlist, rules;
  std::string mask;  // "" for none
  MaskPlace place = MaskPlace::kNone;
  std::array<std::optional<std::string>, 4> custom;
  bool increment = false;
  std::size_t incrementMin = 1;
  std::optional<std::string> suffixWordlist, suffixMask;
  bool fixedSuffix = false;  // the text itself is never stored
  std::uint64_t suffixHash = 0;
  std::vector<int> codePages;
  bool earlyTest = true;
};

json SearchToJson(const Search& s) {
  json custom = json::array();
  for (const auto& c : s.custom) custom.push_back(c ? json(*c) : json(nullptr));
  const char* places[] = {"none", "alone", "append", "prepend"};
  return {{"message", s.message},
          {"wordlist", s.wordlist ? json(*s.wordlist) : json(nullptr)},
          {"rules", s.rules ? json(*s.rules) : json(nullptr)},
          {"mask", s.mask},
          {"mask_place", places[static_cast<int>(s.place)]},
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

Search SearchFromJson(const json& j) {
  Search s;
  s.message = j.at("message").get<std::string>();
  if (!j.at("wordlist").is_null()) s.wordlist = j.at("wordlist").get<std::string>();
  if (!j.at("rules").is_null()) s.rules = j.at("rules").get<std::string>();
  s.mask = j.at("mask").get<std::string>();
  const std::string place = j.at("mask_place").get<std::string>();
  s.place = place == "alone" ? MaskPlace::kAlone : place == "append" ? MaskPlace::kAppend
                                               : place == "prepend"  ? MaskPlace::kPrepend
                                                                     : MaskPlace::kNone;
  for (std::size_t k = 0; k < 4; ++k) {
    const json& c = j.at("custom_charsets").at(k);
    if (!c.is_null()) s.custom[k] = c.get<std::string>();
  }
  s.increment = j.at("increment").get<bool>();
  s.incrementMin = j.at("increment_min").get<std::size_t>();
  if (!j.at("suffix_wordlist").is_null()) s.suffixWordlist = j.at("suffix_wordlist").get<std::string>();
  if (!j.at("suffix_mask").is_null()) s.suffixMask = j.at("suffix_mask").get<std::string>();
  s.fixedSuffix = j.at("fixed_suffix").get<bool>();
  s.suffixHash = j.at("suffix_check").get<std::uint64_t>();
  s.codePages = j.at("codepages").get<std::vector<int>>();
  s.earlyTest = j.at("early_test").get<bool>();
  return s;
}

/// Suffixes ///

// The suffix dimension: one fixed suffix, a list held in memory, or a mask.
class Suffixes {
 public:
  Suffixes() : fixed_(std::string()) {}
  explicit Suffixes(std::string fixed) : fixed_(std::move(fixed)) {}
  static Suffixes FromList(const std::string& path) {
    Suffixes s;
    s.fixed_.reset();
    s.path_ = path;
    WordReader reader(path, Interrupted);
    for (std::string w; reader.Next(w);) {
      s.list_.push_back(w);
      s.lines_.push_back(reader.Lines());
      if (s.list_.size() > kMaxSuffixes) throw CandidateError("the suffix list " + path + " holds more than 4,194,304 suffixes");
    }
    if (s.list_.empty()) throw CandidateError("the suffix list " + path + " holds no suffix");
    return s;
  }
  static Suffixes FromMask(const std::string& text, MaskList masks) {
    Suffixes s;
    s.fixed_.reset();
    s.maskText_ = text;
    s.masks_ = std::move(masks);
    return s;
  }
  std::uint64_t Count() const { return fixed_ ? 1 : !list_.empty() ? list_.size()
                                                                   : masks_.Count(); }
  void Make(std::uint64_t i, std::string& out) const {
    if (fixed_) {
      out = *fixed_;
    } else if (!list_.empty()) {
      out = list_[static_cast<std::size_t>(i)];
    } else {
      out.clear();
      masks_.AppendCandidate(i, out);
    }
  }
  std::string From(std::uint64_t i) const {
    if (fixed_) return "";
    if (!list_.empty()) return "suffix from line " + Grouped(lines_[static_cast<std::size_t>(i)]) + " of " + ShownName(path_);
    return "suffix " + Grouped(i + 1) + " of mask " + maskText_;
  }

 private:
  std::optional<std::string> fixed_;
  std::vector<std::string> list_;
  std::vector<std::uint64_t> lines_;
  std::string path_, maskText_;
  MaskList masks_;
};

/// Trying one candidate ///

struct Winner {
  std::uint64_t number = 0;  // 0-based
  std::uint64_t line = 0;    // its word's line
  std::string key, suffix;   // bytes as made
  int codePage = 0;
  std::u16string key16, suffix16;
};

// The key's text: UTF-8 as the user typed it, each character then taken
// through the code page; bytes that are no UTF-8 ($HEX[...] of a legacy
// key) are the key's bytes under any page.
struct KeyText {
  bool utf8 = true;
  bool ascii = true;
  std::u16string text;
};

void ToText(const std::string& bytes, KeyText& out) {
  out.ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<std::uint8_t>(c) < 0x80; });
  if (out.ascii) {
    out.utf8 = true;
    out.text.assign(bytes.begin(), bytes.end());
    return;
  }
  std::size_t bad = 0;
  out.utf8 = support::DecodeUtf8(bytes, out.text, bad);
  if (!out.utf8) out.text = platform::BytesToText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

enum class Verdict { kNo,
                     kFalseAlarm,
                     kOpens };

class Trier {
 public:
  Trier(const ByteBuffer& message, const std::vector<int>& pages, bool earlyTest)
      : message_(message), trial_(message), pages_(pages), earlyTest_(earlyTest) {}
  Trier(const Trier&) = delete;

  // Tries the key and suffix under each page that gives them other bytes;
  // the page that opened it in `page`.
  Verdict Try(const std::string& key, const std::string& suffix, int& page) const {
    if (key.empty()) return Verdict::kNo;  // no key opens anything
    thread_local KeyText k, s;
    thread_local std::vector<ByteBuffer> tried;
    ToText(key, k);
    ToText(suffix, s);
    tried.clear();
    Verdict verdict = Verdict::kNo;
    for (std::size_t p = 0; p < pages_.size(); ++p) {
      // ASCII, and bytes that are no UTF-8, are the same bytes on every page.
      if (p > 0 && ((k.ascii && s.ascii) || !k.utf8 || !s.utf8)) break;
      if (platform::CodePage() != pages_[p]) platform::SetCodePage(pages_[p]);
      if (pages_.size() > 1 && !(k.ascii && s.ascii)) {
        ByteBuffer bytes = platform::TextToBytes(k.text);
        bytes.push_back(0);  // keeps key and suffix apart
        const ByteBuffer more = platform::TextToBytes(s.text);
        bytes.insert(bytes.end(), more.begin(), more.end());
        if (std::find(tried.begin(), tried.end(), bytes) != tried.end()) continue;
        tried.push_back(std::move(bytes));
      }
      // Without the early test every key gets the full decode, whose frame
      // check tells the keys turned away at once from the lucky ones.
      if (earlyTest_ && !trial_.MayOpen(k.text, s.text)) continue;
      const Verdict full = FullDecode(k.text, s.text);
      if (full == Verdict::kOpens) {
        page = pages_[p];
        return full;
      }
      // Past the early test, any failure is a key it let through.
      if (full == Verdict::kFalseAlarm || earlyTest_) verdict = Verdict::kFalseAlarm;
    }
    return verdict;
  }

 private:
  // The frame check, the container and, compressed, its checksum: a key
  // that fails after the frame check is a lucky wrong one.
  Verdict FullDecode(std::u16string_view key, std::u16string_view suffix) const {
    LastError = 0;
    try {
      DecodeBytes(message_, key, suffix);
    } catch (const EngineError&) {
      return Verdict::kFalseAlarm;
    }
    return LastError == 0 ? Verdict::kOpens : LastError == kErrFrameCheck ? Verdict::kNo
                                                                          : Verdict::kFalseAlarm;
  }

  const ByteBuffer& message_;
  const KeyTrial trial_;
  const std::vector<int>& pages_;
  bool earlyTest_;
};

/// The dispenser ///

struct Block {
  std::uint64_t firstWord = 0;
  std::vector<std::string> words;
  std::vector<std::uint64_t> offsets;  // where each word's line starts
  std::vector<std::uint64_t> lines;    // lines before it (skipped ones too)
  std::vector<std::uint64_t> lineOf;   // its own line's number, from 1
};

struct Run {
  std::shared_ptr<const Block> block;
  std::uint64_t begin = 0, end = 0;
};

// Where the search stands, as a session keeps it.
struct Standing {
  std::uint64_t frontier = 0;
  std::uint64_t frontierOffset = 0, frontierLines = 0;
  std::map<std::uint64_t, std::uint64_t> doneAbove;  // begin -> end
  std::uint64_t falseAlarms = 0;
  bool wordsEnded = false;  // the word list is read to its end
};

class Dispenser {
 public:
  // `perWord` candidates a word; without a reader the one word is "".
  Dispenser(std::unique_ptr<WordReader> reader, std::uint64_t perWord, Standing start, unsigned jobs)
      : reader_(std::move(reader)), perWord_(perWord), standing_(std::move(start)), maxLive_(4 * static_cast<std::size_t>(jobs) + 4) {
    nextWord_ = standing_.frontier / perWord_;
    position_ = standing_.frontier;
    if (reader_) reader_->SkipTo(standing_.frontierOffset, standing_.frontierLines);
  }

  // The next run to try; false when there is none left (or a stop).
  bool Next(Run& run) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopped_ || Interrupted()) return false;
      if (!current_ || position_ >= (current_->firstWord + current_->words.size()) * perWord_) {
        // Bounded memory: wait for the frontier while too many blocks are held.
        if (live_.size() >= maxLive_) {
          moved_.wait_for(lock, std::chrono::milliseconds(50));
          continue;
        }
        if (!ReadBlock()) return false;
        continue;
      }
      const std::uint64_t blockEnd = (current_->firstWord + current_->words.size()) * perWord_;
      std::uint64_t end = std::min(blockEnd, position_ + kRunLength);
      // Runs a restored session did already are passed over: those the
      // frontier has swallowed meanwhile, and those still above it.
      if (position_ < standing_.frontier) {
        position_ = standing_.frontier;
        continue;
      }
      const auto done = standing_.doneAbove.upper_bound(position_);
      if (done != standing_.doneAbove.begin()) {
        const auto before = std::prev(done);
        if (before->second > position_) {
          position_ = before->second;
          continue;
        }
      }
      if (done != standing_.doneAbove.end()) end = std::min(end, done->first);
      if (found_ && position_ > *found_) return false;
      run = Run{current_, position_, end};
      position_ = end;
      return true;
    }
  }

  // Records [begin, end) as tried.
  void Done(std::uint64_t begin, std::uint64_t end) {
    if (begin >= end) return;
    std::lock_guard lock(mutex_);
    standing_.doneAbove[begin] = end;
    for (auto it = standing_.doneAbove.begin(); it != standing_.doneAbove.end() && it->first <= standing_.frontier;
         it = standing_.doneAbove.erase(it)) {
      standing_.frontier = std::max(standing_.frontier, it->second);
    }
    // Blocks wholly below the frontier are let go.
    while (!live_.empty() &&
           (live_.front()->firstWord + live_.front()->words.size()) * perWord_ <= standing_.frontier &&
           live_.front() != current_) {
      live_.pop_front();
    }
    moved_.notify_all();
  }

  void Found(std::uint64_t number) {
    std::lock_guard lock(mutex_);
    if (!found_ || number < *found_) found_ = number;
  }
  void FalseAlarm() {
    std::lock_guard lock(mutex_);
    ++standing_.falseAlarms;
  }
  void Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }

  // A copy of where the search stands, with the frontier word's place.
  Standing Snapshot() {
    std::lock_guard lock(mutex_);
    Standing s = standing_;
    const std::uint64_t word = s.frontier / perWord_;
    s.frontierOffset = reader_ ? reader_->Offset() : 0;
    s.frontierLines = reader_ ? reader_->Lines() : 0;
    for (const auto& block : live_) {
      if (word >= block->firstWord && word < block->firstWord + block->words.size()) {
        s.frontierOffset = block->offsets[static_cast<std::size_t>(word - block->firstWord)];
        s.frontierLines = block->lines[static_cast<std::size_t>(word - block->firstWord)];
        break;
      }
    }
    s.wordsEnded = wordsEnded_;
    return s;
  }
  std::uint64_t WordsRead() {
    std::lock_guard lock(mutex_);
    return nextWord_;
  }
  bool ReadFailed(std::string& why) {
    std::lock_guard lock(mutex_);
    why = readError_;
    return !readError_.empty();
  }

 private:
  // Reads the next block of words; false at the end of the list.
  bool ReadBlock() {
    if (wordsEnded_) return false;
    auto block = std::make_shared<Block>();
    block->firstWord = nextWord_;
    if (!reader_) {
      if (nextWord_ > 0) {
        wordsEnded_ = true;
        return false;
      }
      block->words.emplace_back();
      block->offsets.push_back(0);
      block->lines.push_back(0);
      block->lineOf.push_back(0);
    } else {
      const std::uint64_t want = std::clamp<std::uint64_t>(kRunLength * 4 / perWord_, 1, kBlockWords);
      std::string word;
      try {
        while (block->words.size() < want) {
          const std::uint64_t offset = reader_->Offset(), lines = reader_->Lines();
          if (!reader_->Next(word)) break;
          block->words.push_back(word);
          block->offsets.push_back(offset);
          block->lines.push_back(lines);
          block->lineOf.push_back(reader_->Lines());
        }
      } catch (const ReadStopped&) {
        // Interrupted: what was read so far is kept, so that the frontier's
        // place stays known.
        reader_->SkipTo(reader_->Offset(), reader_->Lines());
        stopped_ = true;
      } catch (const CandidateError& error) {
        readError_ = error.what();
        stopped_ = true;
      }
      if (block->words.empty()) {
        if (!stopped_) wordsEnded_ = true;
        return false;
      }
    }
    nextWord_ += block->words.size();
    current_ = block;
    live_.push_back(std::move(block));
    position_ = std::max(position_, current_->firstWord * perWord_);
    return true;
  }

  std::mutex mutex_;
  std::condition_variable moved_;
  std::unique_ptr<WordReader> reader_;
  std::uint64_t perWord_;
  Standing standing_;
  std::size_t maxLive_;
  std::deque<std::shared_ptr<const Block>> live_;
  std::shared_ptr<const Block> current_;
  std::uint64_t nextWord_ = 0;
  std::uint64_t position_ = 0;
  std::optional<std::uint64_t> found_;
  bool stopped_ = false;
  bool wordsEnded_ = false;
  std::string readError_;
};

/// Session files ///

// Replaces the file atomically: a temporary beside it, flushed, renamed.
// Refuses to replace a file that is not one of our sessions.
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

void SaveSession(const std::string& path, const json& j) {
  // Read here without the interrupt check of the tool's readers: the save
  // on Ctrl-C runs after the interrupt.
  if (const int fd = OpenSessionFile(path, O_RDONLY); fd >= 0) {
    std::string head(1 << 16, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
      const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    head.resize(got);
    if (head.find("\"trirotor_recover_session\"") == std::string::npos) {
      throw Failure{kExitInput, ShownName(path) + " is not a session of trirotor recover; it is left as it is"};
    }
  }
  const std::string text = j.dump(1) + "\n";
  const std::string temp = path + ".tmp" + std::to_string(::getpid());
  const int fd = OpenSessionFile(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) throw Failure{kExitInput, "cannot write the session file " + ShownName(temp) + ": " + std::strerror(errno)};
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  const bool ok = written == text.size() && FlushSessionFile(fd) == 0;
  ::close(fd);
  if (!ok || !ReplaceSessionFile(temp, path)) {
    const std::string why = std::strerror(errno);
    RemoveSessionFile(temp);
    throw Failure{kExitInput, "cannot write the session file " + ShownName(path) + ": " + why};
  }
}

/// The command ///

struct RecoverOptions {
  std::string message;
  std::optional<std::string> wordlist, rules, mask, appendMask, prependMask;
  std::array<std::optional<std::string>, 4> custom;
  bool increment = false;
  std::size_t incrementMin = 1;
  std::optional<std::string> suffix, suffixWordlist, suffixMask;
  std::string codePages = "1252";
  unsigned jobs = 0;
  bool json = false, dryRun = false, noEarlyTest = false, quiet = false;
  std::optional<std::string> decodeTo, session, restore;
  double statusEvery = 0;
};

RecoverOptions gOptions;

std::vector<int> ParsePages(const std::string& list) {
  std::vector<int> pages;
  if (list == "all") {
    for (const platform::CodePageInfo& page : platform::SupportedCodePages()) pages.push_back(page.number);
    return pages;
  }
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string name = list.substr(start, comma - start);
    start = comma + 1;
    const std::optional<int> page = platform::ParseCodePageName(name);
    if (!page || !platform::IsCodePageSupported(*page)) {
      throw Failure{kExitUsage, "--codepages: '" + name +
                                    "' names no code page this system supports "
                                    "('trirotor --list-codepages' shows them)"};
    }
    if (std::find(pages.begin(), pages.end(), *page) == pages.end()) pages.push_back(*page);
  }
  return pages;
}

// Where candidate `number` came from, in words (never the candidate).
std::string Provenance(const Search& search, std::uint64_t number, std::uint64_t line, const WordExpansion& expansion,
                       const Suffixes& suffixes, const std::vector<std::size_t>& ruleLines) {
  const std::uint64_t s = suffixes.Count();
  const std::uint64_t k = number / s % expansion.PerWord();
  std::vector<std::string> parts;
  if (search.wordlist) {
    parts.push_back("line " + Grouped(line) + " of " + (*search.wordlist == "-" ? "standard input" : ShownName(*search.wordlist)));
  }
  if (search.rules) {
    const std::size_t rule = static_cast<std::size_t>(k / expansion.MaskCount());
    parts.push_back("rule " + Grouped(rule + 1) + " (line " + Grouped(ruleLines[rule]) + ") of " + ShownName(*search.rules));
  }
  if (!search.mask.empty()) parts.push_back("candidate " + Grouped(k % expansion.MaskCount() + 1) + " of mask " + search.mask);
  const std::string suffix = suffixes.From(number % s);
  if (!suffix.empty()) parts.push_back(suffix);
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : ", ") + part;
  return joined;
}

void WriteLine(int fd, const std::string& line) {
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// One line on a terminal: bar, count, rate and time left.
void DrawBar(std::uint64_t done, std::optional<std::uint64_t> total, double rate) {
  std::string line = "\r";
  if (total && *total > 0) {
    const int percent = static_cast<int>(std::min<double>(100.0, 100.0 * static_cast<double>(done) / static_cast<double>(*total)));
    line += "[" + std::string(static_cast<std::size_t>(percent * 30 / 100), '#') +
            std::string(static_cast<std::size_t>(30 - percent * 30 / 100), '-') + "] " + std::to_string(percent) + "%  ";
  }
  line += Grouped(done) + (total ? " of " + Grouped(*total) : "") + "  " + Grouped(static_cast<std::uint64_t>(rate)) + "/s";
  if (total && rate > 0 && *total > done) line += "  " + Duration(static_cast<double>(*total - done) / rate) + " left";
  line += "\033[K";
  WriteLine(2, line);
}

int RunRecover() {
  const RecoverOptions& o = gOptions;
  InstallInterruptHandler();
  Search search;
  Standing standing;
  std::string sessionPath;
  std::optional<std::uint64_t> sessionMessageBytes;
  if (o.restore) {
    sessionPath = *o.restore;
    json j;
    try {
      j = json::parse(ReadWhole(*o.restore, 64 << 20, "the session file"));
      if (j.at("trirotor_recover_session").get<int>() != kSessionVersion) throw std::runtime_error("version");
      search = SearchFromJson(j.at("search"));
      const json& at = j.at("standing");
      standing.frontier = at.at("frontier").get<std::uint64_t>();
      standing.frontierOffset = at.at("frontier_offset").get<std::uint64_t>();
      standing.frontierLines = at.at("frontier_lines").get<std::uint64_t>();
      for (const json& range : at.at("done_above")) {
        const auto b = range.at(0).get<std::uint64_t>(), e = range.at(1).get<std::uint64_t>();
        if (b < e && b > standing.frontier) standing.doneAbove[b] = e;
      }
      standing.falseAlarms = at.at("early_passed_full_failed").get<std::uint64_t>();
      sessionMessageBytes = j.at("message_bytes").get<std::uint64_t>();
    } catch (const Failure&) {
      throw;
    } catch (const std::exception&) {
      throw Failure{kExitInput, ShownName(*o.restore) + " is not a session file of this trirotor"};
    }
    if (search.fixedSuffix && !o.suffix) {
      throw Failure{kExitUsage, "this session searches under a fixed suffix, which it does not store: give --suffix again"};
    }
    if (!search.fixedSuffix && o.suffix) throw Failure{kExitUsage, "this session searches under no fixed suffix: leave out --suffix"};
  } else {
    if (o.message.empty()) throw Failure{kExitUsage, "recover takes the MESSAGE whose key is forgotten"};
    search.message = Absolute(o.message);
    if (o.wordlist) search.wordlist = Absolute(*o.wordlist);
    if (o.rules) search.rules = Absolute(*o.rules);
    if (o.mask) search.mask = *o.mask, search.place = MaskPlace::kAlone;
    if (o.appendMask) search.mask = *o.appendMask, search.place = MaskPlace::kAppend;
    if (o.prependMask) search.mask = *o.prependMask, search.place = MaskPlace::kPrepend;
    search.custom = o.custom;
    search.increment = o.increment;
    search.incrementMin = o.incrementMin;
    if (o.suffixWordlist) search.suffixWordlist = Absolute(*o.suffixWordlist);
    search.suffixMask = o.suffixMask;
    search.codePages = ParsePages(o.codePages);
    search.earlyTest = !o.noEarlyTest;
    if (!search.wordlist && search.place != MaskPlace::kAlone) {
      throw Failure{kExitUsage, "recover needs candidates: --wordlist FILE or --mask MASK"};
    }
    if (search.rules && !search.wordlist) throw Failure{kExitUsage, "--rules works on the words of --wordlist"};
    sessionPath = o.session               ? *o.session
                  : search.message == "-" ? std::string("standard-input.recover")
                                          : support::Utf8Name(support::Utf8Path(search.message).filename()) + ".recover";
  }
  if (o.suffix) {
    search.fixedSuffix = true;
    const std::uint64_t hash = Fnv(ByteBuffer(o.suffix->begin(), o.suffix->end()));
    if (o.restore && hash != search.suffixHash) throw Failure{kExitUsage, "--suffix is not the suffix this session searches under"};
    search.suffixHash = hash;
  }
  if (search.wordlist && *search.wordlist == "-" && search.message == "-") {
    throw Failure{kExitUsage, "the word list and the message cannot both be standard input"};
  }

  // The candidates.
  std::vector<std::size_t> ruleLines;
  WordExpansion expansion;
  Suffixes suffixes;
  try {
    std::vector<Rule> rules;
    if (search.rules) rules = ReadRules(*search.rules, &ruleLines);
    MaskList masks;
    if (!search.mask.empty()) {
      const Mask mask = Mask::Parse(search.mask, search.custom);
      masks = MaskList(search.increment ? mask.Prefixes(search.incrementMin) : std::vector<Mask>{mask});
    }
    expansion = WordExpansion(std::move(rules), std::move(masks), search.place);
    if (search.suffixWordlist) {
      suffixes = Suffixes::FromList(*search.suffixWordlist);
    } else if (search.suffixMask) {
      suffixes = Suffixes::FromMask(*search.suffixMask, MaskList({Mask::Parse(*search.suffixMask, search.custom)}));
    } else if (o.suffix) {
      suffixes = Suffixes(*o.suffix);
    }
  } catch (const CandidateError& error) {
    throw Failure{kExitUsage, error.what()};
  } catch (const ReadStopped&) {
    throw Failure{kExitAborted, "aborted"};
  }
  std::uint64_t perWord = 0;
  if (__builtin_mul_overflow(expansion.PerWord(), suffixes.Count(), &perWord)) {
    throw Failure{kExitUsage, "the search makes more than 18,446,744,073,709,551,615 candidates a word"};
  }

  // The message, read as decode reads it.
  platform::SetCodePage(search.codePages.front());
  ByteBuffer message = ReadWholeBytes(search.message, kMaxInputBytes, "message");
  MessageToCodePage(message);
  if (sessionMessageBytes && *sessionMessageBytes != message.size()) {
    throw Failure{kExitInput, ShownName(search.message) + " is no longer the message this session searches"};
  }
  if (message.size() < kShortestMessage) throw Failure{kExitNoneOpens, "no message in the input (it has fewer than 4 characters)"};

  // The count, by reading the word list once (standard input cannot be).
  std::optional<std::uint64_t> words = 1;
  if (search.wordlist) {
    if (*search.wordlist == "-") {
      words.reset();
    } else {
      try {
        words = CountWords(*search.wordlist, Interrupted);
      } catch (const CandidateError& error) {
        throw Failure{kExitInput, error.what()};
      } catch (const ReadStopped&) {
        throw Failure{kExitAborted, "aborted"};
      }
    }
  }
  std::optional<std::uint64_t> total;
  if (words) {
    std::uint64_t t = 0;
    if (__builtin_mul_overflow(*words, perWord, &t)) {
      throw Failure{kExitUsage, "the search makes more than 18,446,744,073,709,551,615 candidates"};
    }
    total = t;
  }

  unsigned jobs = o.jobs != 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  if (total) jobs = static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(jobs, *total / 64 + 1)));

  // A short calibration: the early test (or the frame check) on this
  // message, on one core, for about a fifth of a second.
  const Trier trier(message, search.codePages, search.earlyTest);
  double perCore = 0;
  {
    const Clock::time_point start = Clock::now();
    std::uint64_t n = 0;
    int page = 0;
    std::string key;
    while (Clock::now() - start < std::chrono::milliseconds(200) || n < 64) {
      key = "calibration " + std::to_string(n++);
      (void)trier.Try(key, std::string(), page);
    }
    perCore = static_cast<double>(n) / std::chrono::duration<double>(Clock::now() - start).count();
  }
  const double rateGuess = perCore * jobs * (jobs > 1 ? 0.95 : 1.0);
  const std::string cores = jobs == 1 ? "1 core" : std::to_string(jobs) + " cores";
  std::string announce;
  if (total) {
    const std::uint64_t left = *total - std::min(*total, standing.frontier);
    announce = Grouped(*total) + (*total == 1 ? " candidate" : " candidates") + "; " +
               About(static_cast<double>(left) / rateGuess) + " on " + cores;
    if (standing.frontier > 0) announce += " for the " + Grouped(left) + " left";
  } else {
    announce = "an unknown number of candidates (the word list is standard input), " + Grouped(perWord) +
               " a word; " + About(1e6 * static_cast<double>(perWord) / rateGuess) + " a million words on " + cores;
  }
  if (search.codePages.size() > 1) announce += ", each under up to " + std::to_string(search.codePages.size()) + " code pages";
  if (o.dryRun) {
    WriteLine(1, announce + "\n");
    return kExitOk;
  }
  if (!o.quiet) Complain(announce);

  std::unique_ptr<WordReader> reader;
  try {
    if (search.wordlist) reader = std::make_unique<WordReader>(*search.wordlist, Interrupted);
  } catch (const CandidateError& error) {
    throw Failure{kExitInput, error.what()};
  }
  std::uint64_t alreadyDone = standing.frontier;
  for (const auto& [b, e] : standing.doneAbove) alreadyDone += e - b;
  Dispenser dispenser(std::move(reader), perWord, standing, jobs);

  // The workers.
  std::atomic<std::uint64_t> tried{alreadyDone};
  std::mutex winnerMutex;
  std::optional<Winner> winner;
  std::atomic<unsigned> running{jobs};
  std::atomic<std::uint64_t> foundAt{UINT64_MAX};
  const std::uint64_t suffixCount = suffixes.Count();
  const auto work = [&] {
    platform::SetCodePage(search.codePages.front());
    std::string key, suffix;
    Run run;
    while (dispenser.Next(run)) {
      std::uint64_t g = run.begin;
      std::uint64_t madeFor = UINT64_MAX;  // the key is made once for all its suffixes
      for (; g < run.end; ++g) {
        if (Interrupted() || g > foundAt.load(std::memory_order_relaxed)) break;
        const std::uint64_t word = g / perWord, inner = g % perWord;
        const std::uint64_t k = inner / suffixCount;
        if (madeFor != g / suffixCount) {
          expansion.Make(run.block->words[static_cast<std::size_t>(word - run.block->firstWord)], k, key);
          madeFor = g / suffixCount;
        }
        suffixes.Make(inner % suffixCount, suffix);
        int page = 0;
        const Verdict verdict = trier.Try(key, suffix, page);
        if (verdict == Verdict::kFalseAlarm) dispenser.FalseAlarm();
        if (verdict == Verdict::kOpens) {
          std::lock_guard lock(winnerMutex);
          if (!winner || g < winner->number) {
            KeyText k16, s16;
            ToText(key, k16);
            ToText(suffix, s16);
            const auto at = static_cast<std::size_t>(word - run.block->firstWord);
            winner = Winner{g, run.block->lineOf[at], key, suffix, page, k16.text, s16.text};
          }
          std::uint64_t seen = foundAt.load();
          while (g < seen && !foundAt.compare_exchange_weak(seen, g)) {
          }
          dispenser.Found(g);
          ++g;
          break;
        }
      }
      dispenser.Done(run.begin, g);
      tried.fetch_add(g - run.begin, std::memory_order_relaxed);
      if (g < run.end) break;  // stopped inside the run
    }
    running.fetch_sub(1);
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < jobs; ++t) threads.emplace_back(work);

  const auto sessionJson = [&] {
    const Standing s = dispenser.Snapshot();
    json ranges = json::array();
    for (const auto& [b, e] : s.doneAbove) ranges.push_back({b, e});
    return json{{"trirotor_recover_session", kSessionVersion},
                {"search", SearchToJson(search)},
                {"message_bytes", message.size()},
                {"total", total ? json(*total) : json(nullptr)},
                {"standing",
                 {{"frontier", s.frontier},
                  {"frontier_offset", s.frontierOffset},
                  {"frontier_lines", s.frontierLines},
                  {"done_above", ranges},
                  {"early_passed_full_failed", s.falseAlarms},
                  {"tried", s.frontier + [&] {
                     std::uint64_t n = 0;
                     for (const auto& [b, e] : s.doneAbove) n += e - b;
                     return n;
                   }()}}}};
  };
  const bool terminal = !o.quiet && ::isatty(2);
  const Clock::time_point start = Clock::now();
  Clock::time_point lastSave = start, lastDraw = start, lastStatus = start;
  std::uint64_t triedAtStart = alreadyDone;
  std::string saveProblem;
  const auto save = [&] {
    try {
      SaveSession(sessionPath, sessionJson());
    } catch (const Failure& failure) {
      if (saveProblem != failure.message) Complain(failure.message);
      saveProblem = failure.message;
    }
  };
  while (running.load() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Clock::time_point now = Clock::now();
    const std::uint64_t done = tried.load(std::memory_order_relaxed);
    const double seconds = std::chrono::duration<double>(now - start).count();
    const double rate = seconds > 0 ? static_cast<double>(done - triedAtStart) / seconds : 0;
    if (now - lastSave >= kSaveEvery) {
      save();
      lastSave = now;
    }
    if (terminal && now - lastDraw >= kDrawEvery && seconds > 0.5) {
      DrawBar(done, total, rate);
      lastDraw = now;
    }
    if (o.statusEvery > 0 && now - lastStatus >= std::chrono::duration<double>(o.statusEvery)) {
      json status = {{"tried", done}, {"total", total ? json(*total) : json(nullptr)}, {"per_second", static_cast<std::uint64_t>(rate)}, {"early_passed_full_failed", dispenser.Snapshot().falseAlarms}};
      if (total && rate > 0) status["seconds_left"] = static_cast<std::uint64_t>(static_cast<double>(*total - std::min(*total, done)) / rate);
      WriteLine(2, status.dump() + "\n");
      lastStatus = now;
    }
  }
  for (std::thread& thread : threads) thread.join();
  if (terminal) WriteLine(2, "\r\033[K");

  const Standing last = dispenser.Snapshot();
  const std::uint64_t done = tried.load();
  std::string readError;
  if (dispenser.ReadFailed(readError)) {
    save();
    throw Failure{kExitInput, readError};
  }
  save();
  const std::string alarms = last.falseAlarms == 0 ? "" : "; " + Grouped(last.falseAlarms) + (last.falseAlarms == 1 ? " candidate" : " candidates") + " passed the " + (search.earlyTest ? "early test" : "frame check") + " but not the full decode";
  if (winner) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string from = Provenance(search, winner->number, winner->line, expansion, suffixes, ruleLines);
    if (o.decodeTo) {
      platform::SetCodePage(winner->codePage);
      LastError = 0;
      const ByteBuffer plain = DecodeBytes(message, winner->key16, winner->suffix16);
      Output out(*o.decodeTo);
      out.Write(support::EncodeUtf8(platform::BytesToText(plain)));
      out.Commit();
    }
    if (o.json) {
      json j = {{"key", ShownCandidate(winner->key)}, {"suffix", ShownCandidate(winner->suffix)}, {"codepage", winner->codePage}, {"candidate", winner->number + 1}, {"from", from}};
      WriteLine(1, j.dump() + "\n");
    } else {
      WriteLine(1, ShownCandidate(winner->key) + "\n");
    }
    if (!o.quiet) {
      Complain("found candidate " + Grouped(winner->number + 1) + " (" + from + "), code page " +
               std::to_string(winner->codePage) + ", after " + Grouped(done) + " tried in " + Duration(seconds) + alarms);
    }
    return kExitFound;
  }
  if (Interrupted()) {
    Complain("interrupted after " + Grouped(done) + " candidates" + alarms + "; resume with: trirotor recover --restore " +
             ShownName(sessionPath));
    throw Failure{kExitAborted, "aborted by " + SignalName(InterruptSignal())};
  }
  Complain("none of the " + Grouped(done) + " candidates opens the message" + alarms);
  return kExitNoneOpens;
}

}  // namespace

CLI::App* AddRecoverCommand(CLI::App& app) {
  RecoverOptions& o = gOptions;
  CLI::App* recover = app.add_subcommand(
      "recover", "Search for a forgotten key among candidates from word lists, rules and masks, on every core");
  recover->add_option("MESSAGE", o.message, "The message whose key is forgotten");
  recover->add_option("--wordlist", o.wordlist, "Candidate words, one a line (UTF-8; $HEX[...] lines; - for standard input)")
      ->option_text("FILE");
  recover->add_option("--rules", o.rules, "Apply each rule of FILE (hashcat's rule syntax) to each word")->option_text("FILE");
  auto* mask = recover->add_option("--mask", o.mask, "Candidates from a mask alone (?l ?u ?d ?s ?a ?h ?H ?b ?1-?4, ?? for ?)")
                   ->option_text("MASK");
  auto* append = recover->add_option("--append-mask", o.appendMask, "Each word followed by each candidate of MASK")
                     ->option_text("MASK");
  auto* prepend = recover->add_option("--prepend-mask", o.prependMask, "Each candidate of MASK followed by each word")
                      ->option_text("MASK");
  mask->excludes(append)->excludes(prepend)->excludes("--wordlist");
  append->excludes(prepend);
  for (int k = 0; k < 4; ++k) {
    recover->add_option("-" + std::to_string(k + 1) + ",--custom-charset" + std::to_string(k + 1), o.custom[static_cast<std::size_t>(k)],
                        "The set ?" + std::to_string(k + 1) + " stands for in masks")
        ->option_text("SET");
  }
  recover->add_flag("--increment", o.increment, "Masks from their first position on, one longer each time");
  recover->add_option("--increment-min", o.incrementMin, "With --increment, start at N positions")->option_text("N");
  auto* suffix = recover->add_option("--suffix", o.suffix, "A fixed key suffix (default: empty)")->option_text("TEXT");
  auto* suffixList = recover->add_option("--suffix-wordlist", o.suffixWordlist, "Try each suffix of FILE, one a line")
                         ->option_text("FILE");
  auto* suffixMask = recover->add_option("--suffix-mask", o.suffixMask, "Try each suffix of MASK")->option_text("MASK");
  suffix->excludes(suffixList)->excludes(suffixMask);
  suffixList->excludes(suffixMask);
  recover->add_option("--codepages", o.codePages,
                      "Try each key under these code pages, by number or name, comma-separated, "
                      "or all (default: 1252)")
      ->option_text("LIST|all");
  recover->add_option("-j,--jobs", o.jobs, "Threads (default: one per core)")->option_text("N")->check(CLI::Range(1, 1024));
  recover->add_flag("--json", o.json, "Print the key found as one JSON object: key, suffix, codepage, candidate, from");
  recover->add_option("--decode-to", o.decodeTo, "Also write the plain text to FILE (UTF-8)")->option_text("FILE");
  recover->add_flag("--dry-run", o.dryRun, "Print the number of candidates and the time they take, and stop");
  recover->add_flag("--no-early-test", o.noEarlyTest,
                    "Test each key by the whole frame: for a message whose payload has no container identification");
  recover->add_option("--status-json", o.statusEvery, "Every SECONDS, one JSON status line on standard error")
      ->option_text("SECONDS")
      ->check(CLI::PositiveNumber);
  auto* session = recover->add_option("--session", o.session,
                                      "Keep where the search stands in FILE (default: "
                                      "MESSAGE's name + .recover, in this folder)")
                      ->option_text("FILE");
  auto* restore = recover->add_option("--restore", o.restore, "Go on with the search FILE holds, exactly where it stopped")
                      ->option_text("FILE");
  restore->excludes(session)->excludes("--wordlist")->excludes("--rules")->excludes(mask)->excludes(append)->excludes(prepend)->excludes(suffixList)->excludes(suffixMask)->excludes("--codepages")->excludes("--no-early-test")->excludes("MESSAGE");
  recover->add_flag("-q,--quiet", o.quiet, "No announcement, progress bar or summary line");
  recover->footer(R"TXT(
Candidates are the product of the word list (each rule applied to each
word, then the mask appended or prepended) and the suffixes, each tried
under each code page. The key found is printed on standard output; no
candidate is ever written to standard error or to the session file.

Exit status:
  0    the key was found
  1    bad usage (unknown option, bad rule, mask or code page)
  2    input problem (unreadable message, word list or session file)
  3    every candidate was tried and none opens the message
  128+N  stopped by signal N (130 Ctrl-C): the session file is saved;
       go on with trirotor recover --restore FILE)TXT");
  return recover;
}

int RunRecoverCommand() {
  try {
    return RunRecover();
  } catch (const Failure& failure) {
    Complain(failure.message);
    if (failure.status == kExitAborted && Interrupted()) return 128 + InterruptSignal();
    return failure.status;
  } catch (const EngineError& error) {
    Complain("error " + std::to_string(error.number()) + " in " + error.source() + ": " + error.description());
    return kExitEngine;
  } catch (const std::bad_alloc&) {
    Complain("out of memory");
    return kExitEngine;
  }
}

}  // namespace trirotor::cli
