// SPDX-License-Identifier: MIT
//
// fuzz_decode_text.cpp - DecodeText on a hostile message, key and suffix.
//
// Input layout: ReadMessageInput in testing/fuzz_input.h (flags, abort pause, key,
// suffix, message; a nested decode in every pause when flag bit 2 is set).
// Beyond "no crash" it checks what the engine's contract promises: only
// documented error numbers, a status that only ever holds 0, 5 or 33, the
// default pointer after every call, an untouched engine for a message under
// 4 characters, error 5 for a decode started inside another, and a usable
// engine afterwards.

#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"

using namespace trirotor;
using namespace trirotor::fuzz;

namespace {

thread_local int pauses = 0;
thread_local int abortAtPause = -1;
thread_local bool nestedInPauses = false;

void OnPause() {
  if (Progress < 0 || Progress > 100) Fail("Progress outside 0..100 in a pause");
  if (nestedInPauses) {
    // A decode inside a decode shares the engine's state: it must be refused
    // with error 5 and change nothing the outer decode relies on.
    try {
      DecodeText(u"AAAAAAAA", u"k", u"");
      Fail("a decode started inside another was not refused");
    } catch (const EngineError& error) {
      if (error.number() != kErrInvalidCall)
        Fail("a nested decode raised " + std::to_string(error.number()) + ", not 5");
    }
  }
  if (pauses++ == abortAtPause) AbortFlag = -1;
}

// One character per byte, U+0000..U+00FF.
std::u16string ToLatin(const ByteBuffer& bytes) { return std::u16string(bytes.begin(), bytes.end()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzSupport();
  return 0;
}

namespace {

bool RunInput(const std::uint8_t* data, std::size_t size) {
  const MessageInput input = ReadMessageInput(data, size);
  const std::u16string& key = input.key;
  const std::u16string& suffix = input.suffix;
  // Bit 7 only means something to the differential target: here the bytes
  // are read as a message all the same.
  const std::u16string message = (input.flags & 128) != 0 ? ToLatin(input.rawContainer) : input.message;

  platform::SetCodePage(input.codePage);
  platform::SetEventHook(&OnPause);
  pauses = 0;
  abortAtPause = input.abortAtPause;
  nestedInPauses = (input.flags & 4) != 0;
  platform::SetMousePointer(platform::kPointerDefault);

  // Sentinels: a short message must leave them as they are.
  LastError = 0;
  Progress = 77;
  AbortFlag = 0;

  std::u16string result;
  bool returned = false;
  bool slow = false;
  {
    ResourceBudget budget(size);
    returned = RunGuarded([&] { result = DecodeText(message, key, suffix); }, "DecodeText");
    slow = budget.Check("DecodeText");
  }

  if (platform::MousePointer() != platform::kPointerDefault) Fail("DecodeText left the busy pointer");
  if (message.size() < 4) {
    if (!returned || !result.empty()) Fail("a message under 4 characters did not give \"\"");
    if (Progress != 77 || LastError != 0 || pauses != 0) Fail("a message under 4 characters touched the engine");
  } else {
    if (key.empty() && returned) Fail("an empty key did not raise error 11");
    if (suffix.size() > 32767 && returned) Fail("a suffix past 32767 characters did not raise error 6");
    if (LastError != 0 && LastError != kErrChecksum && LastError != kErrFrameCheck) {
      Fail("LastError holds " + std::to_string(LastError));
    }
    if (returned && LastError == kErrFrameCheck && !result.empty()) Fail("a failed frame check returned text");
    if (Progress < 0 || Progress > 100) Fail("Progress outside 0..100");
    if (abortAtPause < 0 && AbortFlag != 0) Fail("AbortFlag changed without an abort");
  }

  platform::SetEventHook(nullptr);
  RequireEngineUsable(returned ? "a decode" : "a raised error");
  platform::SetCodePage(1252);
  return slow;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunOneInput(&RunInput, data, size);
  return 0;
}
