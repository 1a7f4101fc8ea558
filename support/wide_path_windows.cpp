// SPDX-License-Identifier: MIT
//
// wide_path_windows.cpp - UTF-8 names to Windows' UTF-16 ones.

#include "support/wide_path.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cwctype>

#include "support/utf8.h"

namespace trirotor::support {

std::wstring WidePath(std::string_view utf8) {
  std::u16string units;
  std::size_t bad = 0;
  if (!DecodeUtf8(utf8, units, bad)) return L"";
  std::wstring wide(units.begin(), units.end());
  for (wchar_t& ch : wide) {
    if (ch == L'/') ch = L'\\';
  }
  // Already \\?\ or \\.\ (a device): as it stands.
  if (wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) return wide;
  // The full name, "." and ".." resolved (the long form takes names
  // literally); a device name such as NUL comes back as \\.\NUL.
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return wide;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return wide;
  full.resize(length);
  if (full.starts_with(L"\\\\.\\") || full.starts_with(L"\\\\?\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  if (full.size() >= 3 && std::iswalpha(full[0]) && full[1] == L':') return L"\\\\?\\" + full;
  return wide;
}

int OpenFile(const std::string& utf8, int flags, int mode) {
  const std::wstring wide = WidePath(utf8);
  if (wide.empty()) {
    errno = ENOENT;
    return -1;
  }
  return ::_wopen(wide.c_str(), flags | _O_BINARY | _O_NOINHERIT, mode);
}

bool IsDirectory(const std::string& utf8) {
  const std::wstring wide = WidePath(utf8);
  const DWORD attributes = wide.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring WideText(std::string_view utf8) {
  std::u16string units;
  std::size_t bad = 0;
  if (!DecodeUtf8(utf8, units, bad)) return L"";
  return std::wstring(units.begin(), units.end());
}

std::string NarrowText(std::wstring_view wide) {
  return EncodeUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

}  // namespace trirotor::support
