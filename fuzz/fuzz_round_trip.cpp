// SPDX-License-Identifier: MIT
//
// fuzz_round_trip.cpp - what the encoder seals, the decoder must give back.
//
// Input layout:
//   byte 0    flags: bit 0 the text as UTF-16 units, bit 1 key and suffix as
//             UTF-16 units, bits 2..4 the code page, bit 5 a key of more
//             than 463 characters (the given key repeated)
//   byte 1    line width of the base64 text (0: one line)
//   2..17     the frame header (byte 0 is replaced by the length)
//   18, 19    key length, suffix length, in characters
//   then      key, suffix, and the rest is the text
// A text the code page cannot hold must be refused; any other must come back
// exactly. Besides the whole message it checks the
// two containers on their own: HuffmanEncode's choice, and the Huffman-coded
// container even where storing would be smaller.

#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/internal.h"
#include "fuzz/fuzz_support.h"

using namespace trirotor;
using namespace trirotor::internal;
using namespace trirotor::fuzz;

namespace {

void RequireContainerRoundTrip(const ByteBuffer& container, const ByteBuffer& plain, const char* what) {
  ByteBuffer buffer = container;
  const bool returned = RunGuarded([&] { HuffmanDecode(buffer, static_cast<std::int32_t>(buffer.size())); }, what);
  if (!returned) Fail(std::string(what) + ": the decoder refused the encoder's container");
  if (buffer != plain) Fail(std::string(what) + ": the container decoded to other bytes");
  if (LastError != 0) Fail(std::string(what) + ": a checksum error on the encoder's container");
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
  const int wrap = in.U8();
  FrameHeader header{};
  for (std::uint8_t& b : header) b = in.U8();
  const std::uint8_t keyLength = in.U8();
  const std::uint8_t suffixLength = in.U8();
  const bool wideKey = (flags & 2) != 0;
  std::u16string key = in.Text(keyLength, wideKey);
  const std::u16string suffix = in.Text(suffixLength, wideKey);
  const std::u16string plain = in.RestAsText((flags & 1) != 0);
  if ((flags & 32) != 0 && !key.empty()) {
    const std::u16string unit = key;
    while (key.size() <= 463) key += unit;
  }

  platform::SetCodePage(PickCodePage(static_cast<std::uint8_t>(flags >> 2 & 7)));
  const ByteBuffer plainBytes = platform::TextToBytes(plain);
  const std::u16string expected = platform::BytesToText(plainBytes);
  LastError = 0;

  std::u16string message;
  if (!RunGuarded([&] { message = EncodeText(plain, key, suffix, header, wrap); }, "EncodeText")) {
    if (expected != plain || platform::FindUnrepresentable(key) != std::u16string_view::npos ||
        platform::FindUnrepresentable(suffix) != std::u16string_view::npos) {
      // A character the page cannot hold is refused rather than sealed as '?'.
      RequireEngineUsable("a text, key or suffix the code page cannot hold");
      platform::SetCodePage(1252);
      return false;
    }
    if (!key.empty()) Fail("EncodeText refused a non-empty key");
    // The decoder must refuse the empty key in the same way.
    if (RunGuarded([&] { DecodeText(u"AAAAAAAA", key, suffix); }, "DecodeText")) {
      Fail("DecodeText took an empty key");
    }
    RequireEngineUsable("an empty key");
    platform::SetCodePage(1252);
    return false;
  }

  std::u16string decoded;
  bool slow = false;
  {
    ResourceBudget budget(message.size() * 2 + size);
    if (!RunGuarded([&] { decoded = DecodeText(message, key, suffix); }, "DecodeText")) {
      Fail("the decoder raised an error on the encoder's message");
    }
    slow = budget.Check("DecodeText of a sealed message");
  }
  if (decoded != expected) Fail("the sealed text came back different");
  if (LastError != 0) Fail("the sealed text set LastError " + std::to_string(LastError));
  if (platform::MousePointer() != platform::kPointerDefault) Fail("the decode left the busy pointer");

  RequireContainerRoundTrip(HuffmanEncode(plainBytes.data(), plainBytes.size()), plainBytes, "HuffmanEncode");
  if (!plainBytes.empty()) {
    std::array<std::uint64_t, 256> counts{};
    for (std::uint8_t b : plainBytes) ++counts[b];
    RequireContainerRoundTrip(CompressContainer(plainBytes.data(), plainBytes.size(), HuffmanCodeLengths(counts)),
                              plainBytes, "CompressContainer");
  }

  platform::SetCodePage(1252);
  return slow;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunOneInput(&RunInput, data, size);
  return 0;
}
