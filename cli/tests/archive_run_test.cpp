// SPDX-License-Identifier: MIT
//
// archive_run_test.cpp - the archive run in process (RunArchive), held to
// the engine: messages sealed, cut, bent and mis-keyed at random each get
// the outcome the engine's own answer for their bytes gives, a text exactly
// where that answer has one, and the run the status of the worst. What only
// a process shows (signals, streams, the walk's odd files) is
// cli_archive_test's.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/archive/archive.h"
#include "cli/archive/archive_run.h"
#include "engine/trirotor.h"
#include "tests/test_util.h"

namespace trirotor::test {
namespace {

namespace fs = std::filesystem;

// A message of `plain`, maybe bent: under another key, cut short, a
// character changed for another base64 digit, or stored with a checksum
// that does not hold.
std::string RandomMessage(std::mt19937& random, const std::string& plain) {
  constexpr FrameHeader kHeader = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0x3C, 0xC3};
  const unsigned kind = random() % 6;
  if (kind == 5) return Narrow(SealContainer(WithBadChecksum(plain), u"k"));
  std::string message = Narrow(EncodeText(Text(plain), kind == 1 ? u"other" : u"k", u"", kHeader, 76));
  if (kind == 2) message.resize(random() % message.size());
  if (kind == 3 || kind == 4) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t at = random() % message.size();
    while (message[at] == '\n' || message[at] == '=') at = random() % message.size();
    message[at] = kDigits[random() % 64];
  }
  return message;
}

class ArchiveRun : public ToolTest {};

TEST_F(ArchiveRun, EachInputGetsTheEnginesAnswerForItsBytes) {
  std::mt19937 random(static_cast<std::uint32_t>(Seed()));
  std::map<std::string, DecodeOutcome> expected;  // by the input's relative path
  int worst = 0;
  for (int i = 0; i < 120; ++i) {
    const std::string plain = "message " + std::to_string(i) + std::string(random() % 300, 'a' + i % 26) + "\r\n";
    const std::string relative = std::to_string(i % 7) + "/m" + std::to_string(i) + ".b64";
    const std::string message = RandomMessage(random, plain);
    fs::create_directories(Path("in/" + relative).parent_path());
    WriteFile(Path("in/" + relative), message);
    DecodeOutcome answer = TryDecodeBytes(Bytes(message), u"k", u"");
    const cli::Outcome outcome = cli::OutcomeOf(answer.status);
    if (cli::IsFailure(outcome)) worst = std::max(worst, cli::StatusOf(outcome));
    expected.emplace(relative, std::move(answer));
  }
  cli::Options options;
  options.inputs = {Path("in").string()};
  options.input = options.inputs[0];
  options.recursive = true;
  options.outputDir = Path("out").string();
  options.report = Path("report.jsonl").string();
  options.keyText = "k";
  options.jobs = 2;
  options.quiet = true;
  EXPECT_EQ(cli::RunArchive(options), worst);

  std::istringstream report(ReadFile(Path("report.jsonl")));
  std::size_t inputs = 0;
  for (std::string text; std::getline(report, text);) {
    const nlohmann::json line = nlohmann::json::parse(text);
    if (line["kind"] != "input") continue;
    ++inputs;
    const std::string relative = line["path"];
    SCOPED_TRACE(relative);
    ASSERT_EQ(expected.count(relative), 1u);
    const DecodeOutcome& answer = expected[relative];
    EXPECT_EQ(line["eventOutcome"], cli::OutcomeName(cli::OutcomeOf(answer.status))) << line.dump();
    const fs::path output = Path("out/" + relative.substr(0, relative.size() - 4) + ".txt");
    ASSERT_EQ(fs::exists(output), answer.HasText());
    if (answer.HasText()) {
      EXPECT_EQ(ReadFile(output), std::string(answer.plain.begin(), answer.plain.end()));  // ASCII: as it stands
    }
  }
  EXPECT_EQ(inputs, expected.size());

  // Verified against its report, the run's texts all hold.
  cli::Options verify;
  verify.verify = options.report;
  verify.keyText = "k";
  verify.quiet = true;
  EXPECT_EQ(cli::RunArchive(verify), 0);
}

}  // namespace
}  // namespace trirotor::test
