// SPDX-License-Identifier: MIT
//
// records_test.cpp - the records library in process: key ring lines, and
// the record scanner's block paths held to its plain one.
//
// The scanner crosses string bodies sixteen bytes at a time and then eight;
// a stop byte ('"', '\\' or a control) at each place in and around a block
// must end the run exactly where the byte-at-a-time scan ends it. The tool's
// black-box tests (cli_batch_test.cpp) keep what only a process shows.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "records/records.h"

namespace trirotor::records {
namespace {

struct Reading {
  bool ok = false;
  std::string problem, input;
};

Reading ReadLine(std::string_view line, bool blocks) {
  internal::SetBlockScanning(blocks);
  RecordReader reader("message");
  RecordFields fields;
  Reading r;
  r.ok = reader.Read(line, fields, r.problem);
  if (r.ok && fields.input) r.input = std::string(*fields.input);
  internal::SetBlockScanning(true);
  return r;
}

TEST(Records, BlockScanAgreesWithThePlainScanAroundEveryBlockEdge) {
  struct Case {
    const char* name;
    std::string stop;  // what stands at the place tried
    bool valid;        // whether the line is a record
  };
  const Case cases[] = {
      {"a quote ends the body early", "\"", false},
      {"an escaped quote", "\\\"", true},
      {"an escaped backslash", "\\\\", true},
      {"a unicode escape", "\\u00e9", true},
      {"a raw tab", "\t", false},
      {"a raw NUL", std::string(1, '\0'), false},
      {"a bad escape", "\\x", false},
      {"a lone surrogate escape", "\\ud800", false},
      {"UTF-8 of two bytes", "\xC3\xA9", true},
  };
  for (const Case& c : cases) {
    for (std::size_t at = 0; at <= 40; ++at) {
      SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(at));
      const std::string body = std::string(at, 'a') + c.stop + std::string(37, 'b');
      const std::string line = "{\"message\":\"" + body + "\",\"key\":\"k\"}";
      const Reading blocks = ReadLine(line, true);
      const Reading plain = ReadLine(line, false);
      EXPECT_EQ(blocks.ok, c.valid) << blocks.problem;
      EXPECT_EQ(blocks.ok, plain.ok);
      EXPECT_EQ(blocks.problem, plain.problem);
      EXPECT_EQ(blocks.input, plain.input);
    }
  }
}

TEST(Records, KeyRingLines) {
  struct Case {
    const char* name;
    std::u16string text;
    std::vector<RingEntry> want;
  };
  // clang-format off
  const Case cases[] = {
      {"keys, a suffix after a TAB, CRLF", u"alpha\tsuffix\r\nbeta\n", {{1, u"alpha", u"suffix", ""}, {2, u"beta", u"", ""}}},
      {"a comment names the key below it only", u"# work\n\n#   home box\ngamma\ndelta", {{4, u"gamma", u"", "home box"}, {5, u"delta", u"", ""}}},
      {"a second TAB stays in the suffix", u"k\ts\tt", {{1, u"k", u"s\tt", ""}}},
      {"a key's own '#' after its start", u"a#b", {{1, u"a#b", u"", ""}}},
      {"only comments and blanks", u"# none\n\r\n", {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<RingEntry> got = ParseKeyRing(c.text);
    ASSERT_EQ(got.size(), c.want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].line, c.want[i].line);
      EXPECT_EQ(got[i].key, c.want[i].key);
      EXPECT_EQ(got[i].suffix, c.want[i].suffix);
      EXPECT_EQ(got[i].comment, c.want[i].comment);
    }
  }
}

TEST(Records, KeyRingLineWithoutAKeyNamesItsLine) {
  try {
    ParseKeyRing(u"a\n\n\tsuffix only\n");
    FAIL() << "an empty key was taken";
  } catch (const RingError& error) {
    EXPECT_STREQ(error.what(), "line 3 of the key ring has an empty key");
  }
}

}  // namespace
}  // namespace trirotor::records
