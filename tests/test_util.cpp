// SPDX-License-Identifier: MIT
//
// test_util.cpp - the shared fixture and its counting hooks.

#include "tests/test_util.h"

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

}  // namespace trirotor::test
