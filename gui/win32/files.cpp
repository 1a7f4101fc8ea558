// SPDX-License-Identifier: MIT
//
// files.cpp - reading and saving the Windows window's files, by UTF-16
// names in their long (\\?\) form, so that no name is too long or beyond
// the ANSI code page.

#include "gui/win32/files.h"

#include <windows.h>

#include <algorithm>

#include "gui/file_text.h"
#include "gui/win32/text.h"
#include "support/utf8.h"
#include "support/wide_path.h"

namespace trirotor::gui::win32 {
namespace {

constexpr DWORD kReadChunk = 1 << 20;

// A handle closed when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  bool Close() {
    const bool closed = !ok() || CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

std::wstring LongName(const std::wstring& path) {
  const std::wstring wide = support::WidePath(support::NarrowText(path));
  return wide.empty() ? path : wide;
}

InputFile Refused(std::wstring error) {
  InputFile file;
  file.error = std::move(error);
  return file;
}

std::wstring TooLarge(const std::wstring& path, std::int64_t maxBytes) {
  return path + L" is too large: the window takes files up to " +
         GroupThousands(static_cast<std::uint64_t>(maxBytes >> 20)) + L" MB.";
}

// Bytes to the open file, all of them or false.
bool WriteAll(HANDLE file, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, kReadChunk));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

// A new, empty file beside `target`, named after it and this process so
// that two windows saving side by side never meet.
std::wstring CreateTemporaryBeside(const std::wstring& target, HANDLE& created) {
  const std::size_t slash = target.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
  const std::wstring name = slash == std::wstring::npos ? target : target.substr(slash + 1);
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring temporary = folder + L"." + name + L".trirotor-" + std::to_wstring(GetCurrentProcessId()) +
                                   L"-" + std::to_wstring(++counter);
    created = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created != INVALID_HANDLE_VALUE) return temporary;
    if (GetLastError() != ERROR_FILE_EXISTS) return {};
  }
  return {};
}

}  // namespace

InputFile ReadInputFile(const std::wstring& path, std::int64_t maxBytes) {
  const std::wstring name = LongName(path);
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Refused(L"Cannot open " + path + L": it is a folder.");
  }
  FileHandle file(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.ok()) return Refused(L"Cannot open " + path + L": " + SystemErrorText(GetLastError()));
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size) && size.QuadPart > maxBytes) return Refused(TooLarge(path, maxBytes));
  // Read in chunks and stop at the bound, whatever size the file claimed.
  std::string bytes;
  std::string chunk(kReadChunk, '\0');
  while (true) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk.data(), kReadChunk, &got, nullptr)) {
      return Refused(L"Cannot read " + path + L": " + SystemErrorText(GetLastError()));
    }
    if (got == 0) break;
    if (static_cast<std::int64_t>(bytes.size() + got) > maxBytes) return Refused(TooLarge(path, maxBytes));
    bytes.append(chunk.data(), got);
  }
  FileText text = TextOfFileBytes(bytes);
  InputFile loaded;
  loaded.ok = true;
  loaded.text = std::move(text.text);
  loaded.utf8 = text.utf8;
  return loaded;
}

std::wstring SaveTextFile(const std::wstring& path, std::u16string_view text) {
  const std::wstring target = LongName(path);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return L"it is a folder.";
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return L"the file is read-only.";
  }
  HANDLE created = INVALID_HANDLE_VALUE;
  const std::wstring temporary = CreateTemporaryBeside(target, created);
  if (temporary.empty()) return SystemErrorText(GetLastError());
  FileHandle file(created);
  const std::string bytes = support::EncodeUtf8(text);
  DWORD error = ERROR_SUCCESS;
  if (!WriteAll(file.get(), bytes) || !FlushFileBuffers(file.get())) error = GetLastError();
  if (!file.Close() && error == ERROR_SUCCESS) error = GetLastError();
  // ReplaceFileW keeps the old file's attributes and permissions; with no
  // old file, or where it is refused, MoveFileExW replaces by name.
  const bool placed =
      error == ERROR_SUCCESS &&
      ((attributes != INVALID_FILE_ATTRIBUTES &&
        ReplaceFileW(target.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) ||
       MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  if (placed) return {};
  if (error == ERROR_SUCCESS) error = GetLastError();
  DeleteFileW(temporary.c_str());
  return SystemErrorText(error);
}

}  // namespace trirotor::gui::win32
