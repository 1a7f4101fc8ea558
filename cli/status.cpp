// SPDX-License-Identifier: MIT
//
// status.cpp - the stop request, and the tool's words on standard error.
//
// A signal handler only records which signal asked for the stop; every
// thread that works (the decoding thread's event hook, batch's reader and
// workers, the readers and writers of cli/os/files.h) looks at it between
// steps.

#include "cli/status.h"

#include <atomic>

#include "cli/os/files.h"

namespace trirotor::cli {

namespace {

// The signal that asked the run to stop, 0 before one came. An atomic,
// lock-free so that a handler may store to it.
std::atomic<std::sig_atomic_t> gStop{0};
static_assert(std::atomic<std::sig_atomic_t>::is_always_lock_free);

}  // namespace

bool RecordStop(int signo) {
  std::sig_atomic_t none = 0;  // the first signal names the stop
  return gStop.compare_exchange_strong(none, signo, std::memory_order_relaxed);
}

void ThrowStopped() { throw Failure{kExitAborted, "aborted"}; }

bool Interrupted() { return gStop.load(std::memory_order_relaxed) != 0; }

int InterruptSignal() { return static_cast<int>(gStop.load(std::memory_order_relaxed)); }

std::string SignalName(int signo) {
  switch (signo) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(signo);
  }
}

void Complain(std::string_view message) {
  std::string line = "trirotor: ";
  line += message;
  line += '\n';
  WriteChatter(2, line);
}

}  // namespace trirotor::cli
