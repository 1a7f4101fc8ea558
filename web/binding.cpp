// SPDX-License-Identifier: MIT
//
// binding.cpp - the engine's face to JavaScript, for the page's worker, the
// tests and the benchmark.
//
// Text crosses as UTF-16 code units in a Uint16Array (a JavaScript string's
// own units, so nothing is lost on the way), bytes as a Uint8Array. Every
// call returns a plain object and never throws:
//   {text, lastError}                         decode returned
//   {message}                                 encode returned
//   {refusal}                                 encode refused a character
//                                             the page cannot hold exactly
//   {error: {number, source, description}}    the engine raised an error
//   {failure}                                 a setting the engine refused
// and a decode's outcome, whichever it is, also {warnings}: a line for each
// key or suffix character the page does not hold, saying what it was taken as.
// The hooks are per engine, like the engine's state: the worker installs a
// progress callback (called when Progress changes, at the engine's pauses)
// and a pointer callback (11 busy, 0 default).

#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/trirotor.h"

namespace {

using emscripten::val;
using trirotor::ByteBuffer;
using trirotor::EngineError;

val progressCallback = val::null();
val pointerCallback = val::null();
int lastPosted = -1;

void OnPause() {
  // The engine pauses every few thousand bytes; the page needs a word only
  // when the percentage moves.
  if (trirotor::Progress == lastPosted) return;
  lastPosted = trirotor::Progress;
  progressCallback(lastPosted);
}

void OnPointer(int code) { pointerCallback(code); }

void SetHooks(val onProgress, val onPointer) {
  progressCallback = onProgress;
  pointerCallback = onPointer;
  trirotor::platform::SetEventHook(onProgress.isNull() ? nullptr : &OnPause);
  trirotor::platform::SetPointerHook(onPointer.isNull() ? nullptr : &OnPointer);
}

std::u16string Units(const val& array) {
  const auto length = array["length"].as<std::size_t>();
  std::u16string text(length, u'\0');
  // Copy straight into the string's storage through a view of the heap.
  val view{emscripten::typed_memory_view(length, reinterpret_cast<std::uint16_t*>(text.data()))};
  view.call<void>("set", array);
  return text;
}

ByteBuffer Bytes(const val& array) {
  const auto length = array["length"].as<std::size_t>();
  ByteBuffer bytes(length);
  val view{emscripten::typed_memory_view(length, bytes.data())};
  view.call<void>("set", array);
  return bytes;
}

// A copy that outlives the engine's buffers (a view of the heap would not:
// the heap may grow and move).
val ToUint16Array(std::u16string_view text) {
  val view{emscripten::typed_memory_view(text.size(), reinterpret_cast<const std::uint16_t*>(text.data()))};
  return view.call<val>("slice");
}

val ErrorObject(std::int32_t number, const std::string& source, const std::string& description) {
  val error = val::object();
  error.set("number", number);
  error.set("source", source);
  error.set("description", description);
  val outcome = val::object();
  outcome.set("error", error);
  return outcome;
}

val Failure(const std::string& text) {
  val outcome = val::object();
  outcome.set("failure", text);
  return outcome;
}

template <typename Work>
val Guarded(Work work) {
  try {
    return work();
  } catch (const EngineError& error) {
    return ErrorObject(error.number(), error.source(), error.description());
  } catch (const std::bad_alloc&) {
    return ErrorObject(trirotor::kErrOutOfMemory, "trirotor", "Out of memory");
  } catch (const std::exception& error) {
    return Failure(error.what());
  }
}

val SetCodePage(int codePage) {
  return Guarded([&] {
    trirotor::platform::SetCodePage(codePage);
    return val::object();
  });
}

// The pages this build offers, in number order:
// [{number, name, description, windowsTables}].
val SupportedCodePages() {
  val pages = val::array();
  for (const trirotor::platform::CodePageInfo& page : trirotor::platform::SupportedCodePages()) {
    val entry = val::object();
    entry.set("number", page.number);
    entry.set("name", std::string(page.name));
    entry.set("description", std::string(page.description));
    entry.set("windowsTables", page.windowsTables);
    pages.call<void>("push", entry);
  }
  return pages;
}

// The 256 characters the page gives the bytes 0 to 255, for comparison with
// the native build's.
val CodePageTable(int codePage) {
  return Guarded([&] {
    const int before = trirotor::platform::CodePage();
    trirotor::platform::SetCodePage(codePage);
    std::uint8_t bytes[256];
    for (int b = 0; b < 256; ++b) bytes[b] = static_cast<std::uint8_t>(b);
    const std::u16string table = trirotor::platform::BytesToText(bytes, 256);
    trirotor::platform::SetCodePage(before);
    val outcome = val::object();
    outcome.set("text", ToUint16Array(table));
    return outcome;
  });
}

// What the page makes of text, unit by unit (Windows' look-alike or '?' for
// a unit it lacks), for comparison with Windows' own tables.
val CodePageBytes(int codePage, val text) {
  return Guarded([&] {
    const int before = trirotor::platform::CodePage();
    trirotor::platform::SetCodePage(codePage);
    const ByteBuffer bytes = trirotor::platform::TextToBytes(Units(text));
    trirotor::platform::SetCodePage(before);
    val view{emscripten::typed_memory_view(bytes.size(), bytes.data())};
    val outcome = val::object();
    outcome.set("bytes", view.call<val>("slice"));
    return outcome;
  });
}

val StringArray(const std::vector<std::string>& lines) {
  val array = val::array();
  for (const std::string& line : lines) array.call<void>("push", line);
  return array;
}

// A message as bytes (a file as it was read) goes through DecodeBytes, as
// the command line decodes a file; as UTF-16 units (pasted text) through
// DecodeText. The answer is {status, text, lastError}, status the engine's
// word for the outcome ("opened", "checksum-mismatch", "frame-failed",
// "no-message") and lastError this call's own code, or {error} for an
// engine error. The warnings come with every outcome, an engine error's
// too: a key taken otherwise than typed may be why the message does not
// open.
val Decode(val message, val key, val keySuffix) {
  std::vector<std::string> warnings;
  val outcome = Guarded([&] {
    lastPosted = -1;
    const std::u16string keyText = Units(key);
    const std::u16string suffixText = Units(keySuffix);
    warnings = trirotor::platform::KeyConversionWarnings(keyText, suffixText);
    const bool asBytes = message.instanceof (val::global("Uint8Array"));
    const trirotor::DecodeOutcome decoded = asBytes ? trirotor::TryDecodeBytes(Bytes(message), keyText, suffixText)
                                                    : trirotor::TryDecodeText(Units(message), keyText, suffixText);
    if (decoded.status == trirotor::DecodeStatus::kEngineError) {
      val failed = ErrorObject(decoded.error, decoded.source, decoded.description);
      failed.set("status", std::string(trirotor::DecodeStatusName(decoded.status)));
      return failed;
    }
    val answer = val::object();
    answer.set("status", std::string(trirotor::DecodeStatusName(decoded.status)));
    answer.set("text", ToUint16Array(asBytes ? trirotor::platform::BytesToText(decoded.plain) : decoded.text));
    answer.set("lastError", decoded.error);
    return answer;
  });
  outcome.set("warnings", StringArray(warnings));
  return outcome;
}

// The first character of `text` the page cannot hold exactly, as a refusal
// placed by line and column in a text, by character in a key.
std::optional<std::string> Refusal(std::u16string_view text, std::string_view what) {
  const auto found = trirotor::platform::FindUnrepresentableCharacter(text, what);
  if (!found) return std::nullopt;
  return trirotor::platform::RefusalToSeal(*found, !what.empty());
}

val Encode(val plain, val key, val keySuffix, int wrap) {
  return Guarded([&] {
    const std::u16string plainText = Units(plain);
    const std::u16string keyText = Units(key);
    const std::u16string suffixText = Units(keySuffix);
    // Refused here rather than by the engine, so that a text's refusal says
    // the line and column, as the tool's does.
    const std::pair<std::u16string_view, std::string_view> parts[] = {
        {plainText, {}}, {keyText, "the key"}, {suffixText, "the key suffix"}};
    for (const auto& [text, what] : parts) {
      if (const auto refusal = Refusal(text, what)) {
        val outcome = val::object();
        outcome.set("refusal", *refusal);
        return outcome;
      }
    }
    const std::u16string message = trirotor::EncodeText(plainText, keyText, suffixText, wrap);
    val outcome = val::object();
    outcome.set("message", ToUint16Array(message));
    return outcome;
  });
}

std::string ErrorMessage(int code) { return std::string(trirotor::ErrorMessage(static_cast<std::int16_t>(code))); }

// The tool's version, for the agent the page's report names.
std::string Version() { return TRIROTOR_VERSION; }

}  // namespace

EMSCRIPTEN_BINDINGS(trirotor) {
  emscripten::constant("shortestMessage", static_cast<int>(trirotor::kShortestMessage));
  emscripten::function("version", &Version);
  emscripten::function("setHooks", &SetHooks);
  emscripten::function("setCodePage", &SetCodePage);
  emscripten::function("supportedCodePages", &SupportedCodePages);
  emscripten::function("codePageTable", &CodePageTable);
  emscripten::function("codePageBytes", &CodePageBytes);
  emscripten::function("decode", &Decode);
  emscripten::function("encode", &Encode);
  emscripten::function("errorMessage", &ErrorMessage);
}
