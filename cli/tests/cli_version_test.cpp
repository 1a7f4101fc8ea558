// SPDX-License-Identifier: MIT
//
// cli_version_test.cpp - what --version tells, from the tool and the window:
// the version first, then the same build and parts lines from both, the
// compiler being the one that built this test.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testing/run_tool.h"

namespace trirotor {
namespace {

using test::Outcome;
using test::RunTool;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ThisCompiler() {
#if defined(__clang__)
  return "Clang " + std::to_string(__clang_major__) + "." + std::to_string(__clang_minor__) + "." +
         std::to_string(__clang_patchlevel__);
#elif defined(__GNUC__)
  return "GNU " + std::to_string(__GNUC__) + "." + std::to_string(__GNUC_MINOR__) + "." +
         std::to_string(__GNUC_PATCHLEVEL__);
#else
  return "";
#endif
}

TEST(Version, ToolAndWindowTellTheBuild) {
  struct Case {
    const char* program;
    const char* path;
    const char* first;
  };
  std::vector<Case> cases = {{"tool", TRIROTOR_CLI, "trirotor " TRIROTOR_EXPECT_VERSION}};
#ifdef TRIROTOR_GUI_PROGRAM
  cases.push_back({"window", TRIROTOR_GUI_PROGRAM, "trirotor-gui " TRIROTOR_EXPECT_VERSION});
#endif
  const std::regex build(R"(build: commit ([0-9a-f]{12}|unknown), (\S+ \S+), (.+))");
  const std::string parts = std::string("parts: window ") + TRIROTOR_EXPECT_GUI + ", Python " + TRIROTOR_EXPECT_PYTHON +
                            ", Windows tables yes (always built in)";
  std::vector<std::string> first;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    const Outcome got = RunTool(c.path, {.args = {"--version"}, .env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}}});
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.err, "");
    const std::vector<std::string> lines = Lines(got.out);
    ASSERT_EQ(lines.size(), 3u) << got.out;
    EXPECT_EQ(lines[0], c.first);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[1], match, build)) << lines[1];
    EXPECT_EQ(match[2].str(), ThisCompiler());
    EXPECT_EQ(match[3].str(), TRIROTOR_EXPECT_BUILD_TYPE);
    EXPECT_EQ(lines[2], parts);
    if (first.empty()) first = lines;
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
              std::vector<std::string>(first.begin() + 1, first.end()));
  }
}

}  // namespace
}  // namespace trirotor
