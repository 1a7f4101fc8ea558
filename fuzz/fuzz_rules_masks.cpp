// SPDX-License-Identifier: MIT
//
// fuzz_rules_masks.cpp - recover's rule files and masks, as users bring
// them, on hostile text.
//
// Input layout: one byte choosing what is read (even: a rule file, odd: a
// mask with up to four custom charsets), then the text; a rule file's rules
// are applied to the word "Password1". Beyond "no crash", a rule never makes
// a candidate longer than kMaxCandidateBytes, a mask's last candidate has
// one byte a position, and its prefixes count no more candidates than it.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "cli/recover/candidates.h"

using namespace trirotor::cli;

namespace {

void Rules(std::string_view text) {
  std::vector<Rule> rules;
  try {
    rules = ParseRules(text, "fuzz.rule");
  } catch (const CandidateError&) {
    return;
  }
  for (const Rule& rule : rules) {
    std::string word = "Password1";
    ApplyRule(rule, word);
    if (word.size() > kMaxCandidateBytes) std::abort();
  }
}

// "mask\ncharset1\ncharset2\n...": each line after the mask is one custom
// charset, ?1 to ?4.
void MaskAndCharsets(std::string_view text) {
  std::array<std::optional<std::string>, 4> custom;
  const std::size_t end = text.find('\n');
  const std::string_view mask = text.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  for (std::optional<std::string>& set : custom) {
    if (rest.empty()) break;
    const std::size_t cut = rest.find('\n');
    set = std::string(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  try {
    const Mask parsed = Mask::Parse(mask, custom);
    const std::optional<std::uint64_t> total = parsed.Count();
    if (total && *total > 0) {
      std::string last;
      parsed.AppendCandidate(*total - 1, last);
      if (last.size() != parsed.Length()) std::abort();  // one byte a position
    }
    if (parsed.Length() > 64) return;  // the prefixes of a long mask cost its length squared
    for (const Mask& prefix : parsed.Prefixes(1)) {
      const std::optional<std::uint64_t> count = prefix.Count();
      if (total && (!count || *count > *total)) std::abort();
    }
  } catch (const CandidateError&) {}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    Rules(text);
  } else {
    MaskAndCharsets(text);
  }
  return 0;
}
