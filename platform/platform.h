// SPDX-License-Identifier: MIT
//
// platform.h - the thin host layer under the engine.
//
// The engine was written for a desktop program: it pauses for the window
// system, shows a busy pointer, converts text through a single-byte code page
// and raises errors through the host's run-time error mechanism. Each of those
// services is one small function here. Hooks default to doing nothing; a host
// (the command line, the window, a test) installs its own. Hooks and the
// remembered pointer are per thread, like the engine's state; the code page is
// one setting for the whole process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace trirotor {

using ByteBuffer = std::vector<std::uint8_t>;

// The one error the engine raises: a number, a source and a description, as
// the host's run-time error mechanism carried them. what() is the description.
class EngineError : public std::runtime_error {
 public:
  EngineError(std::int32_t number, std::string source, std::string description);
  std::int32_t number() const noexcept { return number_; }
  const std::string& source() const noexcept { return source_; }
  const std::string& description() const noexcept { return description_; }

 private:
  std::int32_t number_;
  std::string source_;
  std::string description_;
};

// The host's classic run-time error numbers.
inline constexpr std::int32_t kErrInvalidCall = 5;       // "Invalid procedure call or argument"
inline constexpr std::int32_t kErrOverflow = 6;          // "Overflow"
inline constexpr std::int32_t kErrOutOfMemory = 7;       // "Out of memory"
inline constexpr std::int32_t kErrSubscript = 9;         // "Subscript out of range"
inline constexpr std::int32_t kErrDivisionByZero = 11;   // "Division by zero"
// The container's unknown-version error: an HRESULT with the failure bit,
// FACILITY_ITF and code 0.
inline constexpr std::int32_t kErrUnknownVersion = -2147221504;

namespace platform {

/// Event processing ///

// Lets the host run its pending events. The handler may read Progress and set
// AbortFlag = -1; it must not start another decode on this thread.
using EventHook = void (*)();
void SetEventHook(EventHook hook);  // nullptr restores the no-op
EventHook GetEventHook();
void ProcessEvents();

/// Mouse pointer ///

inline constexpr int kPointerDefault = 0;
inline constexpr int kPointerBusy = 11;
using PointerHook = void (*)(int pointerCode);
void SetPointerHook(PointerHook hook);  // nullptr restores the no-op
PointerHook GetPointerHook();
// Forwards to the hook and remembers the code.
void SetMousePointer(int pointerCode);
// The last code set on this thread (0 until one is set).
int MousePointer();

/// Code page ///

// Selects the single-byte code page used for every conversion in the
// process: 1252 (the default), 874, 1250 to 1258, 28591 (ISO-8859-1), and
// other single-byte pages the system's iconv knows as CPnnn or ISO-8859-n.
// Every byte maps to exactly one character and back; bytes the page leaves
// unassigned stand for U+0000 + byte. Throws std::invalid_argument, with a
// message fit for a user, for a multi-byte or unknown page; the current page
// is then unchanged. Not meant to be called while another thread converts.
void SetCodePage(int codePage);
int CodePage();
// Whether SetCodePage(codePage) would succeed.
bool IsCodePageSupported(int codePage);

// Wide text to bytes, one byte per UTF-16 unit; a unit the page cannot hold
// becomes '?' (0x3F).
ByteBuffer TextToBytes(std::u16string_view text);
void TextToBytes(std::u16string_view text, std::uint8_t* out);  // text.size() bytes
// Bytes to wide text, one character per byte.
std::u16string BytesToText(const std::uint8_t* bytes, std::size_t count);
inline std::u16string BytesToText(const ByteBuffer& bytes) {
  return BytesToText(bytes.data(), bytes.size());
}
// The code of one character (0x3F if the page cannot hold it).
std::uint8_t AnsiCode(char16_t ch);
// Whether the page holds the character exactly (so it survives a round trip).
bool IsRepresentable(char16_t ch);
// The position of the first character the page cannot hold, or npos.
std::size_t FindUnrepresentable(std::u16string_view text);

/// Block copy ///

// Copies count bytes; the ranges may overlap.
void BlockCopy(void* destination, const void* source, std::size_t count);

/// Error raising ///

[[noreturn]] void RaiseError(std::int32_t number, std::string source, std::string description);
// Raises one of the host's run-time errors with its classic description.
[[noreturn]] void RaiseRuntimeError(std::int32_t number, std::string source);
// The classic description of a run-time error number ("" if unknown).
std::string_view RuntimeErrorDescription(std::int32_t number);

}  // namespace platform
}  // namespace trirotor
