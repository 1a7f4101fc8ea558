// SPDX-License-Identifier: MIT
//
// windows_side.h - what the two Windows files of the tool's seam share
// (files_windows.cpp, console_windows.cpp), and the wide entry point's
// helper for main.cpp. Windows builds only; nothing else includes it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "cli/os/files.h"

namespace trirotor::cli {

// Windows' error (GetLastError) as the errno whose text Linux would show.
int ErrnoOf(unsigned long error);

// The volume serial number and file index of what a name leads to
// (reparse points followed) or of an open handle; nullopt for a name that
// leads nowhere and for what is not a file on a disk (a console, a pipe).
std::optional<FileId> IndexOf(const std::string& path);
std::optional<FileId> IndexOf(void* handle);
// The handle behind a C descriptor.
void* HandleOf(int fd);

// A pipe or console asked WaitReadable is from then on read by a thread of
// its own, and ReadSome takes its bytes through here (blocking until some,
// or the end: 0); nullopt when no thread reads `fd`.
std::optional<std::size_t> ReadFromPump(int fd, char* buffer, std::size_t size);

// Runs `main` with the UTF-16 arguments as UTF-8, standard input and
// output binary, and the console ready for escape sequences.
int RunWithUtf8Arguments(int argc, wchar_t** argv, int (*main)(int, char**));

}  // namespace trirotor::cli
