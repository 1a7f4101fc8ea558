// SPDX-License-Identifier: MIT
//
// inspect_test.cpp - InspectMessage on messages whose every fact is known
// from how they were made, whole and damaged, and on code tables that are
// not prefix-free or not complete.

#include <algorithm>
#include <array>
#include <string>

#include "tests/damaged_messages.h"

namespace trirotor::test {
namespace {

// InspectMessage field by field on messages whose every fact is known from
// how they were made: the header, the texts, the encoder's code lengths.
TEST(Inspect, ReportsWhatEachStageSaw) {
  const std::string shortText = "Meet at noon.";
  const std::string longText = English(600);
  const ByteBuffer stored = SealedFrame(shortText);
  const ByteBuffer compressed = SealedFrame(longText);
  const CompressedLayout layout = Layout(longText);
  std::array<std::uint64_t, 256> counts{};
  for (unsigned char c : longText) ++counts[c];
  const CodeLengths lengths = HuffmanCodeLengths(counts);
  int values = 0, shortest = 99, longest = 0;
  std::uint8_t sum = 0;
  for (std::uint8_t l : lengths) {
    if (l == 0) continue;
    ++values;
    shortest = std::min<int>(shortest, l);
    longest = std::max<int>(longest, l);
  }
  for (unsigned char c : longText) sum ^= c;

  {
    SCOPED_TRACE("stored, whole, wrapped with junk");
    const std::string text = "~~" + Str(AsMessage(stored)) + "\n";
    const InspectReport r = InspectMessage(Bytes(text), kKey, kSuffix);
    EXPECT_EQ(r.characters, text.size());
    EXPECT_EQ(r.junk, 3u);
    ASSERT_EQ(r.commonJunk.size(), 2u);
    EXPECT_EQ(r.commonJunk[0], (std::pair<std::uint8_t, std::size_t>{'~', 2}));
    // 35 frame bytes: eleven groups and one of two bytes, padded once at place 4.
    EXPECT_EQ(r.bytes, 35u);
    EXPECT_EQ(r.digits, 47u);
    ASSERT_EQ(r.pads.size(), 1u);
    EXPECT_EQ(r.pads[0].at, text.size() - 2);
    EXPECT_EQ(r.pads[0].place, 4);
    EXPECT_EQ(r.unfinishedGroup, 0);
    EXPECT_EQ(r.headerLength, 16);
    EXPECT_TRUE(r.headerFits);
    EXPECT_EQ(r.headerPair, (std::array<int, 2>{1, 2}));
    EXPECT_EQ(r.trailerPair, (std::array<int, 2>{1, 2}));
    EXPECT_TRUE(r.frameChecks);
    EXPECT_EQ(r.kind, InspectReport::Kind::kStored);
    EXPECT_EQ(r.identification, Bytes(std::string_view("HE0\r")));
    EXPECT_EQ(r.storedBytes, shortText.size());
  }
  for (const std::size_t kept : {0u, 1u, 5u}) {
    // A stored container cut short: what salvage would give is the text
    // after the 4-byte identification, and inspect counts just that.
    SCOPED_TRACE("stored, cut to " + std::to_string(kept) + " bytes of text");
    const ByteBuffer cut(stored.begin(), stored.begin() + 16 + 4 + static_cast<std::ptrdiff_t>(kept));
    const InspectReport r = InspectMessage(AsMessage(cut), kKey, kSuffix);
    EXPECT_FALSE(r.frameChecks);
    EXPECT_EQ(r.salvageBytes, kept);
    EXPECT_EQ(r.salvageWouldRecover, kept > 0);
    EXPECT_EQ(SalvageBytes(AsMessage(cut), kKey, kSuffix).plain.size(), kept);
  }
  {
    SCOPED_TRACE("compressed, whole");
    const InspectReport r = InspectMessage(AsMessage(compressed), kKey, kSuffix);
    EXPECT_TRUE(r.frameChecks);
    EXPECT_EQ(r.kind, InspectReport::Kind::kCompressed);
    EXPECT_EQ(r.checksumStored, sum);
    EXPECT_EQ(r.checksumComputed, sum);
    EXPECT_EQ(r.plainLength, 600);
    EXPECT_EQ(r.entryCount, values);
    EXPECT_EQ(r.codeValues, values);
    EXPECT_EQ(r.shortestCode, shortest);
    EXPECT_EQ(r.longestCode, longest);
    EXPECT_TRUE(r.prefixFree);
    EXPECT_TRUE(r.codeComplete);
    EXPECT_EQ(r.dataBitsNeeded, layout.bitsAfter.back());
    EXPECT_EQ(r.dataBitsPresent, (compressed.size() - 16 - 2 - layout.dataAt) * 8);
    EXPECT_TRUE(r.decodingComplete);
    EXPECT_EQ(r.decodedBytes, 600u);
    EXPECT_FALSE(r.salvageWouldRecover);
  }
  {
    SCOPED_TRACE("compressed, cut in the data");
    const std::size_t cut = 16 + layout.dataAt + 100;
    const InspectReport r =
        InspectMessage(AsMessage(ByteBuffer(compressed.begin(), compressed.begin() + cut)), kKey, kSuffix);
    EXPECT_FALSE(r.frameChecks);
    EXPECT_EQ(r.checksumComputed, -1);
    EXPECT_FALSE(r.decodingComplete);
    EXPECT_EQ(r.decodedBytes, layout.Whole(cut - 16));
    EXPECT_EQ(r.dataBitsPresent, 800u);
    EXPECT_EQ(r.dataBitsNeeded, layout.bitsAfter[r.decodedBytes] + (600 - r.decodedBytes) * shortest);
    EXPECT_EQ(r.stoppedBecause, "the data ends");
    EXPECT_TRUE(r.salvageWouldRecover);
    EXPECT_EQ(r.salvageBytes, layout.Whole(cut - 16));
  }
  {
    SCOPED_TRACE("wrong key");
    const InspectReport r = InspectMessage(AsMessage(stored), u"not it", kSuffix);
    EXPECT_FALSE(r.frameChecks);
    EXPECT_FALSE(r.salvageWouldRecover);
    EXPECT_EQ(r.bytes, 35u);
  }
  {
    SCOPED_TRACE("no key: the base64 layer only");
    const InspectReport r = InspectMessage(Bytes(std::string_view("QUJD RA")));
    EXPECT_FALSE(r.keyed);
    EXPECT_EQ(r.digits, 6u);
    EXPECT_EQ(r.junk, 1u);
    EXPECT_EQ(r.unfinishedGroup, 2);
    EXPECT_EQ(r.bytes, 3u);
    EXPECT_EQ(r.kind, InspectReport::Kind::kNone);
  }
}

// A code table that is neither prefix-free nor complete is reported so.
TEST(Inspect, FaultyCodeTable) {
  struct Case {
    const char* name;
    ByteBuffer container;
    bool prefixFree, complete;
  };
  // clang-format off
  const Case cases[] = {
      // 'a' = 0, 'b' = 1: the only sound case.
      {"sound", ByteWriter().Str("HE3\r").U8('a' ^ 'b').I32(2).I16(2).U8s({'a', 1, 'b', 1}).U8(0b10).U8(0b10).bytes(), true, true},
      // 'a' = 0, 'b' = 01: 'a' begins 'b'.
      {"prefix", ByteWriter().Str("HE3\r").U8(0).I32(1).I16(2).U8s({'a', 1, 'b', 2}).U8(0b100).U8(0).bytes(), false, false},
      // 'a' = 0 alone: half the code space unused.
      {"incomplete", ByteWriter().Str("HE3\r").U8('a').I32(1).I16(1).U8s({'a', 1}).U8(0).U8(0).bytes(), true, false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InitCipher(kKey, kSuffix);
    ByteBuffer frame = Frame(c.container, 0x01, 0x02);
    EncryptBuffer(frame);
    const InspectReport r = InspectMessage(AsMessage(frame), kKey, kSuffix);
    ASSERT_TRUE(r.tableWhole);
    EXPECT_EQ(r.prefixFree, c.prefixFree);
    EXPECT_EQ(r.codeComplete, c.complete);
  }
}

}  // namespace
}  // namespace trirotor::test
