// SPDX-License-Identifier: MIT
//
// hooks.cpp - Ctrl-C (and SIGTERM, SIGHUP) and the progress bar, through the engine's event hook.
//
// The engine pauses every 5000 bytes and calls the event hook; that is the
// only place where a stop request can reach it. The signal handler therefore
// only sets a flag (atomic: batch workers read it too), and the hook, running on the decoding thread, turns the
// flag into AbortFlag = -1 (the engine's status is per thread, so a handler
// running on some other thread could not set it).

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/decode/hooks.h"
#include "cli/status.h"
#include "engine/trirotor.h"
#include "cli/human.h"
#include "cli/progress_line.h"
#include "cli/os/console.h"
#include "cli/os/files.h"

namespace trirotor::cli {

namespace {


// Set while the engine works in a stage it cannot be stopped from inside
// (a decode's base64 before the first pause, a whole encode), with nothing
// written or created yet: there is nothing to clean up, so a signal ends the
// process at once.
std::atomic<bool> gStopAtOnce{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Set while an encode's stage line stands unfinished on a terminal: a stop
// at once wipes it before its own line.
std::atomic<bool> gStageLineOpen{false};

extern "C" void OnInterrupt(int signo) {
  RecordStop(signo);
  if (!gStopAtOnce.load(std::memory_order_relaxed)) return;
  // Only async-signal-safe calls from here: write and _exit.
  if (gStageLineOpen.load(std::memory_order_relaxed) && ::write(2, "\r\033[K", 4) < 0) _exit(128 + signo);
  const char* line = signo == SIGTERM  ? "trirotor: aborted by SIGTERM\n"
                     : signo == SIGHUP ? "trirotor: aborted by SIGHUP\n"
                                       : "trirotor: aborted by SIGINT\n";
  std::size_t length = 0;
  while (line[length] != '\0') ++length;
  if (::write(2, line, length) < 0) _exit(128 + signo);
  _exit(128 + signo);
}

using Clock = std::chrono::steady_clock;

// The bar belongs to the one thread that decodes a single message. The
// engine's Progress runs 0..50 while it decrypts and 50..100 while it checks
// the text of a compressed message; the bar shows each stage from 0 to 100 %
// on its own, so that a stored message, which has no checking stage, still
// ends at 100 %, and the bytes and rate while decrypting are the message's
// own rather than half of them.
enum class Stage {
  kDecrypting,
  kChecking,
};

struct ProgressBar {
  std::uint64_t totalBytes = 0;
  Stage stage = Stage::kDecrypting;
  int lastPercent = -1;
  std::optional<Clock::time_point> decryptStart;  // the first pause: base64 is decoded by then
  // Ten lines a second, on a terminal or not: off one each stage's line is
  // redrawn in place ("\r") and ended once.
  ProgressLine line{false, std::chrono::milliseconds(100), std::chrono::milliseconds(100)};
} gBar;

constexpr int kBarWidth = 30;

// Progress is a nicety: a failed write to standard error changes nothing.
void WriteError(std::string_view text) { WriteChatter(2, text); }

void DrawBar(int percent, Clock::time_point now) {
  std::string line = "\r[" + BarCells(percent, kBarWidth);
  char tail[32];
  std::snprintf(tail, sizeof tail, "] %3d%%  ", percent);
  line += tail;
  if (gBar.stage == Stage::kDecrypting) {
    // The message's bytes decrypted so far, and how fast since decryption began.
    const double seconds = std::chrono::duration<double>(now - gBar.decryptStart.value_or(now)).count();
    const double done = static_cast<double>(gBar.totalBytes) * percent / 100.0;
    line += "decrypting " + HumanBytes(done) + " of " + HumanBytes(static_cast<double>(gBar.totalBytes));
    if (seconds > 0.05) line += "  " + HumanBytes(done / seconds) + "/s";
  } else {
    line += "checking the text";
  }
  line += "   ";  // covers the tail of a longer line before
  gBar.line.Put(line, now);
  gBar.lastPercent = percent;
}

void ProgressHook() {
  gStopAtOnce.store(false, std::memory_order_relaxed);  // the engine can stop itself from here on
  if (Interrupted()) {
    AbortFlag = -1;
    return;
  }
  const int progress = std::clamp<int>(Progress, 0, 100);
  const Clock::time_point now = Clock::now();
  if (!gBar.decryptStart) gBar.decryptStart = now;
  // Decryption may end on 50 itself (its last pause rounds up), so only a
  // value past 50 says that the checking stage has begun.
  if (progress > 50 && gBar.stage == Stage::kDecrypting) {
    // Decryption is through: its line ends at 100 % where lines are kept.
    if (gBar.line.drawn() && !gBar.line.terminal()) {
      DrawBar(100, now);
      WriteError("\n");
    }
    gBar.stage = Stage::kChecking;
    gBar.lastPercent = -1;
  }
  const int percent = gBar.stage == Stage::kDecrypting ? std::min(progress, 50) * 2 : (progress - 50) * 2;
  if (!gBar.line.Due(now) || (gBar.line.drawn() && percent == gBar.lastPercent)) return;
  DrawBar(percent, now);
}

// The stages of an encode, one line each.
struct StageLine {
  bool active = false;
  bool drawn = false;
  Clock::time_point start;
} gStages;

void AbortHook() {
  gStopAtOnce.store(false, std::memory_order_relaxed);
  if (Interrupted()) AbortFlag = -1;
}

}  // namespace

void InstallInterruptHandler() { InstallStopHandler(OnInterrupt); }

void StopAtOnceUntilTheFirstPause(bool on) {
  gStopAtOnce.store(on, std::memory_order_relaxed);
  // A signal that came just before is not lost: the caller or the first
  // pause sees it.
}

void InstallAbortHook() { platform::SetEventHook(AbortHook); }

void StartProgress(std::uint64_t totalBytes, bool forced) {
  gBar = ProgressBar{};
  gBar.totalBytes = totalBytes;
  gBar.line = ProgressLine(forced, std::chrono::milliseconds(100), std::chrono::milliseconds(100));
  platform::SetEventHook(ProgressHook);
}

void StartStages(bool /*forced*/) {
  // An encode runs no pauses, so there is nothing to wait for before the
  // first line: each stage is shown as it starts.
  gStages = StageLine{};
  gStages.active = true;
  gStages.start = Clock::now();
}

void ShowStage(const std::string& stage, std::uint64_t bytes) {
  if (!gStages.active) return;
  const std::string text = "trirotor: " + stage + " " + HumanBytes(static_cast<double>(bytes));
  // On a terminal each stage takes the place of the last; elsewhere each is
  // a line of its own.
  const bool terminal = IsTerminal(2);
  WriteError(terminal ? "\r" + text + "\033[K" : text + "\n");
  gStageLineOpen.store(terminal, std::memory_order_relaxed);
  gStages.drawn = true;
}

void FinishStages(bool done) {
  if (!gStages.active) return;
  gStages.active = false;
  gStageLineOpen.store(false, std::memory_order_relaxed);
  if (!gStages.drawn) return;
  if (IsTerminal(2)) {
    WriteError("\r\033[K");
  } else if (done) {
    char line[64];
    std::snprintf(line, sizeof line, "trirotor: done in %.1f s\n",
                  std::chrono::duration<double>(Clock::now() - gStages.start).count());
    WriteError(line);
  }
}

void FinishProgress() {
  platform::SetEventHook(AbortHook);
  if (!gBar.line.drawn()) return;
  // On a terminal the bar is wiped; in a file or pipe it ends its line.
  if (gBar.line.terminal()) {
    gBar.line.Wipe();
  } else {
    if (!Interrupted() && gBar.lastPercent != 100) DrawBar(100, Clock::now());
    WriteError("\n");
  }
  gBar.line.Forget();
}

}  // namespace trirotor::cli
