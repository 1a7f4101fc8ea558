// SPDX-License-Identifier: MIT
//
// hooks_test.cpp - the window's event and pointer hooks on their own.
//
// Guards against a busy cursor that stacks (and so never goes away), a hook
// that pops an override cursor it did not set, hooks left installed after a
// run, and a progress bar that misses a pause.

#include <QCursor>
#include <QGuiApplication>
#include <QProgressBar>
#include <QtTest>
#include <vector>

#include "engine/internal.h"
#include "gui/hooks.h"

using namespace trirotor;

namespace {

int otherEvents = 0;
void OtherEventHook() { ++otherEvents; }
void OtherPointerHook(int) {}

// The override cursor now, or -1 for none.
int CursorNow() {
  const QCursor* cursor = QGuiApplication::overrideCursor();
  return cursor == nullptr ? -1 : static_cast<int>(cursor->shape());
}

}  // namespace

class HooksTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() {
    gui::ShowPointer(platform::kPointerDefault);
    while (QGuiApplication::overrideCursor() != nullptr) QGuiApplication::restoreOverrideCursor();
    platform::SetEventHook(nullptr);
    platform::SetPointerHook(nullptr);
  }

  void PointerSequences_data() {
    QTest::addColumn<int>("before");  // an override set by someone else, or -1
    QTest::addColumn<std::vector<int>>("codes");
    QTest::addColumn<int>("after");
    QTest::addColumn<int>("afterDefault");  // once a final 0 is shown
    QTest::newRow("busy") << -1 << std::vector<int>{11} << int(Qt::WaitCursor) << -1;
    QTest::newRow("busy then default") << -1 << std::vector<int>{11, 0} << -1 << -1;
    QTest::newRow("busy twice is one override") << -1 << std::vector<int>{11, 11} << int(Qt::WaitCursor) << -1;
    QTest::newRow("default alone pops nothing") << -1 << std::vector<int>{0, 0} << -1 << -1;
    QTest::newRow("another override survives")
        << int(Qt::CrossCursor) << std::vector<int>{11, 11} << int(Qt::WaitCursor) << int(Qt::CrossCursor);
    QTest::newRow("another override, default only")
        << int(Qt::CrossCursor) << std::vector<int>{0} << int(Qt::CrossCursor) << int(Qt::CrossCursor);
  }
  void PointerSequences() {
    QFETCH(int, before);
    QFETCH(std::vector<int>, codes);
    QFETCH(int, after);
    QFETCH(int, afterDefault);
    if (before >= 0) QGuiApplication::setOverrideCursor(QCursor(static_cast<Qt::CursorShape>(before)));
    for (int code : codes) gui::ShowPointer(code);
    QCOMPARE(CursorNow(), after);
    gui::ShowPointer(platform::kPointerDefault);
    QCOMPARE(CursorNow(), afterDefault);
  }

  void ScopeInstallsAndPutsBackTheHooks() {
    platform::SetEventHook(&OtherEventHook);
    platform::SetPointerHook(&OtherPointerHook);
    QProgressBar bar;
    {
      gui::HookScope scope(&bar);
      QVERIFY(platform::GetEventHook() == &gui::RunPendingEvents);
      QVERIFY(platform::GetPointerHook() == &gui::ShowPointer);
      platform::SetMousePointer(platform::kPointerBusy);  // as the engine does
      QCOMPARE(CursorNow(), int(Qt::WaitCursor));
      // The run ends in an error with the busy pointer still up.
    }
    QCOMPARE(CursorNow(), -1);
    QCOMPARE(platform::MousePointer(), platform::kPointerDefault);
    QVERIFY(platform::GetEventHook() == &OtherEventHook);
    QVERIFY(platform::GetPointerHook() == &OtherPointerHook);
  }

  void PausesShowProgressAndDeliverEvents() {
    QProgressBar bar;
    bar.setRange(0, 100);
    gui::HookScope scope(&bar);
    bool delivered = false;
    QMetaObject::invokeMethod(
        this, [&delivered] { delivered = true; }, Qt::QueuedConnection);
    Progress = 37;
    platform::ProcessEvents();  // the first pause of a run always delivers events
    QVERIFY(delivered);
    QCOMPARE(bar.value(), 37);
    // Every pause shows Progress, whether or not it delivers events.
    for (std::int16_t value : {38, 45, 50, 73}) {
      Progress = value;
      platform::ProcessEvents();
      QCOMPARE(bar.value(), int(value));
    }
  }
};

QTEST_MAIN(HooksTest)
#include "hooks_test.moc"
