// SPDX-License-Identifier: MIT
//
// console_windows.cpp - the console, the stop events, the key prompt, the
// environment, the clock and the arguments on Windows (cli/os/console.h).
//
// The console takes UTF-16 (WriteConsoleW, ReadConsoleW), whatever its code
// page; pipes and files get the same UTF-8 bytes as on Linux. A stop event
// arrives on a thread of its own: it sets the run's stop flag, as a signal
// does, and cancels a read the main thread is blocked in so that the run
// sees it at once.

#include "cli/os/console.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <cstdio>
#include <mutex>
#include <vector>

#include "cli/os/windows_side.h"
#include "cli/status.h"
#include "support/key_file.h"
#include "support/utf8.h"
#include "support/wide_path.h"

namespace trirotor::cli {

namespace {

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode);
}

// The bytes of a UTF-8 character begun at the end of `text` but not ended.
std::size_t OpenTail(std::string_view text) {
  std::size_t back = 0;
  while (back < text.size() && back < 3 && (static_cast<unsigned char>(text[text.size() - 1 - back]) & 0xC0) == 0x80)
    ++back;
  if (back == text.size()) return 0;
  const auto lead = static_cast<unsigned char>(text[text.size() - 1 - back]);
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return length > back + 1 ? back + 1 : 0;
}

std::mutex gConsoleMutex;
std::map<int, std::string> gHeld;  // per descriptor: a character's first bytes

void (*gOnStop)(int) = nullptr;
HANDLE gMainThread = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: break;
    default: return FALSE;
  }
  if (gOnStop != nullptr) gOnStop(SIGINT);  // ends the process itself while nothing is written
  if (gMainThread != nullptr) CancelSynchronousIo(gMainThread);
  // Closing the console ends the process once this returns: give the run
  // the time Windows allows to remove its temporary file and exit itself.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(4000);
  return TRUE;
}

std::string AskOnce(HANDLE in, HANDLE out, const wchar_t* prompt) {
  DWORD saved = 0;
  const bool canHide = GetConsoleMode(in, &saved) != 0;
  struct Restore {
    HANDLE in;
    bool active;
    DWORD mode;
    ~Restore() {
      if (active) SetConsoleMode(in, mode);
    }
  } restore{in, canHide, saved};
  if (canHide) SetConsoleMode(in, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
  DWORD written = 0;
  WriteConsoleW(out, prompt, static_cast<DWORD>(wcslen(prompt)), &written, nullptr);
  std::wstring line;
  std::vector<wchar_t> buffer(1024);
  for (;;) {
    if (Interrupted()) break;
    DWORD got = 0;
    if (!ReadConsoleW(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) || got == 0) break;
    line.append(buffer.data(), got);
    if (line.size() * 3 > support::kMaxKeyFileBytes) throw Failure{kExitInput, "the key is too long"};
    if (line.ends_with(L'\n')) break;
  }
  WriteConsoleW(out, L"\r\n", 2, &written, nullptr);  // echo was off: end the prompt's line
  StopIfAsked();
  if (line.ends_with(L'\n')) line.pop_back();
  if (line.ends_with(L'\r')) line.pop_back();
  return support::NarrowText(line);
}

}  // namespace

bool ConsoleWrite(int fd, std::string_view utf8) {
  const HANDLE handle = HandleOf(fd);
  if (!IsConsole(handle)) return false;
  std::lock_guard lock(gConsoleMutex);
  std::string text = std::move(gHeld[fd]);
  text.append(utf8);
  const std::size_t tail = OpenTail(text);
  gHeld[fd] = text.substr(text.size() - tail);
  text.resize(text.size() - tail);
  std::u16string units;
  std::size_t bad = 0;
  if (!support::DecodeUtf8(text, units, bad)) {  // not UTF-8: each byte as its Latin-1 character
    units.assign(text.begin(), text.end());
    for (std::size_t i = 0; i < text.size(); ++i) units[i] = static_cast<unsigned char>(text[i]);
  }
  const auto* p = reinterpret_cast<const wchar_t*>(units.data());
  std::size_t left = units.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(left < 8192 ? left : 8192);
    if (!WriteConsoleW(handle, p, chunk, &written, nullptr) || written == 0) break;
    p += written;
    left -= written;
  }
  return true;
}

namespace {

// A pipe or console is read by a thread of its own, which blocks in the
// read so that the reader of the records need not: it waits on this queue
// with a timeout instead (PeekNamedPipe would do for Windows' own pipes,
// but not for every pipe a program may be given). At most kPumpBytes wait.
constexpr std::size_t kPumpBytes = std::size_t{1} << 20;

struct Pump {
  int fd = -1;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> chunks;
  std::size_t queued = 0;
  bool ended = false;
  int error = 0;
};
Pump* gPump = nullptr;  // one: batch reads one input; never freed, its thread may outlive the run
std::mutex gPumpMutex;

Pump& PumpFor(int fd) {
  std::lock_guard lock(gPumpMutex);
  if (gPump == nullptr) {
    gPump = new Pump;
    gPump->fd = fd;
    std::thread([pump = gPump] {
      std::vector<char> buffer(std::size_t{1} << 16);
      for (;;) {
        const int got = ::_read(pump->fd, buffer.data(), static_cast<unsigned int>(buffer.size()));
        std::unique_lock lock(pump->mutex);
        if (got <= 0) {
          pump->ended = true;
          pump->error = got < 0 && GetLastError() != ERROR_BROKEN_PIPE ? errno : 0;
          pump->changed.notify_all();
          return;
        }
        pump->chunks.emplace_back(buffer.data(), static_cast<std::size_t>(got));
        pump->queued += static_cast<std::size_t>(got);
        pump->changed.notify_all();
        pump->changed.wait(lock, [&] { return pump->queued < kPumpBytes; });
      }
    }).detach();
  }
  return *gPump;
}

}  // namespace

bool WaitReadable(int fd, int milliseconds) {
  if (GetFileType(HandleOf(fd)) == FILE_TYPE_DISK) return true;  // a file: the read returns at once
  Pump& pump = PumpFor(fd);
  std::unique_lock lock(pump.mutex);
  return pump.changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                               [&] { return !pump.chunks.empty() || pump.ended; });
}

std::optional<std::size_t> ReadFromPump(int fd, char* buffer, std::size_t size) {
  {
    std::lock_guard lock(gPumpMutex);
    if (gPump == nullptr || gPump->fd != fd) return std::nullopt;
  }
  Pump& pump = *gPump;
  std::unique_lock lock(pump.mutex);
  while (pump.chunks.empty() && !pump.ended) {
    StopIfAsked();
    pump.changed.wait_for(lock, std::chrono::milliseconds(50));
  }
  if (pump.chunks.empty()) {
    if (pump.error != 0)
      throw Failure{kExitInput, std::string("cannot read the records: ") + std::strerror(pump.error)};
    return 0;
  }
  std::string& front = pump.chunks.front();
  const std::size_t take = std::min(size, front.size());
  std::memcpy(buffer, front.data(), take);
  front.erase(0, take);
  if (front.empty()) pump.chunks.pop_front();
  pump.queued -= take;
  pump.changed.notify_all();
  return take;
}

void InstallStopHandler(void (*onStop)(int)) {
  gOnStop = onStop;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &gMainThread, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::optional<std::u16string> PromptForKey(bool twice) {
  HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  struct Close {
    HANDLE a, b;
    ~Close() {
      if (a != INVALID_HANDLE_VALUE) CloseHandle(a);
      if (b != INVALID_HANDLE_VALUE) CloseHandle(b);
    }
  } close{in, out};
  DWORD mode = 0;
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return std::nullopt;
  const std::string key = AskOnce(in, out, L"Key: ");
  if (twice && !key.empty() && AskOnce(in, out, L"Key again: ") != key) {
    throw Failure{kExitInput, "the two keys differ; nothing was sealed"};
  }
  std::u16string text;
  std::size_t bad = 0;
  support::DecodeUtf8(key, text, bad);  // from UTF-16: valid
  return text;
}

int RunWithUtf8Arguments(int argc, wchar_t** argv, int (*main)(int, char**)) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(support::NarrowText(argv[i]));
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  // Bytes in and out as they are: no LF becomes CRLF, no 0x1A ends a read.
  ::_setmode(0, _O_BINARY);
  ::_setmode(1, _O_BINARY);
  ::_setmode(2, _O_BINARY);
  // The progress bar's and stage lines' "\r\033[K" on a console.
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (IsConsole(error) && GetConsoleMode(error, &mode))
    SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  return main(argc, pointers.data());
}

void* HandleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

std::optional<std::string> EnvironmentValue(const std::string& name) {
  // getenv gives the ANSI code page's bytes; the variable itself is UTF-16.
  const std::wstring wideName = support::WideText(name);
  const wchar_t* wide = wideName.empty() ? nullptr : ::_wgetenv(wideName.c_str());
  if (wide == nullptr) return std::nullopt;
  return support::NarrowText(wide);
}

bool IsTerminal(int fd) { return ::_isatty(fd) != 0; }

bool StandardOutputClosed() { return false; }

std::tm UtcCalendar(std::time_t seconds) {
  std::tm utc{};
  ::gmtime_s(&utc, &seconds);
  return utc;
}

}  // namespace trirotor::cli
