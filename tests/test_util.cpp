// SPDX-License-Identifier: MIT
//
// test_util.cpp - the shared fixture, counting hooks and a reference base64
// writer kept apart from the engine's own encoder.

#include "tests/test_util.h"

namespace trirotor::test {

std::u16string Base64(const ByteBuffer& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::u16string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += static_cast<char16_t>(alphabet[v >> shift & 63]);
  }
  if (i + 1 == bytes.size()) {
    const unsigned v = bytes[i] << 16;
    out += {static_cast<char16_t>(alphabet[v >> 18 & 63]), static_cast<char16_t>(alphabet[v >> 12 & 63]), u'=', u'='};
  } else if (i + 2 == bytes.size()) {
    const unsigned v = bytes[i] << 16 | bytes[i + 1] << 8;
    out += {static_cast<char16_t>(alphabet[v >> 18 & 63]), static_cast<char16_t>(alphabet[v >> 12 & 63]),
            static_cast<char16_t>(alphabet[v >> 6 & 63]), u'='};
  }
  return out;
}

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

}  // namespace trirotor::test
