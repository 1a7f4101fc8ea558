// SPDX-License-Identifier: MIT
//
// errors.cpp - how the engine's errors are raised, and the classic
// descriptions of the host's run-time errors. The exception type and the
// texts of recorded failures are the engine's (engine/errors.cpp).

#include <utility>

#include "platform/platform.h"

namespace trirotor::platform {

namespace {

// The host's run-time errors the engine raises, with their classic texts.
struct RuntimeErrorText {
  std::int32_t number;
  std::string_view text;
};

constexpr RuntimeErrorText kRuntimeErrorTexts[] = {
    {kErrInvalidCall, "Invalid procedure call or argument"},
    {kErrOverflow, "Overflow"},
    {kErrOutOfMemory, "Out of memory"},
    {kErrSubscript, "Subscript out of range"},
    {kErrDivisionByZero, "Division by zero"},
};

}  // namespace

void RaiseError(std::int32_t number, std::string source, std::string description) {
  throw EngineError(number, std::move(source), std::move(description));
}

std::string_view RuntimeErrorDescription(std::int32_t number) {
  for (const RuntimeErrorText& entry : kRuntimeErrorTexts) {
    if (entry.number == number) return entry.text;
  }
  return "";
}

void RaiseRuntimeError(std::int32_t number, std::string source) {
  RaiseError(number, std::move(source), std::string(RuntimeErrorDescription(number)));
}

}  // namespace trirotor::platform
