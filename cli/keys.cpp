// SPDX-License-Identifier: MIT
//
// keys.cpp - the key and suffix a command line gives: from an argument, a
// file, a variable or the terminal, checked against the code page.
//
// Decoding keeps the engine's rule that a key character the code page
// cannot hold counts as Windows' look-alike or as '?', since messages sealed
// that way exist; it only says which characters were taken so. Encoding
// refuses them: a key of '?'s would let any other such characters open the
// message, and a look-alike would not come from the same key typed under
// another page.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include "cli/windows.h"
#include "support/wide_path.h"
#else
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/io.h"
#include "engine/trirotor.h"
#include "support/key_file.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

bool IsStandardInput(const std::string& path) { return path.empty() || path == "-"; }

std::u16string KeyText(const std::string& utf8, std::string_view what) {
  std::u16string text;
  std::size_t bad = 0;
  if (!support::DecodeUtf8(utf8, text, bad)) {
    throw Failure{kExitInput, std::string(what) + " is not valid UTF-8 (byte " + std::to_string(bad + 1) + ")"};
  }
  return text;
}

#if defined(_WIN32)
std::optional<std::u16string> PromptForKey(bool twice) { return PromptForKeyOnConsole(twice); }
#else
// The terminal to ask on: the process's own whenever it has one, whatever
// standard input is (a pipe or a file that carries the message; gpg and age
// ask so too), else standard input when it is a terminal. -1 when there is
// none; `owned` says whether to close it.
int OpenTerminal(bool& owned) {
  owned = false;
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    owned = true;
    return fd;
  }
  return ::isatty(0) != 0 ? 0 : -1;
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
    if (Interrupted()) throw Failure{kExitAborted, "aborted"};
    pollfd wait{fd, POLLIN, 0};
    const int ready = ::ppoll(&wait, 1, nullptr, &before);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return;  // the read says what there is
  }
}

void Say(int fd, std::string_view text) {
  if (::write(fd, text.data(), text.size()) < 0) {
    // no terminal to speak on after all; the read that follows decides
  }
}

// Asks on the terminal with echo off; restores the terminal whatever
// happens. One read is one line: Enter ends it, and so does Ctrl-D, which
// hands over what was typed without a line end (an empty line: an empty key).
std::string AskOnce(int fd, std::string_view prompt) {
  termios saved{};
  const bool canHide = ::tcgetattr(fd, &saved) == 0;
  struct Restore {
    int fd;
    bool active;
    termios settings;
    ~Restore() {
      if (active) ::tcsetattr(fd, TCSAFLUSH, &settings);
    }
  } restore{fd, canHide, saved};
  if (canHide) {
    termios hidden = saved;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    hidden.c_lflag |= ECHONL;
    ::tcsetattr(fd, TCSAFLUSH, &hidden);
  }
  Say(fd == 0 ? 2 : fd, prompt);
  std::string line(support::kMaxKeyFileBytes, '\0');
  std::size_t got = 0;
  try {
    AwaitLine(fd);
    got = ReadSome(fd, line.data(), line.size(), "the key");
  } catch (const Failure&) {
    Say(fd == 0 ? 2 : fd, "\n");  // the message that follows starts on a line of its own
    throw;
  }
  line.resize(got);
  if (line.ends_with('\n')) {
    line.pop_back();
  } else {
    Say(fd == 0 ? 2 : fd, "\n");  // Ctrl-D: no line end was echoed
  }
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

std::optional<std::u16string> PromptForKey(bool twice) {
  bool owned = false;
  const int fd = OpenTerminal(owned);
  if (fd < 0) return std::nullopt;
  struct Close {
    int fd;
    bool owned;
    ~Close() {
      if (owned) ::close(fd);
    }
  } close{fd, owned};
  const std::string key = AskOnce(fd, "Key: ");
  if (twice && !key.empty() && AskOnce(fd, "Key again: ") != key) {
    throw Failure{kExitInput, "the two keys differ; nothing was sealed"};
  }
  return KeyText(key, "the key");
}
#endif

// Encoding: a character the page cannot hold exactly is refused, as in the
// text.
void RefuseUnrepresentable(const std::u16string& text, std::string_view what) {
  if (const auto found = platform::FindUnrepresentableCharacter(text, what)) {
    throw Failure{kExitInput, platform::RefusalToSeal(*found, true)};
  }
}

// Decoding: a line for each character the engine took as its look-alike or
// as '?'.
void WarnUnrepresentable(const KeyPair& keys) {
  for (const std::string& line : platform::KeyConversionWarnings(keys.key.value_or(u""), keys.suffix)) {
    Complain("warning: " + line);
  }
}

}  // namespace

std::u16string ReadKeySource(const std::string& path, std::string_view what) {
  try {
    if (path == "-") {
      // The tool's own reader, so that Ctrl-C still stops it.
      return support::KeyFromFileBytes(ReadWhole(path, support::kMaxKeyFileBytes, what), what);
    }
    return support::ReadKeyFile(path, what, &Interrupted);
  } catch (const support::KeyFileInterrupted&) {
    throw Failure{kExitAborted, "aborted"};
  } catch (const support::KeyFileError& error) {
    throw Failure{kExitInput, error.what()};
  }
}

std::string EnvironmentText(const std::string& name) {
#if defined(_WIN32)
  // getenv gives the ANSI code page's bytes; the variable itself is UTF-16.
  const std::wstring wideName = support::WideText(name);
  const wchar_t* wide = wideName.empty() ? nullptr : ::_wgetenv(wideName.c_str());
  if (wide == nullptr) throw Failure{kExitInput, "the variable " + name + " is not set"};
  return support::NarrowText(wide);
#else
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) throw Failure{kExitInput, "the variable " + name + " is not set"};
  return value;
#endif
}

bool SameFileAsStandardInput(const std::string& path) {
  if (path == "-") return true;
#if defined(_WIN32)
  return SameFile(path, 0);
#else
  struct stat named {}, input {};
  return ::stat(path.c_str(), &named) == 0 && ::fstat(0, &input) == 0 && named.st_dev == input.st_dev &&
         named.st_ino == input.st_ino;
#endif
}

void RefuseSharedStandardInput(const Options& options) {
  const std::vector<std::string> inputs = options.inputs.empty() ? std::vector{options.input} : options.inputs;
  bool messageOnStdin = false;
  for (const std::string& input : inputs) messageOnStdin |= IsStandardInput(input) || SameFileAsStandardInput(input);
  const std::string carried = options.mode == Mode::kEncode ? "text" : options.jsonl ? "records" : "message";
  struct Source {
    const std::optional<std::string>& path;
    const char* option;
    const char* what;
  };
  const Source sources[] = {{options.keyFile, "--key-file", "the key"},
                            {options.suffixFile, "--suffix-file", "the suffix"},
                            {options.keyRing, "--keyring", "the key ring"}};
  const Source* reader = nullptr;  // the one that reads standard input
  for (const Source& source : sources) {
    if (!source.path || !SameFileAsStandardInput(*source.path)) continue;
    const std::string named = std::string(source.option) + " " + *source.path;
    if (messageOnStdin) {
      throw Failure{kExitUsage, named + (*source.path == "-" ? " reads" : " is the same file as") +
                                    " standard input, which carries the " +
                                    carried + "; give the " + carried + " as a file, or " + source.what +
                                    " another way"};
    }
    if (reader != nullptr) {
      throw Failure{kExitUsage, std::string(reader->option) + " " + *reader->path + " and " + named +
                                    " cannot both read standard input"};
    }
    reader = &source;
  }
}

KeyPair ResolveKeys(const Options& options, bool mayPrompt) {
  RefuseSharedStandardInput(options);

  KeyPair keys;
  if (options.keyText) {
    keys.key = KeyText(*options.keyText, "the key");
  } else if (options.keyFile) {
    keys.key = ReadKeySource(*options.keyFile, "the key file");
  } else if (options.keyEnv) {
    keys.key = KeyText(EnvironmentText(*options.keyEnv), "the variable " + *options.keyEnv);
  } else if (mayPrompt) {
    keys.key = PromptForKey(options.mode == Mode::kEncode);
  }
  if (keys.key && keys.key->empty()) {
    throw Failure{kExitInput, "the key is empty; a message needs a key of at least one character"};
  }
  if (options.suffixText) {
    keys.suffix = KeyText(*options.suffixText, "the suffix");
  } else if (options.suffixFile) {
    keys.suffix = ReadKeySource(*options.suffixFile, "the suffix file");
  }

  if (options.mode == Mode::kEncode) {
    if (keys.key) RefuseUnrepresentable(*keys.key, "the key");
    RefuseUnrepresentable(keys.suffix, "the suffix");
  } else {
    WarnUnrepresentable(keys);
  }
  return keys;
}

}  // namespace trirotor::cli
