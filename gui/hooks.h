// SPDX-License-Identifier: MIT
//
// hooks.h - the window's event and pointer hooks for a running decode.
//
// The engine runs on the user-interface thread and pauses every few thousand
// bytes. At each pause the window shows Progress and lets Qt deliver pending
// events (repaints, the Abort button); the busy pointer is the application's
// override cursor. The hooks are installed only for the length of one run.
#pragma once

#include <QPointer>
#include <QProgressBar>

#include "engine/trirotor.h"

namespace trirotor::gui {

// Pending events are delivered at most this often (and always at the first
// pause of a run): a pause comes every 5000 bytes, far more often than a
// person can notice, and delivering events costs more than decrypting.
inline constexpr int kEventIntervalMs = 15;

// The event hook: shows Progress on the run's progress bar, then lets Qt
// process pending events when kEventIntervalMs have passed since it last did.
void RunPendingEvents();

// The pointer hook: code 11 shows the busy cursor as the application's
// override cursor, any other code takes it away again. Repeated codes do not
// stack overrides, and an override set by someone else is left alone.
void ShowPointer(int pointerCode);

// Installs both hooks on this thread for one run and puts back the ones it
// found when it ends. Ending also takes the busy cursor away, since a run
// that ends in an error may leave it showing.
class HookScope {
 public:
  explicit HookScope(QProgressBar* progressBar);
  ~HookScope();
  HookScope(const HookScope&) = delete;
  HookScope& operator=(const HookScope&) = delete;

 private:
  platform::EventHook previousEventHook_;
  platform::PointerHook previousPointerHook_;
  QPointer<QProgressBar> previousBar_;
};

}  // namespace trirotor::gui
