// SPDX-License-Identifier: MIT
//
// progress_line.h - the one progress line the tool keeps on standard error,
// whichever part draws it (a decode's bar, an archive run's): when a line is
// due, how it is written, and the bar's cells. Each part says what its line
// holds; this says when and how it reaches the terminal, so that every bar
// keeps the same quiet start and the same pace.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace trirotor::cli {

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;

  // Nothing in the first quarter second unless `forced`, so that a quick
  // run shows no line; then a line at most every `onTerminal` on a terminal
  // and every `elsewhere` in a file or pipe, where each line stays.
  ProgressLine(bool forced, std::chrono::milliseconds onTerminal, std::chrono::milliseconds elsewhere);

  bool Due(Clock::time_point now) const;
  // Writes `text` to standard error as it stands and counts it as drawn now.
  // A failed write changes nothing: progress is a nicety.
  void Put(std::string_view text, Clock::time_point now);
  // On a terminal, clears a line that was drawn (before a message of its
  // own, or at the end); elsewhere nothing, for there each line stays.
  void Wipe();

  bool terminal() const { return terminal_; }
  bool drawn() const { return drawn_; }
  // Counts the line as not drawn: the next due check draws at once.
  void Forget() { drawn_ = false; }

 private:
  bool forced_;
  bool terminal_;
  std::chrono::milliseconds every_;
  Clock::time_point start_;
  Clock::time_point lastDraw_;
  bool drawn_ = false;
};

// The bar's cells for `percent` (0..100) in `width` cells: "#####-----".
std::string BarCells(int percent, int width);

}  // namespace trirotor::cli
