// SPDX-License-Identifier: MIT
//
// run.cpp - one command line's work: keys, input, the engine, output, and the
// exit status that scripts rely on.
//
// Output is produced only once the engine is done, and a file named with -o
// is replaced only on success: a failed or aborted run leaves what was there.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "cli/cli.h"
#include "cli/io.h"
#include "engine/trirotor.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

using support::DecodeUtf8;
using support::EncodeUtf8;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

void PrintEngineError(const EngineError& error) {
  // Unprefixed on purpose: scripts look for a line that starts with "error".
  std::string line = "error " + std::to_string(error.number()) + " in " + error.source() + ": " +
                     error.description() + "\n";
  if (::write(2, line.data(), line.size()) < 0) return;
}

void PrintOutOfMemory() {
  PrintEngineError(EngineError(kErrOutOfMemory, "trirotor", "Out of memory"));
}

std::string AsString(std::u16string_view ascii) { return std::string(ascii.begin(), ascii.end()); }

// The plain bytes as UTF-8. Each byte stands for one character of the code
// page, so a table of the 256 characters' UTF-8 forms, made through the code
// page once, converts a slice at a time without any wide text.
void WriteAsUtf8(Output& out, const ByteBuffer& plain) {
  struct Form {
    std::uint8_t length;
    char bytes[3];  // a character of the Basic Multilingual Plane
  };
  std::array<Form, 256> forms{};
  for (int v = 0; v < 256; ++v) {
    const auto byte = static_cast<std::uint8_t>(v);
    const std::string utf8 = EncodeUtf8(platform::BytesToText(&byte, 1));
    forms[v].length = static_cast<std::uint8_t>(std::min<std::size_t>(utf8.size(), 3));
    std::copy_n(utf8.begin(), forms[v].length, forms[v].bytes);
  }
  constexpr std::size_t kSlice = std::size_t{32} << 10;
  std::string text(3 * kSlice, '\0');
  for (std::size_t at = 0; at < plain.size(); at += kSlice) {
    const std::size_t count = std::min(kSlice, plain.size() - at);
    char* o = text.data();
    for (std::size_t i = 0; i < count; ++i) {
      const Form& form = forms[plain[at + i]];
      std::memcpy(o, form.bytes, 3);  // whole, so that the copy has a fixed size
      o += form.length;
    }
    out.Write(std::string_view(text.data(), static_cast<std::size_t>(o - text.data())));
  }
}

int DecodeOne(const Options& options, const KeyPair& keys) {
  // The message is ASCII base64, so its file bytes are already the code
  // page's form of the text: the engine decodes them in place.
  ByteBuffer message = ReadWholeBytes(options.input, kMaxInputBytes, "message");
  Output out(options.output);

  const bool showBar = !options.quiet && (options.progress || ::isatty(2));
  if (showBar) StartProgress(message.size(), options.progress);
  LastError = 0;
  ByteBuffer plain;
  try {
    plain = DecodeBytes(std::move(message), *keys.key, keys.suffix);
  } catch (const EngineError& error) {
    FinishProgress();
    if (Interrupted()) throw Failure{kExitAborted, "aborted"};
    PrintEngineError(error);
    return kExitEngine;
  } catch (const std::bad_alloc&) {
    FinishProgress();
    PrintOutOfMemory();
    return kExitEngine;
  }
  FinishProgress();
  if (Interrupted()) throw Failure{kExitAborted, "aborted"};
  const std::int16_t outcome = LastError;
  if (outcome == kErrFrameCheck) {
    Complain(ErrorMessage(kErrFrameCheck));
    return kExitFrame;
  }

  if (options.raw) {
    out.Write(std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size()));
  } else {
    WriteAsUtf8(out, plain);
  }
  if (Interrupted()) throw Failure{kExitAborted, "aborted"};
  out.Commit();
  if (outcome == kErrChecksum) {
    Complain(ErrorMessage(kErrChecksum));
    return kExitChecksum;
  }
  return kExitOk;
}

std::u16string PlainText(const Options& options, std::string bytes) {
  if (options.raw) {
    return platform::BytesToText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::string_view utf8 = bytes;
  if (utf8.starts_with(kByteOrderMark)) utf8.remove_prefix(kByteOrderMark.size());
  std::u16string plain;
  std::size_t bad = 0;
  if (!DecodeUtf8(utf8, plain, bad)) {
    const support::TextPosition at = support::PositionOfByte(utf8, bad);
    throw Failure{kExitInput, "line " + std::to_string(at.line) + ", column " + std::to_string(at.column) +
                                  ": the text is not valid UTF-8 (use --raw for bytes)"};
  }
  // A character the code page cannot hold would arrive as '?': refuse it.
  if (const auto found = platform::FindUnrepresentableCharacter(plain)) {
    throw Failure{kExitInput, found->message + " and would be lost"};
  }
  return plain;
}

int EncodeOne(const Options& options, const KeyPair& keys) {
  const std::u16string plain = PlainText(options, ReadWhole(options.input, kMaxInputBytes, "text"));
  Output out(options.output);
  std::u16string message;
  try {
    message = EncodeText(plain, *keys.key, keys.suffix, options.wrap.value_or(76));
  } catch (const EngineError& error) {
    PrintEngineError(error);
    return kExitEngine;
  } catch (const std::bad_alloc&) {
    PrintOutOfMemory();
    return kExitEngine;
  }
  if (Interrupted()) throw Failure{kExitAborted, "aborted"};
  std::string text = AsString(message);
  text.push_back('\n');
  out.Write(text);
  if (Interrupted()) throw Failure{kExitAborted, "aborted"};
  out.Commit();
  return kExitOk;
}

}  // namespace

void Complain(std::string_view message) {
  std::string line = "trirotor: ";
  line += message;
  line += '\n';
  if (::write(2, line.data(), line.size()) < 0) return;
}

int Run(const Options& options) {
  try {
    platform::SetCodePage(options.codePage);
  } catch (const std::invalid_argument& error) {
    Complain(error.what());
    return kExitUsage;
  }
  InstallInterruptHandler();
  InstallAbortHook();
  try {
    const bool inputFromStdin = options.input.empty() || options.input == "-";
    if (options.jsonl) {
      // Records may carry their own keys; ask only when the terminal is free.
      return RunBatch(options, ResolveKeys(options, !inputFromStdin));
    }
    const KeyPair keys = ResolveKeys(options, true);
    if (!keys.key) throw Failure{kExitInput, "no key given: use --key-file, --key-env or --key"};
    return options.mode == Mode::kDecode ? DecodeOne(options, keys) : EncodeOne(options, keys);
  } catch (const Failure& failure) {
    Complain(failure.message);
    return failure.status;
  } catch (const std::bad_alloc&) {
    Complain("out of memory");
    return kExitInput;
  }
}

}  // namespace trirotor::cli
