// SPDX-License-Identifier: MIT
//
// trirotor.h - the public face of the trirotor engine: everything a host may
// use, and nothing else. What the stages share with each other and with the
// tests lives behind engine/internal.h and may change without notice.
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

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// TRIROTOR_API marks what the library exports; it is built with everything
// else hidden, so a shared libtrirotor shows only these names.
// On Windows the DLL is built with TRIROTOR_BUILDING_DLL and used with
// TRIROTOR_DLL; the static library needs neither.
#if defined(_WIN32) && defined(TRIROTOR_BUILDING_DLL)
#define TRIROTOR_API __declspec(dllexport)
#elif defined(_WIN32) && defined(TRIROTOR_DLL)
#define TRIROTOR_API __declspec(dllimport)
#elif defined(_WIN32)
#define TRIROTOR_API
#elif defined(__GNUC__)
#define TRIROTOR_API __attribute__((visibility("default")))
#else
#define TRIROTOR_API
#endif

namespace trirotor {

/// Bytes and errors ///

using ByteBuffer = std::vector<std::uint8_t>;

// A message of fewer characters (bytes, for the byte calls) is no message at
// all: the decoder returns nothing and touches nothing.
inline constexpr std::size_t kShortestMessage = 4;

// The one error the engine raises: a number (from the table below), a source
// and a description, as the host's run-time error mechanism carried them.
// what() is the description.
class TRIROTOR_API EngineError : public std::runtime_error {
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

/// Error numbers ///
//
// Every number the engine reports, in one table. Two kinds share it:
// - failure codes, recorded in LastError while the call returns normally
//   (16-bit, like LastError; ErrorMessage gives their fixed texts);
// - run-time error numbers, carried by a raised EngineError (32-bit, like
//   EngineError::number()).
// 5 is both: a checksum failure when recorded, an invalid argument when raised.

inline constexpr std::int16_t kErrChecksum = 5;     // recorded: the text is still returned
inline constexpr std::int16_t kErrFrameCheck = 33;  // recorded: the result is empty

inline constexpr std::int32_t kErrInvalidCall = 5;      // raised: "Invalid procedure call or argument"
inline constexpr std::int32_t kErrOverflow = 6;         // raised: "Overflow"
inline constexpr std::int32_t kErrOutOfMemory = 7;      // raised: "Out of memory"
inline constexpr std::int32_t kErrSubscript = 9;        // raised: "Subscript out of range"
inline constexpr std::int32_t kErrDivisionByZero = 11;  // raised: "Division by zero"
// Raised for a container whose version is unknown: an HRESULT with the
// failure bit, FACILITY_ITF and code 0.
inline constexpr std::int32_t kErrUnknownVersion = -2147221504;

// The fixed message of a failure code: "Compression checksum error (Error 5)",
// "Failed decoding the text (Error 33)"; empty for any other code.
TRIROTOR_API std::string_view ErrorMessage(std::int16_t code);

/// Engine status ///

// Each starts at 0 and is readable and writable by the caller at any time;
// each is per thread, like the rest of the engine's state.
extern TRIROTOR_API thread_local constinit std::int16_t LastError;  // last failure code; the engine never clears it
extern TRIROTOR_API thread_local constinit std::int16_t AbortFlag;  // an event handler sets -1 to stop a decode
extern TRIROTOR_API thread_local constinit std::int16_t Progress;   // percent: 0..50 decrypting, 50..100 checksumming

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
TRIROTOR_API std::u16string DecodeText(std::u16string_view message, std::u16string_view key,
                                       std::u16string_view keySuffix);

// DecodeText for a host that holds the message as ANSI bytes (one byte per
// character, as the code page would make them) and wants the plain text as
// ANSI bytes: the same result as
//   TextToBytes(DecodeText(BytesToText(message), key, keySuffix))
// with the same LastError, Progress, AbortFlag, pointer, pauses and errors,
// but no wide text is made. Pass the message by std::move: its storage is
// decoded in place and, for a stored payload, returned as the result.
TRIROTOR_API ByteBuffer DecodeBytes(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix);

/// One decode's outcome ///
//
// DecodeText and DecodeBytes answer in three places: the result, LastError
// (which the caller must clear first, since the engine never does) and a
// raised EngineError. A host that wants one answer calls TryDecodeBytes or
// TryDecodeText instead: the same decode, its whole result in one value.

// What became of a decode, exactly as the engine reports it.
enum class DecodeStatus {
  kOpened,            // the frame checked out and the container was expanded
  kChecksumMismatch,  // LastError 5: the text is given all the same
  kFrameFailed,       // LastError 33: wrong key or suffix, cut short, aborted
  kEngineError,       // an EngineError was raised: damaged, unknown version, empty key
  kNoMessage,         // under 4 characters: nothing decoded, nothing touched
};

// "opened", "checksum-mismatch", "frame-failed", "engine-error",
// "no-message": the one vocabulary every face of the engine shows.
TRIROTOR_API std::string_view DecodeStatusName(DecodeStatus status);

struct DecodeOutcome {
  DecodeStatus status = DecodeStatus::kNoMessage;
  // 5 or 33 as recorded (kChecksumMismatch, kFrameFailed), the raised
  // error's number (kEngineError), else 0.
  std::int32_t error = 0;
  std::string source;       // kEngineError: the raised error's source
  std::string description;  // ErrorMessage(error) when recorded, the raised error's description
  ByteBuffer plain;         // TryDecodeBytes: the plain bytes when HasText()
  std::u16string text;      // TryDecodeText: the plain text when HasText()

  // Whether the decode gave a text (kChecksumMismatch gives one too).
  bool HasText() const noexcept { return status == DecodeStatus::kOpened || status == DecodeStatus::kChecksumMismatch; }
};

// DecodeBytes (DecodeText) with its whole answer in the outcome: the same
// decode, pauses, Progress, AbortFlag and pointer, but LastError is left as
// it was (the outcome carries the code) and an EngineError is the outcome's
// kEngineError rather than raised. What the host's event hook throws, other
// than an EngineError, still reaches the caller.
TRIROTOR_API DecodeOutcome TryDecodeBytes(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix);
TRIROTOR_API DecodeOutcome TryDecodeText(std::u16string_view message, std::u16string_view key,
                                         std::u16string_view keySuffix);

/// Salvage ///

// What SalvageBytes could read from a message whose frame does not check
// out: one cut short, with junk after its end, or with a damaged trailer.
struct SalvageResult {
  // The decrypted header names a header length that fits and the payload
  // after it starts with a stored or compressed container's identification.
  // When false nothing else below is set.
  bool looksLikeFrame = false;
  char kind = 0;                      // '0' stored, '3' compressed
  ByteBuffer plain;                   // the bytes recovered, in order
  std::int64_t announcedLength = -1;  // compressed: the plain length it announces
  bool complete = false;              // compressed: all announced bytes were decoded
  bool checksumAgrees = false;        // complete, and their XOR is the stored checksum
  bool trailerFound = false;          // stored: the check pair was found again after the payload
  std::string stoppedBecause;         // compressed, when incomplete: why decoding stopped
};

// Decrypts the message under the key and recovers what the container still
// holds, without the frame check: a stored container gives its bytes up to
// the last repeat of the header's check pair (the trailer, with whatever
// follows it dropped), or all bytes present when there is none; a
// compressed one gives every byte whose code is complete before the data
// ends, leaves the tree or the container's announced length is reached.
// For an intact message the bytes are those DecodeBytes returns. Never
// raises for the message's content (the key is checked as DecodeBytes
// checks it); leaves LastError alone. The decryption pauses and moves
// Progress as DecodeBytes does; an abort there (AbortFlag = -1) gives an
// empty result. Pass the message by std::move.
TRIROTOR_API SalvageResult SalvageBytes(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix);

/// Inspection ///

// What each stage of decoding saw in a message, in the pipeline's order, as
// far as the message makes sense. Holds no plain text.
struct InspectReport {
  // The base64 layer, over the message's characters (ANSI bytes).
  struct Pad {
    std::size_t at;  // character offset in the message
    int place;       // 1..4 in its group: 3 and 4 drop a byte, 1 and 2 count as the digit 0
  };
  std::size_t characters = 0;
  std::size_t digits = 0;
  std::size_t junk = 0;                                          // characters outside the alphabet, skipped
  std::vector<std::pair<std::uint8_t, std::size_t>> commonJunk;  // up to 3, most frequent first
  std::vector<Pad> pads;                                         // every pad, in order
  int unfinishedGroup = 0;                                       // values of a last group dropped unfinished (0..3)
  std::size_t bytes = 0;                                         // what the layer gives: the encrypted frame

  // With a key: the frame.
  bool keyed = false;
  int headerLength = -1;                   // the frame's byte 0; -1 when there are no bytes
  bool headerFits = false;                 // 2 <= L <= bytes - 2
  std::array<int, 2> headerPair{-1, -1};   // the check pair at L-2, L-1 (-1: absent)
  std::array<int, 2> trailerPair{-1, -1};  // the last two bytes
  bool frameChecks = false;                // what the decoder's frame check says

  // The container: payload[L .. n-2) when the frame checks, else [L .. n).
  enum class Kind { kNone, kStored, kCompressed, kUnknownVersion, kNoIdentification };
  Kind kind = Kind::kNone;
  ByteBuffer identification;  // its first (up to) 4 bytes
  std::size_t storedBytes = 0;
  // Compressed.
  bool headerWhole = false;  // checksum, plain length, entry count present
  int checksumStored = -1;
  int checksumComputed = -1;  // when every announced byte decoded
  std::int64_t plainLength = -1;
  int entryCount = 0;
  bool tableWhole = false;  // entries and code bits present
  int codeValues = 0, shortestCode = 0, longestCode = 0;
  bool prefixFree = false, codeComplete = false;
  std::uint64_t dataBitsNeeded = 0;  // exact when decodingComplete, else a lower bound
  std::uint64_t dataBitsPresent = 0;
  std::size_t decodedBytes = 0;
  bool decodingComplete = false;
  std::size_t stoppedAt = 0;   // container byte where decoding stopped
  std::string stoppedBecause;  // "" when it did not stop

  // When the frame does not check: what SalvageBytes would give.
  bool salvageWouldRecover = false;
  std::size_t salvageBytes = 0;
};

// The report for a message without a key (the base64 layer only) and with
// one. Never raises for the message's content; raises what DecodeBytes
// raises for the key; leaves LastError alone. The decryption pauses and
// moves Progress as DecodeBytes does; after an abort there (AbortFlag = -1)
// the report stops at the base64 layer.
TRIROTOR_API InspectReport InspectMessage(ByteBuffer message);
TRIROTOR_API InspectReport InspectMessage(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix);

/// Trying keys ///

// One message tried against many keys: the base64 layer is decoded once.
// Opens(key, suffix) answers whether DecodeBytes(message, key, suffix)
// passes the frame check and expands the container without an engine error
// (a checksum mismatch still opens it). A wrong key is turned away by the
// frame check alone, on the decrypted bytes; only a key that passes it (one
// wrong key in 65,536 does) is given the full decode (TryDecodeBytes, so
// the caller's LastError is left as it was). Const and safe to
// call from many threads at once; each thread's code page converts the key.
// An abort at one of the decryption's pauses answers false.
class TRIROTOR_API KeyTrial {
 public:
  explicit KeyTrial(ByteBuffer message);
  bool Opens(std::u16string_view key, std::u16string_view keySuffix) const;
  // The early test, for searches over many keys: decrypts only the header
  // and the four bytes after it. False when the header length does not fit
  // a payload of 4 bytes or more, or the payload does not begin with a
  // container's identification ("HE0" or "HE3", then a carriage return).
  // Every key that opens a message whose payload begins so (as every
  // message EncodeText makes does) passes; a wrong key passes about once in
  // 2^31, so a pass is only a candidate for Opens and the full decode. The
  // cost is the key schedule and a few bytes, whatever the message's size.
  // No pause and no Progress; raises what DecodeBytes raises for the key.
  bool MayOpen(std::u16string_view key, std::u16string_view keySuffix) const;

 private:
  friend class KeyGroupTrial;
  ByteBuffer message_;  // as given, for the full decode
  ByteBuffer frame_;    // its base64 layer decoded
};

// KeyTrial::MayOpen for many candidates at once: sixteen keys are scheduled
// side by side (with AVX2 where the processor has it) and given the early
// test together, at a fraction of the cost of sixteen MayOpen calls. Each
// answer is exactly MayOpen's for the same key and suffix; a pass is a
// candidate for Opens and the full decode.
//
// One object per thread: it holds the frame's first bytes and its working
// rows, made once, so a search feeds it group after group with no
// allocation. Not safe to share between threads; make one per thread from
// the same KeyTrial. No pause, no Progress, no LastError; the thread's
// CipherState is left alone.
class TRIROTOR_API KeyGroupTrial {
 public:
  // Keys are scheduled this many at a time: a call with a multiple of it
  // keeps every lane busy (a call with fewer costs a full group).
  static constexpr std::size_t kGroupSize = 16;
  // The most candidates one call takes: the answer has a bit for each.
  static constexpr std::size_t kMaxCandidates = 64;

  // A key and its suffix as text, converted through the calling thread's
  // code page as MayOpen converts them.
  struct Candidate {
    std::u16string_view key;
    std::u16string_view keySuffix;
  };
  // A key and its suffix as the code page's bytes, one byte per character:
  // the same answer as the Candidate of the text these bytes stand for, with
  // no conversion.
  struct ByteCandidate {
    std::string_view key;
    std::string_view keySuffix;
  };

  // Takes what it needs of the trial's message (the first 259 bytes of the
  // frame at most); the trial may go away after. Allocates its working rows
  // (about 40 KB) here and nowhere else. A moved-from object may only be
  // assigned to or destroyed.
  explicit KeyGroupTrial(const KeyTrial& trial);
  ~KeyGroupTrial();
  KeyGroupTrial(KeyGroupTrial&&) noexcept;
  KeyGroupTrial& operator=(KeyGroupTrial&&) noexcept;

  // Bit i of the result is MayOpen(candidates[i]). Raises 5 for more than
  // kMaxCandidates candidates; otherwise, when the message is long enough
  // for the test, checks every candidate before trying any and raises what
  // MayOpen raises for the first that it would raise for: 11 for an empty
  // key, 6 for a suffix of more than 32767 characters. A message too short
  // for the test answers 0 for every candidate, as MayOpen does.
  std::uint64_t MayOpen(std::span<const Candidate> candidates);
  std::uint64_t MayOpen(std::span<const ByteCandidate> candidates);

  // A suffix search: SetKey schedules what the key alone decides (Rotor1 and
  // Rotor2) once; each suffix then costs only the rest. Bit i of
  // MayOpenWithSuffixes is MayOpen(key, suffixes[i]) for the last key set.
  // SetKey raises 11 for an empty key (unless the message is too short for
  // the test, when every answer is 0). MayOpenWithSuffixes raises 5 before
  // any key is set or for more than kMaxCandidates suffixes, and 6 for a
  // suffix of more than 32767 characters, before trying any.
  void SetKey(std::u16string_view key);
  void SetKey(std::string_view keyBytes);
  std::uint64_t MayOpenWithSuffixes(std::span<const std::u16string_view> suffixes);
  std::uint64_t MayOpenWithSuffixes(std::span<const std::string_view> suffixBytes);

 private:
  struct Work;
  std::unique_ptr<Work> work_;
};

/// Encoding ///

// The 16 bytes a frame's header is made from: [1..13] are filler and
// [14..15] the check pair; [0] is replaced by the header length, 16.
using FrameHeader = std::array<std::uint8_t, 16>;

// Seals `plain` so that DecodeText(result, key, keySuffix) == plain, with a
// header drawn from the operating system's random source: the same text and
// key never give the same message twice. Base64 wrapped at 76 columns (CRLF
// free: "\n" between lines); wrap 0 gives one line. The plain text, key and
// suffix go through the code page: a character it cannot hold raises error
// 5, naming the character and where it is ("of the text", "of the key",
// "of the key suffix"), since it would be sealed as '?'
// (platform::FindUnrepresentableCharacter tells beforehand). Raises 11 for an
// empty key, like the decoder, 6 for a suffix of more than 32767 characters
// or a text of more than 2^30 characters, 5 if the system has no random
// bytes to give.
TRIROTOR_API std::u16string EncodeText(std::u16string_view plain, std::u16string_view key,
                                       std::u16string_view keySuffix, int wrap = 76);
// The same with the header given, for reproducible messages.
TRIROTOR_API std::u16string EncodeText(std::u16string_view plain, std::u16string_view key,
                                       std::u16string_view keySuffix, const FrameHeader& header, int wrap = 76);

// The stages EncodeBytes runs, in this order, each told with the size of
// its input, for a caller that shows them.
enum class EncodeStage { kCompressing, kEncrypting, kWritingBase64 };
using EncodeStageHook = void (*)(EncodeStage stage, std::size_t bytes);

// EncodeText for a host that holds the text as ANSI bytes (one byte per
// character of the code page, so nothing in it is left to refuse) and wants
// the message as ASCII bytes: the same message as EncodeText with the same
// header, for the text those bytes stand for. Pass the text by std::move:
// each stage frees its input once its output is made, so that the peak is
// about 2.4 times the text (the frame beside its base64) where EncodeText
// holds wide copies as well. Raises what EncodeText raises for the key, the
// suffix and the length.
TRIROTOR_API std::string EncodeBytes(ByteBuffer plain, std::u16string_view key, std::u16string_view keySuffix,
                                     const FrameHeader& header, int wrap = 76, EncodeStageHook onStage = nullptr);
TRIROTOR_API std::string EncodeBytes(ByteBuffer plain, std::u16string_view key, std::u16string_view keySuffix,
                                     int wrap = 76, EncodeStageHook onStage = nullptr);

// The services the engine asks of its host, and the code page it converts
// text through. Hooks default to doing nothing; a host (the command line, the
// window, a test) installs its own. Hooks and the remembered pointer are per
// thread, like the engine's state, and so is the code page: a thread that
// never sets one converts through 1252.
namespace platform {

/// Event processing ///

// Called at the engine's pauses so that the host can run its pending events.
// The handler may read Progress and set AbortFlag = -1; it must not start
// another decode on this thread.
using EventHook = void (*)();
TRIROTOR_API void SetEventHook(EventHook hook);  // nullptr restores the no-op
TRIROTOR_API EventHook GetEventHook();

/// Mouse pointer ///

inline constexpr int kPointerDefault = 0;
inline constexpr int kPointerBusy = 11;
using PointerHook = void (*)(int pointerCode);
TRIROTOR_API void SetPointerHook(PointerHook hook);  // nullptr restores the no-op
TRIROTOR_API PointerHook GetPointerHook();
// Forwards to the hook and remembers the code; the engine calls it too.
TRIROTOR_API void SetMousePointer(int pointerCode);
// The last code set on this thread (0 until one is set).
TRIROTOR_API int MousePointer();

#if defined(_WIN32)
// For a Windows host with a window on this thread: the pointer hook shows
// the hourglass (SetCursor(LoadCursor(nullptr, IDC_WAIT))) while busy and
// the arrow after, and the event hook pumps this thread's pending messages
// (PeekMessage, TranslateMessage, DispatchMessage), so that the window
// stays live and its Abort button can set AbortFlag = -1.
TRIROTOR_API void UseWindowHooks();
#endif

/// Code page ///

// Selects the single-byte code page of this thread's conversions (each
// thread has its own; one that never calls this uses 1252). Accepted are
// the ASCII-compatible pages (bytes 0x20 to 0x7E are the ASCII characters)
// whose every byte is one character: 1252, 874, 1250 to 1258, 28591
// (ISO-8859-1), and the other CPnnn and ISO-8859-n pages of the system's
// iconv that pass that test. Every byte maps to exactly one character and
// back.
// - Windows' ANSI pages (874, 1250 to 1258) convert as Windows does, by
//   Microsoft's own tables and on every system alike: a byte stands for the
//   character MultiByteToWideChar gives it (unassigned bytes of 874, 1253,
//   1255 and 1257 for private-use characters U+F8xx), and a character the
//   page lacks becomes Windows' look-alike where it has one ("best fit":
//   'ł' -> 'l', fullwidth 'Ａ' -> 'A', '∞' -> '8' under 1252), else '?'.
// - The other pages come from the system's iconv: a byte the page leaves
//   unassigned stands for U+0000 + byte, or for U+F700 + byte when the page
//   already holds U+0000 + byte elsewhere; a character it lacks becomes '?'.
// Throws std::invalid_argument, with a message fit for a user, for an
// unknown, multi-byte or not ASCII-compatible page; this thread's page is
// then unchanged. Tables are built once per page and shared by all threads.
TRIROTOR_API void SetCodePage(int codePage);
TRIROTOR_API int CodePage();  // this thread's page
// Whether SetCodePage(codePage) would succeed.
TRIROTOR_API bool IsCodePageSupported(int codePage);

// A page to offer users: its number, the name they know it by
// ("windows-1252", "ISO-8859-2", "CP437", "KOI8-R") and a few words.
struct CodePageInfo {
  int number;
  std::string_view name;
  std::string_view description;  // "Western", "DOS Greek"
  bool windowsTables;            // converts by Windows' own tables, best fit included
};
// The pages SetCodePage accepts on this system, in number order.
TRIROTOR_API const std::vector<CodePageInfo>& SupportedCodePages();
// The page a typed name means, any case: "1252", "cp1252", "CP1252",
// "windows-1252", "ISO-8859-2", "iso8859-2", "CP437", "IBM437", "KOI8-R".
// nullopt for a name of no page. Says nothing about support: pass the
// number to SetCodePage, which refuses what it cannot use.
TRIROTOR_API std::optional<int> ParseCodePageName(std::string_view name);

// Wide text to bytes, one byte per UTF-16 unit, each unit on its own: a
// unit the page lacks becomes Windows' look-alike on a page with Windows'
// tables, where there is one, else '?' (0x3F); a surrogate pair gives two.
TRIROTOR_API ByteBuffer TextToBytes(std::u16string_view text);
TRIROTOR_API void TextToBytes(std::u16string_view text, std::uint8_t* out);  // text.size() bytes
// Bytes to wide text, one character per byte.
TRIROTOR_API std::u16string BytesToText(const std::uint8_t* bytes, std::size_t count);
inline std::u16string BytesToText(const ByteBuffer& bytes) { return BytesToText(bytes.data(), bytes.size()); }
// Whether the page holds the character exactly (so it survives a round trip).
TRIROTOR_API bool IsRepresentable(char16_t ch);
// Whether the page holds it only as Windows' look-alike ('ł' under 1252):
// TextToBytes writes the look-alike's byte.
TRIROTOR_API bool IsBestFit(char16_t ch);
// The position of the first character the page cannot hold exactly, or npos.
TRIROTOR_API std::size_t FindUnrepresentable(std::u16string_view text);
// Where the UTF-16 unit at index stands, as an editor counts: lines end at
// LF, columns count characters (a surrogate pair is one), both from 1. Every
// place the engine and its tools name in a text is counted by this.
struct TextPlace {
  std::size_t line = 1;
  std::size_t column = 1;
};
TRIROTOR_API TextPlace PlaceOfUnit(std::u16string_view text, std::size_t index);
// The first character of a text that the page cannot hold exactly, placed
// as an editor counts: lines end at LF, columns count characters (a
// surrogate pair is one), both from 1.
struct UnrepresentableCharacter {
  std::size_t index = 0;  // of its first UTF-16 unit
  std::size_t units = 1;  // 2 for a surrogate pair
  std::size_t line = 1;
  std::size_t column = 1;
  char32_t codePoint = 0;
  // What the conversion makes of it: Windows' look-alike ("l" for 'ł' under
  // 1252) when bestFit, else "?" ("??" for a surrogate pair).
  std::u16string takenAs;
  bool bestFit = false;
  std::string place;      // "line 2, column 5"; "character 3 of the key"
  std::string character;  // "U+20AC '€'"; a control character or lone surrogate by number only
  // place + ": " + character + " has no place in code page N", e.g.
  // "line 2, column 5: U+20AC '€' has no place in code page 437"; with
  // `what` given and a text of one line, "character 3 of the key: U+65E5
  // '日' has no place in code page 1252".
  std::string message;
};
TRIROTOR_API std::optional<UnrepresentableCharacter> FindUnrepresentableCharacter(std::u16string_view text,
                                                                                  std::string_view what = {});
// Why sealing is refused, for a user: the message (made anew from place and
// character, which a caller may change) and what sealing would have done. For a text: "... and would be lost", or "...
// and would become 'l'" for a best fit. For a key or suffix (`inKey`): "... and would be sealed as '?'", or, for a best
// fit, that it would be sealed as its look-alike, which the same key typed under another code page does not give.
TRIROTOR_API std::string RefusalToSeal(const UnrepresentableCharacter& found, bool inKey);
// What decoding made of the key's and the suffix's characters that the page
// does not hold exactly: one line per distinct character, in order, e.g.
//   "U+0142 'ł' is not in code page 1252; it was taken as 'l', as Windows does"
//   "U+65E5 '日' has no place in code page 1252 and was taken as '?'"
// Empty when the page holds every character.
TRIROTOR_API std::vector<std::string> KeyConversionWarnings(std::u16string_view key, std::u16string_view keySuffix);

}  // namespace platform
}  // namespace trirotor
