// SPDX-License-Identifier: MIT
//
// test_util.h - what the engine's GoogleTest tests share: a fixture that
// gives every test a fresh engine and counting hooks, on top of the
// framework-free helpers of testing/test_support.h (bytes and text, the
// ByteWriter, the sealer, seeds and random bytes); and for the tool's tests,
// a fixture with a scratch folder and small file helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/internal.h"
#include "testing/test_support.h"

namespace trirotor::test {

// The tests reach into the engine's insides.
using namespace trirotor::internal;

// Counts what the engine asks of the host.
struct HookLog {
  std::vector<int> pointers;
  std::vector<std::int16_t> progressAtPause;  // Progress as a handler sees it
  int pauses = 0;
  int abortAtPause = -1;  // set AbortFlag = -1 in this pause (0-based)
};
HookLog& Log();

// Every test starts with a fresh engine and counting hooks on this thread.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A test of the tool: a fresh scratch folder under /tmp, removed after it,
// and the code page at 1252 before and after.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::filesystem::path Path(const std::string& name) const { return dir_ / name; }
  // Writes `bytes` to a file of the scratch folder; returns its path.
  std::string File(const std::string& name, std::string_view bytes) const;

  std::filesystem::path dir_;
};

std::string ReadFile(const std::filesystem::path& path);  // whole, as bytes
void WriteFile(const std::filesystem::path& path, std::string_view bytes);
std::string Narrow(std::u16string_view ascii);                       // ASCII text to bytes
std::vector<std::string> Listing(const std::filesystem::path& dir);  // names, sorted

// Containers that fail in the tool's tests: `plain` compressed with its
// checksum byte turned, and a container of a version no engine knows.
ByteBuffer WithBadChecksum(const std::string& plain);
ByteBuffer UnknownVersion();

}  // namespace trirotor::test
