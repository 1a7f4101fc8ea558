// SPDX-License-Identifier: MIT
//
// glob.cpp - --include and --exclude patterns, one matcher for every build.
//
// A set is read as fnmatch reads it in the C locale: in pattern order, so
// that a byte it holds early counts even where the rest of the set is ill
// formed (an unknown class), as it does there.

#include "cli/archive/glob.h"

#include <cstddef>
#include <optional>

namespace trirotor::cli {

namespace {

bool InClass(std::string_view name, unsigned char b) {
  const bool upper = b >= 'A' && b <= 'Z', lower = b >= 'a' && b <= 'z', digit = b >= '0' && b <= '9';
  const bool graph = b > 0x20 && b < 0x7F;
  if (name == "alpha") return upper || lower;
  if (name == "digit") return digit;
  if (name == "alnum") return upper || lower || digit;
  if (name == "upper") return upper;
  if (name == "lower") return lower;
  if (name == "xdigit") return digit || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F');
  if (name == "space") return b == ' ' || (b >= '\t' && b <= '\r');
  if (name == "blank") return b == ' ' || b == '\t';
  if (name == "punct") return graph && !upper && !lower && !digit;
  if (name == "graph") return graph;
  if (name == "print") return graph || b == ' ';
  if (name == "cntrl") return b < 0x20 || b == 0x7F;
  return false;
}

bool IsClass(std::string_view name) {
  for (const char* known :
       {"alpha", "digit", "alnum", "upper", "lower", "xdigit", "space", "blank", "punct", "graph", "print", "cntrl"}) {
    if (name == known) return true;
  }
  return false;
}

enum class Set { kIn, kOut, kUnclosed };

// Whether `text` holds `what` at `at` (which may lie past its end).
bool Has(std::string_view text, std::size_t at, std::string_view what) {
  return at <= text.size() && text.substr(at).starts_with(what);
}

// A collating symbol "[.c.]" at pattern[at] == '[': its byte, and `at`
// moved past it. The C locale names no symbol longer than one byte.
std::optional<unsigned char> Symbol(std::string_view pattern, std::size_t& at) {
  const std::size_t close = pattern.find(".]", at + 2);
  if (close == std::string_view::npos || close != at + 3) return std::nullopt;
  at = close + 2;
  return static_cast<unsigned char>(pattern[close - 1]);
}

// The set that starts at pattern[at] == '[' against the byte `b`; `end` is
// set past its ']' when it is kIn. Members are read in order until one
// holds `b`, and the rest only skipped: an ill-formed member (an unknown
// class, a range to nowhere) makes the pattern match nothing only when it
// is read before that.
Set MatchSet(std::string_view pattern, std::size_t at, unsigned char b, std::size_t& end) {
  const std::size_t n = pattern.size();
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(pattern[i]); };
  std::size_t i = at + 1;
  const bool negate = i < n && (pattern[i] == '!' || pattern[i] == '^');
  if (negate) ++i;
  bool found = false;
  for (bool first = true; !found; first = false) {
    if (i >= n) return Set::kUnclosed;
    if (pattern[i] == ']' && !first) {
      end = i + 1;
      return negate ? Set::kIn : Set::kOut;
    }
    if (Has(pattern, i, "[:")) {
      std::size_t j = i + 2;
      while (j < n && pattern[j] >= 'a' && pattern[j] < 'z') ++j;
      if (Has(pattern, j, ":]")) {
        const std::string_view name = pattern.substr(i + 2, j - i - 2);
        if (!IsClass(name)) return Set::kOut;
        found = InClass(name, b);
        i = j + 2;
        continue;
      }
    }
    if (Has(pattern, i, "[=") && Has(pattern, i + 3, "=]") && i + 2 < n) {
      found = byte(i + 2) == b;
      i += 5;
      continue;
    }
    unsigned char low = 0;
    if (Has(pattern, i, "[.")) {
      const std::optional<unsigned char> symbol = Symbol(pattern, i);
      if (!symbol) return Set::kOut;
      low = *symbol;
    } else if (pattern[i] == '\\') {
      if (i + 1 >= n) return Set::kOut;
      low = byte(i + 1);
      i += 2;
    } else {
      low = byte(i++);
    }
    unsigned char high = low;
    if (i + 1 < n && pattern[i] == '-' && pattern[i + 1] != ']') {
      ++i;
      if (Has(pattern, i, "[.")) {
        const std::optional<unsigned char> symbol = Symbol(pattern, i);
        if (!symbol) return Set::kOut;
        high = *symbol;
      } else {
        if (pattern[i] == '\\') ++i;
        if (i >= n) return Set::kOut;
        high = byte(i++);
      }
    } else if (i + 1 == n && pattern[i] == '-') {
      if (low != b) return Set::kOut;  // "[a-": a range to nowhere
    }
    found = low <= b && b <= high;
  }
  // Found: the rest of the set skipped, to its ']'.
  for (;;) {
    if (i >= n) return Set::kUnclosed;
    const char c = pattern[i++];
    if (c == ']') break;
    if (c == '\\') {
      if (i >= n) return Set::kOut;
      ++i;
    } else if (c == '[' && i < n && pattern[i] == ':') {
      std::size_t j = i + 1;
      while (j < n && pattern[j] >= 'a' && pattern[j] < 'z') ++j;
      if (Has(pattern, j, ":]")) i = j + 2;
    } else if (c == '[' && i < n && pattern[i] == '=') {
      if (i + 3 >= n || pattern[i + 2] != '=' || pattern[i + 3] != ']') return Set::kOut;
      i += 4;
    } else if (c == '[' && i < n && pattern[i] == '.') {
      const std::size_t close = pattern.find(".]", i + 1);
      if (close == std::string_view::npos) return Set::kOut;
      i = close + 2;
    }
  }
  end = i;
  return negate ? Set::kOut : Set::kIn;
}

}  // namespace

bool GlobMatch(std::string_view pattern, std::string_view text, bool pathname) {
  const std::size_t np = pattern.size(), nt = text.size();
  std::size_t p = 0, t = 0;
  // The last '*' met: the pattern just after it and where in the text its
  // run ends. A mismatch lets it take one byte more; an earlier '*' never
  // needs to take more, since the last one can take whatever it could.
  std::size_t starP = std::string_view::npos, starT = 0;
  // Only '*'s and '?'s since that '*': there, fnmatch lets an escaped '/'
  // match no '/' (it tries what follows a '*' only before the next '/').
  bool afterStar = false;
  for (;;) {
    if (p < np && pattern[p] == '*') {
      starP = ++p;
      starT = t;
      afterStar = true;
      continue;
    }
    if (p == np && t == nt) return true;
    if (p < np && t < nt) {
      const unsigned char c = static_cast<unsigned char>(pattern[p]);
      const unsigned char b = static_cast<unsigned char>(text[t]);
      bool same = false;
      std::size_t next = p + 1;
      if (c == '?') {
        same = !(pathname && b == '/');
      } else if (c == '\\') {
        same = p + 1 < np && static_cast<unsigned char>(pattern[p + 1]) == b && !(pathname && b == '/' && afterStar);
        next = p + 2;
      } else if (c == '[') {
        if (!(pathname && b == '/')) {
          switch (MatchSet(pattern, p, b, next)) {
            case Set::kIn: same = true; break;
            case Set::kOut: break;
            case Set::kUnclosed:
              same = b == '[';
              next = p + 1;
              break;
          }
        }
      } else {
        same = c == b;
      }
      if (same) {
        afterStar = afterStar && c == '?';
        p = next;
        ++t;
        continue;
      }
    }
    // With a '/' to take, no '*' can help: those before the last one are
    // held to their own names by the '/'s between.
    if (starP == std::string_view::npos || starT >= nt || (pathname && text[starT] == '/')) return false;
    p = starP;
    t = ++starT;
    afterStar = true;
  }
}

}  // namespace trirotor::cli
