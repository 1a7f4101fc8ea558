// SPDX-License-Identifier: MIT
//
// human.cpp - numbers for people (human.h).

#include "cli/human.h"

#include <cstdio>

namespace trirotor::cli {

namespace {

// Past this an estimate says so instead of a number of days.
constexpr double kCentury = 100.0 * 365 * 86400;

}  // namespace

std::string HumanBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

std::string Grouped(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string Duration(double seconds) {
  if (seconds < 1) return "less than a second";
  if (seconds > kCentury) return "more than 100 years";
  const auto s = static_cast<std::uint64_t>(seconds + 0.5);
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min" + (s % 60 ? " " + std::to_string(s % 60) + " s" : "");
  if (s < 86400) {
    return std::to_string(s / 3600) + " h" + (s % 3600 / 60 ? " " + std::to_string(s % 3600 / 60) + " min" : "");
  }
  return Grouped(s / 86400) + " d" + (s % 86400 / 3600 ? " " + std::to_string(s % 86400 / 3600) + " h" : "");
}

}  // namespace trirotor::cli
