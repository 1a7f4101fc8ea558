// SPDX-License-Identifier: MIT
//
// errors.cpp - the engine's one exception type, the texts of its error
// numbers, and how errors are raised.

#include <utility>

#include "platform/platform.h"

namespace trirotor {

namespace {

// Every error number the engine reports, with its text: the failure codes
// recorded in LastError and the run-time errors raised as EngineError.
struct ErrorText {
  bool recorded;  // a LastError code (true) or a raised run-time error (false)
  std::int32_t number;
  std::string_view text;
};

constexpr ErrorText kErrorTexts[] = {
    {true, kErrChecksum, "Compression checksum error (Error 5)"},
    {true, kErrFrameCheck, "Failed decoding the text (Error 33)"},
    {false, kErrInvalidCall, "Invalid procedure call or argument"},
    {false, kErrOverflow, "Overflow"},
    {false, kErrOutOfMemory, "Out of memory"},
    {false, kErrSubscript, "Subscript out of range"},
    {false, kErrDivisionByZero, "Division by zero"},
};

std::string_view FindText(bool recorded, std::int32_t number) {
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.recorded == recorded && entry.number == number) return entry.text;
  }
  return "";
}

}  // namespace

EngineError::EngineError(std::int32_t number, std::string source, std::string description)
    : std::runtime_error(description),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

std::string_view ErrorMessage(std::int16_t code) { return FindText(true, code); }

namespace platform {

void RaiseError(std::int32_t number, std::string source, std::string description) {
  throw EngineError(number, std::move(source), std::move(description));
}

std::string_view RuntimeErrorDescription(std::int32_t number) { return FindText(false, number); }

void RaiseRuntimeError(std::int32_t number, std::string source) {
  RaiseError(number, std::move(source), std::string(RuntimeErrorDescription(number)));
}

}  // namespace platform
}  // namespace trirotor
