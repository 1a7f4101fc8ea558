// SPDX-License-Identifier: MIT
//
// fuzz_decode_text.cpp - DecodeText on a hostile message, key and suffix.
//
// Input layout (see InputReader: a short input reads as zeros):
//   byte 0   flags: bit 0 message as UTF-16 units, bit 1 key and suffix as
//            UTF-16 units, bit 2 try a nested decode in every pause, bits
//            3..5 the code page, bit 6 stretch the suffix past 32767
//            characters
//   byte 1   the pause (0-based) whose handler sets AbortFlag = -1; 255 never
//   2..3     key length in characters, 4..5 suffix length
//   then     key, suffix, and the rest is the message
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
      if (error.number() != kErrInvalidCall) Fail("a nested decode raised " + std::to_string(error.number()) + ", not 5");
    }
  }
  if (pauses++ == abortAtPause) AbortFlag = -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzSupport();
  return 0;
}

namespace {

bool RunInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  const std::uint8_t flags = in.U8();
  const std::uint8_t abortSelector = in.U8();
  const std::uint16_t keyLength = in.U16();
  const std::uint16_t suffixLength = in.U16();
  const bool wideKey = (flags & 2) != 0;
  const std::u16string key = in.Text(keyLength, wideKey);
  std::u16string suffix = in.Text(suffixLength, wideKey);
  const std::u16string message = in.RestAsText((flags & 1) != 0);
  if ((flags & 64) != 0) {
    // Past the suffix's 16-bit length: the key schedule must refuse it.
    const std::u16string unit = suffix.empty() ? std::u16string(u"x") : suffix;
    while (suffix.size() <= 32767) suffix += unit;
  }

  platform::SetCodePage(PickCodePage(static_cast<std::uint8_t>(flags >> 3 & 7)));
  platform::SetEventHook(&OnPause);
  pauses = 0;
  abortAtPause = abortSelector == 255 ? -1 : abortSelector;
  nestedInPauses = (flags & 4) != 0;
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
