// SPDX-License-Identifier: MIT
//
// text.cpp - conversions and wording for the Windows window.

#include "gui/win32/text.h"

#include "support/wide_path.h"

namespace trirotor::gui::win32 {

std::wstring FromUtf8(std::string_view utf8) { return support::WideText(utf8); }

std::wstring GroupThousands(std::uint64_t number) {
  std::wstring digits = std::to_wstring(number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, L',');
  return digits;
}

std::wstring ForEditControl(std::u16string_view text, std::size_t limit) {
  const std::u16string_view shown = text.substr(0, limit);
  std::wstring out;
  out.reserve(shown.size() + shown.size() / 32);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == u'\n' && (i == 0 || shown[i - 1] != u'\r')) out += L'\r';
    out += static_cast<wchar_t>(shown[i]);
  }
  return out;
}

std::wstring ControlText(HWND control) {
  const int length = GetWindowTextLengthW(control);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

std::wstring SystemErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length > 0 ? std::wstring(buffer, length) : L"error " + std::to_wstring(error);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text;
}

}  // namespace trirotor::gui::win32
