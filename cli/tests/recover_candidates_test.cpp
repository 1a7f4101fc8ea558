// SPDX-License-Identifier: MIT
//
// recover_candidates_test.cpp - recover's candidates held against a real
// peer: hashcat --stdout makes the same words from the same word list,
// rules and masks, in the same order. What hashcat made is kept in
// tests/data/hashcat (scripts/hashcat_peer.py makes it again, and CI's
// live peer step checks it against hashcat itself), so these tests start
// no hashcat and skip nothing for the lack of one.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/recover/candidates.h"
#include "cli/sha256.h"
#include "support/utf8.h"

namespace trirotor::cli {
namespace {

namespace fs = std::filesystem;

// hashcat's output for the cases below, its inputs beside it.
const fs::path kPeer = fs::path(TRIROTOR_TEST_DATA) / "hashcat";
constexpr std::size_t kBlock = 1000;  // lines a digest in peer.jsonl

fs::path Scratch(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("trirotor-candidates-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir / name;
}

void WriteFile(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The cases of peer.jsonl whose "case" starts with `kind`, in file order.
std::vector<nlohmann::json> PeerCases(std::string_view kind) {
  std::ifstream in(kPeer / "peer.jsonl", std::ios::binary);
  EXPECT_TRUE(in) << kPeer / "peer.jsonl";
  std::vector<nlohmann::json> cases;
  for (std::string line; std::getline(in, line);) {
    nlohmann::json c = nlohmann::json::parse(line);
    if (c.at("case").get<std::string>().starts_with(kind)) cases.push_back(std::move(c));
  }
  EXPECT_FALSE(cases.empty()) << "no case '" << kind << "' in peer.jsonl";
  return cases;
}

// A rule, mask or set as peer.jsonl writes it: a byte a character, each
// character below U+0100 (Latin-1), so that bytes beyond ASCII survive JSON.
std::string Latin1(const nlohmann::json& text) {
  std::u16string wide;
  std::size_t bad = 0;
  EXPECT_TRUE(support::DecodeUtf8(text.get<std::string>(), wide, bad)) << text;
  std::string bytes;
  for (const char16_t c : wide) {
    EXPECT_LT(c, 0x100) << text;
    bytes += static_cast<char>(c);
  }
  return bytes;
}

// The digest peer.jsonl keeps of lines [first, first + count): the first
// 16 hex digits of the SHA-256 of the lines, each ended by LF.
std::string Digest(const std::vector<std::string>& lines, std::size_t first, std::size_t count) {
  Sha256 hash;
  for (std::size_t i = first; i < std::min(lines.size(), first + count); ++i) {
    hash.Update(lines[i]);
    hash.Update("\n");
  }
  return hash.Hex().substr(0, 16);
}

// Where our lines first differ from hashcat's by block, or "" when they
// are the same; `origin` names what made a line of ours.
std::string FirstDifference(const std::vector<std::string>& ours, const nlohmann::json& peer,
                            const std::function<std::string(std::size_t)>& origin) {
  const std::size_t lines = peer.at("lines");
  if (ours.size() != lines) {
    return "ours " + std::to_string(ours.size()) + " candidates, hashcat's " + std::to_string(lines);
  }
  const nlohmann::json& blocks = peer.at("blocks");
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    if (Digest(ours, b * kBlock, kBlock) == blocks[b]) continue;
    const std::size_t first = b * kBlock, last = std::min(ours.size(), first + kBlock) - 1;
    return "candidates " + std::to_string(first) + " to " + std::to_string(last) +
           " differ from hashcat's (ours from " + origin(first) + " to " + origin(last) +
           "); scripts/hashcat_peer.py shows how hashcat made them";
  }
  return "";
}

std::vector<std::string> OurWords(const fs::path& path) {
  WordReader reader(path.string());
  std::vector<std::string> words;
  for (std::string w; reader.Next(w);) words.push_back(w);
  return words;
}

// Each line of a rule file as it stands, for the rule functions one a line.
std::vector<std::string> RawLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every supported function alone, with arguments that hit its edges
// (positions at, inside and past the end), over the whole word list: one
// digest a function, so a difference names the function.
TEST(RecoverCandidates, EachRuleFunctionAsHashcat) {
  const nlohmann::json peer = PeerCases("functions").at(0);
  const std::vector<std::string> functions = RawLines(kPeer / peer.at("rules").get<std::string>());
  const std::vector<std::string> words = OurWords(kPeer / "words.txt");
  ASSERT_EQ(words.size(), peer.at("words").get<std::size_t>());
  ASSERT_EQ(functions.size(), peer.at("per_rule").size());
  ASSERT_EQ(words.size() * functions.size(), peer.at("lines").get<std::size_t>());
  for (std::size_t r = 0; r < functions.size(); ++r) {
    const Rule rule = ParseRule(functions[r]);
    std::vector<std::string> ours;
    for (const std::string& word : words) {
      ours.push_back(word);
      ApplyRule(rule, ours.back());
    }
    EXPECT_EQ(Digest(ours, 0, ours.size()), peer["per_rule"][r])
        << "rule '" << ShownCandidate(functions[r]) << "' makes other candidates than hashcat's from words.txt, "
        << "the first three '" << ShownCandidate(ours[0]) << "', '" << ShownCandidate(ours[1]) << "', '"
        << ShownCandidate(ours[2]) << "'";
  }
}

// hashcat's documented example of each function, on its own words.
TEST(RecoverCandidates, DocumentedExamples) {
  struct Example {
    std::string rule, word, made;
  };
  const Example examples[] = {
      {":", "p@ssW0rd", "p@ssW0rd"},
      {"l", "p@ssW0rd", "p@ssw0rd"},
      {"u", "p@ssW0rd", "P@SSW0RD"},
      {"c", "p@ssW0rd", "P@ssw0rd"},
      {"C", "p@ssW0rd", "p@SSW0RD"},
      {"t", "p@ssW0rd", "P@SSw0RD"},
      {"T3", "p@ssW0rd", "p@sSW0rd"},
      {"r", "p@ssW0rd", "dr0Wss@p"},
      {"d", "p@ssW0rd", "p@ssW0rdp@ssW0rd"},
      {"p2", "p@ssW0rd", "p@ssW0rdp@ssW0rdp@ssW0rd"},
      {"f", "p@ssW0rd", "p@ssW0rddr0Wss@p"},
      {"{", "p@ssW0rd", "@ssW0rdp"},
      {"}", "p@ssW0rd", "dp@ssW0r"},
      {"$1", "p@ssW0rd", "p@ssW0rd1"},
      {"^1", "p@ssW0rd", "1p@ssW0rd"},
      {"[", "p@ssW0rd", "@ssW0rd"},
      {"]", "p@ssW0rd", "p@ssW0r"},
      {"D3", "p@ssW0rd", "p@sW0rd"},
      {"x04", "p@ssW0rd", "p@ss"},
      {"O12", "p@ssW0rd", "psW0rd"},
      {"i4!", "p@ssW0rd", "p@ss!W0rd"},
      {"o3$", "p@ssW0rd", "p@s$W0rd"},
      {"'6", "p@ssW0rd", "p@ssW0"},
      {"ss$", "p@ssW0rd", "p@$$W0rd"},
      {"@s", "p@ssW0rd", "p@W0rd"},
      {"z2", "p@ssW0rd", "ppp@ssW0rd"},
      {"Z2", "p@ssW0rd", "p@ssW0rddd"},
      {"q", "p@ssW0rd", "pp@@ssssWW00rrdd"},
      {"k", "p@ssW0rd", "@pssW0rd"},
      {"K", "p@ssW0rd", "p@ssW0dr"},
      {"*34", "p@ssW0rd", "p@sWs0rd"},
      {"L2", "p@ssW0rd", "p@\xe6sW0rd"},
      {"R2", "p@ssW0rd", "p@9sW0rd"},
      {"+2", "p@ssW0rd", "p@tsW0rd"},
      {"-1", "p@ssW0rd", "p?ssW0rd"},
      {".1", "p@ssW0rd", "psssW0rd"},
      {",1", "p@ssW0rd", "ppssW0rd"},
      {"y2", "p@ssW0rd", "p@p@ssW0rd"},
      {"Y2", "p@ssW0rd", "p@ssW0rdrd"},
      {"E", "p@ssW0rd w0rld", "P@ssw0rd W0rld"},
      {"e-", "p@ssW0rd-w0rld", "P@ssw0rd-W0rld"},
      {"30;", "pass;word", "pass;Word"},
      // A byte argument written \xNN, as hashcat reads it: any function
      // that takes a character, either argument of 's'.
      {"$\\x41", "p@ssW0rd", "p@ssW0rdA"},
      {"^\\x7a", "p@ssW0rd", "zp@ssW0rd"},
      {"s\\x73\\x24", "p@ssW0rd", "p@$$W0rd"},
      {"ss\\x24", "p@ssW0rd", "p@$$W0rd"},
      {"i4\\x21", "p@ssW0rd", "p@ss!W0rd"},
      {"@\\x73", "p@ssW0rd", "p@W0rd"},
      {"$\\x00", "ab", std::string("ab\0", 3)},
      {"$\\", "ab", "ab\\"},     // a backslash on its own is itself
      {"$\\x4G", "ab", "ab\\"},  // no hex pair: '\' appended, then x4G (past the end)
      {"$\\x41$B", "ab", "abAB"},
  };
  for (const Example& e : examples) {
    std::string w = e.word;
    ApplyRule(ParseRule(e.rule), w);
    EXPECT_EQ(w, e.made) << e.rule;
  }
}

// Rule files hashcat ships that we run in full, each over words of the
// list (fewer for the big files, so the run stays short), in the order of
// hashcat's device: 256 rules at a time over every word, then the next 256.
// That path garbles some copies (stale bytes behind a truncation that a
// later 'd', 'f' or 'p' copies: the right length, other bytes), so the
// lines of a rule that copies are compared by their length, as the peer's
// data keeps them; DocumentedExamples holds those functions to hashcat's
// own examples instead.
TEST(RecoverCandidates, ShippedRuleFilesAsHashcat) {
  const std::vector<std::string> every = OurWords(kPeer / "words.txt");
  for (const nlohmann::json& peer : PeerCases("rules/")) {
    const std::string file = peer.at("rules");
    std::vector<Rule> rules;
    try {
      rules = ReadRules((kPeer / file).string());
    } catch (const CandidateError& error) {
      ADD_FAILURE() << error.what();
      continue;
    }
    const std::vector<std::size_t> words = peer.at("words");
    constexpr std::size_t kBatch = 256;
    std::vector<std::string> ours;
    std::vector<std::pair<std::size_t, std::size_t>> origin;  // word, rule
    for (std::size_t first = 0; first < rules.size(); first += kBatch) {
      for (const std::size_t w : words) {
        for (std::size_t r = first; r < std::min(rules.size(), first + kBatch); ++r) {
          std::string made = every.at(w);
          ApplyRule(rules[r], made);
          const bool copies = std::any_of(rules[r].steps.begin(), rules[r].steps.end(), [](const RuleStep& step) {
            return std::string_view("dfpqyYzZ").find(step.function) != std::string_view::npos;
          });
          ours.push_back(copies ? "<copy of " + std::to_string(made.size()) + " bytes>" : made);
          origin.emplace_back(w, r);
        }
      }
    }
    EXPECT_EQ(FirstDifference(ours, peer,
                              [&](std::size_t i) {
                                return "rule " + std::to_string(origin[i].second + 1) + " on '" +
                                       ShownCandidate(every[origin[i].first]) + "'";
                              }),
              "")
        << file;
  }
}

// Masks as hashcat's -a 3, hybrids as its -a 6 (word, then mask) and -a 7
// (mask, then word): custom sets, literals, escapes and --increment.
TEST(RecoverCandidates, MasksAndHybridsAsHashcat) {
  const std::vector<std::string> words = OurWords(kPeer / "hybrid-words.txt");
  for (const nlohmann::json& peer : PeerCases("mask ")) {
    const std::string place = peer.at("place");
    std::array<std::optional<std::string>, 4> custom;
    for (std::size_t k = 0; k < peer.at("custom").size(); ++k) {
      if (!peer["custom"][k].get<std::string>().empty()) custom.at(k) = Latin1(peer["custom"][k]);
    }
    const std::size_t least = peer.at("increment_min");
    const Mask mask = Mask::Parse(Latin1(peer.at("mask")), custom);
    const MaskPlace where = place == "alone"    ? MaskPlace::kAlone
                            : place == "append" ? MaskPlace::kAppend
                                                : MaskPlace::kPrepend;
    const WordExpansion expansion({}, MaskList(least > 0 ? mask.Prefixes(least) : std::vector<Mask>{mask}), where);
    std::vector<std::string> ours;
    const std::vector<std::string> alone = {""};
    for (const std::string& word : where == MaskPlace::kAlone ? alone : words) {
      for (std::uint64_t k = 0; k < expansion.PerWord(); ++k) {
        ours.emplace_back();
        expansion.Make(word, k, ours.back());
      }
    }
    // hashcat runs -a 7, and -a 6 with --increment, mask-major (each mask
    // over all words); ours are word-major so that a session is a line and
    // a number: the same candidates in another order, compared sorted.
    if (peer.at("order") == "sorted") std::sort(ours.begin(), ours.end());
    EXPECT_EQ(FirstDifference(ours, peer, [&](std::size_t i) { return "'" + ShownCandidate(ours[i]) + "'"; }), "")
        << peer["case"];
  }
}

// What the counts rest on, without a peer: sizes of the sets, the sum of
// --increment's masks, the product a word makes, and refusals.
TEST(RecoverCandidates, CountsAndRefusals) {
  const std::array<std::optional<std::string>, 4> none{};
  struct Count {
    std::string mask;
    std::uint64_t count;
  };
  for (const Count& c : std::vector<Count>{{"?l", 26},
                                           {"?u?d", 260},
                                           {"?s", 33},
                                           {"?a", 95},
                                           {"?b", 256},
                                           {"?h?H", 256},
                                           {"??", 1},
                                           {"abc", 1},
                                           {"?d?d?d?d?d?d?d?d", 100000000}}) {
    EXPECT_EQ(Mask::Parse(c.mask, none).Count(), c.count) << c.mask;
  }
  EXPECT_EQ(MaskList(Mask::Parse("?d?d?d", none).Prefixes(1)).Count(), 1110u);
  EXPECT_EQ(MaskList(Mask::Parse("?d?d?d", none).Prefixes(2)).Count(), 1100u);
  EXPECT_FALSE(Mask::Parse("?b?b?b?b?b?b?b?b?b", none).Count().has_value());  // 2^72
  EXPECT_THROW(MaskList({Mask::Parse("?b?b?b?b?b?b?b?b?b", none)}), CandidateError);
  const WordExpansion expansion({ParseRule(":"), ParseRule("u"), ParseRule("$1")},
                                MaskList({Mask::Parse("?d?d", none)}), MaskPlace::kAppend);
  EXPECT_EQ(expansion.PerWord(), 300u);
  std::string out;
  expansion.Make("ab", 2 * 100 + 37, out);  // rule 2, mask candidate 37: leftmost digit fastest
  EXPECT_EQ(out, "ab173");
  struct Refusal {
    std::string rule, says;
  };
  for (const Refusal& r : std::vector<Refusal>{{"M", "'M' (memorize)"},
                                               {"$1 4", "'4' (append memory)"},
                                               {"<5", "'<' (reject longer)"},
                                               {"Q", "'Q' (reject unchanged)"},
                                               {"T", "lacks an argument"},
                                               {"T!", "takes a position"},
                                               {"w", "unknown rule function 'w'"}}) {
    try {
      ParseRule(r.rule);
      ADD_FAILURE() << r.rule << " was taken";
    } catch (const CandidateError& error) {
      EXPECT_NE(std::string(error.what()).find(r.says), std::string::npos) << r.rule << ": " << error.what();
    }
  }
  for (const char* bad : {"?", "ab?", "?x", "?1", "?5", ""})
    EXPECT_THROW(Mask::Parse(bad, none), CandidateError) << bad;
  // --increment from a place that is not in the mask: nothing, or an empty
  // candidate, would be tried.
  for (const std::size_t least : {0, 4, 300})
    EXPECT_THROW(Mask::Parse("?d?d?d", none).Prefixes(least), CandidateError) << least;
  EXPECT_EQ(Mask::Parse("?d?d?d", none).Prefixes(3).size(), 1u);
  // Which mask of --increment a candidate comes from, and its number there.
  const MaskList increments(Mask::Parse("?d?l", none).Prefixes(1));
  EXPECT_EQ(increments.Locate(9), (std::pair<std::size_t, std::uint64_t>{0, 9}));
  EXPECT_EQ(increments.Locate(10), (std::pair<std::size_t, std::uint64_t>{1, 0}));
  EXPECT_EQ(increments.Locate(10 + 259), (std::pair<std::size_t, std::uint64_t>{1, 259}));
  // A '\x' with no hex pair after it is no byte: '$\' then 'x' with its
  // positions, as hashcat takes it.
  EXPECT_THROW(ParseRule("$\\x4"), CandidateError);
  EXPECT_THROW(ParseRule("$\\xzz"), CandidateError);
  // Shipped files we do not run in full are refused at their first
  // unsupported line (their heads are kept beside the peer's data).
  for (const char* file : {"specific.rule", "d3ad0ne.rule"}) {
    EXPECT_THROW(ReadRules((kPeer / "rules" / file).string()), CandidateError) << file;
  }
  // A rule file names the line of its first bad rule.
  const fs::path path = Scratch("bad.rule");
  WriteFile(path, "# comment\n:\n\nu\r\n$1 M\n");
  try {
    ReadRules(path.string());
    ADD_FAILURE() << "taken";
  } catch (const CandidateError& error) {
    EXPECT_EQ(std::string(error.what()), path.string() + ", line 5: unsupported rule function 'M' (memorize)");
  }
}

// The word list as a stream: CRLF dropped, $HEX decoded, over-long lines
// skipped whole (also across the reader's chunks), a last line without LF,
// offsets that resume exactly.
TEST(RecoverCandidates, WordReaderLines) {
  const std::string longLine(300000, 'x');
  const std::string text = "one\r\n$HEX[74776f]\n\n" + longLine + "\nthree\n" + std::string(256, 'y') + "\n" +
                           std::string(255, 'z') + "\r\nlast";
  const fs::path path = Scratch("lines.txt");
  WriteFile(path, text);
  WordReader reader(path.string());
  std::vector<std::string> words;
  std::vector<std::uint64_t> offsets, lines;
  for (std::string w; offsets.push_back(reader.Offset()), lines.push_back(reader.Lines()), reader.Next(w);) {
    words.push_back(w);
  }
  const std::vector<std::string> expected = {"one", "two", "", "three", std::string(255, 'z'), "last"};
  EXPECT_EQ(words, expected);
  EXPECT_EQ(reader.Skipped(), 2u);
  EXPECT_EQ(lines, (std::vector<std::uint64_t>{0, 1, 2, 3, 5, 7, 8}));
  EXPECT_EQ(CountWords(path.string()), expected.size());
  // From the offset before "three", a fresh reader goes on from there.
  WordReader again(path.string());
  again.SkipTo(offsets[3], lines[3]);
  std::string w;
  ASSERT_TRUE(again.Next(w));
  EXPECT_EQ(w, "three");
  EXPECT_EQ(again.Lines(), 5u);
}

// Files as editors save them: a byte-order mark before the first line is
// no part of its word or rule (it would hide the first word), and nowhere
// else is it dropped.
TEST(RecoverCandidates, ByteOrderMarksAsEditorsWriteThem) {
  constexpr std::string_view kMark = "\xef\xbb\xbf";
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> words;
  };
  // clang-format off
  const Case cases[] = {
      {"a mark, then words", std::string(kMark) + "first\nsecond\n", {"first", "second"}},
      {"a mark and CRLF", std::string(kMark) + "first\r\nsecond\r\n", {"first", "second"}},
      {"a mark alone on the first line", std::string(kMark) + "\nsecond\n", {"", "second"}},
      {"a mark on the second line is its word's", "first\n" + std::string(kMark) + "second\n", {"first", std::string(kMark) + "second"}},
      {"no mark", "first\nsecond", {"first", "second"}},
  };
  // clang-format on
  const fs::path path = Scratch("marked.txt");
  for (const Case& c : cases) {
    WriteFile(path, c.text);
    EXPECT_EQ(OurWords(path), c.words) << c.name;
    EXPECT_EQ(CountWords(path.string()), c.words.size()) << c.name;
  }
  // A resumed list starts past the mark: its offsets are the file's.
  WriteFile(path, std::string(kMark) + "first\nsecond\n");
  WordReader reader(path.string());
  std::string word;
  ASSERT_TRUE(reader.Next(word));
  EXPECT_EQ(reader.Offset(), kMark.size() + 6);
  WriteFile(path, std::string(kMark) + "u\n$1\n");
  std::vector<std::size_t> lines;
  const std::vector<Rule> rules = ReadRules(path.string(), &lines);
  ASSERT_EQ(rules.size(), 2u);
  std::string made = "ab";
  ApplyRule(rules[0], made);
  EXPECT_EQ(made, "AB");
  EXPECT_EQ(lines, (std::vector<std::size_t>{1, 2}));
}

}  // namespace
}  // namespace trirotor::cli
