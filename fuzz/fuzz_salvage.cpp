// SPDX-License-Identifier: MIT
//
// fuzz_salvage.cpp - SalvageBytes and InspectMessage on a hostile message,
// key and suffix, held to DecodeBytes on the same input.
//
// Input layout: ReadMessageInput in testing/fuzz_input.h (flags, abort pause,
// key, suffix, message). Both calls read damaged messages on purpose, so
// beyond "no crash" they must never raise for what the message holds (only
// the key's own errors, as DecodeBytes raises them), must leave LastError
// alone, and must agree with the decoder where it opens the message: an
// intact message salvages to exactly the bytes DecodeBytes returns, and
// inspection's frame check says what the decoder's said.

#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"

using namespace trirotor;
using namespace trirotor::fuzz;

namespace {

thread_local int pauses = 0;
thread_local int abortAtPause = -1;

void OnPause() {
  if (pauses++ == abortAtPause) AbortFlag = -1;
}

// The key's own errors: 11 for an empty key, 6 for a suffix past 32767.
bool KeyIsRefused(const std::u16string& key, const std::u16string& suffix) {
  return key.empty() || suffix.size() > 32767;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzSupport();
  return 0;
}

namespace {

bool RunInput(const std::uint8_t* data, std::size_t size) {
  const MessageInput input = ReadMessageInput(data, size);
  const ByteBuffer message = (input.flags & 128) != 0 ? input.rawContainer : platform::TextToBytes(input.message);
  platform::SetCodePage(input.codePage);
  platform::SetEventHook(&OnPause);
  const bool refused = KeyIsRefused(input.key, input.suffix);
  bool slow = false;
  ResourceBudget budget(size);

  // The decoder's word first, without aborts, for comparison.
  abortAtPause = -1;
  LastError = 0;
  ByteBuffer decoded;
  const bool decodedReturned =
      RunGuarded([&] { decoded = DecodeBytes(ByteBuffer(message), input.key, input.suffix); }, "DecodeBytes");
  const std::int16_t decodeStatus = LastError;
  const bool opened = decodedReturned && message.size() >= 4 && decodeStatus == 0;
  const bool frameFailed = decodedReturned && message.size() >= 4 && decodeStatus == kErrFrameCheck;

  // Salvage, with the input's abort.
  pauses = 0;
  abortAtPause = input.abortAtPause;
  AbortFlag = 0;
  LastError = 77;
  SalvageResult salvage;
  const bool salvaged =
      RunGuarded([&] { salvage = SalvageBytes(ByteBuffer(message), input.key, input.suffix); }, "SalvageBytes");
  if (LastError != 77) Fail("SalvageBytes changed LastError");
  if (salvaged == refused && message.size() >= 4) {
    Fail(salvaged ? "SalvageBytes took a key DecodeBytes refuses" : "SalvageBytes raised");
  }
  if (salvaged) {
    if (!salvage.looksLikeFrame && !salvage.plain.empty()) Fail("bytes salvaged from what is not a frame");
    if (salvage.kind == '3' && salvage.announcedLength >= 0 &&
        static_cast<std::int64_t>(salvage.plain.size()) > salvage.announcedLength) {
      Fail("more bytes salvaged than the container announces");
    }
    // A payload with no container identification opens as it stands, but
    // salvage only reads containers: the rule holds for those.
    if (abortAtPause < 0 && opened && salvage.looksLikeFrame && salvage.plain != decoded) {
      Fail("an intact message salvaged to other bytes than DecodeBytes returns");
    }
  }

  // Inspection without a key never raises; with one only for the key.
  InspectReport bare;
  if (!RunGuarded([&] { bare = InspectMessage(ByteBuffer(message)); }, "InspectMessage")) {
    Fail("InspectMessage raised without a key");
  }
  if (bare.characters != message.size() || bare.digits + bare.junk + bare.pads.size() > bare.characters) {
    Fail("the base64 layer's counts do not add up");
  }
  pauses = 0;
  abortAtPause = -1;
  LastError = 77;
  InspectReport keyed;
  const bool inspected =
      RunGuarded([&] { keyed = InspectMessage(ByteBuffer(message), input.key, input.suffix); }, "InspectMessage");
  if (LastError != 77) Fail("InspectMessage changed LastError");
  if (inspected == refused && message.size() >= 4) {
    Fail(inspected ? "InspectMessage took a key DecodeBytes refuses" : "InspectMessage raised");
  }
  if (inspected && keyed.keyed && opened && !keyed.frameChecks) Fail("inspection failed a frame the decoder opened");
  if (inspected && keyed.keyed && frameFailed && keyed.frameChecks)
    Fail("inspection passed a frame the decoder failed");
  slow = budget.Check("SalvageBytes and InspectMessage");

  platform::SetEventHook(nullptr);
  LastError = 0;
  RequireEngineUsable("salvage and inspection");
  platform::SetCodePage(1252);
  return slow;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunOneInput(&RunInput, data, size);
  return 0;
}
