// SPDX-License-Identifier: MIT
//
// status.h - how every part of the tool ends a run and speaks of it: the
// exit statuses scripts rely on, the failure that carries one, the stop
// request a signal makes, and names shown so that they cannot forge a line.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/trirotor.h"
#include "support/shown_name.h"

// Windows has no hang-up signal; the name keeps the shared code whole.
#if defined(_WIN32) && !defined(SIGHUP)
#define SIGHUP 1
#endif

namespace trirotor::cli {

// Exit statuses, one table for every command (docs/cli.md).
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitInput = 2;      // unreadable input, unwritable output, key problems
inline constexpr int kExitFrame = 3;      // LastError 33: nothing written
inline constexpr int kExitChecksum = 4;   // LastError 5: the text is written all the same
inline constexpr int kExitEngine = 5;     // the engine raised an error
inline constexpr int kExitAborted = 130;  // thrown for any stop; Run exits 128 + the signal

// The exit status of a decode's outcome, the one table every command that
// decodes (decode, inspect, archive, --keyring, recover) ends by. A message
// under 4 characters is none at all: nothing opens it.
constexpr int ExitStatusOf(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOpened: return kExitOk;
    case DecodeStatus::kChecksumMismatch: return kExitChecksum;
    case DecodeStatus::kFrameFailed: return kExitFrame;
    case DecodeStatus::kEngineError: return kExitEngine;
    case DecodeStatus::kNoMessage: return kExitFrame;
  }
  return kExitEngine;
}

// A failure that ends the run with an exit status; message is for the user.
struct Failure {
  int status;
  std::string message;
};

// Prints "trirotor: " and the message on standard error.
void Complain(std::string_view message);

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
std::string SignalName(int signo);

// Whether a stop was asked for (SIGINT, SIGTERM, SIGHUP, or the Windows
// console's events), and by which signal (0 for none).
bool Interrupted();
int InterruptSignal();
// The one way the tool's parts say that the run stops for a stop request:
// Failure(kExitAborted), which Run turns into 128 + the signal.
[[noreturn]] void ThrowStopped();
// The check between steps: ThrowStopped when a stop was asked for.
inline void StopIfAsked() {
  if (Interrupted()) ThrowStopped();
}
// Records a stop request; the first signal names it. Safe in a signal
// handler. True when this was the first.
bool RecordStop(int signo);

// "1 key", "2 keys": a count with its noun.
inline std::string Counted(std::size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// A file name as messages show it (support/shown_name.h), the one escaper
// every reader and front end uses.
using support::ShownName;

}  // namespace trirotor::cli
