// SPDX-License-Identifier: MIT
//
// progress_line.cpp - the tool's one progress line (progress_line.h).

#include "cli/progress_line.h"

#include <algorithm>

#include "cli/os/console.h"
#include "cli/os/files.h"

namespace trirotor::cli {

namespace {

constexpr auto kQuietStart = std::chrono::milliseconds(250);

}  // namespace

ProgressLine::ProgressLine(bool forced, std::chrono::milliseconds onTerminal, std::chrono::milliseconds elsewhere)
    : forced_(forced), terminal_(IsTerminal(2)), every_(terminal_ ? onTerminal : elsewhere), start_(Clock::now()) {}

bool ProgressLine::Due(Clock::time_point now) const {
  if (!forced_ && now - start_ < kQuietStart) return false;
  return !drawn_ || now - lastDraw_ >= every_;
}

void ProgressLine::Put(std::string_view text, Clock::time_point now) {
  WriteChatter(2, text);
  drawn_ = true;
  lastDraw_ = now;
}

void ProgressLine::Wipe() {
  if (terminal_ && drawn_) WriteChatter(2, "\r\033[K");
}

std::string BarCells(int percent, int width) {
  const int filled = std::clamp(percent, 0, 100) * width / 100;
  return std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(width - filled), '-');
}

}  // namespace trirotor::cli
