// SPDX-License-Identifier: MIT
//
// test_util.h - what the engine's GoogleTest tests share: a fixture that
// gives every test a fresh engine and counting hooks, on top of the
// framework-free helpers of testing/test_support.h (bytes and text, the
// ByteWriter, the sealer, seeds and random bytes).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace trirotor::test
