// SPDX-License-Identifier: MIT
//
// layout.cpp - the Windows window's controls: made once, placed at every
// size and DPI change.
//
// Sizes are written in pixels at 96 DPI and scaled by the window's DPI (the
// manifest declares per-monitor awareness, so Windows does not stretch the
// window's bitmap on a high-DPI screen; the window lays itself out again
// when it moves to a monitor of another DPI). The font is the system's
// message font at that DPI.

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>

#include "engine/trirotor.h"
#include "gui/win32/control_ids.h"
#include "gui/win32/main_window.h"
#include "gui/win32/text.h"

namespace trirotor::gui::win32 {
namespace {

constexpr int kMargin = 10;
constexpr int kGap = 6;
constexpr int kRowHeight = 25;
constexpr int kLabelWidth = 84;
constexpr int kButtonWidth = 112;
constexpr int kShowWidth = 64;
constexpr int kStatusHeight = 52;  // three lines: an outcome and two warnings
constexpr int kProgressWidth = 200;
constexpr int kCodePageWidth = 560;

// GetDpiForWindow where Windows has it (10, version 1607 on), else the
// screen's DPI.
UINT WindowDpi(HWND window) {
  using DpiForWindow = UINT(WINAPI*)(HWND);
  static const auto dpiForWindow = reinterpret_cast<DpiForWindow>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (dpiForWindow != nullptr) return dpiForWindow(window);
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return static_cast<UINT>(dpi);
}

void Place(HWND control, int x, int y, int width, int height) {
  MoveWindow(control, x, y, std::max(width, 1), std::max(height, 1), FALSE);
}

}  // namespace

int MainWindow::Scaled(int pixelsAt96) const { return MulDiv(pixelsAt96, static_cast<int>(dpi_), 96); }

HWND MainWindow::AddControl(const wchar_t* className, const wchar_t* text, DWORD style, int id, DWORD exStyle) {
  return CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, window_,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
}

void MainWindow::BuildControls() {
  constexpr DWORD kButton = WS_TABSTOP | BS_PUSHBUTTON;
  constexpr DWORD kLabel = SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE;
  constexpr DWORD kPane = WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_NOHIDESEL;
  AddControl(WC_STATICW, L"Input: a message to decode, or a plain text to encode", kLabel, kIdInputLabel);
  AddControl(WC_BUTTONW, L"&Open\u2026", kButton, kIdOpen);
  AddControl(WC_BUTTONW, L"C&lear", kButton, kIdClear);
  AddControl(WC_EDITW, L"", kPane | ES_WANTRETURN, kIdInput, WS_EX_CLIENTEDGE);
  AddControl(WC_STATICW, L"&Key:", SS_LEFT | SS_CENTERIMAGE, kIdKeyLabel);
  AddControl(WC_EDITW, L"", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, kIdKey, WS_EX_CLIENTEDGE);
  AddControl(WC_BUTTONW, L"S&how", WS_TABSTOP | BS_AUTOCHECKBOX, kIdShowKey);
  AddControl(WC_BUTTONW, L"Key &file\u2026", kButton, kIdKeyFile);
  AddControl(WC_STATICW, L"Key &suffix:", SS_LEFT | SS_CENTERIMAGE, kIdSuffixLabel);
  AddControl(WC_EDITW, L"", WS_TABSTOP | ES_AUTOHSCROLL, kIdSuffix, WS_EX_CLIENTEDGE);
  AddControl(WC_BUTTONW, L"Suffi&x file\u2026", kButton, kIdSuffixFile);
  AddControl(WC_STATICW, L"Code &page:", SS_LEFT | SS_CENTERIMAGE, kIdCodePageLabel);
  AddControl(WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, kIdCodePage);
  AddControl(WC_BUTTONW, L"&Decode", kButton, kIdDecode);
  AddControl(WC_BUTTONW, L"&Encode", kButton, kIdEncode);
  AddControl(WC_STATICW, L"Result", kLabel, kIdResultLabel);
  AddControl(WC_BUTTONW, L"&Copy", kButton, kIdCopy);
  AddControl(WC_BUTTONW, L"Sa&ve\u2026", kButton, kIdSave);
  AddControl(WC_EDITW, L"", kPane | ES_READONLY, kIdResult, WS_EX_CLIENTEDGE);
  // The status is a read-only edit, so that an error's words can be copied.
  AddControl(WC_EDITW, L"", ES_MULTILINE | ES_READONLY, kIdStatus);
  AddControl(PROGRESS_CLASSW, L"", PBS_SMOOTH, kIdProgress);
  AddControl(WC_BUTTONW, L"Abort", kButton, kIdAbort);

  // Multi-line edits hold up to 2^31 - 2 characters once told so.
  SendMessageW(Control(kIdInput), EM_SETLIMITTEXT, 0, 0);
  SendMessageW(Control(kIdResult), EM_SETLIMITTEXT, 0, 0);
  SendMessageW(Control(kIdKey), EM_SETLIMITTEXT, 0, 0);
  SendMessageW(Control(kIdSuffix), EM_SETLIMITTEXT, 0, 0);
  passwordChar_ = static_cast<wchar_t>(SendMessageW(Control(kIdKey), EM_GETPASSWORDCHAR, 0, 0));
  SendMessageW(Control(kIdProgress), PBM_SETRANGE32, 0, 100);
  EnableWindow(Control(kIdAbort), FALSE);
  dpi_ = WindowDpi(window_);
  ApplyFont();
  FillCodePages();
}

void MainWindow::FillCodePages() {
  HWND box = Control(kIdCodePage);
  const int current = platform::CodePage();
  int selected = -1;
  // The library's list: the pages it accepts on this system, no more; those
  // that convert by Windows' own tables marked as the tool marks them.
  for (const platform::CodePageInfo& page : platform::SupportedCodePages()) {
    std::wstring item =
        std::to_wstring(page.number) + L" \u2013 " + FromUtf8(page.description) + L" (" + FromUtf8(page.name);
    if (page.windowsTables) item += L"; Windows' own tables, best fit included";
    item += L")";
    const auto index = SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    SendMessageW(box, CB_SETITEMDATA, static_cast<WPARAM>(index), page.number);
    if (page.number == current) selected = static_cast<int>(index);
  }
  if (selected < 0) {
    // A page set before the window was made, outside the usual list.
    const std::wstring item = std::to_wstring(current);
    selected = static_cast<int>(SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str())));
    SendMessageW(box, CB_SETITEMDATA, static_cast<WPARAM>(selected), current);
  }
  SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void MainWindow::ApplyFont() {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  LOGFONTW font{};
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    font = metrics.lfMessageFont;
  } else {
    font.lfHeight = -12;
    lstrcpynW(font.lfFaceName, L"Segoe UI", LF_FACESIZE);
  }
  // The metrics are at the DPI the system started with; this window's
  // monitor may have another.
  HDC screen = GetDC(nullptr);
  const int systemDpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  font.lfHeight = MulDiv(font.lfHeight, static_cast<int>(dpi_), systemDpi > 0 ? systemDpi : 96);
  HFONT made = CreateFontIndirectW(&font);
  if (made == nullptr) return;
  for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(made), FALSE);
  }
  if (font_ != nullptr) DeleteObject(font_);
  font_ = made;
}

// Top to bottom: the input's title and buttons, the input pane, the key,
// suffix and code page rows, Decode and Encode, the result's title and
// buttons, the result pane, and the status beside the progress bar and
// Abort. The two panes share what height is left.
void MainWindow::LayOut() {
  RECT client{};
  GetClientRect(window_, &client);
  const int m = Scaled(kMargin), g = Scaled(kGap), row = Scaled(kRowHeight);
  const int label = Scaled(kLabelWidth), button = Scaled(kButtonWidth), status = Scaled(kStatusHeight);
  const int width = client.right - 2 * m;
  const int right = client.right - m;
  // Six rows of fields and buttons, the gaps after the panes, the status.
  const int fixed = 6 * (row + g) + 2 * g + status;
  const int pane = std::max(Scaled(48), static_cast<int>(client.bottom - 2 * m - fixed) / 2);
  const int fieldX = m + label + g;

  int y = m;
  Place(Control(kIdInputLabel), m, y, width - 2 * (button + g), row);
  Place(Control(kIdOpen), right - 2 * button - g, y, button, row);
  Place(Control(kIdClear), right - button, y, button, row);
  y += row + g;
  Place(Control(kIdInput), m, y, width, pane);
  y += pane + g;
  const int show = Scaled(kShowWidth);
  Place(Control(kIdKeyLabel), m, y, label, row);
  Place(Control(kIdKey), fieldX, y, right - button - g - show - g - fieldX, row);
  Place(Control(kIdShowKey), right - button - g - show, y, show, row);
  Place(Control(kIdKeyFile), right - button, y, button, row);
  y += row + g;
  Place(Control(kIdSuffixLabel), m, y, label, row);
  Place(Control(kIdSuffix), fieldX, y, right - button - g - show - g - fieldX, row);
  Place(Control(kIdSuffixFile), right - button, y, button, row);
  y += row + g;
  Place(Control(kIdCodePageLabel), m, y, label, row);
  // A drop-down list's height is its list's: room for a dozen pages.
  Place(Control(kIdCodePage), fieldX, y, std::min(Scaled(kCodePageWidth), right - fieldX), row + Scaled(300));
  y += row + g;
  Place(Control(kIdDecode), right - 2 * button - g, y, button, row);
  Place(Control(kIdEncode), right - button, y, button, row);
  y += row + g;
  Place(Control(kIdResultLabel), m, y, width - 2 * (button + g), row);
  Place(Control(kIdCopy), right - 2 * button - g, y, button, row);
  Place(Control(kIdSave), right - button, y, button, row);
  y += row + g;
  Place(Control(kIdResult), m, y, width, pane);
  y += pane + g;
  const int progress = Scaled(kProgressWidth);
  Place(Control(kIdStatus), m, y, width - progress - button - 2 * g, status);
  Place(Control(kIdProgress), right - button - g - progress, y + Scaled(3), progress, row - Scaled(6));
  Place(Control(kIdAbort), right - button, y, button, row);
  InvalidateRect(window_, nullptr, TRUE);
}

}  // namespace trirotor::gui::win32
