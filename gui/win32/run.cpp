// SPDX-License-Identifier: MIT
//
// run.cpp - the Windows window running the engine: Decode on the window's
// thread with the engine's hooks wired to Windows, Encode on a thread of its
// own.
//
// For the length of a decode the pointer hook is platform/'s SetCursor
// (hourglass 11, arrow 0) and the event hook is platform/'s message pump
// with one step in front: the progress bar is moved to Progress before the
// pump lets it repaint. The encoder has no pauses; while it works beside
// the window, this thread waits for it and runs the same hook whenever a
// message arrives, so the window behaves as during a decode.

#include <windows.h>
#include <commctrl.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "engine/trirotor.h"
#include "gui/win32/control_ids.h"
#include "gui/win32/main_window.h"
#include "gui/win32/text.h"

namespace trirotor::gui::win32 {
namespace {

/// The hooks of one run ///

thread_local HWND tProgressBar = nullptr;
thread_local platform::EventHook tPump = nullptr;
thread_local int tShownProgress = -1;

void ShowProgressThenPump() {
  if (tProgressBar != nullptr && Progress != tShownProgress) {
    tShownProgress = Progress;
    SendMessageW(tProgressBar, PBM_SETPOS, static_cast<WPARAM>(Progress), 0);
  }
  if (tPump != nullptr) tPump();
}

// Installs the hooks on this thread for one run and puts back the ones it
// found when it ends, with the arrow: a run that ends in an error may
// leave the hourglass up.
class RunHooks {
 public:
  explicit RunHooks(HWND progressBar)
      : previousEvent_(platform::GetEventHook()), previousPointer_(platform::GetPointerHook()) {
    platform::UseWindowHooks();
    tPump = platform::GetEventHook();
    tProgressBar = progressBar;
    tShownProgress = Progress;
    platform::SetEventHook(&ShowProgressThenPump);
  }
  ~RunHooks() {
    platform::SetMousePointer(platform::kPointerDefault);
    platform::SetEventHook(previousEvent_);
    platform::SetPointerHook(previousPointer_);
    tProgressBar = nullptr;
    tPump = nullptr;
  }
  RunHooks(const RunHooks&) = delete;
  RunHooks& operator=(const RunHooks&) = delete;

 private:
  platform::EventHook previousEvent_;
  platform::PointerHook previousPointer_;
};

std::wstring DescribeEngineError(const EngineError& error) {
  return L"Error " + std::to_wstring(error.number()) + L" in " + FromUtf8(error.source()) + L": " +
         FromUtf8(error.description());
}

/// The encoder beside the window ///

struct EncodeJob {
  std::u16string plain, key, keySuffix;
  int codePage = 1252;  // the window's; each thread has its own
  std::u16string message;
  std::optional<EngineError> engineError;
  std::wstring failure;
  HANDLE done = nullptr;
};

void RunEncodeJob(EncodeJob& job) {
  try {
    platform::SetCodePage(job.codePage);
    job.message = EncodeText(job.plain, job.key, job.keySuffix);  // a random header every time
  } catch (const EngineError& error) {
    job.engineError = error;
  } catch (const std::bad_alloc&) {
    job.failure = L"Out of memory: the text is too large to encode here.";
  } catch (const std::exception& error) {
    job.failure = FromUtf8(error.what());
  }
  if (job.done != nullptr) SetEvent(job.done);
}

// Runs the job on a thread of its own and returns when it is done, running
// the event hook whenever a message arrives meanwhile. Without a thread to
// be had, encodes on this one.
void EncodeBesideWindow(EncodeJob& job) {
  job.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread worker;
  try {
    worker = std::thread(RunEncodeJob, std::ref(job));
  } catch (const std::system_error&) {
    RunEncodeJob(job);
  }
  if (worker.joinable()) {
    while (job.done != nullptr &&
           MsgWaitForMultipleObjectsEx(1, &job.done, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0 + 1) {
      if (platform::EventHook hook = platform::GetEventHook()) hook();
    }
    worker.join();
  }
  if (job.done != nullptr) CloseHandle(job.done);
}

void SetBusyBar(HWND bar, bool busy) {
  const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
  SetWindowLongPtrW(bar, GWL_STYLE, busy ? style | PBS_MARQUEE : style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
  SendMessageW(bar, PBM_SETMARQUEE, busy ? TRUE : FALSE, 30);
  if (!busy) SendMessageW(bar, PBM_SETRANGE32, 0, 100);
}

}  // namespace

/// Checks before a run ///

bool MainWindow::CheckKey() {
  if (GetWindowTextLengthW(Control(kIdKey)) > 0) return true;
  ShowStatus(L"Enter the key first.");
  SetFocus(Control(kIdKey));
  return false;
}

// A character the page cannot hold exactly would be lost from the text, and
// in a key or suffix sealed as '?' (which any other such character would
// then open) or as Windows' look-alike (which the same key typed under
// another page does not give). The refusal says which, in the tool's words.
bool MainWindow::CheckEncodable(const std::u16string& plain, const std::u16string& key,
                                const std::u16string& keySuffix) {
  if (const auto found = platform::FindUnrepresentableCharacter(plain)) {
    ShowStatus(L"Cannot encode: " + FromUtf8(platform::RefusalToSeal(*found, false)) + L".");
    return false;
  }
  const std::pair<const std::u16string*, int> fields[] = {{&key, kIdKey}, {&keySuffix, kIdSuffix}};
  for (const auto& [text, id] : fields) {
    const auto found = platform::FindUnrepresentableCharacter(*text, id == kIdKey ? "the key" : "the key suffix");
    if (!found) continue;
    ShowStatus(L"Cannot encode: " + FromUtf8(platform::RefusalToSeal(*found, true)) + L".");
    SetFocus(Control(id));
    return false;
  }
  return true;
}

// The status with a line for each key or suffix character the page does not
// hold exactly, saying what the decode took it as.
void MainWindow::ShowStatusWithKeyWarnings(std::wstring text, const std::u16string& key,
                                           const std::u16string& keySuffix) {
  for (const std::string& warning : platform::KeyConversionWarnings(key, keySuffix)) {
    text += L"\r\nWarning: " + FromUtf8(warning) + L".";
  }
  ShowStatus(text);
}

/// Runs ///

void MainWindow::BeginRun() {
  running_ = true;
  closeRequested_ = false;
  focusBefore_ = GetFocus();
  for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    const int id = GetDlgCtrlID(child);
    if (id != kIdStatus && id != kIdProgress) EnableWindow(child, id == kIdAbort);
  }
  SetFocus(Control(kIdAbort));
  SendMessageW(Control(kIdProgress), PBM_SETPOS, 0, 0);
  ShowResult({});
  ShowStatus(L"Working\u2026");
  // The engine leaves an abort request standing after a message it skips;
  // the status reports this run only.
  AbortFlag = 0;
  Progress = 0;
}

void MainWindow::EndRun() {
  running_ = false;
  if (window_ == nullptr) return;
  for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    EnableWindow(child, GetDlgCtrlID(child) != kIdAbort);
  }
  // Disabling the controls took the keyboard focus away; give it back.
  if (focusBefore_ != nullptr && IsWindow(focusBefore_) && IsWindowEnabled(focusBefore_)) SetFocus(focusBefore_);
}

void MainWindow::CloseIfAsked() {
  if (closeRequested_ && window_ != nullptr) DestroyWindow(window_);
}

void MainWindow::Decode() {
  if (running_) return;  // pressed again during one of the run's pauses
  const std::u16string message = InputText();
  if (message.size() < kShortestMessage) {
    ShowStatus(L"The message is too short: a message has at least 4 characters.");
    return;
  }
  if (!CheckKey()) return;
  const std::u16string key = ToEngine(ControlText(Control(kIdKey)));
  const std::u16string keySuffix = ToEngine(ControlText(Control(kIdSuffix)));

  BeginRun();
  DecodeOutcome outcome;
  std::wstring failure;
  {
    const RunHooks hooks(Control(kIdProgress));
    try {
      outcome = TryDecodeText(message, key, keySuffix);
    } catch (const std::bad_alloc&) {
      failure = L"Out of memory: the message is too large to decode here.";
    } catch (const std::exception& error) {
      failure = FromUtf8(error.what());
    }
  }
  EndRun();
  if (failure.empty() && outcome.status == DecodeStatus::kEngineError) {
    failure = DescribeEngineError(EngineError(outcome.error, outcome.source, outcome.description));
  }
  if (window_ != nullptr) ReportDecode(outcome, failure, key, keySuffix);
  CloseIfAsked();
}

void MainWindow::ReportDecode(const DecodeOutcome& outcome, const std::wstring& failure, const std::u16string& key,
                              const std::u16string& keySuffix) {
  if (!failure.empty()) {
    ShowStatusWithKeyWarnings(failure, key, keySuffix);
  } else if (AbortFlag == -1) {
    // After an abort the engine returns "" or the container as it was, never
    // the plain text: show nothing.
    ShowStatus(L"Aborted");
  } else if (!outcome.HasText()) {
    ShowStatusWithKeyWarnings(FromUtf8(outcome.description), key, keySuffix);
  } else {
    SendMessageW(Control(kIdProgress), PBM_SETPOS, 100, 0);
    const std::size_t characters = outcome.text.size();
    ShowResult(outcome.text);
    ShowStatusWithKeyWarnings(outcome.status == DecodeStatus::kChecksumMismatch
                                  ? FromUtf8(outcome.description)
                                  : L"Decoded " + GroupThousands(characters) + L" characters.",
                              key, keySuffix);
  }
}

void MainWindow::Encode() {
  if (running_) return;  // pressed during one of a decode's pauses
  if (!CheckKey()) return;
  EncodeJob job;
  job.plain = InputText();
  job.key = ToEngine(ControlText(Control(kIdKey)));
  job.keySuffix = ToEngine(ControlText(Control(kIdSuffix)));
  job.codePage = platform::CodePage();
  if (!CheckEncodable(job.plain, job.key, job.keySuffix)) return;

  BeginRun();
  HWND bar = Control(kIdProgress);
  {
    const RunHooks hooks(bar);
    platform::SetMousePointer(platform::kPointerBusy);
    SetBusyBar(bar, true);  // no progress to tell
    // Nothing the encoder reads can change under it: it has its own copies,
    // and the code page cannot change while the controls are disabled.
    EncodeBesideWindow(job);
    SetBusyBar(bar, false);
  }
  EndRun();
  if (window_ == nullptr) return;
  if (AbortFlag == -1) {
    // The encoder cannot be stopped halfway; its result is dropped instead.
    ShowStatus(L"Aborted");
  } else if (job.engineError) {
    ShowStatus(DescribeEngineError(*job.engineError));
  } else if (!job.failure.empty()) {
    ShowStatus(job.failure);
  } else {
    SendMessageW(bar, PBM_SETPOS, 100, 0);
    const std::size_t sealed = job.message.size();
    ShowResult(std::move(job.message));
    ShowStatus(L"Encoded " + GroupThousands(job.plain.size()) + L" characters into a message of " +
               GroupThousands(sealed) + L".");
  }
  CloseIfAsked();
}

void MainWindow::Abort() {
  // Only a running decode reads the flag; set at any other time it would
  // linger until the next run clears it.
  if (!running_) return;
  AbortFlag = -1;
  ShowStatus(L"Aborting\u2026");
}

}  // namespace trirotor::gui::win32
