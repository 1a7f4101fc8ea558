// SPDX-License-Identifier: MIT
//
// text.h - the Windows window's text between the engine, the controls and
// the people reading them.
//
// wchar_t is UTF-16 on Windows, as the engine's char16_t is, so a text
// crosses between them unit for unit. Edit controls break lines only at
// CR LF, while decoded texts and files mostly end their lines with LF alone:
// what a pane shows is converted, what Save and Copy take is not.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace trirotor::gui::win32 {

inline std::u16string ToEngine(std::wstring_view text) { return std::u16string(text.begin(), text.end()); }
inline std::wstring FromEngine(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

// UTF-8 (the engine's messages and names) as the controls take it.
std::wstring FromUtf8(std::string_view utf8);

// 1234567 as "1,234,567": the same on every system, whatever its locale.
std::wstring GroupThousands(std::uint64_t number);

// The first `limit` units of `text` with every LF not after a CR made CR LF,
// for an edit control.
std::wstring ForEditControl(std::u16string_view text, std::size_t limit);

// A control's whole text.
std::wstring ControlText(HWND control);

// Windows' own words for an error code ("Access is denied."), or its number.
std::wstring SystemErrorText(DWORD error);

}  // namespace trirotor::gui::win32
