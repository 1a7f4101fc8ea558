// SPDX-License-Identifier: MIT
//
// window_driver.cpp - works trirotor-gui.exe from outside, as a person at
// it would, under Wine and Xvfb (or on Windows):
//
//   window_driver.exe GUI_EXE                   every check below
//   window_driver.exe GUI_EXE --quick           it opens and decodes the example (an installed window)
//   window_driver.exe GUI_EXE --screenshot BMP  the example decoded, the window saved as a bitmap
//
// The window is found by its class and process, its controls by their
// identifiers (gui/win32/control_ids.h); text goes in and out with
// WM_SETTEXT and WM_GETTEXT, buttons are pressed with WM_COMMAND. A command
// sent with SendMessage returns once the window has handled it, so a sent
// Decode of a small message has finished when it returns. A large decode is
// posted instead, and everything that follows waits on the window's own
// state, never on a clock: the progress bar moving, Abort going grey, the
// process ending. Every wait is bounded by a count of rounds, generous
// enough for a loaded machine; a wait that runs out is a failure that says
// what it waited for.
//
// A start of the window that ends before its window shows is reported as
// such (Wine has been seen to end a start with status 1 and no word), made
// once more, and counted a failure if it happens again.

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/trirotor.h"
#include "gui/win32/control_ids.h"
#include "support/utf8.h"
#include "support/wide_path.h"
#include "testing/test_support.h"

namespace {

using namespace trirotor::gui::win32;
using trirotor::support::EncodeUtf8;
using trirotor::support::NarrowText;

constexpr int kWaitRounds = 6000;  // of 20 ms while nothing else happens: minutes
constexpr DWORD kRound = 20;
constexpr UINT kSendBound = 300000;  // a sent message that is never answered is a hang, not a slow machine
// How much of a text the window's panes show (as docs/windows.md says).
constexpr std::size_t kPaneLimit = 262144;

int passed = 0, failed = 0;

void Check(bool ok, const std::string& name, const std::string& detail = {}) {
  if (ok) {
    ++passed;
    std::printf("ok - %s\n", name.c_str());
  } else {
    ++failed;
    std::printf("FAILED - %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
  std::fflush(stdout);
}

std::string Utf8(std::wstring_view text) { return NarrowText(text); }
std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }
std::wstring Wide(std::string_view utf8) { return trirotor::support::WideText(utf8); }

std::string ReadBytes(const std::string& path) {
  std::ifstream in(std::filesystem::path(trirotor::support::WidePath(path)), std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Example(const std::string& name) { return ReadBytes(std::string(TRIROTOR_SOURCE_DIR "/examples/") + name); }

// A key file's key: its first line.
std::wstring ExampleKey(const std::string& name) {
  const std::string bytes = Example(name);
  return Wide(bytes.substr(0, bytes.find_first_of("\r\n")));
}

// 12582912 as "12,582,912".
std::string Commas(std::size_t number) {
  std::string digits = std::to_string(number);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
  return digits;
}

// What an edit control shows for a text: its LFs made CR LF.
std::wstring Shown(std::wstring_view text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
    out += text[i];
  }
  return out;
}

/// The window from outside ///

class Gui {
 public:
  ~Gui() { Stop(); }

  // Starts the program and waits for its window; on a start that ends
  // before the window shows, tries once more and says so.
  bool Start(const std::wstring& program, const std::wstring& arguments, std::string& problem) {
    for (int attempt = 1; attempt <= 2; ++attempt) {
      DWORD status = 0;
      if (StartOnce(program, arguments, status, problem)) return true;
      if (!problem.empty()) return false;
      std::printf("note: trirotor-gui.exe ended with status %lu before its window showed%s\n", status,
                  attempt == 1 ? "; starting it once more" : " again");
      std::fflush(stdout);
      problem = "the window's process ended with status " + std::to_string(status) + " before its window showed, twice";
    }
    return false;
  }

  HWND Window() const { return window_; }
  HWND Control(int id) const { return GetDlgItem(window_, id); }

  std::wstring Text(int id) const {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(Control(id), WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kSendBound, &length);
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(Control(id), WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()), SMTO_NORMAL,
                        kSendBound, &copied);
    text.resize(copied);
    return text;
  }
  std::string Status() const { return Utf8(Text(kIdStatus)); }

  void SetText(int id, const std::wstring& text) const {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(Control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, kSendBound,
                        &ignored);
  }

  // Presses a button and returns once the window has handled it.
  bool Press(int id) const {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Control(id)),
                               SMTO_NORMAL, kSendBound, &ignored) != 0;
  }
  // Presses a button without waiting: the window takes it when it next
  // looks at its queue, in a decode's pause if one is running.
  void PressLater(int id) const {
    PostMessageW(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(Control(id)));
  }

  int ProgressValue() const {
    DWORD_PTR position = 0;
    SendMessageTimeoutW(Control(kIdProgress), PBM_GETPOS, 0, 0, SMTO_NORMAL, kSendBound, &position);
    return static_cast<int>(position);
  }
  bool Enabled(int id) const { return IsWindowEnabled(Control(id)) != 0; }

  // Picks a page in the code page list as a person does: the list changes,
  // then tells the window.
  bool SelectCodePage(int page) const {
    HWND box = Control(kIdCodePage);
    DWORD_PTR count = 0, data = 0, ignored = 0;
    SendMessageTimeoutW(box, CB_GETCOUNT, 0, 0, SMTO_NORMAL, kSendBound, &count);
    for (DWORD_PTR i = 0; i < count; ++i) {
      SendMessageTimeoutW(box, CB_GETITEMDATA, i, 0, SMTO_NORMAL, kSendBound, &data);
      if (static_cast<int>(data) != page) continue;
      SendMessageTimeoutW(box, CB_SETCURSEL, i, 0, SMTO_NORMAL, kSendBound, &ignored);
      SendMessageTimeoutW(window_, WM_COMMAND, MAKEWPARAM(kIdCodePage, CBN_SELCHANGE), reinterpret_cast<LPARAM>(box),
                          SMTO_NORMAL, kSendBound, &ignored);
      return true;
    }
    return false;
  }

  // Waits, by rounds, until `done` holds; false if it never did.
  static bool WaitFor(const std::function<bool()>& done) {
    for (int round = 0; round < kWaitRounds; ++round) {
      if (done()) return true;
      Sleep(kRound);
    }
    return done();
  }

  // Asks the window to close and waits for its process to end: its status,
  // or -1 if it did not end.
  long Close() {
    PostMessageW(window_, WM_CLOSE, 0, 0);
    return WaitForEnd();
  }
  long WaitForEnd() {
    if (process_ == nullptr) return -1;
    DWORD status = STILL_ACTIVE;
    WaitFor([&] { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; });
    GetExitCodeProcess(process_, &status);
    if (status == STILL_ACTIVE) return -1;
    CloseHandle(process_);
    process_ = nullptr;
    return static_cast<long>(status);
  }

 private:
  bool StartOnce(const std::wstring& program, const std::wstring& arguments, DWORD& status, std::string& problem) {
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
      problem = "cannot start " + Utf8(program) + ": error " + std::to_string(GetLastError());
      return false;
    }
    CloseHandle(started.hThread);
    process_ = started.hProcess;
    processId_ = started.dwProcessId;
    const bool shown = WaitFor([&] {
      window_ = FindOwnWindow();
      return (window_ != nullptr && IsWindowVisible(window_)) || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
    });
    if (window_ != nullptr && IsWindowVisible(window_)) return true;
    GetExitCodeProcess(process_, &status);
    if (!shown) problem = "the window did not show";
    Stop();
    return false;
  }

  HWND FindOwnWindow() const {
    for (HWND window = FindWindowExW(nullptr, nullptr, kWindowClass, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, kWindowClass, nullptr)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      if (owner == processId_) return window;
    }
    return nullptr;
  }

  void Stop() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
    process_ = nullptr;
  }

  HANDLE process_ = nullptr;
  DWORD processId_ = 0;
  HWND window_ = nullptr;
};

/// Messages of the driver's own making ///

// A fixed frame header makes every message here the same on every run.
constexpr trirotor::FrameHeader kHeader = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

std::wstring Seal(std::u16string_view plain, std::u16string_view key, int codePage = 1252) {
  trirotor::platform::SetCodePage(codePage);
  const std::u16string message = trirotor::EncodeText(plain, key, u"", kHeader);
  trirotor::platform::SetCodePage(1252);
  return Wide(message);
}


// A message that opens, holding a container whose version the engine does
// not know ("HE9"), sealed by the tests' own sealer.
std::wstring UnknownVersionMessage() {
  using trirotor::test::ByteWriter;
  return Wide(trirotor::test::SealContainer(ByteWriter().Str("HE9\r").Str("what follows").bytes(), u"key"));
}

std::wstring TempPath(const std::wstring& name) {
  wchar_t folder[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, folder);
  return std::wstring(folder) + L"trirotor-driver-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

/// The checks ///

// The manifest resource holds what the window needs from Windows.
std::string ManifestOf(const std::wstring& program) {
  HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return {};
  std::string text;
  if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
    if (HGLOBAL loaded = LoadResource(module, found)) {
      text.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, found));
    }
  }
  FreeLibrary(module);
  return text;
}

void CheckOpened(const Gui& gui, const std::wstring& program) {
  const int ids[] = {kIdInputLabel, kIdInput,   kIdOpen,        kIdClear,       kIdKeyLabel,   kIdKey,
                     kIdShowKey,    kIdKeyFile, kIdSuffixLabel, kIdSuffix,      kIdSuffixFile, kIdCodePageLabel,
                     kIdCodePage,   kIdDecode,  kIdEncode,      kIdResultLabel, kIdResult,     kIdCopy,
                     kIdSave,       kIdStatus,  kIdProgress,    kIdAbort};
  std::string missing;
  for (int id : ids) {
    if (gui.Control(id) == nullptr) missing += " " + std::to_string(id);
  }
  Check(missing.empty(), "the window shows every control", "missing" + missing);
  Check(gui.Enabled(kIdDecode) && !gui.Enabled(kIdAbort), "Decode is live and Abort grey before a run");
  // Show, clicked as a person clicks a check box, unmasks the key; clicked
  // again, masks it.
  const auto maskCharacter = [&] {
    DWORD_PTR character = 0;
    SendMessageTimeoutW(gui.Control(kIdKey), EM_GETPASSWORDCHAR, 0, 0, SMTO_NORMAL, kSendBound, &character);
    return character;
  };
  const auto clickShow = [&] {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(gui.Control(kIdShowKey), BM_CLICK, 0, 0, SMTO_NORMAL, kSendBound, &ignored);
  };
  const DWORD_PTR masked = maskCharacter();
  clickShow();
  const DWORD_PTR shown = maskCharacter();
  clickShow();
  Check(masked != 0 && shown == 0 && maskCharacter() == masked, "the key is masked; Show unmasks it and masks it again",
        "mask " + std::to_string(masked) + ", shown " + std::to_string(shown));
  const std::string manifest = ManifestOf(program);
  Check(manifest.find("Microsoft.Windows.Common-Controls") != std::string::npos &&
            manifest.find("PerMonitorV2") != std::string::npos && manifest.find("<activeCodePage") != std::string::npos,
        "its manifest asks for common controls 6, per-monitor DPI awareness and UTF-8");
}

// Fills the fields, presses Decode and holds the status and the result to
// what the row expects.
struct DecodeCase {
  const char* name;
  std::wstring message, key, suffix;
  int codePage;
  std::string status;  // the whole status line, or its beginning when `prefix`
  bool prefix;
  std::wstring result;  // what the result pane shows
  std::string resultTitle = "Result";
};

void CheckDecodes(const Gui& gui, const DecodeCase& c) {
  gui.SelectCodePage(c.codePage);
  gui.SetText(kIdInput, c.message);
  gui.SetText(kIdKey, c.key);
  gui.SetText(kIdSuffix, c.suffix);
  const bool pressed = gui.Press(kIdDecode);
  const std::string status = gui.Status();
  const bool statusOk = c.prefix ? status.starts_with(c.status) : status == c.status;
  const std::string title = Utf8(gui.Text(kIdResultLabel));
  Check(pressed && statusOk && gui.Text(kIdResult) == c.result && title.starts_with(c.resultTitle), c.name,
        "status \"" + status + "\", result title \"" + title + "\", " + std::to_string(gui.Text(kIdResult).size()) +
            " characters shown");
}

std::vector<DecodeCase> DecodeCases() {
  const std::string hello = Example("hello.txt"), suffixed = Example("suffixed.txt"), longText = Example("long.txt");
  const std::wstring letter = L"Grüße aus Köln, 10 €\nZeile zwei";
  const std::u16string letter16(letter.begin(), letter.end());
  std::u16string long16;
  std::size_t bad = 0;
  trirotor::support::DecodeUtf8(longText, long16, bad);
  // The engine's own words for a container it cannot read: its number is
  // the public header's; the source and description are the engine's.
  const std::string unknownVersion = "Error " + std::to_string(trirotor::kErrUnknownVersion) + " in ";
  const std::string warning = "\r\nWarning: U+0142 'ł' is not in code page 1252; it was taken as 'l', as Windows does.";
  return {
      {"the example decodes", Wide(Example("hello.b64")), ExampleKey("hello.key"), L"", 1252, "Decoded ", true,
       Shown(Wide(hello))},
      {"the example with a key suffix decodes", Wide(Example("suffixed.b64")), ExampleKey("suffixed.key"),
       ExampleKey("suffixed.suffix"), 1252, "Decoded ", true, Shown(Wide(suffixed))},
      {"a long result is shown in part", Wide(Example("long.b64")), ExampleKey("long.key"), L"", 1252, "Decoded ", true,
       Shown(Wide(long16.substr(0, kPaneLimit))), "Result: the first 262,144 of "},
      {"a wrong key gets the engine's words", Wide(Example("hello.b64")), L"not the key", L"", 1252,
       "Failed decoding the text (Error 33)", false, L""},
      {"a container of an unknown version gets the engine's error", UnknownVersionMessage(), L"key", L"", 1252,
       unknownVersion, true, L""},
      {"a message too short to be one", L"abc", L"key", L"", 1252,
       "The message is too short: a message has at least 4 characters.", false, L""},
      {"no key", Wide(Example("hello.b64")), L"", L"", 1252, "Enter the key first.", false, L""},
      {"a key beyond ASCII", Seal(letter16, u"Schlüssel€"), L"Schlüssel€", L"", 1252, "Decoded 31 characters.", false,
       Shown(letter)},
      {"a key character 1252 lacks is taken as Windows takes it, and said so", Seal(letter16, u"zloty"), L"złoty", L"",
       1252, "Decoded 31 characters." + warning, false, Shown(letter)},
      {"under 1250, which holds it, the same key is itself", Seal(letter16, u"złoty", 1250), L"złoty", L"", 1250,
       "Decoded 31 characters.", false, Shown(letter)},
      {"under 1252 that message's key is another", Seal(letter16, u"złoty", 1250), L"złoty", L"", 1252,
       "Failed decoding the text (Error 33)" + warning, false, L""},
  };
}

// Encode seals what the input holds; what it makes is held to the engine's
// decoder here, and to the window's own Decode.
void CheckEncodes(const Gui& gui) {
  const std::wstring text = L"Grüße aus Köln, 10 €\r\nZeile zwei";
  gui.SelectCodePage(1252);
  gui.SetText(kIdInput, text);
  gui.SetText(kIdKey, L"Schlüssel€");
  gui.SetText(kIdSuffix, L"");
  const bool pressed = gui.Press(kIdEncode);
  const std::wstring message = gui.Text(kIdResult);
  std::u16string opened;
  try {
    opened = trirotor::DecodeText(std::u16string(message.begin(), message.end()), u"Schlüssel€", u"");
  } catch (const trirotor::EngineError& error) {
    opened = u"(" + std::u16string(error.what(), error.what() + std::char_traits<char>::length(error.what())) + u")";
  }
  Check(pressed && gui.Status().starts_with("Encoded 32 characters into a message of ") &&
            opened == std::u16string(text.begin(), text.end()),
        "Encode seals the input, CR LF and all, under a key beyond ASCII", gui.Status());
  gui.SetText(kIdInput, message);
  gui.Press(kIdDecode);
  Check(gui.Text(kIdResult) == text, "the window decodes what it sealed", gui.Status());

  struct Refusal {
    const char* name;
    std::wstring text, key;
    std::string says;  // a part of the status
  };
  const Refusal refusals[] = {
      {"a text character 1252 lacks is refused, by place", L"ok\r\n日本", L"key", "line 2, column 1: U+65E5 '日'"},
      {"a key character 1252 lacks is refused", L"text", L"鍵", "U+9375 '鍵'"},
      {"no key, no encode", L"text", L"", "Enter the key first."},
  };
  for (const Refusal& r : refusals) {
    gui.SetText(kIdResult, L"");
    gui.SetText(kIdInput, r.text);
    gui.SetText(kIdKey, r.key);
    gui.Press(kIdEncode);
    Check(gui.Status().find(r.says) != std::string::npos && gui.Text(kIdResult).empty(), r.name, gui.Status());
  }
}

// Files the window is started with, hostile ones among them: each opens
// the window, with the outcome in words.
void CheckStartFiles(const std::wstring& program) {
  const std::wstring binary = TempPath(L"binary.b64"), huge = TempPath(L"huge.b64"), folder = TempPath(L"folder");
  std::string bytes;
  for (int i = 0; i < 65536; ++i) bytes += static_cast<char>((i * 7919) & 0xFF);
  WriteBytes(binary, bytes);
  // 300 MB that take no room: the window must refuse it by its size.
  HANDLE file = CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  LARGE_INTEGER size{};
  size.QuadPart = std::int64_t{300} << 20;
  SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  CloseHandle(file);
  CreateDirectoryW(folder.c_str(), nullptr);

  struct Start {
    const char* name;
    std::wstring arguments;
    std::string says;  // a part of the status
  };
  const Start starts[] = {
      {"a binary file is read as bytes of the code page", L"\"" + binary + L"\"", "read as bytes of code page 1252"},
      {"a 300 MB file is refused by its size", L"\"" + huge + L"\"", "is too large"},
      {"a folder is refused", L"\"" + folder + L"\"", "it is a folder"},
      {"a missing file is refused", L"\"" + TempPath(L"missing.b64") + L"\"", "Cannot open"},
      {"an unknown option is named", L"--frobnicate", "Unknown option --frobnicate"},
  };
  for (const Start& s : starts) {
    Gui gui;
    std::string problem;
    if (!gui.Start(program, s.arguments, problem)) {
      Check(false, s.name, problem);
      continue;
    }
    const std::string status = gui.Status();
    bool alive = true;
    if (s.says.starts_with("read as")) {
      // Its bytes, decoded: an error in words, and the window lives on.
      gui.SetText(kIdKey, L"key");
      alive = gui.Press(kIdDecode) && !gui.Status().empty() && gui.Status() != "Working\u2026";
    }
    Check(status.find(s.says) != std::string::npos && alive && gui.Close() == 0, s.name, status);
  }
  DeleteFileW(binary.c_str());
  DeleteFileW(huge.c_str());
  RemoveDirectoryW(folder.c_str());
}

// Waits for the progress bar to move off 0 during a posted decode: while
// the run goes on every query is answered at one of its pauses, so the
// driver sees each step; until it starts, it looks again a round later.
// Abort is looked at first: the bar still shows the last run's 100 until
// the posted decode starts, and a query sent once Abort is live is
// answered at a pause of the new run, after it has set the bar to 0.
int WaitForProgress(const Gui& gui) {
  for (int round = 0; round < kWaitRounds * 10; ++round) {
    const bool running = gui.Enabled(kIdAbort);
    const int progress = running ? gui.ProgressValue() : 0;
    if (running && progress > 0) return progress;
    if (!running) Sleep(kRound);
  }
  return 0;
}

// A large message started from its file: Abort pressed once the progress
// bar moves stops the decode; a second Decode and an Encode pressed in the
// same pause start nothing; the next Decode goes through; closing during a
// decode aborts it and ends the program cleanly.
void CheckLargeDecode(const std::wstring& program) {
  const std::string plain = trirotor::test::ProseText(std::size_t{12} << 20);
  trirotor::platform::SetCodePage(1252);
  const std::string message =
      trirotor::EncodeBytes(trirotor::ByteBuffer(plain.begin(), plain.end()), u"key", u"", kHeader);
  const std::wstring messageFile = TempPath(L"large.b64"), keyFile = TempPath(L"large.key");
  WriteBytes(messageFile, message);
  WriteBytes(keyFile, "key\n");
  Gui gui;
  std::string problem;
  if (!gui.Start(program, L"--key-file \"" + keyFile + L"\" \"" + messageFile + L"\"", problem)) {
    Check(false, "the window opens a large message", problem);
    return;
  }
  Check(Utf8(gui.Text(kIdInputLabel)).find("too long to show") != std::string::npos,
        "a large message is held aside, not laid out", Utf8(gui.Text(kIdInputLabel)));

  gui.PressLater(kIdDecode);
  const int seen = WaitForProgress(gui);
  const bool midRun = seen > 0 && seen < 100 && gui.Enabled(kIdAbort);
  Check(midRun && !gui.Enabled(kIdDecode) && !gui.Enabled(kIdEncode) && !gui.Enabled(kIdInput),
        "the progress bar moves during a decode, with only Abort live",
        "progress " + std::to_string(seen) + (midRun ? "" : ": the decode ended before the driver saw it run"));
  gui.PressLater(kIdDecode);
  gui.PressLater(kIdEncode);
  gui.PressLater(kIdAbort);
  const bool ended = Gui::WaitFor([&] { return !gui.Enabled(kIdAbort); });
  Check(ended && gui.Status() == "Aborted" && gui.Text(kIdResult).empty() && gui.ProgressValue() < 100,
        "Abort stops it, and the Decode and Encode pressed in its pause start nothing",
        gui.Status() + ", progress " + std::to_string(gui.ProgressValue()));

  gui.Press(kIdDecode);
  Check(gui.Status() == "Decoded " + Commas(plain.size()) + " characters.", "the next Decode goes through",
        gui.Status());
  Check(gui.Text(kIdResult) == Shown(Wide(plain.substr(0, kPaneLimit))), "its result is the text", "");

  gui.PressLater(kIdDecode);
  const int before = WaitForProgress(gui);
  const long status = gui.Close();
  Check(before > 0 && before < 100 && status == 0, "closing during a decode aborts it and ends the program cleanly",
        "progress " + std::to_string(before) + ", exit status " + std::to_string(status));
  DeleteFileW(messageFile.c_str());
  DeleteFileW(keyFile.c_str());
}

// The window as it is on the screen, as a 24-bit bitmap file.
bool SaveWindowPicture(HWND window, const std::wstring& path) {
  RECT box{};
  GetWindowRect(window, &box);
  const int width = box.right - box.left, height = box.bottom - box.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP picture = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, picture);
  BitBlt(memory, 0, 0, width, height, screen, box.left, box.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFOHEADER header{sizeof header, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  const DWORD rowBytes = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  std::string pixels(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(height), '\0');
  const int rows = GetDIBits(memory, picture, 0, static_cast<UINT>(height), pixels.data(),
                             reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
  DeleteObject(picture);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (rows != height) return false;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  header.biSizeImage = static_cast<DWORD>(pixels.size());
  return WriteBytes(path, std::string(reinterpret_cast<const char*>(&file), sizeof file) +
                              std::string(reinterpret_cast<const char*>(&header), sizeof header) + pixels);
}

// The window started as a person starts it from a message's file, with the
// key from its file: it decodes the example. Optionally saved as a picture.
void CheckStartedOnTheExample(const std::wstring& program, const std::wstring& picture) {
  const std::wstring examples = Wide(std::string(TRIROTOR_SOURCE_DIR "/examples/"));
  Gui gui;
  std::string problem;
  if (!gui.Start(program, L"--key-file \"" + examples + L"hello.key\" --decode \"" + examples + L"hello.b64\"",
                 problem)) {
    Check(false, "the window opens on the example", problem);
    return;
  }
  const bool decoded = Gui::WaitFor([&] { return gui.Status().starts_with("Decoded "); });
  Check(decoded && gui.Text(kIdResult) == Shown(Wide(Example("hello.txt"))),
        "started on the example with --decode, the window decodes it", gui.Status());
  if (!picture.empty()) {
    SetForegroundWindow(gui.Window());
    Check(SaveWindowPicture(gui.Window(), picture), "the window's picture is saved", Utf8(picture));
  }
  Check(gui.Close() == 0, "closing the window ends the program with status 0");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: window_driver GUI_EXE [--quick | --screenshot BMP]\n");
    return 2;
  }
  const std::wstring program = argv[1];
  const std::wstring mode = argc > 2 ? argv[2] : L"";
  std::printf("window_driver: driving %s\n", Utf8(program).c_str());
  std::fflush(stdout);
  if (mode == L"--quick" || mode == L"--screenshot") {
    CheckStartedOnTheExample(program, mode == L"--screenshot" && argc > 3 ? argv[3] : L"");
  } else {
    Gui gui;
    std::string problem;
    if (gui.Start(program, L"", problem)) {
      CheckOpened(gui, program);
      for (const DecodeCase& c : DecodeCases()) CheckDecodes(gui, c);
      CheckEncodes(gui);
      Check(gui.Close() == 0, "closing the window ends the program with status 0");
    } else {
      Check(false, "the window opens", problem);
    }
    CheckStartedOnTheExample(program, L"");
    CheckStartFiles(program);
    CheckLargeDecode(program);
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
