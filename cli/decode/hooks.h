// SPDX-License-Identifier: MIT
//
// hooks.h - Ctrl-C (and SIGTERM, SIGHUP) and the progress of one decode or
// encode, through the engine's event hook.
#pragma once

#include <cstdint>
#include <string>

namespace trirotor::cli {

// SIGINT, SIGTERM and SIGHUP set a flag instead of ending the process (no
// SA_RESTART, so a blocked read or write returns with EINTR); the run stops
// at its next check and exits 128 + the signal's number. One that was
// ignored when the process started (nohup, a script's background job) is
// left ignored.
void InstallInterruptHandler();
// While on, a signal ends the process at once (status 128 + its number,
// after the usual "aborted by" line) instead of waiting for the engine's
// first pause; the hooks turn it off there, the caller when the engine
// returns. Only while nothing is written or created yet: for a single
// decode, whose base64 stage has no pauses, and a single encode, which has
// none at all.
void StopAtOnceUntilTheFirstPause(bool on);

// The hook for decoding threads: copies an interrupt into AbortFlag = -1.
void InstallAbortHook();

// A progress bar on standard error, drawn from the event hook on this
// thread: percentage, bytes and rate of a message of `totalBytes`.
void StartProgress(std::uint64_t totalBytes, bool forced);
void FinishProgress();

// Encoding has no pauses: the same place names each stage as it starts,
// with the size of its input.
void StartStages(bool forced);
void ShowStage(const std::string& stage, std::uint64_t bytes);
void FinishStages(bool done);  // done: the last line says how long it took

}  // namespace trirotor::cli
