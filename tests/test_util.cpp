// SPDX-License-Identifier: MIT
//
// test_util.cpp - the shared fixtures, the engine's counting hooks and the
// file helpers of the tool's tests.

#include "tests/test_util.h"

#include <stdlib.h>  // mkdtemp

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>

namespace trirotor::test {

HookLog& Log() {
  static thread_local HookLog log;
  return log;
}

namespace {
void CountPause() {
  HookLog& log = Log();
  log.progressAtPause.push_back(Progress);
  if (log.pauses++ == log.abortAtPause) AbortFlag = -1;
}
void CountPointer(int code) { Log().pointers.push_back(code); }
}  // namespace

void EngineTest::SetUp() {
  LastError = AbortFlag = Progress = 0;
  Log() = HookLog{};
  platform::SetCodePage(1252);
  platform::SetEventHook(&CountPause);
  platform::SetPointerHook(&CountPointer);
  platform::SetMousePointer(platform::kPointerDefault);
  Log().pointers.clear();
}

void EngineTest::TearDown() {
  platform::SetEventHook(nullptr);
  platform::SetPointerHook(nullptr);
  platform::SetCodePage(1252);
}

void ToolTest::SetUp() {
#if defined(_WIN32)
  // No mkdtemp: a folder named by random bytes, created or refused.
  std::uint8_t name[8];
  ASSERT_TRUE(platform::RandomBytes(name, sizeof name));
  dir_ = std::filesystem::temp_directory_path() / ("trirotor-test-" + Hex(ByteBuffer(name, name + 8)));
  ASSERT_TRUE(std::filesystem::create_directory(dir_));
#else
  char pattern[] = "/tmp/trirotor-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir_ = pattern;
#endif
  platform::SetCodePage(1252);
}

void ToolTest::TearDown() {
  platform::SetCodePage(1252);
  std::filesystem::remove_all(dir_);
}

std::string ToolTest::File(const std::string& name, std::string_view bytes) const {
  WriteFile(Path(name), bytes);
  return Path(name).string();
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Narrow(std::u16string_view ascii) { return std::string(ascii.begin(), ascii.end()); }

ByteBuffer WithBadChecksum(const std::string& plain) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(plain.data());
  std::array<std::uint64_t, 256> counts{};
  for (char ch : plain) ++counts[static_cast<std::uint8_t>(ch)];
  ByteBuffer container = CompressContainer(bytes, plain.size(), HuffmanCodeLengths(counts));
  container[4] ^= 0xFF;  // the checksum byte
  return container;
}

ByteBuffer UnknownVersion() { return ByteWriter().Str("HE5\r").Str("anything").bytes(); }

std::vector<std::string> Listing(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace trirotor::test
