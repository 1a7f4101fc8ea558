// SPDX-License-Identifier: MIT
//
// control_ids.h - the Windows window's class name and the identifiers of its
// controls: what the window is built from, and what its test driver finds
// it by.
#pragma once

namespace trirotor::gui::win32 {

inline constexpr wchar_t kWindowClass[] = L"trirotor.window";
inline constexpr wchar_t kWindowTitle[] = L"trirotor";

// Control identifiers, GetDlgItem(window, id). The buttons send their own
// identifier as WM_COMMAND's, so posting WM_COMMAND with one presses it.
enum ControlId : int {
  kIdInputLabel = 100,  // "Input: ...", and what a held text is
  kIdInput,             // the message or plain text
  kIdOpen,              // "Open..."
  kIdClear,
  kIdKeyLabel,
  kIdKey,      // masked
  kIdShowKey,  // a check box that unmasks the key
  kIdKeyFile,  // "Key file..."
  kIdSuffixLabel,
  kIdSuffix,
  kIdSuffixFile,  // "Suffix file..."
  kIdCodePageLabel,
  kIdCodePage,  // a drop-down list; item data is the page's number
  kIdDecode,
  kIdEncode,
  kIdResultLabel,  // "Result", or how much of it the pane shows
  kIdResult,       // read-only
  kIdCopy,
  kIdSave,      // "Save..."
  kIdStatus,    // the outcome in words, warnings on lines below
  kIdProgress,  // 0..100, the engine's Progress
  kIdAbort,
};

}  // namespace trirotor::gui::win32
