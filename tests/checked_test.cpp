// SPDX-License-Identifier: MIT
//
// checked_test.cpp - the guard that holds every length to the engine's
// signed 32-bit positions, at both sides of its edge.

#include <cstdint>
#include <limits>

#include "engine/internal.h"
#include "tests/test_util.h"

namespace trirotor::test {
namespace {

TEST(Checked, Int32LengthPassesWhatFitsAndRaisesOverflowForTheRest) {
  constexpr std::uint64_t kMax = 2147483647;  // 2^31 - 1
  struct Case {
    std::uint64_t size;
    bool fits;
  };
  // clang-format off
  const Case cases[] = {
      {0, true},
      {1, true},
      {kMax - 1, true},
      {kMax, true},
      {kMax + 1, false},  // 2^31: would read as a negative position
      {std::uint64_t{1} << 32, false},  // would wrap to 0
      {(std::uint64_t{1} << 32) + 5, false},  // would wrap to 5
      {std::numeric_limits<std::uint64_t>::max(), false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    if (c.fits) {
      EXPECT_EQ(checked::Int32Length(c.size, "Here()"), static_cast<std::int64_t>(c.size));
      continue;
    }
    try {
      checked::Int32Length(c.size, "Here()");
      ADD_FAILURE() << "no error raised";
    } catch (const EngineError& error) {
      EXPECT_EQ(error.number(), 6);
      EXPECT_EQ(error.source(), "Here()");
      EXPECT_EQ(error.description(), "Overflow");
    }
  }
}

}  // namespace
}  // namespace trirotor::test
