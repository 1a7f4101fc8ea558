// SPDX-License-Identifier: MIT
//
// records.h - the JSON lines record format of batch mode: one input line in,
// one answer line out.
//
// A library of its own, with its own words for what it is asked (Mode,
// KeyPair, RingEntry): the tool's batch mode and the Python package both
// answer records through it, and it includes nothing of the tool. This file
// knows the record format and nothing of threads; the tool's batch.cpp
// knows the threads and nothing of the format. An input line is read in place
// (the id is kept as the raw JSON text it came as), answered through the
// engine, and the answer is written straight into the output text: the plain
// bytes go through a 256-entry table of their UTF-8 and JSON forms in the
// code page, with no JSON object built per record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/trirotor.h"

namespace trirotor::records {

// What a record asks for.
enum class Mode {
  kDecode,
  kEncode,
};

// The key and suffix a record without its own is answered with. A key is
// absent (nullopt) when none was given.
struct KeyPair {
  std::optional<std::u16string> key;
  std::u16string suffix;
};

// One candidate of a key ring: its line, key, suffix and the comment line
// nearest above it ("" for none).
struct RingEntry {
  std::size_t line;
  std::u16string key, suffix;
  std::string comment;
};

// A key ring line that cannot stand: "line N of the key ring has an empty key".
class RingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The candidates of a key ring's text: one a line, the key and optionally a
// TAB and its suffix; '#' starts a comment line, which names the key below
// it; CRLF line ends and blank lines are taken. Throws RingError for a line
// with an empty key; an empty result is the caller's to refuse.
std::vector<RingEntry> ParseKeyRing(std::u16string_view text);

// "the one key of the key ring does not open the message", "none of the 3
// keys of the key ring opens the message": the tool's and batch's words.
inline std::string NoRingKeyOpens(std::size_t keys) {
  return keys == 1 ? "the one key of the key ring does not open the message"
                   : "none of the " + std::to_string(keys) + " keys of the key ring opens the message";
}

// The longest line read as a record (a message of about 48 MB); longer lines
// are answered with an error and their bytes are not kept.
inline constexpr std::size_t kMaxRecordBytes = std::size_t{64} << 20;
// How deep arrays and objects may nest in a record, the record included.
inline constexpr int kMaxRecordNesting = 64;

// Whether a line holds nothing but JSON whitespace (it gets no answer).
bool IsBlankLine(std::string_view line);

// Appends `text` (UTF-8) as a JSON string, quotes included, escaping as the
// answers do: '"', '\\', \b \f \n \r \t, other controls as \u00XX; bytes
// that are not UTF-8 become U+FFFD.
void AppendJsonString(std::string& out, std::string_view text);

// The JSON string forms of the code page's 256 characters: the UTF-8 of the
// character the byte stands for, escaped as AppendJsonString would.
class TextEscapes {
 public:
  // For the calling thread's current code page.
  TextEscapes();
  // Appends the plain bytes as a JSON string, quotes included.
  void AppendQuoted(std::string& out, const std::uint8_t* bytes, std::size_t count) const;
  // Whether bytes 0x00 to 0x7F stand for U+0000 to U+007F, so that an ASCII
  // message needs no conversion on its way to the engine.
  bool AsciiIsIdentity() const { return asciiIsIdentity_; }

 private:
  struct Form {
    std::uint8_t length;
    char bytes[7];  // up to "\u001f" or three bytes of UTF-8
  };
  std::array<Form, 256> forms_{};
  bool asciiIsIdentity_ = true;
  bool asciiRunsAsIs_ = false;  // bytes 0x20-0x7F bar '"' and '\\' are their own form
};

// The fields of one record, as views into its line or into the reader's
// string buffer; valid until the reader reads the next line.
struct RecordFields {
  std::optional<std::string_view> id;                  // raw JSON text, as it came
  std::optional<std::string_view> input, key, suffix;  // UTF-8; a null counts as absent
  std::string problem;                                 // set when one of them is not a string
};

// Reads record lines, one after another; one per thread. The line's UTF-8
// is checked with simdjson's vector code, the rest in one strict pass that
// crosses string bodies sixteen bytes at a time and builds nothing.
class RecordReader {
 public:
  // `inputName` is the field that holds the input: "message" or "text".
  explicit RecordReader(const char* inputName);

  // Checks every value of the line and collects the record's fields. False,
  // with `problem` saying why and where, when the line is not UTF-8, not
  // JSON, not an object, or nests too deep.
  bool Read(std::string_view line, RecordFields& fields, std::string& problem);
  // Gives back the room of resolved fields that outgrew kKeptScratchBytes,
  // so that a reader kept per thread keeps no large record's bytes; the
  // fields of the last Read are no longer valid.
  void ReleaseLargeFields();

 private:
  static constexpr std::size_t kKeptScratchBytes = std::size_t{1} << 20;
  const char* inputName_;
  std::string input_, key_, suffix_;  // fields that held escapes, resolved
};

// What became of one line.
enum class LineOutcome {
  kBlank,     // nothing written
  kAnswered,  // the text or the message
  kFailed,    // an error line, or a text with last_error 5
};

// A decode's line: failed unless it opened cleanly. A message under 4
// characters is answered, with the empty text the engine gives it.
constexpr LineOutcome LineOutcomeOf(DecodeStatus status) {
  return status == DecodeStatus::kOpened || status == DecodeStatus::kNoMessage ? LineOutcome::kAnswered
                                                                               : LineOutcome::kFailed;
}

// Answers the lines of one worker thread. Holds the parser and the escape
// table, so make one per thread, after that thread's code page is set.
class RecordAnswerer {
 public:
  // With `ring` (decode only), a record without a key of its own is tried
  // against the ring's lines in order; its answer names the line that
  // opened it ("keyring_line"), never the key.
  RecordAnswerer(Mode mode, const KeyPair& defaults, int wrap, const std::vector<RingEntry>* ring = nullptr);

  // Appends the answer to line number `number` (from 1), ending in "\n", to
  // `out`. Never throws for anything a line holds; std::bad_alloc becomes an
  // error line.
  LineOutcome Answer(std::string_view line, std::uint64_t number, std::string& out);
  // The answer to a line that was too long to keep.
  LineOutcome AnswerTooLong(std::uint64_t number, std::string& out);

 private:
  LineOutcome AnswerFields(const RecordFields& fields, std::uint64_t number, std::string& out);
  LineOutcome Decode(const RecordFields& fields, std::u16string_view key, std::u16string_view suffix, std::string& out,
                     std::optional<std::size_t> ringLine = std::nullopt);
  LineOutcome DecodeWithRing(const RecordFields& fields, std::uint64_t number, std::string& out);
  LineOutcome Encode(const RecordFields& fields, std::u16string_view key, std::u16string_view suffix,
                     std::uint64_t number, std::string& out);

  Mode mode_;
  const KeyPair& defaults_;
  int wrap_;
  const std::vector<RingEntry>* ring_;
  TextEscapes escapes_;
  RecordReader reader_;
};

namespace internal {
// Off, string bodies are crossed a byte at a time: the plain path that the
// tests and the fuzzer hold the sixteen- and eight-byte block paths to.
void SetBlockScanning(bool on);
}  // namespace internal

}  // namespace trirotor::records
