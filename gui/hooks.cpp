// SPDX-License-Identifier: MIT
//
// hooks.cpp - the window's event and pointer hooks for a running decode.
//
// The platform layer takes plain function pointers, so the hooks reach the
// window's progress bar through a pointer held here. It is guarded
// (QPointer): a window deleted from inside a pause must not leave the hook
// writing to freed memory.

#include "gui/hooks.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>

#include "engine/trirotor.h"

namespace trirotor::gui {
namespace {

// All of this belongs to the user-interface thread, the only one that runs
// the window's engine.
QPointer<QProgressBar> runProgressBar;  // where the running decode shows Progress
QElapsedTimer sinceEvents;              // time since events were last delivered
bool busyShown = false;                 // whether our override cursor is in place

}  // namespace

void RunPendingEvents() {
  // Cheap: QProgressBar repaints only when the drawn value changes.
  if (runProgressBar != nullptr) runProgressBar->setValue(Progress);
  if (sinceEvents.isValid() && sinceEvents.elapsed() < kEventIntervalMs) return;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  sinceEvents.start();
}

void ShowPointer(int pointerCode) {
  if (pointerCode == platform::kPointerBusy) {
    if (!busyShown) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    busyShown = true;
  } else if (busyShown) {
    QGuiApplication::restoreOverrideCursor();
    busyShown = false;
  }
}

HookScope::HookScope(QProgressBar* progressBar)
    : previousEventHook_(platform::GetEventHook()),
      previousPointerHook_(platform::GetPointerHook()),
      previousBar_(runProgressBar) {
  runProgressBar = progressBar;
  sinceEvents.invalidate();  // the first pause of the run delivers events
  platform::SetEventHook(&RunPendingEvents);
  platform::SetPointerHook(&ShowPointer);
}

HookScope::~HookScope() {
  platform::SetMousePointer(platform::kPointerDefault);
  platform::SetEventHook(previousEventHook_);
  platform::SetPointerHook(previousPointerHook_);
  runProgressBar = previousBar_;
}

}  // namespace trirotor::gui
