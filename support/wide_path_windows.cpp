// SPDX-License-Identifier: MIT
//
// wide_path_windows.cpp - UTF-8 names to Windows' UTF-16 ones.

#include "support/wide_path.h"

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
  const bool drive = wide.size() >= 3 && std::iswalpha(wide[0]) && wide[1] == L':' && wide[2] == L'\\';
  const bool share = wide.size() >= 3 && wide.starts_with(L"\\\\");
  // "C:\a\..\b": the long form takes names literally, so it is used only
  // for names with no "." or ".." part to resolve.
  const bool plain = wide.find(L"\\.\\") == std::wstring::npos && wide.find(L"\\..") == std::wstring::npos &&
                     !wide.ends_with(L"\\.");
  if (drive && plain) return L"\\\\?\\" + wide;
  if (share && plain) return L"\\\\?\\UNC\\" + wide.substr(2);
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

std::string NarrowText(std::wstring_view wide) {
  return EncodeUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

}  // namespace trirotor::support
