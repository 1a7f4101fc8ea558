// SPDX-License-Identifier: MIT
//
// platform.h - the thin host layer under the engine, as the stages see it.
//
// The engine was written for a desktop program: it pauses for the window
// system, shows a busy pointer, converts text through a single-byte code page
// and raises errors through the host's run-time error mechanism. Each of those
// services is one small function. What a host sets up (the hooks, the code
// page, the conversions) is declared in the public engine/trirotor.h; this
// header adds the calls only the engine makes. Not installed.
//
// engine/ and platform/ are one library, libtrirotor, split by concern: the
// engine owns its public types (EngineError, the status variables, the error
// texts it records) and the rules; platform/ owns every call into the
// operating system (random bytes, huge pages, code page conversion) and the
// host's run-time error descriptions. The engine calls no operating system
// itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/trirotor.h"

namespace trirotor::platform {

/// Event processing ///

// Lets the host run its pending events through the event hook.
void ProcessEvents();

/// Code page ///

// The code of one character (0x3F if the page cannot hold it).
std::uint8_t AnsiCode(char16_t ch);

/// Block copy ///

// Copies count bytes; the ranges may overlap.
void BlockCopy(void* destination, const void* source, std::size_t count);

/// Random source ///

// Fills buffer with length bytes from the system's random source; false if
// the system cannot give them.
[[nodiscard]] bool RandomBytes(void* buffer, std::size_t length);

/// Error raising ///

[[noreturn]] void RaiseError(std::int32_t number, std::string source, std::string description);
// Raises one of the host's run-time errors with its classic description.
[[noreturn]] void RaiseRuntimeError(std::int32_t number, std::string source);
// The classic description of a run-time error number ("" if unknown).
std::string_view RuntimeErrorDescription(std::int32_t number);

}  // namespace trirotor::platform
