// SPDX-License-Identifier: MIT
//
// window_hooks_windows.cpp - the pointer and event hooks a Windows host
// with a window needs, ready made.

#include <windows.h>

#include "platform/platform.h"

namespace trirotor::platform {
namespace {

void ShowPointer(int code) { SetCursor(LoadCursor(nullptr, code == kPointerBusy ? IDC_WAIT : IDC_ARROW)); }

void PumpMessages() {
  MSG message;
  while (PeekMessage(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));  // for the host's own loop to see
      AbortFlag = -1;
      return;
    }
    TranslateMessage(&message);
    DispatchMessage(&message);
  }
}

}  // namespace

void UseWindowHooks() {
  SetPointerHook(ShowPointer);
  SetEventHook(PumpMessages);
}

}  // namespace trirotor::platform
