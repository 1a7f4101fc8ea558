// SPDX-License-Identifier: MIT
//
// platform.h - the thin host layer under the engine.
//
// The engine was written for a desktop program: it pauses for the window
// system, shows a busy pointer, converts text through a single-byte code page
// and raises errors through the host's run-time error mechanism. Each of those
// services is one small function here. Hooks default to doing nothing; a host
// (the command line, the window, a test) installs its own. Hooks and the
// remembered pointer are per thread, like the engine's state, and so is the
// code page: a thread that never sets one converts through 1252.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// Selects the single-byte code page of this thread's conversions (each
// thread has its own; one that never calls this uses 1252). Accepted are
// the ASCII-compatible pages (bytes 0x20 to 0x7E are the ASCII characters)
// whose every byte is one character: 1252, 874, 1250 to 1258, 28591
// (ISO-8859-1), and the other CPnnn and ISO-8859-n pages of the system's
// iconv that pass that test. Every byte maps to exactly one character and
// back: a byte the page leaves unassigned stands for U+0000 + byte, or for
// U+F700 + byte when the page already holds U+0000 + byte elsewhere.
// Throws std::invalid_argument, with a message fit for a user, for an
// unknown, multi-byte or not ASCII-compatible page; this thread's page is
// then unchanged. Tables are built once per page and shared by all threads.
void SetCodePage(int codePage);
int CodePage();  // this thread's page
// Whether SetCodePage(codePage) would succeed.
bool IsCodePageSupported(int codePage);

// A page to offer users: its number, the name they know it by
// ("windows-1252", "ISO-8859-2", "CP437", "KOI8-R") and a few words.
struct CodePageInfo {
  int number;
  std::string_view name;
  std::string_view description;  // "Western", "DOS Greek"
};
// The pages SetCodePage accepts on this system, in number order.
const std::vector<CodePageInfo>& SupportedCodePages();
// The page a typed name means, any case: "1252", "cp1252", "CP1252",
// "windows-1252", "ISO-8859-2", "iso8859-2", "CP437", "IBM437", "KOI8-R".
// nullopt for a name of no page. Says nothing about support: pass the
// number to SetCodePage, which refuses what it cannot use.
std::optional<int> ParseCodePageName(std::string_view name);

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

// The first character of a text that the page cannot hold, placed as an
// editor counts: lines end at LF, columns count characters (a surrogate
// pair is one), both from 1.
struct UnrepresentableCharacter {
  std::size_t index = 0;  // of its first UTF-16 unit
  std::size_t line = 1;
  std::size_t column = 1;
  char32_t codePoint = 0;
  // For a user, e.g. "line 2, column 5: U+20AC '€' has no place in code
  // page 437"; with `what` given and a text of one line, "character 3 of
  // the key: U+65E5 '日' has no place in code page 1252".
  std::string message;
};
std::optional<UnrepresentableCharacter> FindUnrepresentableCharacter(std::u16string_view text,
                                                                     std::string_view what = {});

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
