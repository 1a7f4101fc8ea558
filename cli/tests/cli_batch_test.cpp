// SPDX-License-Identifier: MIT
//
// cli_batch_test.cpp - `trirotor decode|encode --jsonl` as a program that
// feeds it sees it: one answer per record in input order even when a later
// chunk finishes first, ids echoed as they came, one record's engine state
// never leaking into the next on the same worker, an answer as soon as its
// record has arrived, the exit status and summary, and memory that does not
// grow with -j. Each test runs the built tool in a child process.

#ifdef TRIROTOR_CLI

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/internal.h"
#include "engine/trirotor.h"
#include "testing/run_tool.h"
#include "tests/test_util.h"

namespace trirotor {
namespace {

using namespace internal;
namespace fs = std::filesystem;
using Json = nlohmann::json;

using test::Outcome;
using test::RunTool;
using test::Narrow;
using test::UnknownVersion;
using test::WithBadChecksum;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

constexpr FrameHeader kHeader = {0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 0x5C, 0xC5};
const std::string kNoMessage = "no message in the input (it has fewer than 4 characters)";

std::string Sealed(const ByteBuffer& container, std::u16string_view key) {
  return Narrow(test::SealContainer(container, key));  // one line
}

class CliBatchTest : public test::ToolTest {};

/// What each line gets ///

// The lines of one run with their exact answers, under -j 1 (each record
// follows the one before on the same worker and engine) and -j 2.
TEST_F(CliBatchTest, AnswersEveryRecordExactly) {
  const std::string good = Narrow(EncodeText(u"fine", u"k", u"s", kHeader, 0));
  const std::string fine = R"({"id":0,"text":"fine"})";
  const std::string withDefaultSuffix = Narrow(EncodeText(u"plain", u"k", u"s", kHeader, 0));
  const std::string lookAlike = Narrow(EncodeText(u"fine", u"lock", u"s", kHeader, 0));
  std::string fullwidth;  // each base64 character as its fullwidth form, escaped
  for (const char c : good) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04X", 0xFF01 + static_cast<unsigned char>(c) - '!');
    fullwidth += escape;
  }
  struct Case {
    const char* name;
    std::string line;
    std::optional<std::string> answer;  // none: no answer line at all
  };
  // clang-format off
  const Case cases[] = {
      {"text", R"({"id":"a","message":")" + good + "\"}", R"({"id":"a","text":"fine"})"},
      {"record's own key and suffix", R"({"id":2,"message":")" + good + R"(","key":"k","suffix":"s"})",
       R"({"id":2,"text":"fine"})"},
      {"wrong key", R"({"id":3,"message":")" + good + R"(","key":"x"})",
       R"j({"id":3,"last_error":33,"error":"Failed decoding the text (Error 33)"})j"},
      // LastError 33 from the record before must not leak into this one.
      {"after a frame failure", R"({"id":0,"message":")" + good + "\"}", fine},
      {"checksum", R"({"id":4,"suffix":"","message":")" + Sealed(WithBadChecksum("sum sum sum sum"), u"k") + "\"}",
       R"({"id":4,"text":"sum sum sum sum","last_error":5})"},
      // LastError 5 from the record before must not leak into this one.
      {"after a checksum failure", R"({"id":0,"message":")" + good + "\"}", fine},
      {"engine error", R"({"id":5,"suffix":"","message":")" + Sealed(UnknownVersion(), u"k") + "\"}",
       R"j({"id":5,"error":{"number":-2147221504,"source":"HuffmanDecode()","description":"The data either was )j"
       R"j(not compressed with HE3 or is corrupt (identification string not found)"}})j"},
      {"after an engine error", R"({"id":0,"message":")" + good + "\"}", fine},
      // Ids come back as the JSON text they came as.
      {"id beyond 64 bits", R"({"id":12345678901234567890123,"message":")" + good + "\"}",
       R"({"id":12345678901234567890123,"text":"fine"})"},
      {"id with trailing zero", R"({"id": 1.50 ,"message":")" + good + "\"}", R"({"id":1.50,"text":"fine"})"},
      {"id with escapes", R"({"id":"\u00e9\n","message":")" + good + "\"}", R"({"id":"\u00e9\n","text":"fine"})"},
      {"compound id", R"({"id":{"a": [1, 2e5]},"message":")" + good + "\"}",
       R"({"id":{"a": [1, 2e5]},"text":"fine"})"},
      {"the last of two ids", R"({"id":1,"id":2,"message":")" + good + "\"}", R"({"id":2,"text":"fine"})"},
      {"null key and suffix are absent", R"({"id":6,"key":null,"suffix":null,"message":")" + withDefaultSuffix + "\"}",
       R"({"id":6,"text":"plain"})"},
      {"blank", "", std::nullopt},
      {"white space only", " \t\r", std::nullopt},
      {"line ending in CR", R"({"id":7,"message":")" + good + "\"}\r", R"({"id":7,"text":"fine"})"},
      {"not JSON", "{\"id\": 6,", R"({"id":null,"line":18,"error":"line 18: not valid JSON at byte offset 9"})"},
      {"bad UTF-8", "{\"id\": \"ok\", \"x\": \"\xC3\x28\"}",
       R"({"id":null,"line":19,"error":"line 19: not valid JSON: bad UTF-8 at byte offset 19"})"},
      {"lone surrogate", R"({"id": "\udc00"})",
       R"({"id":null,"line":20,"error":"line 20: not valid JSON: a lone surrogate \\udc00 at byte offset 8"})"},
      {"high surrogate without its pair", R"({"id": 1, "x": "a\ud834b"})",
       R"({"id":null,"line":21,"error":"line 21: not valid JSON: a lone surrogate \\ud834 at byte offset 17"})"},
      {"a flaw in a field nobody reads", R"({"id": 1, "x": [1,,2], "message":")" + good + "\"}",
       R"({"id":null,"line":22,"error":"line 22: not valid JSON at byte offset 18"})"},
      {"not an object", "[1, 2]", R"({"id":null,"line":23,"error":"line 23: not a JSON object"})"},
      // Brackets that do not match inside an id must not come back as broken output.
      {"mismatched brackets in the id", R"({"id":[1,"a":"x"}],"message":")" + good + "\"}",
       R"({"id":null,"line":24,"error":"line 24: not valid JSON at byte offset 12"})"},
      {"escaped field name", R"({"\u0069d":"e","message":")" + good + "\"}", R"({"id":"e","text":"fine"})"},
      {"no message", R"({"id": 8, "text": "x"})", R"({"id":8,"line":26,"error":"line 26: no \"message\" string"})"},
      {"key not a string", R"({"id":9,"key":1,"message":")" + good + "\"}",
       R"({"id":9,"line":27,"error":"line 27: \"key\" is not a string"})"},
      {"no id", R"({"message":")" + good + "\"}", R"({"id":null,"line":28,"error":"line 28: no \"id\""})"},
      {"empty key", R"({"id":11,"key":"","message":")" + good + "\"}",
       R"({"id":11,"line":29,"error":"line 29: the key is empty"})"},
      // Deep enough to overflow the stack of a recursive JSON reader.
      {"nested too deep", std::string(200000, '[') + std::string(200000, ']'),
       R"({"id":null,"line":30,"error":"line 30: nested more than 64 levels deep"})"},
      {"nested 64 deep", R"({"id":)" + std::string(63, '[') + std::string(63, ']') + R"(,"message":")" + good + "\"}",
       R"({"id":)" + std::string(63, '[') + std::string(63, ']') + R"(,"text":"fine"})"},
      {"nested 65 deep", R"({"id":)" + std::string(64, '[') + std::string(64, ']') + "}",
       R"({"id":null,"line":32,"error":"line 32: nested more than 64 levels deep"})"},
      {"brackets inside a string", R"({"id":13,"message":")" + std::string(100, '[') + "\"}",
       R"j({"id":13,"last_error":33,"error":"Failed decoding the text (Error 33)"})j"},
      // String bodies are crossed a block at a time: a stop deep in a long one.
      {"a tab deep in a long string", R"({"id":")" + std::string(40, 'a') + "\t\"}",
       R"({"id":null,"line":34,"error":"line 34: not valid JSON at byte offset 47"})"},
      {"an escaped quote deep in a long id", R"({"id":")" + std::string(40, 'a') + R"(\"b","message":")" + good + "\"}",
       R"({"id":")" + std::string(40, 'a') + R"(\"b","text":"fine"})"},
      // Windows writes 'l' for 'ł' under 1252; the legacy program keyed with it.
      {"a record's key taken as Windows' look-alikes", R"({"id":36,"message":")" + lookAlike + R"(","key":"\u0142\uFF4F\u010Dk"})",
       R"({"id":36,"text":"fine"})"},
      {"a message written in fullwidth digits", R"({"id":37,"message":")" + fullwidth + "\"}", R"({"id":37,"text":"fine"})"},
      // The engine takes under four UTF-16 units for no message and says
      // nothing; the record must fail as the tool does.
      {"empty message", R"({"id":38,"message":""})", R"({"id":38,"line":38,"error":"line 38: )" + kNoMessage + "\"}"},
      {"three characters", R"({"id":39,"message":"abc"})", R"({"id":39,"line":39,"error":"line 39: )" + kNoMessage + "\"}"},
      {"two characters in four bytes", R"({"id":40,"message":"\u00e9\u00e9"})",
       R"({"id":40,"line":40,"error":"line 40: )" + kNoMessage + "\"}"},
      {"three characters in nine bytes", "{\"id\":41,\"message\":\"\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\"}",
       R"({"id":41,"line":41,"error":"line 41: )" + kNoMessage + "\"}"},
      // Beyond U+FFFF a character is two units: four units are a message.
      {"two characters beyond U+FFFF", R"({"id":42,"message":"\ud83d\ude00\ud83d\ude00"})",
       R"j({"id":42,"last_error":33,"error":"Failed decoding the text (Error 33)"})j"},
      {"four characters", R"({"id":43,"message":"abcd"})",
       R"j({"id":43,"last_error":33,"error":"Failed decoding the text (Error 33)"})j"},
      {"after a short message", R"({"id":0,"message":")" + good + "\"}", fine},
      // Overlong forms of '/' and of U+007F.
      {"overlong two bytes", "{\"id\":1,\"x\":\"\xC0\xAF\"}",
       R"({"id":null,"line":45,"error":"line 45: not valid JSON: bad UTF-8 at byte offset 13"})"},
      {"overlong two bytes from C1", "{\"id\":1,\"x\":\"\xC1\xBF\"}",
       R"({"id":null,"line":46,"error":"line 46: not valid JSON: bad UTF-8 at byte offset 13"})"},
      {"overlong three bytes", "{\"id\":1,\"x\":\"\xE0\x80\xAF\"}",
       R"({"id":null,"line":47,"error":"line 47: not valid JSON: bad UTF-8 at byte offset 13"})"},
      {"overlong four bytes", "{\"id\":1,\"x\":\"\xF0\x80\x80\xAF\"}",
       R"({"id":null,"line":48,"error":"line 48: not valid JSON: bad UTF-8 at byte offset 13"})"},
      {"an encoded surrogate", "{\"id\":1,\"x\":\"\xED\xA0\x80\"}",
       R"({"id":null,"line":49,"error":"line 49: not valid JSON: bad UTF-8 at byte offset 13"})"},
      // A high surrogate escape must be followed by a low one, not any escape.
      {"high surrogate, then a plain escape", R"({"id":1,"x":"\ud834\u0041"})",
       R"({"id":null,"line":50,"error":"line 50: not valid JSON: a lone surrogate \\ud834 at byte offset 13"})"},
      {"high surrogate, then another high one", R"({"id":1,"x":"\ud834\ud834"})",
       R"({"id":null,"line":51,"error":"line 51: not valid JSON: a lone surrogate \\ud834 at byte offset 13"})"},
      {"high surrogate, then \\n", R"({"id":1,"x":"\ud834\n"})",
       R"({"id":null,"line":52,"error":"line 52: not valid JSON: a lone surrogate \\ud834 at byte offset 13"})"},
      {"high surrogate in an array", R"({"id":["\ud834\u00e9"]})",
       R"({"id":null,"line":53,"error":"line 53: not valid JSON: a lone surrogate \\ud834 at byte offset 8"})"},
      // An unterminated string is reported where it starts, wherever it is.
      {"unterminated field value", R"({"id":1,"x":"abc)",
       R"({"id":null,"line":54,"error":"line 54: not valid JSON: a string that does not end, from byte offset 12"})"},
      {"unterminated field name", R"({"id":1,"mess)",
       R"({"id":null,"line":55,"error":"line 55: not valid JSON: a string that does not end, from byte offset 8"})"},
      {"unterminated string in an array", R"({"id":[1,"abc)",
       R"({"id":null,"line":56,"error":"line 56: not valid JSON: a string that does not end, from byte offset 9"})"},
      {"unterminated string in a nested object", R"({"id":{"a":"bc)",
       R"({"id":null,"line":57,"error":"line 57: not valid JSON: a string that does not end, from byte offset 11"})"},
      {"unterminated long string", R"({"id":")" + std::string(40, 'a'),
       R"({"id":null,"line":58,"error":"line 58: not valid JSON: a string that does not end, from byte offset 6"})"},
      {"a string cut after its backslash", R"({"id":["ab\)",
       R"({"id":null,"line":59,"error":"line 59: not valid JSON: a string that does not end, from byte offset 7"})"},
      {"a string cut inside \\u", R"({"id":"ab\u00)",
       R"({"id":null,"line":60,"error":"line 60: not valid JSON: a string that does not end, from byte offset 6"})"},
  };
  // clang-format on
  std::string input;
  std::vector<std::string> expected;
  std::vector<const char*> names;
  for (const Case& c : cases) {
    input += c.line + "\n";
    if (!c.answer) continue;
    expected.push_back(*c.answer);
    names.push_back(c.name);
  }
  input.pop_back();  // the last line may lack its line end
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("-j ") + jobs);
    const Outcome got = RunTool(
        TRIROTOR_CLI, {.args = {"decode", "--jsonl", "--key", "k", "--suffix", "s", "-j", jobs}, .input = input});
    EXPECT_EQ(got.status, 3) << got.err;
    const std::vector<std::string> lines = SplitLines(got.out);
    ASSERT_EQ(lines.size(), expected.size()) << got.out;
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << names[i];
  }
}

// Answers carry the text in the JSON form the tool has always written; every
// byte of the code page goes through the escape table, checked here against
// an independent JSON writer.
TEST_F(CliBatchTest, WritesEveryByteOfTheCodePage) {
  for (const int page : {1252, 1251, 28591}) {
    SCOPED_TRACE(page);
    platform::SetCodePage(page);
    ByteBuffer all(256);
    for (int b = 0; b < 256; ++b) all[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(b);
    const std::u16string text = platform::BytesToText(all);
    const std::string message = Narrow(EncodeText(text, u"k", u"", kHeader, 0));
    const Outcome got =
        RunTool(TRIROTOR_CLI, {.args = {"decode", "--jsonl", "--key", "k", "--codepage", std::to_string(page)},
                               .input = R"({"id":1,"message":")" + message + "\"}\n"});
    ASSERT_EQ(got.status, 0) << got.err;
    // The reference: nlohmann-json reads the text as \u escapes and writes it.
    std::string escaped = "\"";
    for (char16_t unit : text) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(unit));
      escaped += hex;
    }
    const Json reference = {{"id", 1}, {"text", Json::parse(escaped + "\"")}};
    EXPECT_EQ(got.out, reference.dump() + "\n");
  }
}

// A byte-order mark opens a file, as editors on Windows write one: it is
// dropped there and nowhere else, and offsets count from after it.
TEST_F(CliBatchTest, DropsAByteOrderMarkAtTheStartOfTheFile) {
  const std::string bom = "\xEF\xBB\xBF";
  const std::string record = R"({"id":1,"message":")" + Narrow(EncodeText(u"fine", u"k", u"", kHeader, 0)) + "\"}";
  struct Case {
    const char* name;
    std::string input;
    std::string out;
    int status;
  };
  // clang-format off
  const Case cases[] = {
      {"before the first record", bom + record + "\n", "{\"id\":1,\"text\":\"fine\"}\n", 0},
      {"without a line end", bom + record, "{\"id\":1,\"text\":\"fine\"}\n", 0},
      {"on a line of its own", bom + "\n" + record + "\n", "{\"id\":1,\"text\":\"fine\"}\n", 0},
      {"alone", bom, "", 0},
      {"before a line that is not JSON", bom + "{\"id\":\n",
       R"({"id":null,"line":1,"error":"line 1: not valid JSON at byte offset 6"})" "\n", 3},
      {"on the second line", record + "\n" + bom + record + "\n",
       "{\"id\":1,\"text\":\"fine\"}\n" R"({"id":null,"line":2,"error":"line 2: not valid JSON at byte offset 0"})" "\n",
       3},
      {"twice", bom + bom + record + "\n",
       R"({"id":null,"line":1,"error":"line 1: not valid JSON at byte offset 0"})" "\n", 3},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got =
        RunTool(TRIROTOR_CLI, {.args = {"decode", "--jsonl", "--quiet", "--key", "k"}, .input = c.input});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.out);
  }
}

// With a key ring, each record is tried afresh: a record that no key opens,
// one with a wrong key of its own, one too short to be a message and one
// with a checksum mismatch must not stop the ring from opening the next,
// on the same worker and engine.
TEST_F(CliBatchTest, KeyRingOpensEveryRecordAfterAFailedOne) {
  const std::string ring = File("ring.txt", "# old\nalpha\n\n# usual\nmill-pond\tsfx\n");
  const std::string opened = Narrow(EncodeText(u"opened", u"mill-pond", u"sfx", kHeader, 0));
  const std::string stranger = Narrow(EncodeText(u"stranger", u"nobody", u"", kHeader, 0));
  const std::string ofAlpha = Narrow(EncodeText(u"alpha's", u"alpha", u"", kHeader, 0));
  const std::string checksum = Narrow(test::SealContainer(WithBadChecksum("sum sum sum sum"), u"mill-pond", u"sfx"));
  const std::string ok = R"({"id":0,"keyring_line":5,"text":"opened"})";
  struct Case {
    std::string line;
    std::string answer;
  };
  // clang-format off
  const Case cases[] = {
      {R"({"id":0,"message":")" + opened + "\"}", ok},
      {R"({"id":1,"message":")" + stranger + "\"}",
       R"({"id":1,"line":2,"error":"line 2: none of the 2 keys of the key ring opens the message"})"},
      {R"({"id":0,"message":")" + opened + "\"}", ok},
      {R"({"id":2,"message":")" + opened + R"(","key":"wrong"})",
       R"j({"id":2,"last_error":33,"error":"Failed decoding the text (Error 33)"})j"},
      {R"({"id":0,"message":")" + opened + "\"}", ok},
      {R"({"id":3,"message":"ab"})", R"({"id":3,"line":6,"error":"line 6: )" + kNoMessage + "\"}"},
      {R"({"id":0,"message":")" + opened + "\"}", ok},
      {R"({"id":4,"message":")" + checksum + "\"}", R"({"id":4,"keyring_line":5,"text":"sum sum sum sum","last_error":5})"},
      {R"({"id":0,"message":")" + opened + "\"}", ok},
      {R"({"id":5,"message":")" + ofAlpha + "\"}", R"({"id":5,"keyring_line":2,"text":"alpha's"})"},
      {R"({"id":0,"message":")" + opened + "\"}", ok},
  };
  // clang-format on
  std::string input;
  for (const Case& c : cases) input += c.line + "\n";
  const Outcome got =
      RunTool(TRIROTOR_CLI, {.args = {"decode", "--jsonl", "-j", "1", "--keyring", ring}, .input = input});
  EXPECT_EQ(got.status, 3) << got.err;
  const std::vector<std::string> lines = SplitLines(got.out);
  ASSERT_EQ(lines.size(), std::size(cases)) << got.out;
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], cases[i].answer) << "line " << i + 1;
}

// Batch answers copy eight plain bytes at a time and take the escape table
// for a word with anything else in it: every byte that needs more than
// itself, at every offset within and across those words and in the tail,
// must come out as an independent JSON writer has it.
TEST_F(CliBatchTest, AnswersEscapeAtEveryOffset) {
  platform::SetCodePage(1252);
  const std::uint8_t needsMore[] = {'"', '\\', '\n', 0x01, 0x1F, 0x7F, 0x80, 0xE9, 0xFF};
  std::string input;
  std::vector<std::string> expected;
  for (const std::uint8_t special : needsMore) {
    for (std::size_t at = 0; at < 19; ++at) {
      ByteBuffer plain(19);
      for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>('a' + i);
      plain[at] = special;
      const std::u16string text = platform::BytesToText(plain);
      const std::u16string message = EncodeText(text, u"k", u"", FrameHeader{}, 0);
      const auto id = expected.size();
      input +=
          "{\"id\":" + std::to_string(id) + ",\"message\":\"" + std::string(message.begin(), message.end()) + "\"}\n";
      // The reference: nlohmann-json reads the text as \u escapes and writes it.
      std::string escaped = "\"";
      for (char16_t unit : text) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(unit));
        escaped += hex;
      }
      expected.push_back(Json{{"id", id}, {"text", Json::parse(escaped + "\"")}}.dump());
    }
  }
  const Outcome got = RunTool(
      TRIROTOR_CLI, {.args = {"decode", "--jsonl", "--quiet", "--key", "k", "--codepage", "1252"}, .input = input});
  ASSERT_EQ(got.status, 0) << got.err;
  std::istringstream out(got.out);
  std::size_t n = 0;
  for (std::string line; std::getline(out, line); ++n) {
    ASSERT_LT(n, expected.size());
    EXPECT_EQ(line, expected[n]);
  }
  EXPECT_EQ(n, expected.size());
}

/// Exit status and summary ///

TEST_F(CliBatchTest, ExitStatusAndSummary) {
  const std::string good = R"({"id":1,"message":")" + Narrow(EncodeText(u"ok", u"k", u"", kHeader, 0)) + "\"}\n";
  const std::string bad = R"({"id":2,"message":")" + Narrow(EncodeText(u"ok", u"other", u"", kHeader, 0)) + "\"}\n";
  const std::string checksum = R"({"id":3,"message":")" + Sealed(WithBadChecksum("sum sum sum sum"), u"k") + "\"}\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int status;
    const char* err;  // all of standard error
  };
  const std::string unwritable = Path("no-such-dir/out.jsonl").string();
  const Case cases[] = {
      {"every record answered", {}, good + "\n" + good, 0, "trirotor: 2 records, 0 failed\n"},
      {"one frame failure", {}, good + bad, 3, "trirotor: 2 records, 1 failed\n"},
      {"a checksum mismatch fails its record", {}, checksum + good, 3, "trirotor: 2 records, 1 failed\n"},
      {"a line that is not JSON", {}, "nope\n" + good, 3, "trirotor: 2 records, 1 failed\n"},
      {"nothing but blank lines", {}, "\n\n  \n", 0, "trirotor: 0 records, 0 failed\n"},
      {"one record is one record", {}, good, 0, "trirotor: 1 record, 0 failed\n"},
      {"quiet", {"--quiet"}, good + bad, 3, ""},
      {"unreadable input", {Path("missing.jsonl").string()}, "", 2, nullptr},
      {"unwritable output", {"-o", unwritable}, good, 2, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"decode", "--jsonl", "--key", "k"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = args, .input = c.input});
    EXPECT_EQ(got.status, c.status) << got.err;
    if (c.err) {
      EXPECT_EQ(got.err, c.err);
    }
  }
}

/// Encoding ///

std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> out;
  for (const std::string& line : SplitLines(text)) out.push_back(Json::parse(line));
  return out;
}

TEST_F(CliBatchTest, EncodeFeedsDecode) {
  std::string input;
  for (int i = 0; i < 50; ++i) {
    input += Json{{"id", i}, {"text", "record " + std::to_string(i) + " \xe2\x82\xac"}, {"suffix", std::to_string(i)}}
                 .dump() +
             "\n";
  }
  input += R"({"id": "lost", "text": "\u0100"})"
           "\n";
  // A key the code page cannot hold would seal as '?': its record is refused.
  input += R"({"id": "weak", "text": "x", "key": "\u65e5"})"
           "\n";
  const Outcome sealed = RunTool(TRIROTOR_CLI, {.args = {"encode", "--jsonl", "--key", "k"}, .input = input});
  EXPECT_EQ(sealed.status, 3) << sealed.err;  // the last two records cannot be sealed
  EXPECT_EQ(sealed.err, "trirotor: 52 records, 2 failed\n");
  std::vector<Json> messages = JsonLines(sealed.out);
  ASSERT_EQ(messages.size(), 52u);
  EXPECT_EQ(
      messages[50]["error"],
      "line 51: \"text\" line 1, column 1: U+0100 '\xc4\x80' has no place in code page 1252 and would become 'A'");
  EXPECT_EQ(messages[51]["id"], "weak");
  EXPECT_NE(messages[51]["error"].get<std::string>().find("U+65E5"), std::string::npos) << messages[51];
  EXPECT_EQ(messages[0]["message"].get<std::string>().find('\n'), std::string::npos);  // one line each

  std::string again;
  for (int i = 0; i < 50; ++i) {
    messages[i]["suffix"] = std::to_string(i);
    again += messages[i].dump() + "\n";
  }
  const Outcome opened = RunTool(TRIROTOR_CLI, {.args = {"decode", "--jsonl", "--key", "k"}, .input = again});
  ASSERT_EQ(opened.status, 0) << opened.err;
  const std::vector<Json> texts = JsonLines(opened.out);
  ASSERT_EQ(texts.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(texts[i]["text"], "record " + std::to_string(i) + " \xe2\x82\xac");
}

/// Order, latency, memory ///

// A 2 MB record fills a chunk of its own and takes far longer than the small
// records after it, so a later chunk finishes first; its answers still wait.
TEST_F(CliBatchTest, KeepsInputOrderWhenALaterChunkFinishesFirst) {
  std::string big(1600000, 'x');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + (i * 2654435761u >> 7) % 26);
  std::string input =
      R"({"id":"big","message":")" + Narrow(EncodeText(test::Text(big), u"k", u"", kHeader, 0)) + "\"}\n";
  constexpr int kSmall = 600;
  for (int i = 0; i < kSmall; ++i) {
    input += R"({"id":)" + std::to_string(i) + R"(,"message":")" +
             Narrow(EncodeText(test::Text("n" + std::to_string(i)), u"k", u"", kHeader, 0)) + "\"}\n";
  }
  const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"decode", "--jsonl", "--key", "k", "-j", "3"}, .input = input});
  ASSERT_EQ(got.status, 0) << got.err;
  const std::vector<std::string> lines = SplitLines(got.out);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kSmall + 1));
  EXPECT_EQ(lines[0], R"({"id":"big","text":")" + big + "\"}");
  for (int i = 0; i < kSmall; ++i) {
    ASSERT_EQ(lines[i + 1], R"({"id":)" + std::to_string(i) + R"(,"text":"n)" + std::to_string(i) + "\"}");
  }
}

// A program that writes one record and waits for its answer before writing
// the next must get that answer while the input stays open.
TEST_F(CliBatchTest, AnswersARecordBeforeTheNextArrives) {
  const std::string message = Narrow(EncodeText(u"first", u"k", u"", kHeader, 0));
  // The second record goes down the pipe only once the first one's answer
  // has ended a line, and the input closes only once the second's has (the
  // empty answer); a tool that answers only at the end of its input is
  // killed after a minute of silence.
  const std::string first = R"({"id":1,"message":")" + message + "\"}\n";
  const std::string second = R"({"id":2,"message":")" + message + "\"}\n";
  const Outcome got = RunTool(
      TRIROTOR_CLI,
      {.args = {"decode", "--jsonl", "--key", "k", "--quiet"}, .input = first, .pipe = true, .answers = {second, ""}});
  EXPECT_EQ(got.answered, 2u);
  EXPECT_TRUE(got.inputWhole);
  const std::vector<std::string> lines = SplitLines(got.out);
  ASSERT_GE(lines.size(), 2u) << got.out;
  EXPECT_EQ(lines[0], R"({"id":1,"text":"first"})");
  EXPECT_EQ(lines[1], R"({"id":2,"text":"first"})");
  EXPECT_EQ(got.status, 0) << got.err;
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__has_feature)
#define TRIROTOR_PLAIN_MEMORY 1
#elif defined(__has_feature)
#if !__has_feature(address_sanitizer) && !defined(__SANITIZE_ADDRESS__)
#define TRIROTOR_PLAIN_MEMORY 1
#endif
#endif

#ifdef TRIROTOR_PLAIN_MEMORY
// The tool's own peak resident memory in KiB, through /usr/bin/time, which
// forks it from a small process (a child forked from this test would count
// this process's pages too); -1 when it did not run.
long ToolPeakKiB(std::vector<std::string> args, const std::string& input) {
  args.insert(args.begin(), {"-f", "%M", TRIROTOR_CLI});
  const Outcome got = RunTool("/usr/bin/time", {.args = args, .input = input});
  if (got.status != 0) {
    ADD_FAILURE() << got.err;
    return -1;
  }
  return std::stol(got.err);  // the tool is quiet: time's figure is all
}

// Six 16 MB records with six workers: only as many records as fit the
// budget are in flight at once, not one per worker (which took 500 MB).
TEST_F(CliBatchTest, MemoryDoesNotGrowWithWorkers) {
  if (!fs::exists("/usr/bin/time")) GTEST_SKIP() << "no /usr/bin/time to measure the tool with";
  std::string plain(12u << 20, '\0');
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(' ' + (i * 2654435761u >> 9) % 90);
  const std::string record = R"(,"message":")" + Narrow(EncodeText(test::Text(plain), u"k", u"", kHeader, 0)) + "\"}\n";
  std::string input;
  for (int i = 0; i < 6; ++i) input += R"({"id":)" + std::to_string(i) + record;
  // The budget, and one record at work: its line, its copy, its text and its answer.
  const long peak =
      ToolPeakKiB({"decode", "--jsonl", "--quiet", "--key", "k", "-j", "6", "-o", Path("out.jsonl").string()}, input);
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 160 * 1024);
}

// Text of `bytes` printable characters, '"' and '\\' among them, that
// compresses about as ordinary text does.
std::string Printable(std::size_t bytes) {
  std::string text(bytes, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(' ' + (i * 2654435761u >> 9) % 90);
  return text;
}

// Records too large for two to fit the budget, more of them than workers:
// with every worker holding on to what its largest record needed (each
// thread's allocator arena kept what it freed; the reader's resolved-escape
// copy of a text stayed with its worker), twelve workers took several times
// the memory of one. Peak memory must not depend on -j.
TEST_F(CliBatchTest, PeakMemoryDoesNotGrowWithWorkers) {
  if (!fs::exists("/usr/bin/time")) GTEST_SKIP() << "no /usr/bin/time to measure the tool with";
  constexpr int kRecords = 16;
  const std::string sealed = Narrow(EncodeText(test::Text(Printable(9u << 20)), u"k", u"", kHeader, 0));
  Json text = Printable(6u << 20);  // its quotes and backslashes are escaped in the line
  struct Case {
    const char* mode;
    std::string record;  // after the id
  };
  const Case cases[] = {
      {"decode", R"(,"message":")" + sealed + "\"}\n"},
      {"encode", R"(,"text":)" + text.dump() + "}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    std::string input;
    for (int i = 0; i < kRecords; ++i) input += R"({"id":)" + std::to_string(i) + c.record;
    long peak[2] = {};
    for (const int jobs : {1, 12}) {
      peak[jobs == 1 ? 0 : 1] = ToolPeakKiB(
          {c.mode, "--jsonl", "--quiet", "--key", "k", "-j", std::to_string(jobs), "-o", Path("out.jsonl").string()},
          input);
    }
    ASSERT_GT(peak[0], 0);
    EXPECT_LT(peak[1], peak[0] + peak[0] / 4) << "-j 1: " << peak[0] << " KiB, -j 12: " << peak[1] << " KiB";
  }
}

// The peak resident memory (VmHWM) of process `pid`, in KiB, or -1.
long PeakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Nobody reads the answers: the tool must stop reading once the records
// read and not yet written fill its budget, every one of them counted, the
// answers waiting to be written too. Without the budget it would read all
// 240 MB; with it, it holds the 64 MiB budget and the records at work.
TEST_F(CliBatchTest, BudgetHoldsWhileNobodyReadsTheOutput) {
  constexpr int kRecords = 60;
  const std::string record =
      R"(,"message":")" + Narrow(EncodeText(test::Text(Printable(3u << 20)), u"k", u"", kHeader, 0)) + "\"}\n";
  std::string input;
  for (int i = 0; i < kRecords; ++i) input += R"({"id":)" + std::to_string(i) + record;
  const std::string inputPath = File("in.jsonl", input);
  input = std::string();

  int answers[2];
  ASSERT_EQ(::pipe2(answers, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, answers[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // Enough workers that the number of chunks in flight is no limit of its own.
  std::vector<std::string> args = {TRIROTOR_CLI, "decode", "--jsonl", "--key", "k", "-j", "24"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, TRIROTOR_CLI, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(answers[1]);
  ASSERT_EQ(spawned, 0);

  // Wait until the peak has stood still for two seconds (a minute at most).
  long peak = PeakResidentKiB(pid);
  int still = 0;
  for (int tick = 0; tick < 600 && still < 20; ++tick) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long now = PeakResidentKiB(pid);
    still = now == peak ? still + 1 : 0;
    peak = now;
  }
  int status = 0;
  const bool running = ::waitpid(pid, &status, WNOHANG) == 0;
  ::kill(pid, SIGKILL);
  if (running) ::waitpid(pid, &status, 0);
  ::close(answers[0]);
  ASSERT_TRUE(running) << "the tool ended while its answers were not read";
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 120 * 1024) << "peak " << peak << " KiB";
}
#endif

}  // namespace
}  // namespace trirotor

#endif  // TRIROTOR_CLI
