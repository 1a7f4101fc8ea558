// SPDX-License-Identifier: MIT
//
// main_window.cpp - the Windows window's messages, fields and files.
//
// Every command a person can give arrives as WM_COMMAND (or WM_DROPFILES);
// while a run is in progress only Abort is taken, whatever sends it: the
// controls are disabled too, but a pause dispatches whatever was queued
// before, or is sent from outside. Decoding and encoding are in run.cpp,
// the controls' places in layout.cpp.

#include "gui/win32/main_window.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/trirotor.h"
#include "gui/file_text.h"
#include "gui/win32/control_ids.h"
#include "gui/win32/files.h"
#include "gui/win32/text.h"
#include "support/key_file.h"
#include "support/wide_path.h"

namespace trirotor::gui::win32 {
namespace {

constexpr wchar_t kInputTitle[] = L"Input: a message to decode, or a plain text to encode";
constexpr wchar_t kFirstStatus[] = L"Open, drop or paste a message, enter its key, then Decode.";

// Escape on the focused Abort button presses it, as Escape does in a
// dialog: during a run the message pump has no dialog handling.
LRESULT CALLBACK AbortButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if (message == WM_GETDLGCODE) return DefSubclassProc(button, message, wParam, lParam) | DLGC_WANTALLKEYS;
  if (message == WM_KEYDOWN && wParam == VK_ESCAPE) {
    SendMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(kIdAbort, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return 0;
  }
  return DefSubclassProc(button, message, wParam, lParam);
}

}  // namespace

/// The window ///

bool MainWindow::Create(HINSTANCE instance) {
  instance_ = instance;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &MainWindow::WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  if (RegisterClassExW(&windowClass) == 0) return false;
  // WM_NCCREATE ties the window to this object before any other message.
  if (CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 10, 10, nullptr,
                      nullptr, instance, this) == nullptr) {
    return false;
  }
  BuildControls();
  SetWindowSubclass(Control(kIdAbort), &AbortButtonProc, 0, 0);
  ACCEL keys[] = {{FCONTROL | FVIRTKEY, 'O', kIdOpen}, {FCONTROL | FVIRTKEY, 'S', kIdSave}};
  accelerators_ = CreateAcceleratorTableW(keys, static_cast<int>(std::size(keys)));
  DragAcceptFiles(window_, TRUE);
  SetWindowPos(window_, nullptr, 0, 0, Scaled(780), Scaled(680), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  LayOut();
  ShowStatus(kFirstStatus);
  return true;
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self->window_ = nullptr;
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return self->HandleMessage(message, wParam, lParam);
}

LRESULT MainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: OnCommand(LOWORD(wParam), HIWORD(wParam)); return 0;
    case WM_DROPFILES: OnDropFiles(reinterpret_cast<HDROP>(wParam)); return 0;
    case WM_SIZE:
      if (!Control(kIdStatus)) break;
      LayOut();
      return 0;
    case WM_GETMINMAXINFO: reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {Scaled(560), Scaled(520)}; return 0;
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wParam);
      ApplyFont();
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_SETCURSOR:
      if (OnSetCursor()) return TRUE;
      break;
    case WM_CLOSE:
      if (OnClose()) DestroyWindow(window_);
      return 0;
    case WM_DESTROY:
      if (accelerators_ != nullptr) DestroyAcceleratorTable(accelerators_);
      if (font_ != nullptr) DeleteObject(font_);
      accelerators_ = nullptr;
      font_ = nullptr;
      PostQuitMessage(0);
      return 0;
    default: break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

bool MainWindow::TranslateKeys(MSG& message) {
  if (window_ == nullptr) return false;
  if (accelerators_ != nullptr && TranslateAcceleratorW(window_, accelerators_, &message)) return true;
  return IsDialogMessageW(window_, &message) != 0;
}

void MainWindow::OnCommand(int id, int code) {
  if (id == kIdAbort || id == IDCANCEL) {
    Abort();
    return;
  }
  if (running_) {
    // The list moved under a disabled box: put the running page back.
    if (id == kIdCodePage && code == CBN_SELCHANGE) FillCodePages();
    return;
  }
  switch (id) {
    case kIdInput:
      // Editing replaces a held text: from now on the pane is the input.
      if (code == EN_CHANGE && !fillingInput_ && inputHeld_) {
        heldInput_.clear();
        inputHeld_ = false;
        SetWindowTextW(Control(kIdInputLabel), kInputTitle);
      }
      return;
    case kIdCodePage:
      if (code == CBN_SELCHANGE) SelectCodePage();
      return;
    case kIdOpen: OpenInputFile(); return;
    case kIdClear: ClearInput(); return;
    case kIdShowKey: ToggleKeyShown(); return;
    case kIdKeyFile: OpenKeyFile(KeyField::kKey); return;
    case kIdSuffixFile: OpenKeyFile(KeyField::kSuffix); return;
    case kIdDecode:
    case IDOK:  // Enter in a one-line field
      Decode();
      return;
    case kIdEncode: Encode(); return;
    case kIdCopy: CopyResult(); return;
    case kIdSave: SaveResult(); return;
    default: return;
  }
}

void MainWindow::OnDropFiles(HDROP drop) {
  std::wstring path;
  if (!running_ && DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) > 0) {
    const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    path.resize(length + 1);
    path.resize(DragQueryFileW(drop, 0, path.data(), length + 1));
  }
  DragFinish(drop);
  if (!path.empty()) LoadInputFile(path);
}

// Closing during a run would take the window from under the decode: stop
// it, and close when the command that runs it returns.
bool MainWindow::OnClose() {
  if (!running_) return true;
  closeRequested_ = true;
  Abort();
  return false;
}

// The busy pointer stays while the engine says so, over every control:
// Windows would otherwise put back the class's arrow at the next move.
bool MainWindow::OnSetCursor() {
  if (platform::MousePointer() != platform::kPointerBusy) return false;
  SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  return true;
}

void MainWindow::ShowStatus(std::wstring_view text) { SetWindowTextW(Control(kIdStatus), std::wstring(text).c_str()); }

/// Input and result ///

void MainWindow::SetInputText(std::u16string text, const std::wstring& origin) {
  fillingInput_ = true;
  HWND pane = Control(kIdInput);
  if (text.size() > kPaneTextLimit) {
    SetWindowTextW(pane, L"");
    SendMessageW(pane, EM_SETREADONLY, TRUE, 0);
    SetWindowTextW(Control(kIdInputLabel), (L"Input: " + origin + L", " + GroupThousands(text.size()) +
                                            L" characters, too long to show; Decode and Encode use it as it is")
                                               .c_str());
  } else {
    SendMessageW(pane, EM_SETREADONLY, FALSE, 0);
    SetWindowTextW(pane, ForEditControl(text, text.size()).c_str());
    SetWindowTextW(Control(kIdInputLabel), (L"Input: " + origin).c_str());
  }
  heldInput_ = std::move(text);
  inputHeld_ = true;
  fillingInput_ = false;
}

std::u16string MainWindow::InputText() const {
  return inputHeld_ ? heldInput_ : ToEngine(ControlText(Control(kIdInput)));
}

void MainWindow::ClearInput() {
  fillingInput_ = true;
  heldInput_.clear();
  inputHeld_ = false;
  SendMessageW(Control(kIdInput), EM_SETREADONLY, FALSE, 0);
  SetWindowTextW(Control(kIdInput), L"");
  SetWindowTextW(Control(kIdInputLabel), kInputTitle);
  fillingInput_ = false;
}

void MainWindow::ShowResult(std::u16string text) {
  SetWindowTextW(Control(kIdResult), ForEditControl(text, kPaneTextLimit).c_str());
  SetWindowTextW(Control(kIdResultLabel), text.size() > kPaneTextLimit
                                              ? (L"Result: the first " + GroupThousands(kPaneTextLimit) + L" of " +
                                                 GroupThousands(text.size()) + L" characters (Copy and Save take all)")
                                                    .c_str()
                                              : L"Result");
  resultText_ = std::move(text);
}

bool MainWindow::LoadInputFile(const std::wstring& path) {
  if (running_) return false;
  InputFile file = ReadInputFile(path, kMaxInputFileBytes);
  if (!file.ok) {
    ShowStatus(file.error);
    return false;
  }
  const std::size_t slash = path.find_last_of(L"\\/");
  const std::size_t characters = file.text.size();
  SetInputText(std::move(file.text), slash == std::wstring::npos ? path : path.substr(slash + 1));
  ShowStatus(L"Loaded " + path + L" (" + GroupThousands(characters) + L" characters, read as " +
             (file.utf8 ? std::wstring(L"UTF-8") : L"bytes of code page " + std::to_wstring(platform::CodePage())) +
             L").");
  return true;
}

bool MainWindow::LoadKeyFile(const std::wstring& path, KeyField field) {
  if (running_) return false;
  const bool isKey = field == KeyField::kKey;
  std::u16string text;
  try {
    text = support::ReadKeyFile(support::NarrowText(path), isKey ? "the key file" : "the suffix file");
  } catch (const support::KeyFileError& error) {
    ShowStatus(FromUtf8(error.what()));
    return false;
  }
  if (isKey && text.empty()) {
    ShowStatus(L"The key file " + path + L" is empty; a message needs a key of at least one character.");
    return false;
  }
  SetWindowTextW(Control(isKey ? kIdKey : kIdSuffix), FromEngine(text).c_str());
  ShowStatus((isKey ? L"Key read from " : L"Key suffix read from ") + path + L".");
  return true;
}

void MainWindow::SelectCodePage() {
  HWND box = Control(kIdCodePage);
  const auto index = SendMessageW(box, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return;
  const int codePage = static_cast<int>(SendMessageW(box, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
  try {
    platform::SetCodePage(codePage);
    ShowStatus(L"Code page " + std::to_wstring(codePage) + L".");
  } catch (const std::invalid_argument& error) {
    ShowStatus(FromUtf8(error.what()));
    SendMessageW(box, CB_RESETCONTENT, 0, 0);
    FillCodePages();
  }
}

void MainWindow::ToggleKeyShown() {
  const bool shown = SendMessageW(Control(kIdShowKey), BM_GETCHECK, 0, 0) == BST_CHECKED;
  SendMessageW(Control(kIdKey), EM_SETPASSWORDCHAR, shown ? 0 : passwordChar_, 0);
  InvalidateRect(Control(kIdKey), nullptr, TRUE);
}

/// Files and the clipboard ///

// The common file dialog; a name of any length (the \\?\ form past 260).
std::optional<std::wstring> MainWindow::AskForFile(bool save, const wchar_t* title, const wchar_t* filter) {
  std::vector<wchar_t> name(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = window_;
  dialog.lpstrFilter = filter;
  dialog.lpstrFile = name.data();
  dialog.nMaxFile = static_cast<DWORD>(name.size());
  dialog.lpstrTitle = title;
  dialog.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;
  if (save) {
    // Replacing a file is asked about first.
    dialog.Flags |= OFN_OVERWRITEPROMPT;
    dialog.lpstrDefExt = L"txt";
  } else {
    dialog.Flags |= OFN_FILEMUSTEXIST;
  }
  const BOOL chosen = save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
  if (!chosen) return std::nullopt;
  return std::wstring(name.data());
}

void MainWindow::OpenInputFile() {
  if (auto path = AskForFile(false, L"Open a message", L"Messages (*.b64, *.txt)\0*.b64;*.txt\0All files\0*.*\0")) {
    LoadInputFile(*path);
  }
}

void MainWindow::OpenKeyFile(KeyField field) {
  const wchar_t* title = field == KeyField::kKey ? L"Open a key file" : L"Open a key suffix file";
  if (auto path = AskForFile(false, title, L"All files\0*.*\0")) LoadKeyFile(*path, field);
}

void MainWindow::SaveResult() {
  const auto path = AskForFile(true, L"Save the result", L"Text, UTF-8 (*.txt)\0*.txt\0All files\0*.*\0");
  if (!path) return;
  // UTF-8, as the command line writes plain text; a sealed message is ASCII.
  const std::wstring failure = SaveTextFile(*path, resultText_);
  if (!failure.empty()) {
    ShowStatus(L"Cannot save " + *path + L": " + failure);
    return;
  }
  ShowStatus(L"Saved " + GroupThousands(resultText_.size()) + L" characters to " + *path + L" (UTF-8).");
}

// The whole result, with Windows' line ends, as text pasted elsewhere is
// expected to have them.
void MainWindow::CopyResult() {
  const std::wstring text = ForEditControl(resultText_, resultText_.size());
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
  void* at = memory != nullptr ? GlobalLock(memory) : nullptr;
  if (at == nullptr || !OpenClipboard(window_)) {
    if (at != nullptr) GlobalUnlock(memory);
    if (memory != nullptr) GlobalFree(memory);
    ShowStatus(L"Cannot copy: the clipboard is not available.");
    return;
  }
  CopyMemory(at, text.c_str(), bytes);
  GlobalUnlock(memory);
  EmptyClipboard();
  if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) GlobalFree(memory);
  CloseClipboard();
  ShowStatus(L"Copied " + GroupThousands(resultText_.size()) + L" characters.");
}

}  // namespace trirotor::gui::win32
