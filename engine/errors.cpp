// SPDX-License-Identifier: MIT
//
// errors.cpp - the engine's one exception type and the texts of the failure
// codes it records in LastError. The run-time errors it raises take their
// classic descriptions from the host layer (platform/errors.cpp).

#include <utility>

#include "engine/trirotor.h"

namespace trirotor {

EngineError::EngineError(std::int32_t number, std::string source, std::string description)
    : std::runtime_error(description),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

std::string_view ErrorMessage(std::int16_t code) {
  switch (code) {
    case kErrChecksum: return "Compression checksum error (Error 5)";
    case kErrFrameCheck: return "Failed decoding the text (Error 33)";
    default: return "";
  }
}

}  // namespace trirotor
