// SPDX-License-Identifier: MIT
//
// errors.cpp - the engine's one exception type, and how errors are raised.

#include <utility>

#include "platform/platform.h"

namespace trirotor {

EngineError::EngineError(std::int32_t number, std::string source, std::string description)
    : std::runtime_error(description),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

namespace platform {

void RaiseError(std::int32_t number, std::string source, std::string description) {
  throw EngineError(number, std::move(source), std::move(description));
}

std::string_view RuntimeErrorDescription(std::int32_t number) {
  switch (number) {
    case kErrInvalidCall: return "Invalid procedure call or argument";
    case kErrOverflow: return "Overflow";
    case kErrOutOfMemory: return "Out of memory";
    case kErrSubscript: return "Subscript out of range";
    case kErrDivisionByZero: return "Division by zero";
    default: return "";
  }
}

void RaiseRuntimeError(std::int32_t number, std::string source) {
  RaiseError(number, std::move(source), std::string(RuntimeErrorDescription(number)));
}

}  // namespace platform
}  // namespace trirotor
