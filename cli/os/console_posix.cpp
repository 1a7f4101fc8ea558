// SPDX-License-Identifier: MIT
//
// console_posix.cpp - the terminal, the stop signals, the environment and
// the clock on POSIX systems (cli/os/console.h).

#include "cli/os/console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "cli/os/files.h"
#include "cli/status.h"
#include "support/key_file.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

// The terminal to ask on: the process's own whenever it has one, whatever
// standard input is (a pipe or a file that carries the message; gpg and age
// ask so too), else standard input when it is a terminal.
Descriptor OpenTerminal() {
  Descriptor tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (tty.valid()) return tty;
  return Descriptor::Standard(::isatty(0) != 0 ? 0 : -1);
}

// Waits until the terminal has a line for us. The stop signals are held
// back until ppoll waits, so that one that came before the prompt, or while
// it was shown, stops the run here; a plain read would wait for ever behind
// a flag nobody looks at.
void AwaitLine(int fd) {
  sigset_t stops, before;
  sigemptyset(&stops);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signo);
  ::pthread_sigmask(SIG_BLOCK, &stops, &before);
  struct Unblock {
    sigset_t mask;
    ~Unblock() { ::pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } unblock{before};
  for (;;) {
    StopIfAsked();
    pollfd wait{fd, POLLIN, 0};
    const int ready = ::ppoll(&wait, 1, nullptr, &before);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return;  // the read says what there is
  }
}

// Where the prompt goes: the terminal itself, or standard error when the
// terminal is standard input.
int PromptFd(int fd) { return fd == 0 ? 2 : fd; }

// Turns echo off for as long as it lives.
class HiddenInput {
 public:
  explicit HiddenInput(int fd) : fd_(fd), active_(::tcgetattr(fd, &saved_) == 0) {
    if (!active_) return;
    termios hidden = saved_;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    hidden.c_lflag |= ECHONL;
    ::tcsetattr(fd, TCSAFLUSH, &hidden);
  }
  ~HiddenInput() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  HiddenInput(const HiddenInput&) = delete;
  HiddenInput& operator=(const HiddenInput&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_;
};

// Asks on the terminal with echo off; restores the terminal whatever
// happens. One read is one line: Enter ends it, and so does Ctrl-D, which
// hands over what was typed without a line end (an empty line: an empty key).
std::string AskOnce(int fd, std::string_view prompt) {
  const HiddenInput hidden(fd);
  WriteChatter(PromptFd(fd), prompt);
  std::string line(support::kMaxKeyFileBytes, '\0');
  std::size_t got = 0;
  try {
    AwaitLine(fd);
    got = ReadSome(fd, line.data(), line.size(), "the key");
  } catch (const Failure&) {
    WriteChatter(PromptFd(fd), "\n");  // the message that follows starts on a line of its own
    throw;
  }
  line.resize(got);
  if (line.ends_with('\n')) {
    line.pop_back();
  } else {
    WriteChatter(PromptFd(fd), "\n");  // Ctrl-D: no line end was echoed
  }
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

}  // namespace

void InstallStopHandler(void (*onStop)(int)) {
  struct sigaction action {};
  action.sa_handler = onStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocked reads return and the run stops
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored when we started stays ignored: nohup ignores SIGHUP,
    // a shell ignores SIGINT for the jobs a script puts in the background,
    // and both mean the run is to outlive them.
    struct sigaction was {};
    if (::sigaction(signo, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
    ::sigaction(signo, &action, nullptr);
  }
}

std::optional<std::u16string> PromptForKey(bool twice) {
  const Descriptor terminal = OpenTerminal();
  if (!terminal.valid()) return std::nullopt;
  const std::string key = AskOnce(terminal.get(), "Key: ");
  if (twice && !key.empty() && AskOnce(terminal.get(), "Key again: ") != key) {
    throw Failure{kExitInput, "the two keys differ; nothing was sealed"};
  }
  std::u16string text;
  std::size_t bad = 0;
  if (!support::DecodeUtf8(key, text, bad)) {
    throw Failure{kExitInput, "the key is not valid UTF-8 (byte " + std::to_string(bad + 1) + ")"};
  }
  return text;
}

std::optional<std::string> EnvironmentValue(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool IsTerminal(int fd) { return ::isatty(fd) != 0; }

bool StandardOutputClosed() { return ::fcntl(1, F_GETFD) < 0 && errno == EBADF; }

std::tm UtcCalendar(std::time_t seconds) {
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  return utc;
}

}  // namespace trirotor::cli
