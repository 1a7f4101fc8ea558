// SPDX-License-Identifier: MIT
//
// candidates.cpp - rules, masks and word lists for recover.
//
// The rule functions keep hashcat's edge cases, since users bring its rule
// files and expect its candidates: a position past the end, or a result
// longer than kMaxCandidateBytes, leaves the word unchanged rather than
// rejecting it, and case changes touch ASCII letters only.

#include "cli/recover/candidates.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "cli/os/files.h"
#include "cli/status.h"

namespace trirotor::cli {

namespace {

/// Rule functions ///

// How many arguments each supported function takes, and of which kind:
// 'N' a position (0-9, A-Z for 10-35), 'X' any byte.
struct FunctionShape {
  char function;
  const char* arguments;
  const char* name;
};
constexpr FunctionShape kFunctions[] = {
    {':', "", "nothing"},
    {'l', "", "lowercase"},
    {'u', "", "uppercase"},
    {'c', "", "capitalize"},
    {'C', "", "invert capitalize"},
    {'t', "", "toggle case"},
    {'T', "N", "toggle at"},
    {'r', "", "reverse"},
    {'d', "", "duplicate"},
    {'p', "N", "duplicate N times"},
    {'f', "", "reflect"},
    {'{', "", "rotate left"},
    {'}', "", "rotate right"},
    {'$', "X", "append"},
    {'^', "X", "prepend"},
    {'[', "", "truncate left"},
    {']', "", "truncate right"},
    {'D', "N", "delete at"},
    {'x', "NN", "extract range"},
    {'O', "NN", "omit range"},
    {'i', "NX", "insert at"},
    {'o', "NX", "overwrite at"},
    {'\'', "N", "truncate at"},
    {'s', "XX", "replace"},
    {'@', "X", "purge"},
    {'z', "N", "duplicate first N"},
    {'Z', "N", "duplicate last N"},
    {'q', "", "duplicate all"},
    {'E', "", "title"},
    {'e', "X", "title with separator"},
    {'3', "NX", "toggle after the Nth separator"},
    {'k', "", "swap front"},
    {'K', "", "swap back"},
    {'*', "NN", "swap at"},
    {'L', "N", "bitwise shift left"},
    {'R', "N", "bitwise shift right"},
    {'+', "N", "ASCII increment"},
    {'-', "N", "ASCII decrement"},
    {'.', "N", "replace with the next"},
    {',', "N", "replace with the previous"},
    {'y', "N", "duplicate block front"},
    {'Y', "N", "duplicate block back"},
};

// Functions of hashcat's table we know but do not run: rejections keep no
// candidate count up front, and hashcat itself refuses the memory ones
// with its rule files (-r).
constexpr FunctionShape kUnsupported[] = {
    {'M', "", "memorize"},
    {'4', "", "append memory"},
    {'6', "", "prepend memory"},
    {'X', "NNN", "insert from memory"},
    {'<', "N", "reject longer"},
    {'>', "N", "reject shorter"},
    {'_', "N", "reject length"},
    {'!', "X", "reject contains"},
    {'/', "X", "reject not contains"},
    {'(', "X", "reject not starting"},
    {')', "X", "reject not ending"},
    {'=', "NX", "reject not at"},
    {'%', "NX", "reject fewer"},
    {'Q', "", "reject unchanged"},
};

const FunctionShape* Find(const FunctionShape* begin, const FunctionShape* end, char function) {
  const FunctionShape* found = std::find_if(begin, end, [&](const FunctionShape& f) { return f.function == function; });
  return found == end ? nullptr : found;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a byte argument at `at` is written "\xNN": two hex digits
// after it, or it is a plain backslash.
bool IsHexEscape(std::string_view line, std::size_t at) {
  return at + 3 < line.size() && line[at] == '\\' && line[at + 1] == 'x' && HexValue(line[at + 2]) >= 0 &&
         HexValue(line[at + 3]) >= 0;
}

int Position(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return -1;
}

bool IsLower(std::uint8_t c) { return c >= 'a' && c <= 'z'; }
bool IsUpper(std::uint8_t c) { return c >= 'A' && c <= 'Z'; }
void Lower(char& c) {
  if (IsUpper(static_cast<std::uint8_t>(c))) c = static_cast<char>(c | 0x20);
}
void Upper(char& c) {
  if (IsLower(static_cast<std::uint8_t>(c))) c = static_cast<char>(c ^ 0x20);
}
void Toggle(char& c) {
  const auto u = static_cast<std::uint8_t>(c);
  if (IsLower(u) || IsUpper(u)) c = static_cast<char>(c ^ 0x20);
}

void Title(std::string& w, char separator) {
  bool upperNext = true;
  for (char& c : w) {
    if (c == separator) {
      upperNext = true;
      continue;
    }
    if (upperNext) {
      Upper(c);
      upperNext = false;
    } else {
      Lower(c);
    }
  }
}

void Step(const RuleStep& s, std::string& w) {
  constexpr std::size_t kMax = kMaxCandidateBytes;
  const std::size_t n = w.size();
  const std::size_t a = s.a, b = s.b;
  switch (s.function) {
    case ':': break;
    case 'l':
      for (char& c : w) Lower(c);
      break;
    case 'u':
      for (char& c : w) Upper(c);
      break;
    case 'c':
      for (char& c : w) Lower(c);
      if (n > 0) Upper(w[0]);
      break;
    case 'C':
      for (char& c : w) Upper(c);
      if (n > 0) Lower(w[0]);
      break;
    case 't':
      for (char& c : w) Toggle(c);
      break;
    case 'T':
      if (a < n) Toggle(w[a]);
      break;
    case 'r': std::reverse(w.begin(), w.end()); break;
    case 'd':
      if (2 * n <= kMax) w += std::string(w);
      break;
    case 'p':
      if (n * (a + 1) <= kMax) {
        const std::string once = w;
        for (std::size_t k = 0; k < a; ++k) w += once;
      }
      break;
    case 'f':
      if (2 * n <= kMax) w += std::string(w.rbegin(), w.rend());
      break;
    case '{':
      if (n > 1) std::rotate(w.begin(), w.begin() + 1, w.end());
      break;
    case '}':
      if (n > 1) std::rotate(w.begin(), w.end() - 1, w.end());
      break;
    case '$':
      if (n + 1 <= kMax) w.push_back(static_cast<char>(a));
      break;
    case '^':
      if (n + 1 <= kMax) w.insert(w.begin(), static_cast<char>(a));
      break;
    case '[':
      if (n > 0) w.erase(0, 1);
      break;
    case ']':
      if (n > 0) w.pop_back();
      break;
    case 'D':
      if (a < n) w.erase(a, 1);
      break;
    case 'x':
      if (a < n && a + b <= n) w = w.substr(a, b);
      break;
    case 'O':
      if (a < n && a + b <= n) w.erase(a, b);
      break;
    case 'i':
      if (a <= n && n + 1 <= kMax) w.insert(w.begin() + static_cast<std::ptrdiff_t>(a), static_cast<char>(b));
      break;
    case 'o':
      if (a < n) w[a] = static_cast<char>(b);
      break;
    case '\'':
      if (a < n) w.resize(a);
      break;
    case 's': std::replace(w.begin(), w.end(), static_cast<char>(a), static_cast<char>(b)); break;
    case '@': w.erase(std::remove(w.begin(), w.end(), static_cast<char>(a)), w.end()); break;
    case 'z':
      if (n > 0 && n + a <= kMax) w.insert(0, a, w[0]);
      break;
    case 'Z':
      if (n > 0 && n + a <= kMax) w.append(a, w[n - 1]);
      break;
    case 'q':
      if (n > 0 && 2 * n <= kMax) {
        std::string twice;
        for (char c : w) twice += {c, c};
        w = std::move(twice);
      }
      break;
    case 'E': Title(w, ' '); break;
    case 'e': Title(w, static_cast<char>(a)); break;
    case '3': {
      std::size_t seen = 0;
      for (std::size_t p = 0; p < n; ++p) {
        if (w[p] != static_cast<char>(b)) continue;
        if (seen++ == a) {
          if (p + 1 < n) Toggle(w[p + 1]);
          break;
        }
      }
      break;
    }
    case 'k':
      if (n > 1) std::swap(w[0], w[1]);
      break;
    case 'K':
      if (n > 1) std::swap(w[n - 1], w[n - 2]);
      break;
    case '*':
      if (a < n && b < n) std::swap(w[a], w[b]);
      break;
    case 'L':
      if (a < n) w[a] = static_cast<char>(static_cast<std::uint8_t>(w[a]) << 1);
      break;
    case 'R':
      if (a < n) w[a] = static_cast<char>(static_cast<std::uint8_t>(w[a]) >> 1);
      break;
    case '+':
      if (a < n) w[a] = static_cast<char>(static_cast<std::uint8_t>(w[a]) + 1);
      break;
    case '-':
      if (a < n) w[a] = static_cast<char>(static_cast<std::uint8_t>(w[a]) - 1);
      break;
    case '.':
      if (a + 1 < n) w[a] = w[a + 1];
      break;
    case ',':
      if (a > 0 && a < n) w[a] = w[a - 1];
      break;
    case 'y':
      if (a <= n && n + a <= kMax) w.insert(0, w.substr(0, a));
      break;
    case 'Y':
      if (a <= n && n + a <= kMax) w += w.substr(n - a);
      break;
    default: break;  // ParseRule lets no other function through
  }
}

}  // namespace

Rule ParseRule(std::string_view line) {
  Rule rule;
  std::size_t i = 0;
  while (i < line.size()) {
    const char function = line[i];
    if (function == ' ') {
      ++i;
      continue;
    }
    const FunctionShape* shape = Find(std::begin(kFunctions), std::end(kFunctions), function);
    if (shape == nullptr) {
      const FunctionShape* known = Find(std::begin(kUnsupported), std::end(kUnsupported), function);
      if (known != nullptr) {
        throw CandidateError(std::string("unsupported rule function '") + function + "' (" + known->name + ")");
      }
      throw CandidateError(std::string("unknown rule function '") + ShownCandidate(std::string(1, function)) + "'");
    }
    ++i;
    RuleStep step{function};
    std::uint8_t* args[] = {&step.a, &step.b};
    std::size_t k = 0;
    for (const char* kind = shape->arguments; *kind != '\0'; ++kind, ++k) {
      if (i >= line.size()) {
        throw CandidateError(std::string("rule function '") + function + "' (" + shape->name + ") lacks an argument");
      }
      if (*kind == 'X' && IsHexEscape(line, i)) {
        // "\x41" stands for the byte 0x41, as hashcat reads a byte argument.
        *args[k] = static_cast<std::uint8_t>(HexValue(line[i + 2]) * 16 + HexValue(line[i + 3]));
        i += 4;
        continue;
      }
      const char c = line[i++];
      if (*kind == 'N') {
        const int p = Position(c);
        if (p < 0) {
          throw CandidateError(std::string("rule function '") + function + "' (" + shape->name +
                               ") takes a position 0-9 or A-Z, not '" + ShownCandidate(std::string(1, c)) + "'");
        }
        *args[k] = static_cast<std::uint8_t>(p);
      } else {
        *args[k] = static_cast<std::uint8_t>(c);
      }
    }
    rule.steps.push_back(step);
  }
  return rule;
}

std::vector<Rule> ParseRules(std::string_view text, const std::string& name, std::vector<std::size_t>* lines) {
  std::vector<Rule> rules;
  std::size_t number = 0;
  constexpr std::size_t kMaxRules = std::size_t{1} << 24;  // rule files run to tens of thousands
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);  // an editor's byte-order mark
    if (line.empty() || line.front() == '#') continue;
    try {
      rules.push_back(ParseRule(line));
    } catch (const CandidateError& error) {
      throw CandidateError(name + ", line " + std::to_string(number) + ": " + error.what());
    }
    if (lines != nullptr) lines->push_back(number);
    if (rules.size() > kMaxRules) throw CandidateError(name + " holds more than 16,777,216 rules");
  }
  if (rules.empty()) throw CandidateError("the rule file " + name + " holds no rule");
  return rules;
}

std::vector<Rule> ReadRules(const std::string& path, std::vector<std::size_t>* lines) {
  const std::string name = ShownName(path);
  const Descriptor fd = OpenToRead(path);
  if (!fd.valid())
    throw CandidateError("cannot read the rule file " + name + ": " + std::strerror(errno),
                         CandidateError::Kind::kInput);
  // More than any rule file holds, and less than the 16,777,216 rules
  // ParseRules takes would need.
  constexpr std::size_t kMaxRuleFileBytes = std::size_t{256} << 20;
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    const long got = ReadFd(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR && !Interrupted()) continue;
    if (got < 0)
      throw CandidateError("cannot read the rule file " + name + ": " + std::strerror(errno),
                           CandidateError::Kind::kInput);
    if (got == 0) break;
    if (text.size() + static_cast<std::size_t>(got) > kMaxRuleFileBytes) {
      throw CandidateError("the rule file " + name + " is larger than 256 MiB", CandidateError::Kind::kInput);
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return ParseRules(text, name, lines);
}

void ApplyRule(const Rule& rule, std::string& word) {
  for (const RuleStep& step : rule.steps) Step(step, word);
}

/// Masks ///

namespace {

Charset Range(int from, int to) {
  Charset set;
  for (int c = from; c <= to; ++c) set.set(static_cast<std::size_t>(c));
  return set;
}

std::optional<Charset> BuiltIn(char name) {
  switch (name) {
    case 'l': return Range('a', 'z');
    case 'u': return Range('A', 'Z');
    case 'd': return Range('0', '9');
    case 'h': return Range('0', '9') | Range('a', 'f');
    case 'H': return Range('0', '9') | Range('A', 'F');
    case 's': return Range(' ', '/') | Range(':', '@') | Range('[', '`') | Range('{', '~');
    case 'a': return Range(' ', '~');
    case 'b': return Range(0, 255);
    default: return std::nullopt;
  }
}

// The sets of a mask or custom set, one per position; `custom` resolves
// ?1..?4 (nullptr: a custom set may not name another).
std::vector<Charset> Positions(std::string_view text, const std::array<std::optional<Charset>, 4>* custom,
                               std::string_view what) {
  std::vector<Charset> positions;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '?') {
      Charset one;
      one.set(static_cast<std::uint8_t>(text[i]));
      positions.push_back(one);
      continue;
    }
    if (++i == text.size()) throw CandidateError(std::string(what) + " ends in a lone '?' (?? is a '?')");
    const char name = text[i];
    if (name == '?') {
      Charset one;
      one.set('?');
      positions.push_back(one);
    } else if (const std::optional<Charset> set = BuiltIn(name)) {
      positions.push_back(*set);
    } else if (name >= '1' && name <= '4' && custom != nullptr) {
      const std::optional<Charset>& set = (*custom)[static_cast<std::size_t>(name - '1')];
      if (!set) throw CandidateError(std::string(what) + " uses ?" + name + " but -" + name + " is not given");
      positions.push_back(*set);
    } else {
      throw CandidateError(std::string(what) + ": '?" + ShownCandidate(std::string(1, name)) +
                           "' names no character set (?l ?u ?d ?h ?H ?s ?a ?b ?1-?4, ?? for '?')");
    }
  }
  return positions;
}

}  // namespace

Mask Mask::Parse(std::string_view text, const std::array<std::optional<std::string>, 4>& customText) {
  std::array<std::optional<Charset>, 4> custom;
  for (std::size_t k = 0; k < 4; ++k) {
    if (!customText[k]) continue;
    const std::string what = "the custom set -" + std::to_string(k + 1);
    Charset set;
    for (const Charset& part : Positions(*customText[k], nullptr, what)) set |= part;
    if (set.none()) throw CandidateError(what + " is empty");
    custom[k] = set;
  }
  if (text.empty()) throw CandidateError("the mask is empty");
  Mask mask;
  for (const Charset& set : Positions(text, &custom, "the mask")) {
    std::vector<std::uint8_t> bytes;
    for (int c = 0; c < 256; ++c) {
      if (set.test(static_cast<std::size_t>(c))) bytes.push_back(static_cast<std::uint8_t>(c));
    }
    mask.positions_.push_back(std::move(bytes));
  }
  if (mask.positions_.size() > kMaxCandidateBytes) throw CandidateError("the mask is longer than 255 positions");
  return mask;
}

std::vector<Mask> Mask::Prefixes(std::size_t least) const {
  // Past the mask, or below one position, there would be no mask to try,
  // or an empty candidate that no one typed.
  if (least < 1 || least > positions_.size()) {
    throw CandidateError("--increment-min " + std::to_string(least) + " is not a place in the mask, which has " +
                         std::to_string(positions_.size()) + (positions_.size() == 1 ? " position" : " positions") +
                         ": give 1 to " + std::to_string(positions_.size()));
  }
  std::vector<Mask> masks;
  for (std::size_t length = least; length <= positions_.size(); ++length) {
    Mask prefix;
    prefix.positions_.assign(positions_.begin(), positions_.begin() + static_cast<std::ptrdiff_t>(length));
    masks.push_back(std::move(prefix));
  }
  return masks;
}

std::optional<std::uint64_t> Mask::Count() const {
  std::uint64_t count = 1;
  for (const auto& set : positions_) {
    if (__builtin_mul_overflow(count, static_cast<std::uint64_t>(set.size()), &count)) return std::nullopt;
  }
  return count;
}

void Mask::AppendCandidate(std::uint64_t index, std::string& out) const {
  for (const auto& set : positions_) {
    out.push_back(static_cast<char>(set[index % set.size()]));
    index /= set.size();
  }
}

MaskList::MaskList(std::vector<Mask> masks) : masks_(std::move(masks)) {
  for (const Mask& mask : masks_) {
    const std::optional<std::uint64_t> count = mask.Count();
    starts_.push_back(total_);
    if (!count || __builtin_add_overflow(total_, *count, &total_)) {
      throw CandidateError("the mask makes more than 18,446,744,073,709,551,615 candidates");
    }
  }
}

std::pair<std::size_t, std::uint64_t> MaskList::Locate(std::uint64_t index) const {
  const std::size_t k =
      static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), index) - starts_.begin()) - 1;
  return {k, index - starts_[k]};
}

std::size_t MaskList::AppendCandidate(std::uint64_t index, std::string& out) const {
  const auto [k, inMask] = Locate(index);
  masks_[k].AppendCandidate(inMask, out);
  return k;
}

/// Keys from a word ///

WordExpansion::WordExpansion(std::vector<Rule> rules, MaskList masks, MaskPlace place)
    : rules_(std::move(rules)), masks_(std::move(masks)), place_(masks_.Empty() ? MaskPlace::kNone : place) {
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(RuleCount()), MaskCount(), &perWord_)) {
    throw CandidateError("the rules and mask make more than 18,446,744,073,709,551,615 candidates a word");
  }
}

void WordExpansion::Make(std::string_view word, std::uint64_t k, std::string& out) const {
  const std::uint64_t masks = MaskCount();
  out.assign(word);
  if (!rules_.empty()) ApplyRule(rules_[static_cast<std::size_t>(k / masks)], out);
  if (place_ == MaskPlace::kNone) return;
  if (place_ == MaskPlace::kPrepend) {
    std::string joined;
    masks_.AppendCandidate(k % masks, joined);
    out.insert(0, joined);
  } else {
    masks_.AppendCandidate(k % masks, out);
  }
}

/// Word lists ///

namespace {

constexpr std::size_t kReadChunk = std::size_t{1} << 16;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

void DecodeHexLine(std::string& line) {
  constexpr std::string_view kOpen = "$HEX[";
  if (line.size() < kOpen.size() + 1 || !line.starts_with(kOpen) || line.back() != ']') return;
  const std::string_view digits(line.data() + kOpen.size(), line.size() - kOpen.size() - 1);
  if (digits.size() % 2 != 0) return;
  std::string bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int hi = HexValue(digits[i]), lo = HexValue(digits[i + 1]);
    if (hi < 0 || lo < 0) return;
    bytes.push_back(static_cast<char>(hi * 16 + lo));
  }
  line = std::move(bytes);
}

bool IsUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<std::uint8_t>(s[i]);
    std::size_t more = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      more = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + more >= s.size()) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto d = static_cast<std::uint8_t>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (more == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += more + 1;
  }
  return true;
}

std::string ShownCandidate(std::string_view bytes) {
  bool plain = IsUtf8(bytes);
  for (const char c : bytes) {
    if (static_cast<std::uint8_t>(c) < 0x20 || c == 0x7F) plain = false;
  }
  if (plain && !bytes.starts_with("$HEX[")) return std::string(bytes);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string shown = "$HEX[";
  for (const char c : bytes) {
    shown += kDigits[static_cast<std::uint8_t>(c) >> 4];
    shown += kDigits[static_cast<std::uint8_t>(c) & 15];
  }
  return shown + "]";
}

WordReader::WordReader(const std::string& path, std::function<bool()> stop)
    : stop_(std::move(stop)), path_(ShownName(path)), buffer_(2 * kReadChunk) {
  if (path == "-") {
    fd_ = Descriptor::Standard(0);
  } else {
    if (IsFolder(path)) throw CandidateError("the word list " + path_ + " is a folder");
    fd_ = OpenToRead(path);
    if (!fd_.valid())
      throw CandidateError("cannot read the word list " + path_ + ": " + std::strerror(errno),
                           CandidateError::Kind::kInput);
  }
  seekable_ = IsRegular(fd_.get());
}

WordReader::~WordReader() = default;

bool WordReader::Fill() {
  if (eof_) return false;
  // Keep what is left of the line being read at the front.
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  for (;;) {
    const long got = ReadFd(fd_.get(), buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0) {
      if (watch_) watch_(std::string_view(buffer_.data() + end_, static_cast<std::size_t>(got)));
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got == 0) {
      eof_ = true;
      return false;
    }
    if (errno == EINTR) {
      if (stop_ != nullptr && stop_()) throw ReadStopped{};
      continue;
    }
    throw CandidateError("cannot read the word list " + path_ + ": " + std::strerror(errno),
                         CandidateError::Kind::kInput);
  }
}

bool WordReader::Next(std::string& word) {
  for (;;) {
    const char* lf = static_cast<const char*>(std::memchr(buffer_.data() + begin_, '\n', end_ - begin_));
    if (lf == nullptr) {
      // A line longer than a word may be is passed over without keeping it.
      if (end_ - begin_ > kMaxCandidateBytes + 1) {
        offset_ += end_ - begin_;
        begin_ = end_ = 0;
        discarding_ = true;
      }
      if (Fill()) continue;
      if (end_ == begin_) {  // the end
        if (discarding_) ++skipped_, ++lines_;
        discarding_ = false;
        return false;
      }
      lf = buffer_.data() + end_;  // a last line without LF
    }
    const std::size_t stop = static_cast<std::size_t>(lf - buffer_.data());
    const std::size_t consumed = stop - begin_ + (stop < end_ ? 1 : 0);
    std::size_t start = begin_, length = stop - begin_;
    if (length > 0 && buffer_[begin_ + length - 1] == '\r') --length;
    // A byte-order mark that an editor put before the first line is no
    // part of its word.
    if (offset_ == 0 && std::string_view(buffer_.data() + start, length).starts_with(kByteOrderMark)) {
      start += kByteOrderMark.size();
      length -= kByteOrderMark.size();
    }
    const bool skip = discarding_ || length > kMaxCandidateBytes;
    if (!skip) word.assign(buffer_.data() + start, length);
    begin_ += consumed;
    offset_ += consumed;
    ++lines_;
    discarding_ = false;
    if (skip) {
      ++skipped_;
      continue;
    }
    DecodeHexLine(word);
    return true;
  }
}

void WordReader::SkipTo(std::uint64_t offset, std::uint64_t lines) {
  if (offset <= offset_) return;
  lines_ = lines;
  if (seekable_ && SeekTo(fd_.get(), offset)) {
    offset_ = offset;
    begin_ = end_ = 0;
    eof_ = false;
    return;
  }
  while (offset_ < offset) {
    if (begin_ == end_ && !Fill()) return;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(end_ - begin_, offset - offset_));
    begin_ += take;
    offset_ += take;
  }
}

std::uint64_t CountWords(const std::string& path, std::function<bool()> stop) {
  WordReader reader(path, std::move(stop));
  std::string word;
  std::uint64_t count = 0;
  while (reader.Next(word)) ++count;
  return count;
}

}  // namespace trirotor::cli
