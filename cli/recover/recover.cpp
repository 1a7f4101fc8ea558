// SPDX-License-Identifier: MIT
//
// recover.cpp - the recover library: searches for a forgotten key among the
// candidates of a word list, rules and masks, on every core, resumable;
// the caller's hooks stop it, show its progress and take the key found.
//
// Candidates are numbered: candidate g is word g / Q of the list, and
// within it expansion (g % Q) / S with suffix g % S (Q = the expansion's
// count times S). Workers take runs of numbers in order; a run's words come
// from a block read under the dispenser's lock, so the word list is read
// once, as a stream, whatever its size. What is done is kept as a frontier
// (every number below it tried) and the runs done above it, which is all a
// session file holds (recover_session.h): a number, the frontier word's
// byte offset and line, and a few ranges. Never a candidate; and once the
// key is found, no place either, since the winner's place is the key.
//
// A candidate counts only once the full decode takes it: the early test
// (the header and the container's identification) lets through about one
// wrong key in 2^31, and those, like the lucky keys that pass the frame
// check, are counted and reported, never taken.


#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/decode/message.h"
#include "cli/file_io.h"
#include "cli/human.h"
#include "cli/recover/candidates.h"
#include "cli/recover/recover.h"
#include "cli/recover/recover_session.h"
#include "cli/sha256.h"
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
constexpr auto kAnnounceAfter = std::chrono::milliseconds(200);  // the search's own rate, measured so long
constexpr std::size_t kMaxSuffixes = std::size_t{1} << 22;

/// Numbers for people ///

// "1 candidate", "1,204 candidates".
std::string Candidates(std::uint64_t n) { return Grouped(n) + (n == 1 ? " candidate" : " candidates"); }

// "none of the 20 candidates opens the message", and for one, in words.
std::string NoneOpens(std::uint64_t n) {
  return n == 1 ? "the one candidate does not open the message" : "none of the " + Candidates(n) + " opens the message";
}

constexpr double kCentury = 100.0 * 365 * 86400;

// "about 5 h 40 min", "under a second", "more than 100 years".
std::string About(double seconds) {
  if (seconds < 1) return "under a second";
  return seconds > kCentury ? Duration(seconds) : "about " + Duration(seconds);
}

std::string Absolute(const std::string& path) {
  if (path == "-") return path;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(support::Utf8Path(path), error);
  return error ? path : support::Utf8Name(absolute);
}

// A line for the user, when the caller listens.
void Tell(const RecoverHooks& hooks, const std::string& line, bool chatter = false) {
  if (hooks.tell) hooks.tell(line, chatter);
}

/// Suffixes ///

// The suffix dimension: one fixed suffix, a list held in memory, or a mask.
class Suffixes {
 public:
  Suffixes() : fixed_(std::string()) {}
  explicit Suffixes(std::string fixed) : fixed_(std::move(fixed)) {}
  static Suffixes FromList(const std::string& path, const std::function<bool()>& stop) {
    Suffixes s;
    s.fixed_.reset();
    s.path_ = path;
    WordReader reader(path, stop);
    for (std::string w; reader.Next(w);) {
      s.list_.push_back(w);
      s.lines_.push_back(reader.Lines());
      if (s.list_.size() > kMaxSuffixes)
        throw CandidateError("the suffix list " + path + " holds more than 4,194,304 suffixes");
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
  std::uint64_t Count() const { return fixed_ ? 1 : !list_.empty() ? list_.size() : masks_.Count(); }
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
    if (!list_.empty())
      return "suffix from line " + Grouped(lines_[static_cast<std::size_t>(i)]) + " of " + ShownName(path_);
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

// What a candidate key did: recover's own word on a decode's status. Only a
// clean opening wins (a checksum mismatch is a wrong key's luck, as is a
// container the engine cannot read), and a frame check that turns the key
// away is a plain no.
enum class Verdict { kNo, kFalseAlarm, kOpens };

Verdict VerdictOf(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOpened: return Verdict::kOpens;
    case DecodeStatus::kFrameFailed:
    case DecodeStatus::kNoMessage: return Verdict::kNo;
    case DecodeStatus::kChecksumMismatch:
    case DecodeStatus::kEngineError: return Verdict::kFalseAlarm;
  }
  return Verdict::kFalseAlarm;
}

class Trier {
 public:
  Trier(const ByteBuffer& message, const std::vector<int>& pages, bool earlyTest)
      : message_(message), trial_(message), pages_(pages), earlyTest_(earlyTest) {}
  Trier(const Trier&) = delete;

  const KeyTrial& Trial() const { return trial_; }
  bool EarlyTest() const { return earlyTest_; }

  // The full decode of a candidate that passed the group's early test and
  // whose bytes are the same under every code page (ASCII), as Try would
  // give it after its own early test.
  Verdict Confirm(const std::string& key, const std::string& suffix, int& page) const {
    if (platform::CodePage() != pages_.front()) platform::SetCodePage(pages_.front());
    const std::u16string k(key.begin(), key.end()), s(suffix.begin(), suffix.end());
    if (FullDecode(k, s) != Verdict::kOpens) return Verdict::kFalseAlarm;
    page = pages_.front();
    return Verdict::kOpens;
  }

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
    return VerdictOf(TryDecodeBytes(message_, key, suffix).status);
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

class Dispenser {
 public:
  // `perWord` candidates a word; without a reader the one word is "".
  Dispenser(std::unique_ptr<WordReader> reader, std::uint64_t perWord, Standing start, unsigned jobs,
            std::function<bool()> stop, std::uint64_t end)
      : stop_(std::move(stop)),
        end_(end),
        reader_(std::move(reader)),
        perWord_(perWord),
        standing_(std::move(start)),
        maxLive_(4 * static_cast<std::size_t>(jobs) + 4) {
    nextWord_ = standing_.frontier / perWord_;
    position_ = standing_.frontier;
    if (reader_) reader_->SkipTo(standing_.frontierOffset, standing_.frontierLines);
  }

  // The next run to try; false when there is none left (or a stop).
  bool Next(Run& run) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopped_ || stop_() || position_ >= end_) return false;
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
      if (position_ >= end_) return false;
      end = std::min(end, end_);
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
    return s;
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

  std::function<bool()> stop_;
  std::uint64_t end_;  // the part's end: no number from here on is handed out
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

/// The options ///

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

// Options that would make a search of nothing, or of one empty candidate
// that no one typed, are usage errors.
void RefuseDegenerateOptions(const RecoverOptions& o) {
  const std::pair<const std::optional<std::string>*, const char*> masks[] = {{&o.mask, "--mask"},
                                                                             {&o.appendMask, "--append-mask"},
                                                                             {&o.prependMask, "--prepend-mask"},
                                                                             {&o.suffixMask, "--suffix-mask"}};
  for (const auto& [mask, name] : masks) {
    if (*mask && (*mask)->empty()) throw Failure{kExitUsage, std::string(name) + ": an empty mask makes no candidate"};
  }
  if (o.increment && !o.mask && !o.appendMask && !o.prependMask) {
    throw Failure{kExitUsage, "--increment works on a mask: give --mask, --append-mask or --prepend-mask"};
  }
  if (o.decodeTo && o.decodeTo->empty()) throw Failure{kExitUsage, "--decode-to: an empty name names no file"};
}

/// The search's plan ///

// The search, where its session lives and what the options add to it.
struct Plan {
  Search search;
  std::string sessionPath;
  std::optional<Session> restored;          // what --restore read
  std::optional<std::string> fixedSuffix;   // its bytes, given again on each run
  std::optional<std::string> messageBytes;  // the message given in place of a file
  std::unique_ptr<SessionLock> lock;        // none for --dry-run, which writes nothing
};

Search SearchFromOptions(const RecoverOptions& o) {
  Search search;
  if (o.message.empty() && !o.messageBytes)
    throw Failure{kExitUsage, "recover takes the MESSAGE whose key is forgotten"};
  search.message = o.messageBytes ? std::string("(the message given)") : Absolute(o.message);
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
  search.skip = o.skip.value_or(0);
  search.limit = o.limit;
  if (search.limit == 0) throw Failure{kExitUsage, "--limit 0 tries no candidate"};
  if (search.skip > 0 && search.wordlist == "-") {
    throw Failure{kExitUsage, "--skip counts candidates in a word list file, not on standard input"};
  }
  if (!search.wordlist && search.place != MaskPlace::kAlone) {
    throw Failure{kExitUsage, "recover needs candidates: --wordlist FILE or --mask MASK"};
  }
  if (search.rules && !search.wordlist) throw Failure{kExitUsage, "--rules works on the words of --wordlist"};
  if (search.wordlist && *search.wordlist == "-" && search.message == "-") {
    throw Failure{kExitUsage, "the word list and the message cannot both be standard input"};
  }
  return search;
}

// A fixed suffix is never stored, nor anything made from it: a session
// under one needs it again, and trusts the one it is given.
void TakeFixedSuffix(Plan& plan, const RecoverOptions& o) {
  plan.fixedSuffix = o.fixedSuffix ? o.fixedSuffix(plan.search.message, plan.search.wordlist) : std::nullopt;
  const bool given = plan.fixedSuffix.has_value();
  if (!plan.restored) {
    plan.search.fixedSuffix = given;
    return;
  }
  if (plan.search.fixedSuffix && !given) {
    throw Failure{kExitUsage,
                  "this session searches under a fixed suffix, which it does not store: give it again "
                  "(--suffix-file, --suffix-env or --suffix)"};
  }
  if (!plan.search.fixedSuffix && given)
    throw Failure{kExitUsage, "this session searches under no fixed suffix: leave out the suffix"};
}

// A new search locks its session file, and takes it only when it holds
// nothing of worth: no file, this very search finished, or this search with every
// candidate tried. Another search's session, or this one's stopped, is
// refused, not replaced.
void TakeSession(Plan& plan) {
  plan.lock = std::make_unique<SessionLock>(plan.sessionPath);
  const std::optional<Session> there = SessionAt(plan.sessionPath);
  if (!there) return;
  const std::string shown = ShownName(plan.sessionPath);
  if (SearchToJson(there->search) != SearchToJson(plan.search)) {
    const std::string other = there->search.message == plan.search.message
                                  ? "of this message, with other candidates or options"
                                  : "of the message " + ShownName(there->search.message);
    throw Failure{kExitUsage, shown + " holds the session of another search (" + other +
                                  "): go on with it with trirotor recover --restore " + shown +
                                  ", or give this search a --session FILE of its own"};
  }
  if (there->standing && !there->Exhausted()) {
    throw Failure{kExitUsage, shown +
                                  " holds this very search, stopped: go on with it with trirotor recover --restore " +
                                  shown + ", or remove it to start over"};
  }
}

Plan PlanFromOptions(const RecoverOptions& o) {
  Plan plan;
  plan.search = SearchFromOptions(o);
  plan.messageBytes = o.messageBytes;
  plan.sessionPath = o.session ? *o.session
                     : plan.search.message == "-"
                         ? std::string("standard-input.recover")
                         : support::Utf8Name(support::Utf8Path(plan.search.message).filename()) + ".recover";
  TakeFixedSuffix(plan, o);
  return plan;
}

Plan PlanFromSession(const RecoverOptions& o) {
  Plan plan;
  plan.sessionPath = *o.restore;
  if (!o.dryRun) plan.lock = std::make_unique<SessionLock>(plan.sessionPath);
  Session session = ReadSession(plan.sessionPath);
  if (!session.standing) {
    throw Failure{kExitInput, ShownName(plan.sessionPath) +
                                  ": this search has already found its key, and a session keeps no key: nothing is "
                                  "left to restore (run the search again, without --restore, to find it once more)"};
  }
  plan.search = session.search;
  plan.restored = std::move(session);
  TakeFixedSuffix(plan, o);
  return plan;
}

/// The candidates ///

struct CandidateSet {
  WordExpansion expansion;
  Suffixes suffixes;
  std::vector<std::size_t> ruleLines;
  std::uint64_t perWord = 0;  // candidates a word makes, suffixes included
};

// Rules, masks and suffixes as the search names them. Their faults are the
// user's to fix for a new search, the session's for a restored one.
CandidateSet MakeCandidates(const Plan& plan, const RecoverHooks& hooks) {
  const Search& search = plan.search;
  CandidateSet set;
  try {
    std::vector<Rule> rules;
    if (search.rules) rules = ReadRules(*search.rules, &set.ruleLines);
    MaskList masks;
    if (!search.mask.empty()) {
      const Mask mask = Mask::Parse(search.mask, search.custom);
      masks = MaskList(search.increment ? mask.Prefixes(search.incrementMin) : std::vector<Mask>{mask});
    }
    set.expansion = WordExpansion(std::move(rules), std::move(masks), search.place);
    if (search.suffixWordlist) {
      set.suffixes = Suffixes::FromList(*search.suffixWordlist, hooks.stop);
    } else if (search.suffixMask) {
      set.suffixes = Suffixes::FromMask(*search.suffixMask, MaskList({Mask::Parse(*search.suffixMask, search.custom)}));
    } else if (plan.fixedSuffix) {
      set.suffixes = Suffixes(*plan.fixedSuffix);
    }
  } catch (const CandidateError& error) {
    if (!plan.restored)
      throw Failure{error.kind == CandidateError::Kind::kInput ? kExitInput : kExitUsage, error.what()};
    throw Failure{kExitInput,
                  "the search of the session " + ShownName(plan.sessionPath) + " cannot be made: " + error.what()};
  } catch (const ReadStopped&) {
    ThrowStopped();
  }
  if (__builtin_mul_overflow(set.expansion.PerWord(), set.suffixes.Count(), &set.perWord)) {
    throw Failure{kExitUsage, "the search makes more than 18,446,744,073,709,551,615 candidates a word"};
  }
  return set;
}

/// The inputs, as they are now ///

// What this run read of the message and the word list.
struct Inputs {
  ByteBuffer message;  // as the code page's bytes
  std::map<std::string, Fingerprint> sources;
  std::optional<std::uint64_t> words;  // nullopt: the word list is standard input
  // Where word `frontier / perWord` starts, read anew from a word list file.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> place;
  std::optional<std::uint64_t> total;
  // The part this run searches: numbers partBegin to partEnd - 1 (partEnd
  // nullopt: to the end of a word list on standard input).
  std::uint64_t partBegin = 0;
  std::optional<std::uint64_t> partEnd;
  std::optional<std::uint64_t> PartCount() const {
    return partEnd ? std::optional(*partEnd - partBegin) : std::nullopt;
  }
};

// The part --skip and --limit cut out of the numbers; one that starts past
// the end of the search holds nothing and is refused.
void TakePart(const Search& search, Inputs& inputs) {
  inputs.partBegin = search.skip;
  std::uint64_t end = UINT64_MAX;
  if (search.limit && __builtin_add_overflow(search.skip, *search.limit, &end)) end = UINT64_MAX;
  if (inputs.total) end = std::min(end, *inputs.total);
  if (inputs.total || search.limit) inputs.partEnd = end;
  if (inputs.total && search.skip >= *inputs.total) {
    throw Failure{kExitUsage, "--skip " + Grouped(search.skip) + " passes the end of the search, which makes " +
                                  Candidates(*inputs.total) + ": this part holds none"};
  }
}

// "(candidates 11 to 20 of 26)" for a part of the search; "" for the whole.
std::string PartRange(const Search& search, const Inputs& inputs) {
  if (search.skip == 0 && !search.limit) return "";
  const std::string of = inputs.total ? " of " + Grouped(*inputs.total) : "";
  if (!inputs.partEnd) return " (candidates from " + Grouped(inputs.partBegin + 1) + of + ")";
  return " (candidates " + Grouped(inputs.partBegin + 1) + " to " + Grouped(*inputs.partEnd) + of + ")";
}

// A file the restored session read is read only as it was then.
void RefuseChangedSource(const Plan& plan, const std::string& name, const Fingerprint& now, const std::string& path,
                         const std::string& what) {
  if (!plan.restored) return;
  const auto then = plan.restored->sources.find(name);
  if (then == plan.restored->sources.end()) return;
  const Fingerprint& was = then->second;
  if (was.bytes == now.bytes && (was.sha256.empty() || was.sha256 == now.sha256)) return;
  const std::string how = was.bytes != now.bytes ? Grouped(was.bytes) + " bytes then, " + Grouped(now.bytes) + " now"
                                                 : "the same size, other bytes";
  if (name == "message") {
    throw Failure{kExitInput, ShownName(path) + " is no longer the message this session searches (" + how + ")"};
  }
  throw Failure{kExitInput, what + " " + ShownName(path) + " has changed since the session was saved (" + how +
                                "): the session's place in the search no longer holds; start the search again "
                                "without --restore (remove " +
                                ShownName(plan.sessionPath) + " first)"};
}

// Reads the word list once: its words, its fingerprint, and where word `at`
// starts.
void SurveyWordList(const std::string& path, std::uint64_t at, Inputs& inputs, const std::function<bool()>& stop) {
  try {
    WordReader reader(path, stop);
    Sha256 hash;
    Fingerprint print;
    reader.Watch([&](std::string_view bytes) {
      hash.Update(bytes);
      print.bytes += bytes.size();
    });
    std::uint64_t words = 0;
    for (std::string word;; ++words) {
      if (words == at) inputs.place = std::pair{reader.Offset(), reader.Lines()};
      if (!reader.Next(word)) break;
    }
    print.sha256 = hash.Hex();
    inputs.words = words;
    inputs.sources["wordlist"] = print;
  } catch (const CandidateError& error) {
    throw Failure{kExitInput, error.what()};
  } catch (const ReadStopped&) {
    ThrowStopped();
  }
}

Inputs ReadInputs(const Plan& plan, const CandidateSet& set, const RecoverHooks& hooks) {
  const Search& search = plan.search;
  Inputs inputs;
  if (search.rules) inputs.sources["rules"] = FingerprintOf(*search.rules, "the rule file");
  if (search.suffixWordlist)
    inputs.sources["suffix_wordlist"] = FingerprintOf(*search.suffixWordlist, "the suffix list");
  // The message, read as decode reads it.
  platform::SetCodePage(search.codePages.front());
  inputs.message = plan.messageBytes ? ByteBuffer(plan.messageBytes->begin(), plan.messageBytes->end())
                                     : ReadWholeBytes(search.message, kMaxInputBytes, "message");
  const std::string_view read(reinterpret_cast<const char*>(inputs.message.data()), inputs.message.size());
  inputs.sources["message"] = Fingerprint{inputs.message.size(), Sha256Hex(read)};
  MessageToCodePage(inputs.message);
  RefuseChangedSource(plan, "message", inputs.sources["message"], search.message, "the message");
  if (inputs.message.size() < kShortestMessage) {
    throw Failure{kExitNoneOpens, "no message in the input (it has fewer than 4 characters)"};
  }
  // The count, by reading the word list once (standard input cannot be).
  const std::uint64_t at = (plan.restored ? plan.restored->standing->frontier : search.skip) / set.perWord;
  if (!search.wordlist) {
    inputs.words = 1;
  } else if (*search.wordlist != "-") {
    SurveyWordList(*search.wordlist, at, inputs, hooks.stop);
  }
  if (inputs.words) {
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(*inputs.words, set.perWord, &total)) {
      throw Failure{kExitUsage, "the search makes more than 18,446,744,073,709,551,615 candidates"};
    }
    inputs.total = total;
  }
  TakePart(search, inputs);
  const char* names[] = {"wordlist", "rules", "suffix_wordlist"};
  const std::optional<std::string> paths[] = {search.wordlist, search.rules, search.suffixWordlist};
  const char* whats[] = {"the word list", "the rule file", "the suffix list"};
  for (std::size_t k = 0; k < 3; ++k) {
    const auto now = inputs.sources.find(names[k]);
    if (now != inputs.sources.end()) RefuseChangedSource(plan, names[k], now->second, *paths[k], whats[k]);
  }
  return inputs;
}

// Where a restored search goes on: its standing, once it is found to fit
// this search as it is now; the frontier word's place comes from the word
// list itself wherever it can be read again.
Standing StandingToGoOn(const Plan& plan, const Inputs& inputs) {
  if (!plan.restored) {
    // A new part starts at its first number, as if every one below it was
    // tried.
    Standing standing;
    standing.frontier = inputs.partBegin;
    if (inputs.place) std::tie(standing.frontierOffset, standing.frontierLines) = *inputs.place;
    return standing;
  }
  const Session& session = *plan.restored;
  Standing standing = *session.standing;
  standing.complete = false;  // until this run says so
  const auto unfit = [&](const std::string& why) {
    return Failure{kExitInput,
                   ShownName(plan.sessionPath) + " does not fit its search: " + why + "; it is left as it is"};
  };
  if (session.total != inputs.total) {
    throw unfit("it counts " + (session.total ? Candidates(*session.total) : "no total") + ", the search makes " +
                (inputs.total ? Grouped(*inputs.total) : "an unknown number"));
  }
  if (!plan.search.wordlist && (standing.frontierOffset != 0 || standing.frontierLines != 0)) {
    throw unfit("it places its frontier in a word list it does not have");
  }
  const auto list = inputs.sources.find("wordlist");
  if (list != inputs.sources.end() && standing.frontierOffset > list->second.bytes) {
    throw unfit("its frontier lies past the end of the word list");
  }
  const bool inList = inputs.total && standing.frontier < *inputs.total;
  if (inputs.place && inList) {
    const auto [offset, lines] = *inputs.place;
    // A session of the first version kept no fingerprint: its frontier's
    // place is all that tells an edited word list.
    if (session.fromOlderVersion && (offset != standing.frontierOffset || lines != standing.frontierLines)) {
      throw Failure{kExitInput, "the word list " + ShownName(*plan.search.wordlist) +
                                    " has changed since the session was saved: the session's place in it no longer "
                                    "holds; start the search again without --restore (remove " +
                                    ShownName(plan.sessionPath) + " first)"};
    }
    standing.frontierOffset = offset;
    standing.frontierLines = lines;
  }
  return standing;
}

/// Telling what was found ///

// The positions a mask has: "?d" is one, and so is "??" or a letter.
std::size_t MaskPositions(std::string_view mask, std::size_t upTo = SIZE_MAX, std::size_t* bytes = nullptr) {
  std::size_t at = 0, positions = 0;
  for (; at < mask.size() && positions < upTo; ++positions) at += mask[at] == '?' && at + 1 < mask.size() ? 2 : 1;
  if (bytes != nullptr) *bytes = at;
  return positions;
}

// "candidate 25 of mask ?d?d"; under --increment, of the mask it came
// from: "candidate 25 of ?d?d, the first 2 of the 3 positions of mask ?d?d?d".
std::string MaskProvenance(const Search& search, const MaskList& masks, std::uint64_t index) {
  const auto [which, inMask] = masks.Locate(index);
  const std::string number = "candidate " + Grouped(inMask + 1);
  if (!search.increment) return number + " of mask " + search.mask;
  const std::size_t length = masks.At(which).Length();
  std::size_t bytes = 0;
  MaskPositions(search.mask, length, &bytes);
  return number + " of " + search.mask.substr(0, bytes) + ", the first " + std::to_string(length) + " of the " +
         std::to_string(MaskPositions(search.mask)) + " positions of mask " + search.mask;
}

// Where candidate `number` came from, in words (never the candidate).
std::string Provenance(const Search& search, std::uint64_t number, std::uint64_t line, const CandidateSet& set) {
  const WordExpansion& expansion = set.expansion;
  const std::uint64_t s = set.suffixes.Count();
  const std::uint64_t k = number / s % expansion.PerWord();
  std::vector<std::string> parts;
  if (search.wordlist) {
    parts.push_back("line " + Grouped(line) + " of " +
                    (*search.wordlist == "-" ? "standard input" : ShownName(*search.wordlist)));
  }
  if (search.rules) {
    const std::size_t rule = static_cast<std::size_t>(k / expansion.MaskCount());
    parts.push_back("rule " + Grouped(rule + 1) + " (line " + Grouped(set.ruleLines[rule]) + ") of " +
                    ShownName(*search.rules));
  }
  if (!search.mask.empty()) parts.push_back(MaskProvenance(search, expansion.Masks(), k % expansion.MaskCount()));
  const std::string suffix = set.suffixes.From(number % s);
  if (!suffix.empty()) parts.push_back(suffix);
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : ", ") + part;
  return joined;
}

// A key or suffix found, as decode takes it back: printable UTF-8 as it
// stands; bytes that are no UTF-8 (a Latin-1 word list's) as the text they
// are under the code page that opened the message, when that text gives
// the same bytes back; else $HEX[...].
std::string ShownKey(const std::string& bytes, int codePage) {
  if (IsUtf8(bytes)) return ShownCandidate(bytes);
  platform::SetCodePage(codePage);
  const std::u16string text = platform::BytesToText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  const ByteBuffer back = platform::TextToBytes(text);
  const bool printable =
      std::none_of(text.begin(), text.end(), [](char16_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); });
  const bool same = std::equal(back.begin(), back.end(), bytes.begin(), bytes.end(),
                               [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
  return printable && same ? support::EncodeUtf8(text) : ShownCandidate(bytes);
}

/// Before the search ///

// --decode-to, made ready before the search as decode's -o is: a path that
// cannot take the text, or that names one of the search's inputs, is
// refused now, not after days of search.
std::unique_ptr<Output> PrepareText(const RecoverOptions& o, const Plan& plan) {
  if (!o.decodeTo) return nullptr;
  const Search& search = plan.search;
  std::vector<std::pair<std::string, std::string>> inputs = {
      {search.message, "message"}, {plan.sessionPath, "session file"}, {plan.sessionPath + ".lock", "session's lock"}};
  if (search.wordlist) inputs.emplace_back(*search.wordlist, "word list");
  if (search.rules) inputs.emplace_back(*search.rules, "rule file");
  if (search.suffixWordlist) inputs.emplace_back(*search.suffixWordlist, "suffix list");
  if (o.suffixFile) inputs.emplace_back(*o.suffixFile, "suffix file");
  RefuseOutputsOverInputs({*o.decodeTo}, inputs);
  // The session and its lock may not be there yet: by their names, then.
  const auto named = [](const std::string& path) {
    std::error_code error;
    const std::filesystem::path full = std::filesystem::weakly_canonical(support::Utf8Path(path), error);
    return error ? Absolute(path) : support::Utf8Name(full);
  };
  for (const std::string& own : {plan.sessionPath, plan.sessionPath + ".lock"}) {
    if (named(*o.decodeTo) == named(own)) {
      throw Failure{kExitUsage, "the output " + ShownName(*o.decodeTo) + " is the session file " + ShownName(own) +
                                    ": refusing to write over it; choose another output"};
    }
  }
  return std::make_unique<Output>(*o.decodeTo);
}

unsigned Threads(const RecoverOptions& o, std::optional<std::uint64_t> total) {
  unsigned jobs = o.jobs != 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  if (total) jobs = static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(jobs, *total / 64 + 1)));
  return jobs;
}

// Keys a second on one core, for --dry-run: the early test (or the frame
// check) on this message for about 50 ms, eight keys at a time as the
// search tries them. A search measures its own rate instead.
double Calibrate(const Trier& trier) {
  KeyGroupTrial group(trier.Trial());
  std::array<std::string, KeyGroupTrial::kMaxCandidates> keys;
  std::array<KeyGroupTrial::ByteCandidate, KeyGroupTrial::kMaxCandidates> candidates;
  const Clock::time_point start = Clock::now();
  std::uint64_t n = 0;
  int page = 0;
  while (Clock::now() - start < std::chrono::milliseconds(50) || n < 256) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      keys[i] = "calibration " + std::to_string(n + i);
      candidates[i] = {keys[i], {}};
    }
    if (trier.EarlyTest()) {
      (void)group.MayOpen(std::span<const KeyGroupTrial::ByteCandidate>(candidates));
    } else {
      for (const std::string& key : keys) (void)trier.Try(key, std::string(), page);
    }
    n += keys.size();
  }
  return static_cast<double>(n) / std::chrono::duration<double>(Clock::now() - start).count();
}

// "1,540,000 candidates; about 9 s on 2 cores".
// `rate` is candidates a second on all `jobs` threads.
std::string Announcement(const Search& search, const Inputs& inputs, const Standing& standing, std::uint64_t perWord,
                         unsigned jobs, double rate) {
  rate = std::max(rate, 1.0);
  const std::string cores = jobs == 1 ? "1 core" : std::to_string(jobs) + " cores";
  std::string announce;
  if (inputs.partEnd) {
    const std::uint64_t left = *inputs.partEnd - std::min(*inputs.partEnd, standing.frontier);
    announce = Candidates(*inputs.PartCount()) + PartRange(search, inputs) + "; " +
               About(static_cast<double>(left) / rate) + " on " + cores;
    if (standing.frontier > inputs.partBegin) announce += " for the " + Grouped(left) + " left";
  } else {
    announce = "an unknown number of candidates (the word list is standard input), " + Grouped(perWord) + " a word; " +
               About(1e6 * static_cast<double>(perWord) / rate) + " a million words on " + cores;
  }
  if (search.codePages.size() > 1)
    announce += ", each under up to " + std::to_string(search.codePages.size()) + " code pages";
  return announce;
}

/// The search ///

// What the workers share.
struct Shared {
  std::atomic<std::uint64_t> tried{0};
  std::atomic<unsigned> running{0};
  std::atomic<std::uint64_t> foundAt{UINT64_MAX};
  std::mutex winnerMutex;
  std::optional<Winner> winner;
};

// Keeps the lowest-numbered key that opens the message; the workers stop
// at numbers above it.
void Claim(Shared& shared, Dispenser& dispenser, Winner found) {
  const std::uint64_t number = found.number;
  {
    std::lock_guard lock(shared.winnerMutex);
    if (!shared.winner || number < shared.winner->number) shared.winner = std::move(found);
  }
  std::uint64_t seen = shared.foundAt.load();
  while (number < seen && !shared.foundAt.compare_exchange_weak(seen, number)) {}
  dispenser.Found(number);
}

// A worker's batch: up to kBatch consecutive candidates of one run, made
// and then given the early test together. In a suffix search a batch holds
// suffixes of one key only, whose first two rotors are scheduled once.
constexpr std::size_t kBatch = KeyGroupTrial::kMaxCandidates;
static_assert(kRunLength % kBatch == 0, "runs are whole batches");

bool IsAscii(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<std::uint8_t>(c) < 0x80; });
}

class Batch {
 public:
  Batch(const CandidateSet& set, const Trier& trier) : set_(set), trier_(trier), group_(trier.Trial()) {}

  // Makes candidates [first, first + count) of the run's block; in a
  // suffix search they share one key.
  void Make(const Run& run, std::uint64_t first, std::size_t count) {
    const std::uint64_t perWord = set_.perWord, suffixCount = set_.suffixes.Count();
    first_ = first;
    count_ = count;
    eligible_ = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t g = first + i, word = g / perWord, inner = g % perWord;
      at_[i] = static_cast<std::size_t>(word - run.block->firstWord);
      std::string& key = suffixCount > 1 ? keys_[0] : keys_[i];
      if (suffixCount == 1 || madeFor_ != g / suffixCount) {
        set_.expansion.Make(run.block->words[at_[i]], inner / suffixCount, key);
        madeFor_ = g / suffixCount;
        keyAscii_ = !key.empty() && IsAscii(key);
      }
      set_.suffixes.Make(inner % suffixCount, suffixes_[i]);
      if (keyAscii_ && IsAscii(suffixes_[i])) eligible_ |= std::uint64_t{1} << i;
    }
  }

  // The early test on every candidate whose bytes are the same under
  // every code page (ASCII); the rest go one at a time through Trier::Try.
  std::uint64_t EarlyTest() {
    if (!trier_.EarlyTest() || eligible_ == 0) return 0;
    std::size_t n = 0;
    if (set_.suffixes.Count() > 1) {
      if (keyedFor_ != madeFor_) {
        group_.SetKey(std::string_view(keys_[0]));
        keyedFor_ = madeFor_;
      }
      for (std::size_t i = 0; i < count_; ++i) {
        if (eligible_ >> i & 1) views_[n++] = suffixes_[i];
      }
      return Spread(group_.MayOpenWithSuffixes(std::span<const std::string_view>(views_.data(), n)));
    }
    for (std::size_t i = 0; i < count_; ++i) {
      if (eligible_ >> i & 1) pairs_[n++] = KeyGroupTrial::ByteCandidate{keys_[i], suffixes_[i]};
    }
    return Spread(group_.MayOpen(std::span<const KeyGroupTrial::ByteCandidate>(pairs_.data(), n)));
  }

  // Candidate i's verdict, given the early test's bits.
  Verdict Judge(std::size_t i, std::uint64_t passed, int& page) const {
    const std::string& key = Key(i);
    if (!trier_.EarlyTest() || !(eligible_ >> i & 1)) return trier_.Try(key, suffixes_[i], page);
    return passed >> i & 1 ? trier_.Confirm(key, suffixes_[i], page) : Verdict::kNo;
  }

  const std::string& Key(std::size_t i) const { return set_.suffixes.Count() > 1 ? keys_[0] : keys_[i]; }
  const std::string& Suffix(std::size_t i) const { return suffixes_[i]; }
  std::size_t At(std::size_t i) const { return at_[i]; }

 private:
  // The trial's bits are for the eligible candidates in order; each goes
  // back to its candidate's place.
  std::uint64_t Spread(std::uint64_t bits) const {
    std::uint64_t placed = 0;
    std::size_t k = 0;
    for (std::size_t i = 0; i < count_; ++i) {
      if (eligible_ >> i & 1) placed |= (bits >> k++ & 1) << i;
    }
    return placed;
  }

  const CandidateSet& set_;
  const Trier& trier_;
  KeyGroupTrial group_;
  std::array<std::string, kBatch> keys_, suffixes_;
  std::array<std::size_t, kBatch> at_{};
  std::array<std::string_view, kBatch> views_;
  std::array<KeyGroupTrial::ByteCandidate, kBatch> pairs_;
  std::uint64_t first_ = 0;
  std::size_t count_ = 0;
  std::uint64_t eligible_ = 0;
  std::uint64_t madeFor_ = UINT64_MAX, keyedFor_ = UINT64_MAX;  // the key made, the key set
  bool keyAscii_ = false;
};

// How many candidates from g the next batch takes: no more than kBatch, the
// run's end, or (in a suffix search) the key's last suffix.
std::size_t BatchSize(std::uint64_t g, std::uint64_t end, std::uint64_t suffixCount) {
  std::uint64_t n = std::min<std::uint64_t>(kBatch, end - g);
  if (suffixCount > 1) n = std::min(n, suffixCount - g % suffixCount);
  return static_cast<std::size_t>(n);
}

// One worker: runs from the dispenser until there are none, a stop, or a
// key above which nothing needs trying.
void TryRuns(const Search& search, const CandidateSet& set, const Trier& trier, Dispenser& dispenser, Shared& shared,
             const std::function<bool()>& stop) {
  platform::SetCodePage(search.codePages.front());
  Batch batch(set, trier);
  Run run;
  while (dispenser.Next(run)) {
    std::uint64_t g = run.begin;
    bool found = false;
    while (g < run.end && !found) {
      if (stop() || g > shared.foundAt.load(std::memory_order_relaxed)) break;
      const std::size_t n = BatchSize(g, run.end, set.suffixes.Count());
      batch.Make(run, g, n);
      const std::uint64_t passed = batch.EarlyTest();
      std::size_t i = 0;
      for (; i < n; ++i) {
        int page = 0;
        const Verdict verdict = batch.Judge(i, passed, page);
        if (verdict == Verdict::kFalseAlarm) dispenser.FalseAlarm();
        if (verdict != Verdict::kOpens) continue;
        KeyText k16, s16;
        ToText(batch.Key(i), k16);
        ToText(batch.Suffix(i), s16);
        Claim(shared, dispenser,
              Winner{g + i, run.block->lineOf[batch.At(i)], batch.Key(i), batch.Suffix(i), page, k16.text, s16.text});
        // The winner is not marked tried: a session saved before its key
        // is out finds it again.
        found = true;
        break;
      }
      g += i;
    }
    dispenser.Done(run.begin, g);
    shared.tried.fetch_add(g - run.begin, std::memory_order_relaxed);
    if (g < run.end) break;  // stopped inside the run
  }
  shared.running.fetch_sub(1);
}

// Saves the session while the search runs, saying once (not every few
// seconds) what keeps it from being saved.
class SessionSaver {
 public:
  SessionSaver(std::string path, const RecoverHooks& hooks, bool keep)
      : path_(std::move(path)), hooks_(hooks), keep_(keep) {}
  void Save(const Session& session) {
    if (!keep_) return;
    try {
      SaveSession(path_, SessionToJson(session));
      problem_.clear();
    } catch (const Failure& failure) {
      if (problem_ != failure.message) Tell(hooks_, failure.message);
      problem_ = failure.message;
    }
  }

 private:
  std::string path_, problem_;
  const RecoverHooks& hooks_;
  bool keep_;
};

Session SessionNow(const Plan& plan, const Inputs& inputs, std::optional<Standing> standing) {
  Session session;
  session.search = plan.search;
  session.sources = inputs.sources;
  session.total = inputs.total;
  session.standing = std::move(standing);
  return session;
}

// The main thread while the workers work: the session saved every few
// seconds, and the caller told how far the search has come and how fast
// it goes, by what it has done since it started.
// `start` and `triedAtStart` are taken before the workers start.
void Oversee(const RecoverHooks& hooks, Shared& shared, Dispenser& dispenser, std::optional<std::uint64_t> total,
             const std::function<void()>& save, const std::function<void(double)>& announce, Clock::time_point start,
             std::uint64_t triedAtStart) {
  Clock::time_point lastSave = start;
  bool announced = false;
  const auto rateNow = [&](Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - start).count();
    return seconds > 0 ? static_cast<double>(shared.tried.load(std::memory_order_relaxed) - triedAtStart) / seconds : 0;
  };
  while (shared.running.load() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Clock::time_point now = Clock::now();
    const double rate = rateNow(now);
    // The time the search takes, from its own first fifth of a second.
    if (!announced && now - start >= kAnnounceAfter) {
      announce(rate);
      announced = true;
    }
    if (now - lastSave >= kSaveEvery) {
      save();
      lastSave = now;
    }
    if (hooks.progress) {
      hooks.progress(
          RecoverProgress{shared.tried.load(std::memory_order_relaxed), total, rate, dispenser.Snapshot().falseAlarms});
    }
  }
  if (!announced) announce(rateNow(Clock::now()));
  if (hooks.progress) {
    hooks.progress(RecoverProgress{shared.tried.load(std::memory_order_relaxed), total, rateNow(Clock::now()),
                                   dispenser.Snapshot().falseAlarms, true});
  }
}

// What the search came to.
struct Outcome {
  std::optional<Winner> winner;
  std::uint64_t tried = 0;
  Standing last;
  double seconds = 0;
  std::string readError;
};

// The whole search: the workers, the main thread overseeing them.
Outcome RunSearch(const RecoverHooks& hooks, const Plan& plan, const CandidateSet& set, const Inputs& inputs,
                  const Standing& standing, const Trier& trier, unsigned jobs, SessionSaver& saver,
                  const std::function<void(double)>& announce) {
  std::unique_ptr<WordReader> reader;
  try {
    if (plan.search.wordlist) reader = std::make_unique<WordReader>(*plan.search.wordlist, hooks.stop);
  } catch (const CandidateError& error) {
    throw Failure{kExitInput, error.what()};
  }
  Dispenser dispenser(std::move(reader), set.perWord, standing, jobs, hooks.stop, inputs.partEnd.value_or(UINT64_MAX));
  Shared shared;
  shared.tried = standing.frontier - std::min(standing.frontier, inputs.partBegin);
  for (const auto& [b, e] : standing.doneAbove) shared.tried += e - b;
  shared.running = jobs;
  const std::uint64_t triedAtStart = shared.tried.load();
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < jobs; ++t) {
    threads.emplace_back([&] { TryRuns(plan.search, set, trier, dispenser, shared, hooks.stop); });
  }
  Oversee(
      hooks, shared, dispenser, inputs.PartCount(), [&] { saver.Save(SessionNow(plan, inputs, dispenser.Snapshot())); },
      announce, start, triedAtStart);
  for (std::thread& thread : threads) thread.join();
  Outcome outcome;
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  outcome.last = dispenser.Snapshot();
  outcome.tried = shared.tried.load();
  outcome.winner = shared.winner;
  dispenser.ReadFailed(outcome.readError);
  return outcome;
}

/// After the search ///

// The plain text, for --decode-to; a failure to write it is the run's, once
// the key is out.
std::optional<Failure> WriteText(const Winner& w, const Inputs& inputs, Output* text) {
  if (text == nullptr) return std::nullopt;
  try {
    platform::SetCodePage(w.codePage);
    // The winner opened the message cleanly a moment ago; anything else now
    // is the engine's to report, and no text is written for it.
    const DecodeOutcome decoded = TryDecodeBytes(inputs.message, w.key16, w.suffix16);
    StopIfAsked();
    if (!decoded.HasText()) return Failure{ExitStatusOf(decoded.status), "the key no longer opens the message"};
    text->Write(support::EncodeUtf8(platform::BytesToText(decoded.plain)));
    text->Commit();
  } catch (const Failure& failure) {
    return failure;
  }
  return std::nullopt;
}

// The key to the caller first, whatever may fail after it; then the
// session marked finished, with no place; then the text.
RecoverResult ReportFound(const RecoverHooks& hooks, const Plan& plan, const CandidateSet& set, const Inputs& inputs,
                          const Outcome& outcome, Output* text, SessionSaver& saver, const std::string& alarms) {
  const Winner& w = *outcome.winner;
  RecoverFound found{w.key,
                     w.suffix,
                     w.codePage,
                     w.number,
                     Provenance(plan.search, w.number, w.line, set),
                     ShownKey(w.key, w.codePage),
                     ShownKey(w.suffix, w.codePage)};
  const std::string why = hooks.deliver ? hooks.deliver(found) : std::string();
  if (!why.empty()) {
    // Back where this run began, not at the winner, whose place would give
    // the key away: --restore tries this run's candidates again and finds it.
    saver.Save(SessionNow(plan, inputs, StandingToGoOn(plan, inputs)));
    throw Failure{kExitInput, why + "; trirotor recover --restore " + ShownName(plan.sessionPath) + " finds it again"};
  }
  saver.Save(SessionNow(plan, inputs, std::nullopt));
  const std::optional<Failure> unwritten = WriteText(w, inputs, text);
  // Where the key stood would give it away in a log: only the caller's
  // deliver hook hears it.
  Tell(hooks,
       "found the key under code page " + std::to_string(w.codePage) + " in " + Duration(outcome.seconds) + alarms,
       true);
  if (unwritten) throw *unwritten;
  return RecoverResult{kExitFound, std::move(found), outcome.tried, "", std::nullopt, 0};
}

RecoverResult Conclude(const RecoverHooks& hooks, const Plan& plan, const CandidateSet& set, const Inputs& inputs,
                       const Outcome& outcome, Output* text, SessionSaver& saver) {
  const std::uint64_t alarms = outcome.last.falseAlarms;
  const std::string said = alarms == 0 ? ""
                                       : "; " + Candidates(alarms) + " passed the " +
                                             (plan.search.earlyTest ? "early test" : "frame check") +
                                             " but not the full decode";
  if (outcome.winner) return ReportFound(hooks, plan, set, inputs, outcome, text, saver, said);
  const bool stopped = hooks.stop();
  Standing last = outcome.last;
  last.complete = outcome.readError.empty() && !stopped;
  saver.Save(SessionNow(plan, inputs, last));
  if (!outcome.readError.empty()) throw Failure{kExitInput, outcome.readError};
  if (stopped) {
    Tell(hooks, "interrupted after " + Candidates(outcome.tried) + said + "; resume with: trirotor recover --restore " +
                    ShownName(plan.sessionPath));
    ThrowStopped();
  }
  Tell(hooks, NoneOpens(outcome.tried) + PartRange(plan.search, inputs) + said);
  return RecoverResult{kExitNoneOpens, std::nullopt, outcome.tried, "", std::nullopt, 0};
}

}  // namespace

std::string ProgressText(const RecoverProgress& p) {
  std::string line;
  const std::optional<std::uint64_t> total = p.total;
  if (total && *total > 0) {
    const int percent =
        static_cast<int>(std::min<double>(100.0, 100.0 * static_cast<double>(p.tried) / static_cast<double>(*total)));
    line += "[" + std::string(static_cast<std::size_t>(percent * 30 / 100), '#') +
            std::string(static_cast<std::size_t>(30 - percent * 30 / 100), '-') + "] " + std::to_string(percent) +
            "%  ";
  }
  line += Grouped(p.tried) + (total ? " of " + Grouped(*total) : "") + "  " +
          Grouped(static_cast<std::uint64_t>(p.perSecond)) + "/s";
  if (total && p.perSecond > 0 && *total > p.tried)
    line += "  " + Duration(static_cast<double>(*total - p.tried) / p.perSecond) + " left";
  return line;
}

std::string StatusJson(const RecoverProgress& p) {
  json status = {{"tried", p.tried},
                 {"total", p.total ? json(*p.total) : json(nullptr)},
                 {"per_second", static_cast<std::uint64_t>(p.perSecond)},
                 {"early_passed_full_failed", p.falseAlarms}};
  if (p.total && p.perSecond > 0)
    status["seconds_left"] =
        static_cast<std::uint64_t>(static_cast<double>(*p.total - std::min(*p.total, p.tried)) / p.perSecond);
  return status.dump();
}

RecoverResult Recover(const RecoverOptions& o, const RecoverHooks& hooks) {
  RefuseDegenerateOptions(o);
  Plan plan = o.restore ? PlanFromSession(o) : PlanFromOptions(o);
  const CandidateSet set = MakeCandidates(plan, hooks);
  if (!o.restore && !o.dryRun && o.keepSession) TakeSession(plan);
  const std::unique_ptr<Output> text = PrepareText(o, plan);
  const Inputs inputs = ReadInputs(plan, set, hooks);
  const Standing standing = StandingToGoOn(plan, inputs);
  const unsigned jobs = Threads(o, inputs.PartCount());
  const Trier trier(inputs.message, plan.search.codePages, plan.search.earlyTest);
  if (o.dryRun) {
    const double perCore = Calibrate(trier), rate = perCore * jobs * (jobs > 1 ? 0.95 : 1.0);
    return RecoverResult{kExitOk,
                         std::nullopt,
                         0,
                         Announcement(plan.search, inputs, standing, set.perWord, jobs, rate),
                         inputs.PartCount(),
                         perCore};
  }
  // Saved once before the work: a session that cannot be written is found now.
  if (o.keepSession) SaveSession(plan.sessionPath, SessionToJson(SessionNow(plan, inputs, standing)));
  SessionSaver saver(plan.sessionPath, hooks, o.keepSession);
  const auto announce = [&](double rate) {
    Tell(hooks, Announcement(plan.search, inputs, standing, set.perWord, jobs, rate), true);
  };
  const Outcome outcome = RunSearch(hooks, plan, set, inputs, standing, trier, jobs, saver, announce);
  return Conclude(hooks, plan, set, inputs, outcome, text.get(), saver);
}

}  // namespace trirotor::cli
