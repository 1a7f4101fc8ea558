// SPDX-License-Identifier: MIT
//
// run.cpp - one command line's work: keys, input, the engine, output, and the
// exit status that scripts rely on.
//
// Output is produced only once the engine is done, and a file named with -o
// is replaced only on success: a failed or aborted run leaves what was there.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/archive/archive_run.h"
#include "cli/batch.h"
#include "cli/decode/hooks.h"
#include "cli/decode/keyring.h"
#include "cli/decode/keys.h"
#include "cli/decode/message.h"
#include "cli/decode/options.h"
#include "cli/decode/salvage.h"
#include "cli/inspect.h"
#include "cli/run.h"
#include "cli/status.h"
#include "cli/file_io.h"
#include "cli/os/console.h"
#include "engine/trirotor.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

using support::DecodeUtf8;
using support::kByteOrderMark;
using support::EncodeUtf8;
using support::PositionOfByte;
using support::TextPosition;


void PrintEngineError(const EngineError& error) {
  // Unprefixed on purpose: scripts look for a line that starts with "error".
  std::string line =
      "error " + std::to_string(error.number()) + " in " + error.source() + ": " + error.description() + "\n";
  if (::write(2, line.data(), line.size()) < 0) return;
}

void PrintEngineError(const DecodeOutcome& outcome) {
  PrintEngineError(EngineError(outcome.error, outcome.source, outcome.description));
}

void PrintOutOfMemory() { PrintEngineError(EngineError(kErrOutOfMemory, "trirotor", "Out of memory")); }

void WriteAsUtf8(Output& out, const ByteBuffer& plain) {
  ForEachUtf8Slice(plain, [&](std::string_view slice) { out.Write(slice); });
}

}  // namespace

namespace {

// The engine takes a text of under 4 characters for no message at all and
// returns "" without a word; the tool says so and fails instead.
constexpr std::size_t kShortestMessage = 4;

// Decodes one message and writes its text to `output`, or nowhere when
// `output` is null (--check). `name` ("" or "FILE: ") starts each line that
// is about this message.
int DecodeOne(const Options& options, const KeyPair& keys, const std::string& input, const std::string* output,
              const std::string& name, const ByteBuffer* alreadyRead = nullptr) {
  // A bad -o is found before the work is done; nothing is created yet.
  std::optional<Output> out;
  if (output != nullptr) out.emplace(*output);
  // The file's bytes become the code page's bytes in place (nothing to do
  // for ASCII base64); the engine decodes them where they lie.
  ByteBuffer message = alreadyRead != nullptr ? *alreadyRead : ReadWholeBytes(input, kMaxInputBytes, "message");
  if (alreadyRead == nullptr) MessageToCodePage(message);
  // One byte per character now, as the engine counts them.
  if (message.size() < kShortestMessage) {
    Complain(name + "no message in the input (it has fewer than 4 characters)");
    return kExitFrame;
  }

  const bool showBar = !options.quiet && (options.progress || IsTerminal(2));
  if (showBar) StartProgress(message.size(), options.progress);
  // --salvage needs the message again after a failed frame check.
  ByteBuffer kept = options.salvage ? message : ByteBuffer();
  DecodeOutcome outcome;
  try {
    // Until the first pause only the progress hook could see a signal, and
    // nothing is written or created yet: a signal may end the process.
    StopAtOnceUntilTheFirstPause(!Interrupted());
    outcome = TryDecodeBytes(std::move(message), *keys.key, keys.suffix);
    StopAtOnceUntilTheFirstPause(false);
  } catch (const std::bad_alloc&) {
    StopAtOnceUntilTheFirstPause(false);
    FinishProgress();
    PrintOutOfMemory();
    return kExitEngine;
  }
  FinishProgress();
  StopIfAsked();
  bool salvaged = false;
  switch (outcome.status) {
    case DecodeStatus::kEngineError:
      PrintEngineError(outcome);
      Complain(name + "the message is damaged");
      return ExitStatusOf(outcome.status);
    case DecodeStatus::kFrameFailed:
      if (!options.salvage) {
        Complain(name + outcome.description);
        Complain(name + "wrong key or key suffix, or the input is not a whole message");
        return ExitStatusOf(outcome.status);
      }
      if (std::optional<ByteBuffer> found = SalvageOne(std::move(kept), keys, name)) {
        outcome.plain = std::move(*found);
        salvaged = true;
        break;
      }
      return ExitStatusOf(outcome.status);
    default: break;
  }
  const ByteBuffer& plain = outcome.plain;

  if (out) {
    if (options.raw) {
      out->Write(std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size()));
    } else {
      WriteAsUtf8(*out, plain);
    }
    out->Commit();
  }
  if (outcome.status == DecodeStatus::kChecksumMismatch) Complain(name + outcome.description);
  // Salvaged: written, not verified, and said as a checksum mismatch is.
  return salvaged ? kExitChecksum : ExitStatusOf(outcome.status);
}

// --check: each message on its own, so one failure does not stop the rest;
// the status is the highest any message got, and an interrupt stops them
// all. (--output-dir is an archive run, archive_run.h.)
int CheckMany(const Options& options, const KeyPair& keys) {
  std::vector<std::string> inputs = options.inputs;
  if (inputs.empty()) inputs.push_back("-");
  const bool several = inputs.size() > 1;
  int worst = kExitOk;
  std::size_t failed = 0;
  for (const std::string& input : inputs) {
    const std::string name = several ? (input == "-" ? "standard input" : ShownName(input)) + ": " : "";
    int status = kExitOk;
    try {
      status = DecodeOne(options, keys, input, nullptr, name);
    } catch (const Failure& failure) {
      if (failure.status == kExitAborted) throw;
      Complain(name + failure.message);
      status = failure.status;
    }
    if (status != kExitOk) ++failed;
    worst = std::max(worst, status);
  }
  if (!options.quiet && several) {
    Complain(std::to_string(inputs.size()) + (inputs.size() == 1 ? " file, " : " files, ") + std::to_string(failed) +
             " failed");
  }
  return worst;
}

// Every file the run reads, with what it is, against every file it writes:
// an output that is one of the inputs is refused before any work, as it
// would be destroyed by the time it was read (or read back as it grows).
void RefuseWritingOverInputs(const Options& options) {
  if (options.mode == Mode::kInspect || options.check) return;
  const char* what = options.jsonl ? "record file" : (options.mode == Mode::kEncode ? "text" : "message");
  std::vector<std::pair<std::string, std::string>> inputs;
  if (options.inputs.empty()) inputs.emplace_back("-", what);
  for (const std::string& input : options.inputs) inputs.emplace_back(input, what);
  if (options.keyFile) inputs.emplace_back(*options.keyFile, "key file");
  if (options.suffixFile) inputs.emplace_back(*options.suffixFile, "suffix file");
  if (options.keyRing) inputs.emplace_back(*options.keyRing, "key ring");
  RefuseOutputsOverInputs({options.output}, inputs);
}

// Moves a position on by the stretch of text whose own end is at `local`.
void Advance(TextPosition& at, const TextPosition& local) {
  if (local.line == 1) {
    at.column += local.column - 1;
  } else {
    at.line += local.line - 1;
    at.column = local.column;
  }
}

// The UTF-8 text as bytes of the code page, made in place: every character
// takes one byte and at least one byte of UTF-8, so the bytes written never
// pass the ones still to read, and no second copy of the text is needed.
// A slice at a time goes through UTF-16, where the code page is looked up.
void ToCodePage(ByteBuffer& text) {
  constexpr std::size_t kSlice = std::size_t{64} << 10;
  std::size_t from = 0, to = 0;
  if (std::string_view(reinterpret_cast<const char*>(text.data()), text.size()).starts_with(kByteOrderMark)) {
    from = kByteOrderMark.size();
  }
  TextPosition at;  // where the slice starts, for messages
  std::u16string wide;
  while (from < text.size()) {
    StopIfAsked();
    std::size_t end = std::min(text.size(), from + kSlice);
    // End the slice before a character that starts in it, not inside one.
    while (end < text.size() && end > from && (text[end] & 0xC0) == 0x80) --end;
    if (end == from) end = std::min(text.size(), from + kSlice);  // no boundary: the decoder says why
    const std::string_view slice(reinterpret_cast<const char*>(text.data()) + from, end - from);
    wide.clear();
    std::size_t bad = 0;
    if (!DecodeUtf8(slice, wide, bad)) {
      Advance(at, PositionOfByte(slice, bad));
      throw Failure{kExitInput, "line " + std::to_string(at.line) + ", column " + std::to_string(at.column) +
                                    ": the text is not valid UTF-8 (use --raw for bytes)"};
    }
    // A character the code page cannot hold would arrive as '?': refuse it.
    if (auto found = platform::FindUnrepresentableCharacter(wide)) {
      // The library places it within the slice; say where it is in the text.
      Advance(at, {found->line, found->column});
      found->place = "line " + std::to_string(at.line) + ", column " + std::to_string(at.column);
      throw Failure{kExitInput, platform::RefusalToSeal(*found, false)};
    }
    platform::TextToBytes(wide, text.data() + to);
    to += wide.size();
    const platform::TextPlace sliceEnd = platform::PlaceOfUnit(wide, wide.size());
    Advance(at, {sliceEnd.line, sliceEnd.column});
    from = end;
  }
  text.resize(to);
}

const char* StageName(EncodeStage stage) {
  switch (stage) {
    case EncodeStage::kCompressing: return "compressing";
    case EncodeStage::kEncrypting: return "encrypting";
    case EncodeStage::kWritingBase64: return "writing base64";
  }
  return "encoding";
}

void OnEncodeStage(EncodeStage stage, std::size_t bytes) { ShowStage(StageName(stage), bytes); }

int EncodeOne(const Options& options, const KeyPair& keys) {
  Output out(options.output);
  // Held once as file bytes, turned into code page bytes in place, handed to
  // the engine whole: the peak is the engine's, about 2.4 times the text.
  ByteBuffer plain = ReadWholeBytes(options.input, kMaxInputBytes, "text");
  const bool showStages = !options.quiet && (options.progress || IsTerminal(2));
  if (showStages) StartStages(options.progress);
  struct Finish {
    bool active;
    ~Finish() {
      if (active) FinishStages(false);
    }
  } finish{showStages};
  if (!options.raw) {
    if (showStages) ShowStage("converting to code page " + std::to_string(options.codePage), plain.size());
    ToCodePage(plain);
  }
  std::string message;
  try {
    // The engine encodes without a pause, and nothing is written or created
    // until it returns: a signal meanwhile ends the process at once.
    StopAtOnceUntilTheFirstPause(true);
    struct StopLater {
      ~StopLater() { StopAtOnceUntilTheFirstPause(false); }
    } stopLater;
    // One that came before is seen below, without the work.
    if (!Interrupted()) {
      message = EncodeBytes(std::move(plain), *keys.key, keys.suffix, options.wrap.value_or(76),
                            showStages ? OnEncodeStage : nullptr);
    }
  } catch (const EngineError& error) {
    PrintEngineError(error);
    return kExitEngine;
  } catch (const std::bad_alloc&) {
    PrintOutOfMemory();
    return kExitEngine;
  }
  StopIfAsked();
  if (showStages) ShowStage("writing", message.size() + 1);
  out.Write(message);
  out.Write("\n");
  out.Commit();
  if (showStages) FinishStages(true);
  return kExitOk;
}

}  // namespace

// Whether the options ask for an archive run (archive_run.h).
bool IsArchiveRun(const Options& options) {
  if (options.mode != Mode::kDecode || options.jsonl) return false;
  if (!options.verify.empty()) return true;
  // One --output-dir run, whatever -j is and whether the inputs are files or
  // folders: a file stands under its own folder.
  return !options.outputDir.empty();
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
    for (const std::string& input : options.inputs) {
      // An empty name would stand for standard input, as a variable left unset
      // must not quietly do.
      if (input.empty()) throw Failure{kExitUsage, "FILE: an empty name names no file (- is standard input)"};
    }
    // Folders, reports, resumed runs: archive.cpp checks its own outputs.
    if (IsArchiveRun(options)) return RunArchive(options);
    RefuseWritingOverInputs(options);
    if (options.mode == Mode::kInspect) return RunInspect(options);
    if (options.keyRing && options.mode == Mode::kDecode && !options.jsonl) {
      ByteBuffer message = ReadWholeBytes(options.input, kMaxInputBytes, "message");
      MessageToCodePage(message);
      return DecodeOne(options, KeyFromRing(options, message), options.input, &options.output, "", &message);
    }
    if (options.jsonl) {
      // Records may carry their own keys; ask only when the terminal is free.
      // With a key ring, records without a key are tried against it.
      return RunBatch(options, options.keyRing ? KeyPair{} : ResolveKeys(options, !inputFromStdin));
    }
    const KeyPair keys = ResolveKeys(options, true);
    if (!keys.key) throw Failure{kExitInput, "no key given: use --key-file, --key-env or --key"};
    if (options.mode == Mode::kEncode) return EncodeOne(options, keys);
    if (options.check) return CheckMany(options, keys);
    return DecodeOne(options, keys, options.input, &options.output, "");
  } catch (const Failure& failure) {
    if (failure.status == kExitAborted) {
      // 128 + the signal, as a shell reports a process the signal ended.
      const int signo = InterruptSignal() != 0 ? InterruptSignal() : SIGINT;
      Complain(failure.message + " by " + SignalName(signo));
      return 128 + signo;
    }
    Complain(failure.message);
    return failure.status;
  } catch (const std::bad_alloc&) {
    Complain("out of memory");
    return kExitInput;
  }
}

}  // namespace trirotor::cli
