// SPDX-License-Identifier: MIT
//
// status.h - the engine's status variables, for the stages that read and
// write them. The same declarations as the public header's, without the rest
// of it; the definitions are in pipeline.cpp.
#pragma once

#include <cstdint>

namespace trirotor {

extern thread_local constinit std::int16_t LastError;
extern thread_local constinit std::int16_t AbortFlag;
extern thread_local constinit std::int16_t Progress;

}  // namespace trirotor
