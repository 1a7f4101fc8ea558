// SPDX-License-Identifier: MIT
//
// candidates.h - candidate keys for recover: word lists read as a stream,
// word-mangling rules and masks in hashcat's syntax, each addressable by
// number so that threads can split the work and a session can resume it.
//
// Everything here works on bytes, as hashcat does: a word is the bytes of
// its line, a rule changes bytes (letters' case only in ASCII), a mask
// position is a set of byte values. Candidates come out in hashcat's order
// (for masks, the order of its --markov-disable: the leftmost position
// turns fastest, each set in ascending byte order), so that its --stdout
// is a peer to check them against.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/os/files.h"

namespace trirotor::cli {

// A rule, mask or word list the user must fix (kUsage), or a rule file, word
// list or suffix list that cannot be read (kInput); the message names where.
// The kind is the exit status's: 1 or 2, as for every other option.
struct CandidateError : std::runtime_error {
  enum class Kind { kUsage, kInput };
  explicit CandidateError(const std::string& what, Kind kind = Kind::kUsage) : std::runtime_error(what), kind(kind) {}
  Kind kind;
};

/// Rules ///

// One function of a rule and its arguments (positions 0..35, or bytes).
struct RuleStep {
  char function = ':';
  std::uint8_t a = 0, b = 0;
};
struct Rule {
  std::vector<RuleStep> steps;
};

// The longest word a rule works on and makes, in bytes: a step that would
// make a longer one leaves the word as it is.
inline constexpr std::size_t kMaxCandidateBytes = 255;

// One rule line (spaces between functions are skipped; a byte argument may
// be written \xNN, as hashcat takes it: "$\x41" appends 'A'). Throws
// CandidateError naming the function for one we do not support
// ("unsupported rule function 'M' (memorize)") or a missing or bad
// argument.
Rule ParseRule(std::string_view line);
// A rule file: one rule a line; blank lines and lines starting with '#' are
// skipped, CRLF taken, a leading byte-order mark dropped. Throws CandidateError "FILE, line N: ..." for the
// first bad line, and for a file that cannot be read or holds no rule.
// `lines` gets each rule's line number.
std::vector<Rule> ReadRules(const std::string& path, std::vector<std::size_t>* lines = nullptr);
// The same for a rule file's text; `name` is the file as messages show it.
std::vector<Rule> ParseRules(std::string_view text, const std::string& name, std::vector<std::size_t>* lines = nullptr);
// Applies the rule to word in place.
void ApplyRule(const Rule& rule, std::string& word);

/// Masks ///

using Charset = std::bitset<256>;

// A mask: one set of bytes per position, plus the four custom sets that
// ?1..?4 name. Each set is taken in ascending byte order, duplicates once.
class Mask {
 public:
  Mask() = default;
  // Throws CandidateError for a '?' before anything but l u d h H s a b 1-4 ?,
  // a custom set that is used but not given, or an empty mask.
  static Mask Parse(std::string_view text, const std::array<std::optional<std::string>, 4>& custom);
  // The masks --increment tries: this one's first 1, 2, ... positions, from
  // `least` positions on. Throws CandidateError for a `least` below 1 or
  // past the mask's length.
  std::vector<Mask> Prefixes(std::size_t least) const;

  std::size_t Length() const { return positions_.size(); }
  // The number of candidates; nullopt past 2^64 - 1.
  std::optional<std::uint64_t> Count() const;
  // Candidate number `index` (below Count()), appended to out.
  void AppendCandidate(std::uint64_t index, std::string& out) const;

 private:
  std::vector<std::vector<std::uint8_t>> positions_;
};

// Masks tried one after the other (--increment), as one numbered sequence.
class MaskList {
 public:
  MaskList() = default;
  explicit MaskList(std::vector<Mask> masks);  // throws CandidateError past 2^64 - 1 in all
  bool Empty() const { return masks_.empty(); }
  std::uint64_t Count() const { return total_; }
  // Appends candidate `index`; gives which mask (0-based) it came from.
  std::size_t AppendCandidate(std::uint64_t index, std::string& out) const;
  // Which mask candidate `index` comes from (0-based), and its number there.
  std::pair<std::size_t, std::uint64_t> Locate(std::uint64_t index) const;
  const Mask& At(std::size_t k) const { return masks_[k]; }

 private:
  std::vector<Mask> masks_;
  std::vector<std::uint64_t> starts_;
  std::uint64_t total_ = 0;
};

/// Keys from a word ///

// Where a mask goes: alone (on the empty word: no word list), after each
// word (hashcat's -a 6) or before it (-a 7).
enum class MaskPlace { kNone, kAlone, kAppend, kPrepend };

// The candidates one word makes: each rule (or the word as it stands when
// there are none) and, for each, every candidate of the masks. Numbered
// rule-major: candidate k of a word is rule k / M with mask candidate k % M.
class WordExpansion {
 public:
  WordExpansion() = default;
  // Throws CandidateError past 2^64 - 1 candidates a word.
  WordExpansion(std::vector<Rule> rules, MaskList masks, MaskPlace place);
  std::uint64_t PerWord() const { return perWord_; }
  std::size_t RuleCount() const { return rules_.empty() ? 1 : rules_.size(); }
  std::uint64_t MaskCount() const { return masks_.Empty() ? 1 : masks_.Count(); }
  const MaskList& Masks() const { return masks_; }
  // Candidate `k` (below PerWord()) of `word`, into out.
  void Make(std::string_view word, std::uint64_t k, std::string& out) const;

 private:
  std::vector<Rule> rules_;
  MaskList masks_;
  MaskPlace place_ = MaskPlace::kNone;
  std::uint64_t perWord_ = 1;
};

/// Word lists ///

// A line as hashcat reads it: "$HEX[4142]" is the bytes it spells (a line
// that only looks so is taken as it stands).
void DecodeHexLine(std::string& line);
// The inverse for display: printable UTF-8 as it stands, else $HEX[...].
std::string ShownCandidate(std::string_view bytes);
// Whether bytes are valid UTF-8 (strict).
bool IsUtf8(std::string_view bytes);

// Reads words one line at a time in bounded memory, whatever the file's
// size: LF ends a line, a CR before it is dropped, $HEX[...] decoded, a
// byte-order mark at the start of the file dropped. A
// line longer than kMaxCandidateBytes is skipped (it is no key anyone
// typed; hashcat skips it too), and counted. "-" is standard input.
class WordReader {
 public:
  // `stop`, when given, is asked after a signal cuts a read short: true
  // ends the read with ReadStopped.
  explicit WordReader(const std::string& path, std::function<bool()> stop = nullptr);  // throws CandidateError
  ~WordReader();
  WordReader(const WordReader&) = delete;
  WordReader& operator=(const WordReader&) = delete;
  // The next word; false at the end. Throws CandidateError on a read error.
  bool Next(std::string& word);
  // Where the next line starts, in bytes from the start of the file, and
  // how many lines (skipped ones too) come before it.
  std::uint64_t Offset() const { return offset_; }
  std::uint64_t Lines() const { return lines_; }
  // Skips to byte `offset`, the start of line `lines` + 1 (as Offset() and
  // Lines() gave them before): a seek on a file, reading on through a pipe.
  void SkipTo(std::uint64_t offset, std::uint64_t lines);
  std::uint64_t Skipped() const { return skipped_; }
  bool Seekable() const { return seekable_; }
  // Hands `seen` every byte as it is read (not those a seek passes over).
  void Watch(std::function<void(std::string_view)> seen) { watch_ = std::move(seen); }

 private:
  bool Fill();
  std::function<bool()> stop_;
  std::function<void(std::string_view)> watch_;
  Descriptor fd_;
  bool seekable_ = false;
  std::string path_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0, end_ = 0;
  bool eof_ = false;
  bool discarding_ = false;  // in a line too long to be a word
  std::uint64_t offset_ = 0;
  std::uint64_t lines_ = 0;
  std::uint64_t skipped_ = 0;
};

// Thrown when a read was stopped by a signal.
struct ReadStopped {};

// The number of words a WordReader gives for the file, by reading it once.
std::uint64_t CountWords(const std::string& path, std::function<bool()> stop = nullptr);

}  // namespace trirotor::cli
