// SPDX-License-Identifier: MIT
//
// events.cpp - the pause in which the host runs its pending events.

#include "platform/platform.h"

namespace trirotor::platform {
namespace {
thread_local EventHook eventHook = nullptr;
}  // namespace

void SetEventHook(EventHook hook) { eventHook = hook; }
EventHook GetEventHook() { return eventHook; }

void ProcessEvents() {
  if (eventHook != nullptr) eventHook();
}

}  // namespace trirotor::platform
