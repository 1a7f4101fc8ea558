// SPDX-License-Identifier: MIT
//
// files_test.cpp - the Windows window's files and texts, Windows builds
// only: a read that stops at its bound whatever the file, bytes that are
// not UTF-8 taken through the code page, a save that never leaves half a
// file or a stray temporary one, and the conversions for its panes.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/trirotor.h"
#include "gui/file_text.h"
#include "gui/win32/files.h"
#include "gui/win32/text.h"

namespace trirotor::gui::win32 {
namespace {

// A fresh folder under the temporary folder, and its files as bytes.
class Folder {
 public:
  Folder() {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + L"trirotor-files-test-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~Folder() { Remove(path_); }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }
  void Write(const std::wstring& name, const std::string& bytes) const {
    HANDLE file = CreateFileW((*this / name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
  }
  std::string Read(const std::wstring& name) const {
    std::string bytes;
    HANDLE file =
        CreateFileW((*this / name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
  }
  // Every name in the folder, for what a save may leave behind.
  std::vector<std::wstring> Names() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }

 private:
  static void Remove(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = path + L"\\" + name;
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          Remove(child);
        } else {
          DeleteFileW(child.c_str());
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
  }
  std::wstring path_;
};

TEST(WindowFiles, ReadsWithinTheBoundAndTakesBytesAsTheRulesSay) {
  platform::SetCodePage(1252);
  const Folder folder;
  CreateDirectoryW((folder / L"a folder").c_str(), nullptr);
  // A name past 260 characters, beyond ASCII.
  const std::wstring longName = std::wstring(250, L'x') + L"-Grüße.b64";
  struct Case {
    const char* name;
    std::wstring file;
    const char* bytes;  // nullptr: not written
    std::int64_t bound;
    bool ok;
    std::u16string text;
    bool utf8;
    const wchar_t* error;  // a part of the refusal
  };
  // clang-format off
  const Case cases[] = {
      {"UTF-8, its byte-order mark dropped", L"bom.txt", "\xEF\xBB\xBFGr\xC3\xBC\xC3\x9F\x65\n", 100, true,
       u"Grüße\n", true, nullptr},
      {"not UTF-8: bytes of code page 1252", L"ansi.txt", "Gr\xFC\xDF\x65 \x80", 100, true, u"Grüße €", false,
       nullptr},
      {"a surrogate written in UTF-8 is not UTF-8", L"surrogate.txt", "\xED\xA0\x80", 100, true, u"í\u00A0€",
       false, nullptr},
      {"empty", L"empty.txt", "", 100, true, u"", true, nullptr},
      {"exactly the bound", L"bound.txt", "abcd", 4, true, u"abcd", true, nullptr},
      {"one byte past the bound", L"past.txt", "abcde", 4, false, u"", true, L"is too large"},
      {"a name past 260 characters", longName, "YWJj", 100, true, u"YWJj", true, nullptr},
      {"missing", L"missing.b64", nullptr, 100, false, u"", true, L"Cannot open"},
      {"a folder", L"a folder", nullptr, 100, false, u"", true, L"it is a folder"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.bytes != nullptr) folder.Write(c.file, c.bytes);
    const InputFile read = ReadInputFile(folder / c.file, c.bound);
    EXPECT_EQ(read.ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(read.text, c.text);
      EXPECT_EQ(read.utf8, c.utf8);
    } else {
      EXPECT_NE(read.error.find(c.error), std::wstring::npos);
      EXPECT_NE(read.error.find(folder / c.file), std::wstring::npos);  // names the file
    }
  }
}

TEST(WindowFiles, SavingReplacesWholeOrLeavesTheOldFile) {
  const Folder folder;
  CreateDirectoryW((folder / L"a folder").c_str(), nullptr);
  struct Case {
    const char* name;
    std::wstring file;
    const char* before;  // nullptr: no file there
    bool readOnly;
    bool saved;
    std::string after;  // what the file holds then
  };
  const Case cases[] = {
      {"a new file", L"new ü.txt", nullptr, false, true, "Grüße\n€"},
      {"an existing file is replaced", L"old.txt", "an old text that is longer", false, true, "Grüße\n€"},
      {"a read-only file is refused and kept", L"kept.txt", "kept", true, false, "kept"},
      {"a folder is refused", L"a folder", nullptr, false, false, "<missing>"},
      {"a missing folder is refused", L"nowhere\\x.txt", nullptr, false, false, "<missing>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before != nullptr) folder.Write(c.file, c.before);
    if (c.readOnly) SetFileAttributesW((folder / c.file).c_str(), FILE_ATTRIBUTE_READONLY);
    const std::wstring failure = SaveTextFile(folder / c.file, u"Grüße\n€");
    EXPECT_EQ(failure.empty(), c.saved);
    EXPECT_EQ(folder.Read(c.file), c.after);
  }
  // No temporary file stays, saved or not.
  for (const std::wstring& name : folder.Names()) {
    EXPECT_EQ(name.find(L".trirotor-"), std::wstring::npos) << name;
  }
}

TEST(WindowText, PanesGetWindowsLineEndsAndNumbersTheirCommas) {
  struct Case {
    std::u16string text;
    std::size_t limit;
    std::wstring shown;
  };
  const Case cases[] = {
      {u"a\nb\r\nc\n", 100, L"a\r\nb\r\nc\r\n"},
      {u"\n\n", 100, L"\r\n\r\n"},
      {u"abc\ndef", 4, L"abc\r\n"},
      {u"", 10, L""},
  };
  for (const Case& c : cases) EXPECT_EQ(ForEditControl(c.text, c.limit), c.shown);
  EXPECT_EQ(GroupThousands(0), L"0");
  EXPECT_EQ(GroupThousands(999), L"999");
  EXPECT_EQ(GroupThousands(1000), L"1,000");
  EXPECT_EQ(GroupThousands(44500123), L"44,500,123");
}

}  // namespace
}  // namespace trirotor::gui::win32
