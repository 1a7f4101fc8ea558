// SPDX-License-Identifier: MIT
//
// bench_inputs.h - the benchmarks' inputs, generated and deterministic.
//
// Nothing is downloaded: the plain text is made of English-like words drawn
// with a fixed seed from a skewed list, so that it compresses to about five
// bits a byte as prose does, and every run on every machine sees the same
// bytes. The benchmark binary and the input tool for compare.sh share these.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/trirotor.h"

namespace trirotor::bench {

inline constexpr const char16_t* kKey = u"bench key";
inline constexpr const char16_t* kSuffix = u"bench suffix";

// `size` bytes of prose-like ASCII text in lines of about 70 characters.
inline ByteBuffer MakePlainText(std::size_t size, std::uint32_t seed = 20261207) {
  static const char* const kWords[] = {
      "the",     "of",      "and",      "to",     "a",      "in",      "is",     "it",     "you",       "that",
      "he",      "was",     "for",      "on",     "are",    "with",    "as",     "his",    "they",      "be",
      "at",      "one",     "have",     "this",   "from",   "or",      "had",    "by",     "word",      "but",
      "what",    "some",    "we",       "can",    "out",    "other",   "were",   "all",    "there",     "when",
      "up",      "use",     "your",     "how",    "said",   "an",      "each",   "she",    "which",     "do",
      "their",   "time",    "if",       "will",   "way",    "about",   "many",   "then",   "them",      "write",
      "would",   "like",    "so",       "these",  "her",    "long",    "make",   "thing",  "see",       "him",
      "two",     "has",     "look",     "more",   "day",    "could",   "go",     "come",   "did",       "number",
      "sound",   "no",      "most",     "people", "my",     "over",    "know",   "water",  "than",      "call",
      "first",   "who",     "may",      "down",   "side",   "been",    "now",    "find",   "Message",   "Rotor",
      "Key",     "sealed",  "decoding", "engine", "window", "program", "letter", "report", "quarterly", "budget",
      "meeting", "Tuesday", "1987",     "42",     "page",   "line",    "3.5",    "(see",   "below)",    "note:",
      "yes",     "no,",     "however,"};
  constexpr std::size_t kCount = sizeof kWords / sizeof kWords[0];
  std::mt19937 rng(seed);
  // Zipf-like: low indices far more often than high ones.
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  ByteBuffer text;
  text.reserve(size + 16);
  std::size_t column = 0;
  while (text.size() < size) {
    const double u = uniform(rng);
    const auto index = static_cast<std::size_t>(static_cast<double>(kCount) * u * u);
    const std::string word = kWords[index < kCount ? index : kCount - 1];
    text.insert(text.end(), word.begin(), word.end());
    column += word.size() + 1;
    if (column > 70) {
      text.push_back('.');
      text.push_back('\n');
      column = 0;
    } else {
      text.push_back(' ');
    }
  }
  text.resize(size);
  return text;
}

// The key trials' message: `size` bytes of one repeated sentence sealed
// under "the right key" with no suffix and a fixed header. The key ring's
// and recover's benchmarks try their candidates on it.
inline ByteBuffer SealedForTrials(std::size_t size) {
  std::string text;
  while (text.size() < size) text += "the ferryman argued with the parish priest although the roads were flooded. ";
  text.resize(size);
  FrameHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i * 13 + 5);
  const std::string sealed = EncodeBytes(ByteBuffer(text.begin(), text.end()), u"the right key", u"", header, 76);
  return ByteBuffer(sealed.begin(), sealed.end());
}

// 4096 wrong keys: `prefix` and a number each.
inline std::vector<std::u16string> WrongKeys(std::string_view prefix) {
  std::vector<std::u16string> keys;
  for (int i = 0; i < 4096; ++i) {
    const std::string key = std::string(prefix) + std::to_string(i * 7919);
    keys.emplace_back(key.begin(), key.end());
  }
  return keys;
}

}  // namespace trirotor::bench
