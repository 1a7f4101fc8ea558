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

/// Error raising ///

[[noreturn]] void RaiseError(std::int32_t number, std::string source, std::string description);
// Raises one of the host's run-time errors with its classic description.
[[noreturn]] void RaiseRuntimeError(std::int32_t number, std::string source);
// The classic description of a run-time error number ("" if unknown).
std::string_view RuntimeErrorDescription(std::int32_t number);

}  // namespace trirotor::platform
