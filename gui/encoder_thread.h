// SPDX-License-Identifier: MIT
//
// encoder_thread.h - running the encoder beside the window.
//
// The encoder has no pauses and takes seconds over a large text, so it runs
// on a thread of its own (the engine's state is per thread) while the
// window's thread goes on delivering events in a local event loop.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>

#include "engine/trirotor.h"

namespace trirotor::gui {

// What Encode calls on the worker thread.
using Encoder = std::u16string (*)(std::u16string_view plain, std::u16string_view key, std::u16string_view keySuffix);

struct EncodeOutcome {
  std::u16string message;
  std::optional<EngineError> engineError;  // the engine refused
  QString failure;                         // anything else (out of memory, ...)
};

// Calls `encoder` on a new thread under the calling thread's code page (the
// page is per thread) and returns once it is done, delivering the calling
// thread's events meanwhile. The views must stay valid and unchanged until
// it returns. Without a thread to be had, encodes on this one.
EncodeOutcome EncodeBesideWindow(Encoder encoder, std::u16string_view plain, std::u16string_view key,
                                 std::u16string_view keySuffix);

}  // namespace trirotor::gui
