// SPDX-License-Identifier: MIT
//
// salvage.cpp - decode --salvage: what a message whose frame does not check
// out still holds, when its header shows it was sealed with this key.

#include <string>
#include <utility>

#include "cli/decode/keys.h"
#include "cli/decode/salvage.h"
#include "cli/status.h"
#include "engine/trirotor.h"

namespace trirotor::cli {

std::optional<ByteBuffer> SalvageOne(ByteBuffer message, const KeyPair& keys, const std::string& name) {
  SalvageResult result = SalvageBytes(std::move(message), *keys.key, keys.suffix);
  StopIfAsked();
  if (!result.looksLikeFrame) {
    Complain(name + std::string(ErrorMessage(kErrFrameCheck)));
    Complain(name + "nothing to salvage: the message does not look like a frame of this key");
    return std::nullopt;
  }
  if (result.plain.empty()) {
    // Writing an empty file would replace what was there with nothing, and
    // say the run did something: the status is that of a failed frame.
    std::string why = "no byte of the text is left";
    if (result.kind == '3' && !result.stoppedBecause.empty()) why += " (" + result.stoppedBecause + ")";
    Complain(name + std::string(ErrorMessage(kErrFrameCheck)));
    Complain(name + "nothing to salvage: " + why);
    return std::nullopt;
  }
  const std::string count = std::to_string(result.plain.size());
  std::string warning;
  if (result.kind == '3') {
    // The length is known once the container's header is whole.
    warning = "salvaged " + count +
              (result.announcedLength >= 0 ? " of " + std::to_string(result.announcedLength) + " bytes"
                                           : " bytes of a compressed text whose length is cut off");
    if (!result.complete) {
      warning += " (" + result.stoppedBecause + ")";
    } else if (!result.checksumAgrees) {
      warning += " (" + std::string(ErrorMessage(kErrChecksum)) + ")";
    } else {
      warning += " (their checksum agrees)";
    }
  } else {
    warning = "salvaged " + count + " bytes of a stored text, which announces no length";
    warning += result.trailerFound ? " (the trailer was found after them)" : " (no trailer found: the end may be cut)";
  }
  Complain(name + "warning: the frame did not check out; " + warning + "; the text is not verified");
  return std::move(result.plain);
}

}  // namespace trirotor::cli
