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

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/decode/keys.h"
#include "cli/decode/options.h"
#include "cli/status.h"
#include "cli/file_io.h"
#include "cli/os/console.h"
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
    ThrowStopped();
  } catch (const support::KeyFileError& error) {
    throw Failure{kExitInput, error.what()};
  }
}

std::string EnvironmentText(const std::string& name) {
  std::optional<std::string> value = EnvironmentValue(name);
  if (!value) throw Failure{kExitInput, "the variable " + name + " is not set"};
  return std::move(*value);
}

bool SameFileAsStandardInput(const std::string& path) { return path == "-" || SameFileAs(path, 0); }

void RefuseSharedStandardInput(const Options& options) {
  const std::vector<std::string> inputs = options.inputs.empty() ? std::vector{options.input} : options.inputs;
  bool messageOnStdin = false;
  for (const std::string& input : inputs) messageOnStdin |= IsStandardInput(input) || SameFileAsStandardInput(input);
  const std::string carried = options.mode == Mode::kEncode ? "text" : (options.jsonl ? "records" : "message");
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
                                    " standard input, which carries the " + carried + "; give the " + carried +
                                    " as a file, or " + source.what + " another way"};
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
