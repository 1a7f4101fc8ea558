// SPDX-License-Identifier: MIT
//
// main_window.h - the trirotor window for Windows, in plain Win32 and common
// controls: decode on the window's own thread, encode beside it.
//
// The decoder runs synchronously inside the Decode button's WM_COMMAND, as
// the legacy program ran it. Its pauses pump the thread's messages
// (platform::UseWindowHooks), so the window repaints, the progress bar moves
// and Abort answers while the command is still running. What that lets in
// is refused while a run is in progress: every command but Abort, a dropped
// file, a code page change, and closing the window, which aborts the run and
// closes once the command has returned. The window's state is this object,
// which outlives the window: nothing a pause dispatches can free it.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>
#include <string_view>

#include "engine/trirotor.h"

namespace trirotor::gui::win32 {

class MainWindow {
 public:
  MainWindow() = default;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Registers the window class and creates the window, not yet shown.
  // False if Windows refuses.
  bool Create(HINSTANCE instance);
  HWND Handle() const { return window_; }

  // Reads a message or text file into the input, as Open... and a drop do.
  // False, and the reason in the status line, if it cannot.
  bool LoadInputFile(const std::wstring& path);
  // Reads a key or key suffix file into its field with the command line's
  // reader and rules. False, and the reason in the status line, if it cannot.
  enum class KeyField { kKey, kSuffix };
  bool LoadKeyFile(const std::wstring& path, KeyField field);
  void ShowStatus(std::wstring_view text);

  void Decode();
  void Encode();
  void Abort();
  bool IsRunning() const { return running_; }

  // The message loop's keyboard handling: accelerators (Ctrl+O, Ctrl+S)
  // and Tab between the controls. True if it took the message.
  bool TranslateKeys(MSG& message);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(int id, int code);
  void OnDropFiles(HDROP drop);
  bool OnClose();
  bool OnSetCursor();

  // Building and laying out (layout.cpp).
  void BuildControls();
  HWND AddControl(const wchar_t* className, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0);
  void FillCodePages();
  void ApplyFont();
  void LayOut();
  int Scaled(int pixelsAt96) const;

  // Input, fields and result.
  void SetInputText(std::u16string text, const std::wstring& origin);
  std::u16string InputText() const;
  void ClearInput();
  void ShowResult(std::u16string text);
  void SelectCodePage();
  void ToggleKeyShown();
  void OpenInputFile();
  void OpenKeyFile(KeyField field);
  void SaveResult();
  void CopyResult();
  std::optional<std::wstring> AskForFile(bool save, const wchar_t* title, const wchar_t* filter);

  // Running the engine (run.cpp).
  bool CheckKey();
  bool CheckEncodable(const std::u16string& plain, const std::u16string& key, const std::u16string& keySuffix);
  void ShowStatusWithKeyWarnings(std::wstring text, const std::u16string& key, const std::u16string& keySuffix);
  void BeginRun();
  void EndRun();
  void ReportDecode(const DecodeOutcome& outcome, const std::wstring& failure, const std::u16string& key,
                    const std::u16string& keySuffix);
  void CloseIfAsked();

  HWND Control(int id) const { return GetDlgItem(window_, id); }

  HWND window_ = nullptr;
  HINSTANCE instance_ = nullptr;
  HFONT font_ = nullptr;
  HACCEL accelerators_ = nullptr;
  UINT dpi_ = 96;
  wchar_t passwordChar_ = L'*';

  std::u16string heldInput_;  // the input as loaded, until it is edited
  bool inputHeld_ = false;
  bool fillingInput_ = false;  // our own change of the input pane
  std::u16string resultText_;  // the whole result; the pane may show less

  bool running_ = false;
  bool closeRequested_ = false;
  HWND focusBefore_ = nullptr;
};

}  // namespace trirotor::gui::win32
