// SPDX-License-Identifier: MIT
//
// console.h - the terminal, the stop signals, the environment and the clock
// as the tool asks them, on either system: the other half of the tool's seam
// with the operating system (cli/os/files.h is the first). console_posix.cpp
// and console_windows.cpp hold the two sides; CMake builds one of them.
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace trirotor::cli {

// Calls `onStop(signal)` for SIGINT, SIGTERM and SIGHUP (on Windows:
// Ctrl-C, Ctrl-Break and closing the console, which also cancel a read the
// main thread is blocked in). Blocked reads and writes return (no
// SA_RESTART), so that the run stops at its next check. A signal that was
// ignored when the process started (nohup, a script's background job) stays
// ignored.
void InstallStopHandler(void (*onStop)(int));

// Asks for the key with echo off (twice when `twice`, throwing
// Failure(kExitInput) when the two differ): on POSIX on the process's
// terminal whenever it has one, whatever standard input is, else on standard
// input when it is a terminal; on Windows on the console. nullopt when there
// is nowhere to ask. Throws Failure(kExitAborted) for a stop while waiting.
std::optional<std::u16string> PromptForKey(bool twice);

// The value of environment variable `name` as UTF-8 (as Windows holds it,
// not through the ANSI page); nullopt when it is unset.
std::optional<std::string> EnvironmentValue(const std::string& name);

// Whether `fd` is a terminal (a console).
bool IsTerminal(int fd);

// Whether standard output is closed, so that what the run would tell there
// has nowhere to go (never on Windows, whose closed handle reads as NUL).
bool StandardOutputClosed();

// The calendar time `seconds` stands for in UTC.
std::tm UtcCalendar(std::time_t seconds);

}  // namespace trirotor::cli
