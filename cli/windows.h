// SPDX-License-Identifier: MIT
//
// windows.h - the tool's Windows seams: what io_windows.cpp and
// console_windows.cpp give the shared sources in place of POSIX calls.
// Windows builds only.
#pragma once

#if defined(_WIN32)

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "cli/io.h"

namespace trirotor::cli {

// Writes UTF-8 to a descriptor with WriteConsoleW when it is a
// console, so that any character shows whatever the console's code page;
// false when it is not a console (the caller writes the bytes). A
// character cut between two calls is held until its end comes.
bool ConsoleWrite(int fd, std::string_view utf8);

// Whether a read from `fd` would return within `milliseconds`; a file is
// always ready. A pipe or console asked so is from then on read by a
// thread of its own, and ReadSome takes its bytes through ReadFromPump.
bool WaitReadable(int fd, int milliseconds);
// What that thread has read of `fd` (blocking until some, or the end:
// 0); nullopt when no thread reads `fd`.
std::optional<std::size_t> ReadFromPump(int fd, char* buffer, std::size_t size);

// Ctrl-C, Ctrl-Break and closing the console call `onStop(SIGINT)` and
// cancel a read the main thread is blocked in.
void InstallConsoleHandler(void (*onStop)(int));

// Asks for the key on the console with echo off (twice when `twice`);
// nullopt without a console. Throws Failure as the POSIX prompt does.
std::optional<std::u16string> PromptForKeyOnConsole(bool twice);

// Windows' error (GetLastError) as the errno whose text Linux would show.
int ErrnoOf(unsigned long error);

// The volume serial number and file index of what a name leads to
// (reparse points followed) or of an open handle; nullopt for a name that
// leads nowhere and for what is not a file on a disk (a console, a pipe).
std::optional<FileId> IndexOf(const std::string& path);
std::optional<FileId> IndexOf(void* handle);

// Whether two names, or a name and a descriptor, are one file (by volume
// and file index: so another name or a hard link counts too).
bool SameFile(const std::string& path, int fd);
bool SameFile(const std::string& a, const std::string& b);

// Runs `main` with the UTF-16 arguments as UTF-8, standard input and
// output binary, and the console ready for escape sequences.
int RunWithUtf8Arguments(int argc, wchar_t** argv, int (*main)(int, char**));

}  // namespace trirotor::cli

#endif
