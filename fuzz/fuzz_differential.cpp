// SPDX-License-Identifier: MIT
//
// fuzz_differential.cpp - the table-driven fast paths against their
// straightforward per-bit and per-byte twins: base64, the key schedule, the
// cipher and both sizes of container.
//
// Each stage runs twice on the same input, once through the fast path and
// once through its twin, and everything a caller can see must match: the
// bytes or the error (number and source), LastError, AbortFlag, Progress as
// each pause sees it and as it ends, the number of pauses, and for the
// cipher the whole CipherState afterwards. An abort requested in a chosen
// pause must stop both at the same place. The byte-level entry DecodeBytes
// is held to the same against DecodeText, the entry it stands for, with the
// pointer sequence as well.
//
// Input layout: ReadMessageInput in testing/fuzz_input.h, shared with
// fuzz_decode_text's seeds; with flag bit 7 the message's bytes are a raw
// container, compared without base64 or cipher.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/internal.h"
#include "fuzz/fuzz_support.h"

using namespace trirotor;
using namespace trirotor::internal;
using namespace trirotor::fuzz;

namespace {

// What one run of a stage showed its caller.
struct Outcome {
  bool returned = false;
  std::int32_t errorNumber = 0;
  std::string errorSource;
  ByteBuffer bytes;
  std::int16_t lastError = 0, abortFlag = 0, progress = 0;
  std::vector<std::int16_t> progressAtPauses;
  std::vector<int> pointers;
  CipherState cipher{};
  bool operator==(const Outcome&) const = default;
};

thread_local std::vector<std::int16_t>* pauseLog = nullptr;
thread_local std::vector<int>* pointerLog = nullptr;
thread_local int abortAtPause = -1;

void OnPointer(int code) {
  if (pointerLog != nullptr) pointerLog->push_back(code);
}

void OnPause() {
  const int pause = static_cast<int>(pauseLog->size());
  pauseLog->push_back(Progress);
  if (pause == abortAtPause) AbortFlag = -1;
}

// Runs one stage from the same starting status and records what it showed.
template <typename Stage>
Outcome RunStage(Stage&& stage) {
  Outcome outcome;
  LastError = 0;
  AbortFlag = 0;
  Progress = 0;
  pauseLog = &outcome.progressAtPauses;
  pointerLog = &outcome.pointers;
  try {
    stage(outcome.bytes);
    outcome.returned = true;
  } catch (const EngineError& error) {
    RequireDocumentedError(error, "a stage");
    outcome.errorNumber = error.number();
    outcome.errorSource = error.source();
  }
  pauseLog = nullptr;
  pointerLog = nullptr;
  outcome.lastError = LastError;
  outcome.abortFlag = AbortFlag;
  outcome.progress = Progress;
  outcome.cipher = Cipher;
  return outcome;
}

void RequireSame(const Outcome& fast, const Outcome& simple, const char* stage) {
  if (fast == simple) return;
  std::string what = std::string(stage) + ": the fast path and its twin differ:";
  if (fast.returned != simple.returned || fast.errorNumber != simple.errorNumber) {
    what += " error " + std::to_string(fast.errorNumber) + " vs " + std::to_string(simple.errorNumber) + ";";
  }
  if (fast.errorSource != simple.errorSource) what += " source " + fast.errorSource + " vs " + simple.errorSource + ";";
  if (fast.bytes != simple.bytes) {
    what += " bytes (" + std::to_string(fast.bytes.size()) + " vs " + std::to_string(simple.bytes.size()) + ");";
  }
  if (fast.lastError != simple.lastError) what += " LastError;";
  if (fast.abortFlag != simple.abortFlag) what += " AbortFlag;";
  if (fast.progress != simple.progress) what += " Progress;";
  if (fast.progressAtPauses != simple.progressAtPauses) {
    what += " pauses (" + std::to_string(fast.progressAtPauses.size()) + " vs " +
            std::to_string(simple.progressAtPauses.size()) + ");";
  }
  if (fast.pointers != simple.pointers) what += " pointer sequence;";
  if (!(fast.cipher == simple.cipher)) what += " CipherState;";
  Fail(what);
}

// Compares the two container decoders on one container.
void CompareContainers(const ByteBuffer& container) {
  const auto length = static_cast<std::int32_t>(container.size());
  const Outcome fast = RunStage([&](ByteBuffer& out) {
    out = container;
    HuffmanDecode(out, length);
  });
  const Outcome simple = RunStage([&](ByteBuffer& out) {
    out = container;
    HuffmanDecodeSimple(out, length);
  });
  RequireSame(fast, simple, "HuffmanDecode");
}

bool RunInput(const std::uint8_t* data, std::size_t size) {
  const MessageInput input = ReadMessageInput(data, size);
  const std::u16string& key = input.key;
  const std::u16string& suffix = input.suffix;
  platform::SetCodePage(input.codePage);
  platform::SetEventHook(&OnPause);
  platform::SetPointerHook(&OnPointer);
  abortAtPause = input.abortAtPause;

  bool slow = false;
  {
    ResourceBudget budget(size);
    if ((input.flags & 128) != 0) {
      CompareContainers(input.rawContainer);
    } else {
      const std::u16string& message = input.message;
      const Outcome fastText = RunStage([&](ByteBuffer& out) { out = DecodeBase64Bytes(message); });
      const Outcome simpleText = RunStage([&](ByteBuffer& out) { out = DecodeBase64BytesSimple(message); });
      RequireSame(fastText, simpleText, "DecodeBase64Bytes");

      // The byte-level entry against the text entry it stands for:
      // DecodeBytes(b) is TextToBytes(DecodeText(BytesToText(b))).
      const ByteBuffer messageBytes = platform::TextToBytes(message);
      const Outcome viaBytes = RunStage([&](ByteBuffer& out) { out = DecodeBytes(messageBytes, key, suffix); });
      const Outcome viaText = RunStage([&](ByteBuffer& out) {
        out = platform::TextToBytes(DecodeText(platform::BytesToText(messageBytes), key, suffix));
      });
      RequireSame(viaBytes, viaText, "DecodeBytes");

      // The key schedule against its twin, both from the state the decodes
      // above left: a failure part way must leave the same mix of fresh and
      // earlier rotors.
      const CipherState before = Cipher;
      const Outcome quickKeyed = RunStage([&](ByteBuffer&) { InitCipher(key, suffix); });
      Cipher = before;
      const Outcome simpleKeyed = RunStage([&](ByteBuffer&) { InitCipherSimple(key, suffix); });
      RequireSame(quickKeyed, simpleKeyed, "InitCipher");
      const bool keyed = quickKeyed.returned;
      if (keyed && fastText.returned) {
        const Outcome fast = RunStage([&](ByteBuffer& out) {
          out = fastText.bytes;
          InitCipher(key, suffix);
          DecryptBuffer(out);
        });
        const Outcome simple = RunStage([&](ByteBuffer& out) {
          out = fastText.bytes;
          InitCipher(key, suffix);
          DecryptBufferSimple(out);
        });
        RequireSame(fast, simple, "DecryptBuffer");

        const auto span = CheckFrame(fast.bytes.data(), fast.bytes.size());
        if (span) {
          const auto begin = fast.bytes.begin() + static_cast<std::ptrdiff_t>(span->offset);
          CompareContainers(ByteBuffer(begin, begin + static_cast<std::ptrdiff_t>(span->length)));
        }
      }
    }
    slow = budget.Check("the differential run");
  }

  platform::SetEventHook(nullptr);
  platform::SetPointerHook(nullptr);
  RequireEngineUsable("a differential run");
  platform::SetCodePage(1252);
  return slow;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzSupport();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunOneInput(&RunInput, data, size);
  return 0;
}
