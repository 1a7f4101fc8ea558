// SPDX-License-Identifier: MIT
//
// encode.cpp - sealing a text: container, frame, cipher, base64.
//
// Each stage is the inverse of a decoding stage, run in the opposite order.
// The frame's header is random: with ciphertext feedback every keystream
// byte after it depends on those 16 bytes, so one text and key never give
// the same message twice, and no two messages share a keystream.

#include "engine/encode.h"

#include <algorithm>
#include <string>

#include "engine/base64.h"
#include "engine/container.h"
#include "engine/frame.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"
#include "platform/platform.h"
#include "platform/big_buffer.h"

namespace trirotor {
namespace internal {

namespace {

// The base64 text of a bigger frame would pass the decoder's 32-bit lengths.
constexpr std::size_t kMaxPlainCharacters = std::size_t{1} << 30;

}  // namespace

FrameHeader RandomFrameHeader() {
  FrameHeader header{};
  if (!platform::RandomBytes(header.data(), header.size())) {
    platform::RaiseRuntimeError(kErrInvalidCall, "RandomFrameHeader()");
  }
  return header;
}

namespace {

// Encrypts a frame in place and writes it in base64; the frame is freed as
// soon as its base64 is made.
std::string SealFrame(ByteBuffer frame, int wrap, EncodeStageHook onStage) {
  if (onStage != nullptr) onStage(EncodeStage::kEncrypting, frame.size());
  EncryptBuffer(frame);
  if (onStage != nullptr) onStage(EncodeStage::kWritingBase64, frame.size());
  return EncodeBase64(frame.data(), frame.size(), wrap);
}

std::u16string Widen(const std::string& ascii) {
  std::u16string message;
  SizeFreshBuffer(message, ascii.size());
  std::copy(ascii.begin(), ascii.end(), message.begin());  // ASCII widens as it is
  return message;
}

}  // namespace

std::u16string SealContainer(const ByteBuffer& container, std::u16string_view key, std::u16string_view keySuffix,
                             const FrameHeader& header, int wrap) {
  InitCipher(key, keySuffix);
  return Widen(SealFrame(FrameContainer(container, header), wrap, nullptr));
}

}  // namespace internal

using namespace internal;

namespace {
// A character the code page cannot hold exactly would be sealed as '?' or
// as Windows' look-alike: in the text it would not decode to what was
// given, and in the key or suffix any other such character would open the
// message as well, while the same key typed under another page would not.
// Refuse it, naming it.
void RefuseUnrepresentable(std::u16string_view text, std::string_view what, const char* source) {
  const auto found = platform::FindUnrepresentableCharacter(text, what);
  if (!found) return;
  platform::RaiseError(kErrInvalidCall, source,
                       "Invalid procedure call or argument: " + platform::RefusalToSeal(*found, what != "the text"));
}
}  // namespace

std::string EncodeBytes(ByteBuffer plain, std::u16string_view key, std::u16string_view keySuffix,
                        const FrameHeader& header, int wrap, EncodeStageHook onStage) {
  if (plain.size() > kMaxPlainCharacters) platform::RaiseRuntimeError(kErrOverflow, "EncodeBytes()");
  RefuseUnrepresentable(key, "the key", "EncodeBytes()");
  RefuseUnrepresentable(keySuffix, "the key suffix", "EncodeBytes()");
  // The key schedule first: a bad key is refused before the long stages.
  InitCipher(key, keySuffix);
  // Each stage's input is freed once its output is made, so that at most two
  // copies of the text live at a time: plain and container, container and
  // frame, frame and base64.
  if (onStage != nullptr) onStage(EncodeStage::kCompressing, plain.size());
  ByteBuffer container = HuffmanEncode(plain.data(), plain.size());
  plain = ByteBuffer();
  ByteBuffer frame = FrameContainer(container, header);
  container = ByteBuffer();
  return SealFrame(std::move(frame), wrap, onStage);
}

std::string EncodeBytes(ByteBuffer plain, std::u16string_view key, std::u16string_view keySuffix, int wrap,
                        EncodeStageHook onStage) {
  return EncodeBytes(std::move(plain), key, keySuffix, RandomFrameHeader(), wrap, onStage);
}

std::u16string EncodeText(std::u16string_view plain, std::u16string_view key, std::u16string_view keySuffix,
                          const FrameHeader& header, int wrap) {
  if (plain.size() > kMaxPlainCharacters) platform::RaiseRuntimeError(kErrOverflow, "EncodeText()");
  RefuseUnrepresentable(plain, "the text", "EncodeText()");
  RefuseUnrepresentable(key, "the key", "EncodeText()");
  RefuseUnrepresentable(keySuffix, "the key suffix", "EncodeText()");
  ByteBuffer bytes;
  SizeFreshBuffer(bytes, plain.size());
  platform::TextToBytes(plain, bytes.data());
  return Widen(EncodeBytes(std::move(bytes), key, keySuffix, header, wrap, nullptr));
}

std::u16string EncodeText(std::u16string_view plain, std::u16string_view key, std::u16string_view keySuffix, int wrap) {
  return EncodeText(plain, key, keySuffix, RandomFrameHeader(), wrap);
}

}  // namespace trirotor
