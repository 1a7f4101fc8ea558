// SPDX-License-Identifier: MIT
//
// trirotor.h - the public face of the trirotor engine.
//
// A sealed message is, from the outside in: base64 text, a three-rotor stream
// cipher with ciphertext feedback keyed by a key and a key suffix, a frame
// whose header ends in a check pair that the trailer repeats, and a container
// that holds the plain bytes stored ("HE0") or Huffman-compressed ("HE3").
//
// The engine keeps its state in per-thread variables: one engine per thread,
// so threads may decode side by side, but a decode must never be started from
// inside another on the same thread (the event hook runs mid-decode).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/encode.h"
#include "platform/platform.h"

namespace trirotor {

/// Engine status ///

// Each starts at 0 and is readable and writable by the caller at any time.
extern thread_local constinit std::int16_t LastError;  // last failure code; the engine never clears it
extern thread_local constinit std::int16_t AbortFlag;  // an event handler sets -1 to stop a decode
extern thread_local constinit std::int16_t Progress;   // percent: 0..50 decrypting, 50..100 checksumming

// The failure codes the engine records in LastError.
inline constexpr std::int16_t kErrChecksum = 5;     // the text is still returned
inline constexpr std::int16_t kErrFrameCheck = 33;  // the result is empty

// The fixed message of a failure code: "Compression checksum error (Error 5)",
// "Failed decoding the text (Error 33)"; empty for any other code.
std::string_view ErrorMessage(std::int16_t code);

/// Decoding ///

// Decodes one sealed message: base64 -> rotor cipher keyed by `key` and
// `keySuffix` -> frame check -> stored or Huffman-compressed container.
// - A message under 4 characters returns "" and touches nothing.
// - Otherwise Progress and AbortFlag are reset to 0 and the busy pointer
//   (11) shows until decryption ends; the default pointer (0) shows after.
// - A frame that does not check out returns "" with LastError = 33; a
//   checksum mismatch sets LastError = 5 and still returns the text.
// - An event handler that sets AbortFlag = -1 stops the decode: usually ""
//   with LastError = 33; if the frame was already through, the container's
//   own text.
// - Throws EngineError for a container it cannot read (9 "Subscript out of
//   range", the unknown-version error -2147221504, ...), for an empty key
//   (11), for a decode started inside another on this thread (5); the
//   default pointer is restored first and the engine stays usable.
// Never reads out of bounds and never allocates more than a small multiple
// of the message, whatever the input.
std::u16string DecodeText(std::u16string_view message, std::u16string_view key,
                          std::u16string_view keySuffix);

/// Decoding bytes ///

// DecodeText for a host that holds the message as ANSI bytes (one byte per
// character, as the code page would make them) and wants the plain text as
// ANSI bytes: the same result as
//   TextToBytes(DecodeText(BytesToText(message), key, keySuffix))
// with the same LastError, Progress, AbortFlag, pointer, pauses and errors,
// but no wide text is made. Pass the message by std::move: its storage is
// decoded in place and, for a stored payload, returned as the result.
ByteBuffer DecodeBytes(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix);

}  // namespace trirotor
