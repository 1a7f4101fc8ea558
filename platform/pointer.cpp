// SPDX-License-Identifier: MIT
//
// pointer.cpp - the busy and default mouse pointer, forwarded to the host.

#include "platform/platform.h"

namespace trirotor::platform {
namespace {
thread_local PointerHook pointerHook = nullptr;
thread_local int pointerCode = kPointerDefault;
}  // namespace

void SetPointerHook(PointerHook hook) { pointerHook = hook; }
PointerHook GetPointerHook() { return pointerHook; }

void SetMousePointer(int code) {
  pointerCode = code;
  if (pointerHook != nullptr) pointerHook(code);
}

int MousePointer() { return pointerCode; }

}  // namespace trirotor::platform
