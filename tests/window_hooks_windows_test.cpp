// SPDX-License-Identifier: MIT
//
// window_hooks_windows_test.cpp - the ready-made hooks for a Windows host
// with a window, Windows builds only: the engine's pauses pump the thread's
// messages, and a quit stops the decode without being lost to the host.

#include <windows.h>

#include "tests/test_util.h"

namespace trirotor::test {
namespace {

using WindowHooks = EngineTest;

TEST_F(WindowHooks, PausesPumpMessagesAndAQuitAbortsTheDecode) {
  platform::UseWindowHooks();
  ASSERT_NE(platform::GetEventHook(), nullptr);
  ASSERT_NE(platform::GetPointerHook(), nullptr);
  platform::SetMousePointer(platform::kPointerBusy);  // no window: SetCursor does nothing, must not fail
  EXPECT_EQ(platform::MousePointer(), platform::kPointerBusy);

  struct Case {
    UINT message;
    bool aborts;
  };
  const Case cases[] = {{WM_APP + 1, false}, {WM_NULL, false}, {WM_QUIT, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    AbortFlag = 0;
    ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), c.message, 7, 0));
    platform::ProcessEvents();
    EXPECT_EQ(AbortFlag, c.aborts ? -1 : 0);
    MSG left;
    const bool queued = PeekMessage(&left, nullptr, 0, 0, PM_REMOVE) != 0;
    // The pump took the message; a quit is put back for the host's loop.
    EXPECT_EQ(queued, c.aborts);
    if (queued) {
      EXPECT_EQ(left.message, static_cast<UINT>(WM_QUIT));
      EXPECT_EQ(left.wParam, 7u);
    }
  }
}

}  // namespace
}  // namespace trirotor::test
