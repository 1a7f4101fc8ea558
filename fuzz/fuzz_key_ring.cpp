// SPDX-License-Identifier: MIT
//
// fuzz_key_ring.cpp - decode --keyring's lines on hostile text.
//
// The input is the key ring's text as UTF-16 units, two bytes each (the
// tool reads the file as UTF-8 first; any unit may come out of that). Each
// entry the reader keeps has a key, a line number that rises, and a key and
// suffix that hold no line end and no TAB in the key.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "records/records.h"

using namespace trirotor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string text(size / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  std::vector<records::RingEntry> ring;
  try {
    ring = records::ParseKeyRing(text);
  } catch (const records::RingError&) {
    return 0;
  }
  std::size_t line = 0;
  for (const records::RingEntry& entry : ring) {
    if (entry.key.empty() || entry.line <= line) std::abort();
    if (entry.key.find_first_of(u"\n\t") != std::u16string::npos) std::abort();
    if (entry.suffix.find(u'\n') != std::u16string::npos) std::abort();
    line = entry.line;
  }
  return 0;
}
