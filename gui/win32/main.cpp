// SPDX-License-Identifier: MIT
//
// main.cpp - trirotor-gui.exe: the Windows window.
//
// trirotor-gui.exe [--key-file FILE] [--suffix TEXT | --suffix-file FILE] [--decode] [MESSAGE]
// A message file and the key files are read as Open... and Key file... read
// them, so that a decode is one click (or none, with --decode). The window
// has no console to complain on: what it cannot use is said in its status
// line, and the window opens all the same.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <string_view>

#include "gui/win32/control_ids.h"
#include "gui/win32/main_window.h"

namespace {

using trirotor::gui::win32::MainWindow;

constexpr wchar_t kUsage[] =
    L"the window takes [--key-file FILE] [--suffix TEXT | --suffix-file FILE] [--decode] [MESSAGE].";

struct StartOptions {
  std::wstring message, keyFile, suffixFile, suffix;
  bool suffixGiven = false;
  bool decode = false;
  std::wstring problem;  // what the command line got wrong
};

StartOptions ParseCommandLine() {
  StartOptions options;
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return options;
  const auto valueOf = [&](int& i, std::wstring& into) {
    if (i + 1 < count) {
      into = arguments[++i];
      return true;
    }
    options.problem = std::wstring(arguments[i]) + L" needs a value; " + kUsage;
    return false;
  };
  bool positionalOnly = false;
  for (int i = 1; i < count && options.problem.empty(); ++i) {
    const std::wstring_view argument = arguments[i];
    if (!positionalOnly && argument == L"--") {
      positionalOnly = true;
    } else if (!positionalOnly && argument == L"--key-file") {
      valueOf(i, options.keyFile);
    } else if (!positionalOnly && argument == L"--suffix-file") {
      valueOf(i, options.suffixFile);
    } else if (!positionalOnly && argument == L"--suffix") {
      options.suffixGiven = valueOf(i, options.suffix);
    } else if (!positionalOnly && argument == L"--decode") {
      options.decode = true;
    } else if (!positionalOnly && argument.starts_with(L"-") && argument.size() > 1) {
      options.problem = L"Unknown option " + std::wstring(argument) + L"; " + kUsage;
    } else if (!options.message.empty()) {
      options.problem = L"Two message files given; the window opens one: " + std::wstring(kUsage);
    } else {
      options.message = argument;
    }
  }
  LocalFree(arguments);
  return options;
}

// Fills the window from the command line; false if something in it could
// not be used (the status line says what), so that --decode is not run.
bool ApplyStartOptions(MainWindow& window, const StartOptions& options) {
  if (!options.problem.empty()) {
    window.ShowStatus(options.problem);
    return false;
  }
  if (!options.message.empty() && !window.LoadInputFile(options.message)) return false;
  if (!options.keyFile.empty() && !window.LoadKeyFile(options.keyFile, MainWindow::KeyField::kKey)) return false;
  if (options.suffixGiven) {
    SetWindowTextW(GetDlgItem(window.Handle(), trirotor::gui::win32::kIdSuffix), options.suffix.c_str());
  }
  if (!options.suffixFile.empty() && !window.LoadKeyFile(options.suffixFile, MainWindow::KeyField::kSuffix)) {
    return false;
  }
  return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  // Outlives the window and every message dispatched to it.
  MainWindow window;
  if (!window.Create(instance)) {
    MessageBoxW(nullptr, L"trirotor cannot create its window.", L"trirotor", MB_ICONERROR | MB_OK);
    return 1;
  }
  const StartOptions options = ParseCommandLine();
  const bool usable = ApplyStartOptions(window, options);
  ShowWindow(window.Handle(), showCommand);
  UpdateWindow(window.Handle());
  // Decode from the message loop, so that the window is on screen while it runs.
  if (usable && options.decode) {
    PostMessageW(window.Handle(), WM_COMMAND, MAKEWPARAM(trirotor::gui::win32::kIdDecode, BN_CLICKED), 0);
  }
  MSG message{};
  BOOL got = 0;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    if (window.TranslateKeys(message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return got == 0 ? static_cast<int>(message.wParam) : 1;
}
