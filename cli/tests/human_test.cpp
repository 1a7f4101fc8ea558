// SPDX-License-Identifier: MIT
//
// human_test.cpp - the tool's numbers for people (cli/human.h), which every
// progress line, summary and estimate shows: units change at 1024, commas
// every three digits, and times round to the second before they are cut
// into units.

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "cli/human.h"

namespace trirotor::cli {
namespace {

TEST(Human, Bytes) {
  struct Case {
    double bytes;
    const char* shown;
  };
  const Case cases[] = {{0, "0 B"},
                        {1023, "1023 B"},
                        {1024, "1.0 KiB"},
                        {1536, "1.5 KiB"},
                        {1048575, "1024.0 KiB"},  // one decimal: rounds up without changing unit
                        {1048576, "1.0 MiB"},
                        {3.5 * 1073741824.0, "3.5 GiB"},
                        {1099511627776.0, "1.0 TiB"},
                        {2048 * 1099511627776.0, "2048.0 TiB"}};  // no unit past TiB
  for (const Case& c : cases) EXPECT_EQ(HumanBytes(c.bytes), c.shown) << c.bytes;
}

TEST(Human, Grouped) {
  struct Case {
    std::uint64_t n;
    const char* shown;
  };
  const Case cases[] = {{0, "0"},
                        {999, "999"},
                        {1000, "1,000"},
                        {1204000, "1,204,000"},
                        {18446744073709551615u, "18,446,744,073,709,551,615"}};
  for (const Case& c : cases) EXPECT_EQ(Grouped(c.n), c.shown) << c.n;
}

TEST(Human, Duration) {
  struct Case {
    double seconds;
    const char* shown;
  };
  const Case cases[] = {{0.4, "less than a second"},
                        {1, "1 s"},
                        {59.4, "59 s"},
                        {59.6, "1 min"},  // rounded first
                        {185, "3 min 5 s"},
                        {3600, "1 h"},
                        {5 * 3600 + 40 * 60 + 29, "5 h 40 min"},
                        {12 * 86400 + 3 * 3600, "12 d 3 h"},
                        {1500 * 86400.0, "1,500 d"},
                        {101 * 365 * 86400.0, "more than 100 years"}};
  for (const Case& c : cases) EXPECT_EQ(Duration(c.seconds), c.shown) << c.seconds;
}

}  // namespace
}  // namespace trirotor::cli
