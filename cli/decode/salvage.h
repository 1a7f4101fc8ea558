// SPDX-License-Identifier: MIT
//
// salvage.h - what a message whose frame did not check out still holds.
#pragma once

#include <optional>
#include <string>

#include "engine/trirotor.h"
#include "records/records.h"

namespace trirotor::cli {

// For a message whose frame did not check out: the bytes its container
// still holds, after a warning line naming how many against the length it
// announces; nullopt, after saying why, when the message does not look like
// a frame of this key or not one byte of its text is left.
std::optional<ByteBuffer> SalvageOne(ByteBuffer message, const KeyPair& keys, const std::string& name);

}  // namespace trirotor::cli
