// SPDX-License-Identifier: MIT
//
// human.h - numbers for people, one way across the tool: sizes, counts and
// times as the progress lines, summaries and estimates show them.
#pragma once

#include <cstdint>
#include <string>

namespace trirotor::cli {

// "512 B", "1.5 KiB", "3.2 GiB", up to TiB: one decimal past bytes.
std::string HumanBytes(double bytes);

// "1,204,000": thousands set apart with commas.
std::string Grouped(std::uint64_t n);

// "less than a second", "42 s", "3 min 5 s", "5 h 40 min", "12 d 3 h",
// "more than 100 years".
std::string Duration(double seconds);

}  // namespace trirotor::cli
