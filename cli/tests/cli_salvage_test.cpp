// SPDX-License-Identifier: MIT
//
// cli_salvage_test.cpp - decode --salvage as scripts see it: on the shipped
// examples cut short, with a signature after them, whole, and under a wrong
// key; exit statuses, the text written and the warning line.

#ifdef TRIROTOR_CLI

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing/run_tool.h"
#include "tests/test_util.h"

namespace trirotor {
namespace {

namespace fs = std::filesystem;

using test::Outcome;
using test::RunTool;
using test::ReadFile;

const fs::path kExamples = fs::path(TRIROTOR_SOURCE_DIR) / "examples";

TEST(CliSalvage, DamagedCopiesOfTheShippedExamples) {
  const std::string longMessage = ReadFile(kExamples / "long.b64");
  const std::string longText = ReadFile(kExamples / "long.txt");
  const std::string helloMessage = ReadFile(kExamples / "hello.b64");
  const std::string helloText = ReadFile(kExamples / "hello.txt");
  const std::string longKey = (kExamples / "long.key").string();
  const std::string helloKey = (kExamples / "hello.key").string();
  const std::string signature = "-- \nSent from my phone\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int status;
    const std::string* text;  // the text the output must be a beginning of
    std::size_t atLeast;      // bytes of output at least
    bool whole;               // the output is the whole text
    const char* errHas;
  };
  // clang-format off
  const Case cases[] = {
      {"compressed, cut in half", {"--key-file", longKey, "--salvage"}, longMessage.substr(0, 116000), 4,
       &longText, 150000, false, " of 320565 bytes (the data ends); the text is not verified"},
      {"compressed, cut, no --salvage", {"--key-file", longKey}, longMessage.substr(0, 116000), 3, &longText, 0,
       false, "wrong key or key suffix"},
      {"compressed, signature after it", {"--key-file", longKey, "--salvage"}, longMessage + signature, 4,
       &longText, 0, true, "salvaged 320565 of 320565 bytes (their checksum agrees)"},
      {"compressed, whole", {"--key-file", longKey, "--salvage"}, longMessage, 0, &longText, 0, true, ""},
      {"stored, cut", {"--key-file", helloKey, "--salvage"}, helloMessage.substr(0, 150), 4, &helloText, 80,
       false, "salvaged 91 bytes of a stored text, which announces no length (no trailer found"},
      {"stored, signature after it", {"--key-file", helloKey, "--salvage"}, helloMessage + signature, 4,
       &helloText, 0, true, "(the trailer was found after them)"},
      {"wrong key", {"--key", "not the key", "--salvage"}, helloMessage.substr(0, 150), 3, &helloText, 0, false,
       "nothing to salvage: the message does not look like a frame of this key"},
      {"cut inside the header", {"--key-file", helloKey, "--salvage"}, helloMessage.substr(0, 20), 3, &helloText,
       0, false, "does not look like a frame of this key"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"decode", "-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = args, .input = c.input});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
    if (c.whole) {
      EXPECT_EQ(got.out, *c.text);
    } else {
      EXPECT_GE(got.out.size(), c.atLeast);
      EXPECT_EQ(got.out, c.text->substr(0, got.out.size()));
    }
    EXPECT_EQ(got.err.find("mill-pond"), std::string::npos);  // the key never shows
    if (c.status == 3) {
      EXPECT_EQ(got.out, "");
    }
  }
}

TEST(CliSalvage, NotWithBatchModeOrCheck) {
  for (const char* other : {"--jsonl", "--check"}) {
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", "--salvage", other}});
    EXPECT_EQ(got.status, 1) << other << got.err;
  }
}


// inspect on the shipped examples and damaged copies: the status decode
// gives, a few facts through --json, and never a line of the text.
TEST(CliSalvage, InspectGivesDecodesStatusAndNoText) {
  const std::string longMessage = ReadFile(kExamples / "long.b64");
  const std::string longText = ReadFile(kExamples / "long.txt");
  const std::string longKey = (kExamples / "long.key").string();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int status;
    const char* field;  // a container field, or "" for none
    nlohmann::json value;
  };
  const Case cases[] = {
      {"whole", {"--key-file", longKey}, longMessage, 0, "plain_length", 320565},
      {"cut", {"--key-file", longKey}, longMessage.substr(0, 116000), 3, "stopped_because", "the data ends"},
      {"wrong key", {"--key", "not the key"}, longMessage, 3, "", nullptr},
      {"no key", {}, longMessage, 0, "", nullptr},
      {"no message", {}, "abc", 3, "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool json : {false, true}) {
      std::vector<std::string> args{"inspect"};
      args.insert(args.end(), c.args.begin(), c.args.end());
      if (json) args.push_back("--json");
      const Outcome got = RunTool(TRIROTOR_CLI, {.args = args, .input = c.input});
      EXPECT_EQ(got.status, c.status) << got.err;
      EXPECT_EQ(got.out.find(longText.substr(0, 40)), std::string::npos);
      EXPECT_EQ(got.out.find("mill-pond"), std::string::npos);
      if (!json) continue;
      const nlohmann::json report = nlohmann::json::parse(got.out);
      EXPECT_EQ(report["exit_status"], c.status);
      EXPECT_EQ(report["base64"]["characters"], c.input.size());
      if (*c.field != 0) {
        EXPECT_EQ(report["container"][c.field], c.value) << got.out;
      }
      if (c.args.empty()) {
        EXPECT_FALSE(report.contains("frame"));
      }
    }
  }
}


// decode --keyring: where the right key stands, absent, twice, after a wrong
// key that passes the frame check, with CRLF line ends and comments.
TEST(CliSalvage, KeyRingFindsTheFirstLineThatOpens) {
  using namespace internal;
  const std::string text = "Meet me by the old mill at noon.\n";
  FrameHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i * 7);
  const std::u16string key = u"the usual one";
  const std::string message = EncodeBytes(ByteBuffer(text.begin(), text.end()), key, u"", header, 76);
  // A wrong key that the frame check lets through, found by search.
  const ByteBuffer frame =
      DecodeBase64Bytes(platform::BytesToText(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
  std::string lucky;
  for (int i = 0; i < 2000000 && lucky.empty(); ++i) {
    const std::string candidate = "lucky " + std::to_string(i);
    ByteBuffer work = frame;
    InitCipher(platform::BytesToText(reinterpret_cast<const std::uint8_t*>(candidate.data()), candidate.size()), u"");
    DecryptBuffer(work);
    if (CheckFrame(work.data(), work.size())) lucky = candidate;
  }
  ASSERT_FALSE(lucky.empty());

  const std::string fill = "# spare keys\nalpha\nbeta\tsuffix\ngamma\n";
  struct Case {
    const char* name;
    std::string ring;
    int status;
    std::vector<std::string> errHas;
  };
  // clang-format off
  const Case cases[] = {
      {"first line", "the usual one\n" + fill, 0, {"opened with line 1 of the key ring\n"}},
      {"middle, with its comment", "alpha\n# the usual one, 2019\nthe usual one\n" + fill, 0,
       {"opened with line 3 of the key ring (the usual one, 2019)"}},
      {"last line, no newline", fill + "the usual one", 0, {"opened with line 5 of the key ring\n"}},
      {"CRLF", "alpha\r\n#old\r\nthe usual one\r\nbeta\r\n", 0, {"opened with line 3 of the key ring (old)"}},
      {"twice", "the usual one\nalpha\nthe usual one\n", 0,
       {"opened with line 1", "line 3 of the key ring holds the same key and suffix as line 1"}},
      {"the right key with a suffix is another key", "the usual one\tx\nalpha\n", 3, {"none of the 2 keys"}},
      {"after a lucky wrong key", lucky + "\n" + fill + "the usual one\n", 0, {"opened with line 6 of the key ring"}},
      {"absent", fill, 3, {"none of the 3 keys of the key ring opens the message"}},
      {"empty key", "alpha\n\tsuffix\n", 2, {"line 2 of the key ring has an empty key"}},
  };
  // clang-format on
  const fs::path ringPath = fs::temp_directory_path() / ("ring-" + std::to_string(::getpid()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(ringPath, std::ios::binary) << c.ring;
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"decode", "--keyring", ringPath.string()}, .input = message});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.status == 0 ? text : "");
    for (const std::string& part : c.errHas) EXPECT_NE(got.err.find(part), std::string::npos) << got.err;
    for (const char* secret : {"the usual one\n", "alpha", "lucky"}) {
      EXPECT_EQ(got.err.find(secret), std::string::npos) << got.err;  // keys never show
    }
  }
  // inspect takes the ring too: the frame under the winner, or the base64
  // layer alone with status 3 when none opens the message.
  for (const auto& [ring, status] : {std::pair<std::string, int>{fill + "the usual one\n", 0}, {fill, 3}}) {
    std::ofstream(ringPath, std::ios::binary) << ring;
    const Outcome got =
        RunTool(TRIROTOR_CLI, {.args = {"inspect", "--json", "--keyring", ringPath.string()}, .input = message});
    EXPECT_EQ(got.status, status) << got.err;
    const nlohmann::json report = nlohmann::json::parse(got.out);
    EXPECT_EQ(report.contains("frame"), status == 0);
    EXPECT_EQ(report["exit_status"], status);
  }
  // Batch records: one without a key is tried against the ring and names the
  // line that opened it; one with its own key ignores the ring.
  const std::string records = nlohmann::json{{"id", 1}, {"message", message}}.dump() + "\n" +
                              nlohmann::json{{"id", 2}, {"message", message}, {"key", "the usual one"}}.dump() + "\n";
  for (const auto& [ring, status] :
       {std::pair<std::string, int>{lucky + "\n" + fill + "the usual one\n", 0}, {fill, 3}}) {
    std::ofstream(ringPath, std::ios::binary) << ring;
    const Outcome got = RunTool(
        TRIROTOR_CLI, {.args = {"decode", "--jsonl", "--quiet", "--keyring", ringPath.string()}, .input = records});
    EXPECT_EQ(got.status, status) << got.err;
    const std::size_t newline = got.out.find('\n');
    ASSERT_NE(newline, std::string::npos) << got.out;
    const nlohmann::json first = nlohmann::json::parse(got.out.substr(0, newline));
    const nlohmann::json second = nlohmann::json::parse(got.out.substr(newline + 1));
    if (status == 0) {
      EXPECT_EQ(first["keyring_line"], 6) << got.out;
      EXPECT_EQ(first["text"], text);
    } else {
      EXPECT_FALSE(first.contains("text")) << got.out;
      EXPECT_NE(first["error"].get<std::string>().find("none of the 3 keys"), std::string::npos) << got.out;
    }
    EXPECT_FALSE(second.contains("keyring_line")) << got.out;
    EXPECT_EQ(second["text"], text);
    EXPECT_EQ(got.out.find("lucky"), std::string::npos);
  }
  fs::remove(ringPath);
}

}  // namespace
}  // namespace trirotor

#endif  // TRIROTOR_CLI
