// SPDX-License-Identifier: MIT
//
// fuzz_glob.cpp - the archive run's --include and --exclude globs on a
// hostile pattern and name.
//
// Input layout: one flag byte (bit 0: pathname mode), then the pattern, a
// NUL, and the text. Beyond "no crash" and the time bound the matcher
// promises (the pattern's length times the text's), a pattern that escapes
// every byte of the text matches the text and nothing longer.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/archive/glob.h"

using trirotor::cli::GlobMatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool pathname = (data[0] & 1) != 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t cut = rest.find('\0');
  const std::string_view pattern = rest.substr(0, cut);
  const std::string_view text = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  (void)GlobMatch(pattern, text, pathname);

  std::string literal;
  for (const char c : text) {
    literal += '\\';
    literal += c;
  }
  if (!GlobMatch(literal, text, pathname)) std::abort();
  if (GlobMatch(literal, std::string(text) + "x", pathname)) std::abort();
  return 0;
}
