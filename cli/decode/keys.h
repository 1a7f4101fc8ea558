// SPDX-License-Identifier: MIT
//
// keys.h - the key and suffix as the options give them: flags, files,
// variables or a prompt.
#pragma once

#include <string>
#include <string_view>

#include "cli/decode/options.h"
#include "records/records.h"

namespace trirotor::cli {

// The key and suffix as the options give them, in UTF-16 (the records'
// words: records/records.h). A key is absent (nullopt) only when no key
// option was given and no prompt was possible.
using records::KeyPair;
// Throws Failure(kExitInput) for an unreadable file, an unset variable,
// invalid UTF-8, an empty key, keys that differ when asked twice, and (in
// encode mode) a character the code page cannot hold; Failure(kExitUsage)
// as RefuseSharedStandardInput does. Decoding warns, one line, of
// characters the engine takes as '?'. When no key option was given and
// `mayPrompt` holds, asks without echo on the process's terminal whenever
// it has one (whatever standard input is), else on standard input when it
// is a terminal; encode asks twice. Call it after the code page is set.
KeyPair ResolveKeys(const Options& options, bool mayPrompt);

// Whether `path` is standard input: "-", or the same file by device and
// inode (/dev/stdin, /dev/fd/0, or the very file that was redirected in).
bool SameFileAsStandardInput(const std::string& path);
// Throws Failure(kExitUsage) when a key, suffix or key ring file is
// standard input while the message, text or records come from there too
// (the message would be taken as the key), or when two of them are. Call it
// before anything is read.
void RefuseSharedStandardInput(const Options& options);
// A key, suffix or key ring file as key files are read; "-" is standard
// input. Throws Failure: kExitInput naming `what`, kExitAborted.
std::u16string ReadKeySource(const std::string& path, std::string_view what);
// The value of environment variable `name` as UTF-8 (as Windows holds it,
// not through the ANSI page). Throws Failure(kExitInput) when it is unset.
std::string EnvironmentText(const std::string& name);

}  // namespace trirotor::cli
