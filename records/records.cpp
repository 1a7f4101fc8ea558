// SPDX-License-Identifier: MIT
//
// records.cpp - reading a record line and writing its answer.
//
// A record is a flat object whose one big value is a base64 string, so the
// work of reading it is crossing that string. simdjson checks the line's
// UTF-8 with vector code; one strict pass then checks the grammar, the
// escapes and the nesting of every value (a line with a flaw anywhere is
// refused as a whole, with the byte offset of the flaw) and notes where the
// record's fields lie. It crosses string bodies sixteen bytes at a time and
// builds no tree: the fields are views into the line, copied only when they
// hold escapes. (simdjson's on-demand parser was tried first: it skips the
// values it is not asked for without checking their brackets, so
// `[1,"a":"x"}` passed as an id and came back as broken output.) The id is
// echoed as the JSON text it came as, so `12345678901234567890123` and
// `1.50` come back unchanged.

#include "records/records.h"

#if defined(TRIROTOR_SIMDJSON)
#include <simdjson.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <optional>

#include "support/utf8.h"

namespace trirotor::records {

using namespace support;  // UTF-8 and the places of characters

/// Writing JSON ///

namespace {

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view TrimSpace(std::string_view text) {
  while (!text.empty() && IsJsonSpace(text.back())) text.remove_suffix(1);
  while (!text.empty() && IsJsonSpace(text.front())) text.remove_prefix(1);
  return text;
}

// The escape of an ASCII character in an answer, or 0 characters when it
// stands as it is. Matches what the tool has always written: the short
// escapes where JSON has them, lowercase \u00XX for the other controls.
std::size_t EscapeAscii(unsigned char c, char* out) {
  const char* shortForm = nullptr;
  switch (c) {
    case '"': shortForm = "\\\""; break;
    case '\\': shortForm = "\\\\"; break;
    case '\b': shortForm = "\\b"; break;
    case '\f': shortForm = "\\f"; break;
    case '\n': shortForm = "\\n"; break;
    case '\r': shortForm = "\\r"; break;
    case '\t': shortForm = "\\t"; break;
    default:
      if (c >= 0x20) return 0;
      static constexpr char kHex[] = "0123456789abcdef";
      std::memcpy(out, "\\u00", 4);
      out[4] = kHex[c >> 4];
      out[5] = kHex[c & 15];
      return 6;
  }
  std::memcpy(out, shortForm, 2);
  return 2;
}

// The length of the well-formed UTF-8 sequence at text[0], or 0.
std::size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      char escaped[6];
      const std::size_t length = EscapeAscii(c, escaped);
      if (length == 0) {
        out.push_back(static_cast<char>(c));
      } else {
        out.append(escaped, length);
      }
      ++i;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text.substr(i));
    if (length == 0) {
      out.append("\xEF\xBF\xBD");  // U+FFFD
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  out.push_back('"');
}

TextEscapes::TextEscapes() {
  for (int value = 0; value < 256; ++value) {
    const auto byte = static_cast<std::uint8_t>(value);
    const std::u16string character = platform::BytesToText(&byte, 1);
    Form& form = forms_[value];
    if (character.size() == 1 && character[0] < 0x80) {
      const auto c = static_cast<unsigned char>(character[0]);
      form.length = static_cast<std::uint8_t>(EscapeAscii(c, form.bytes));
      if (form.length == 0) {
        form.bytes[0] = static_cast<char>(c);
        form.length = 1;
      }
    } else {
      const std::string utf8 = EncodeUtf8(character);
      form.length = static_cast<std::uint8_t>(std::min(utf8.size(), sizeof form.bytes));
      std::memcpy(form.bytes, utf8.data(), form.length);
    }
    if (value < 0x80 && (character.size() != 1 || character[0] != value)) asciiIsIdentity_ = false;
  }
  // Bytes 0x20 to 0x7F, bar '"' and '\\', are written as they are.
  asciiRunsAsIs_ = true;
  for (int value = 0x20; value < 0x80; ++value) {
    const Form& form = forms_[value];
    const bool asIs = form.length == 1 && static_cast<unsigned char>(form.bytes[0]) == value;
    if (asIs != (value != '"' && value != '\\')) asciiRunsAsIs_ = false;
  }
}

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;

// Marks (in the high bit of each byte) the bytes of `word` that are '"',
// '\\' or a control character; a byte just above a marked one may be marked
// as well, which costs only a closer look.
std::uint64_t StringStops(std::uint64_t word) {
  const auto zeroIn = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  const std::uint64_t controls = (word - 0x20 * kOnes) & ~word & kHighs;
  return controls | zeroIn(word ^ ('"' * kOnes)) | zeroIn(word ^ ('\\' * kOnes));
}

}  // namespace

void TextEscapes::AppendQuoted(std::string& out, const std::uint8_t* bytes, std::size_t count) const {
  constexpr std::size_t kSlice = 2048;
  char slice[kSlice * sizeof(Form::bytes)];
  out.push_back('"');
  for (std::size_t at = 0; at < count; at += kSlice) {
    const std::size_t n = std::min(kSlice, count - at);
    const std::uint8_t* in = bytes + at;
    char* o = slice;
    std::size_t i = 0;
    while (i < n) {
      // Eight bytes that stand for themselves go across in one copy.
      if (asciiRunsAsIs_ && i + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, in + i, 8);
        if ((StringStops(word) | (word & kHighs)) == 0) {
          std::memcpy(o, &word, 8);
          o += 8;
          i += 8;
          continue;
        }
      }
      const std::size_t stop = std::min(n, i + 8);
      for (; i < stop; ++i) {
        const Form& form = forms_[in[i]];
        std::memcpy(o, form.bytes, sizeof form.bytes);  // whole, so that the copy has a fixed size
        o += form.length;
      }
    }
    out.append(slice, static_cast<std::size_t>(o - slice));
  }
  out.push_back('"');
}

bool IsBlankLine(std::string_view line) { return TrimSpace(line).empty(); }

/// Reading a record ///

namespace {

// Appends a string body that the scanner passed, its escapes resolved.
void AppendUnescaped(std::string& out, std::string_view body);

// Whether string bodies are crossed in blocks (internal::SetBlockScanning).
std::atomic<bool> gBlockScanning{true};

// The first offset from `at` whose 16-byte block holds a '"', a '\\' or a
// control character (or the last whole block's end): string bodies are
// crossed sixteen bytes at a time with SSE2, which every x86-64 has.
std::size_t SkipPlainBlocks(std::string_view text, std::size_t at) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i lastControl = _mm_set1_epi8(0x1F);
  while (at + 16 <= text.size()) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + at));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(block, lastControl), block);  // byte <= 0x1F
    const __m128i stops =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)), control);
    if (_mm_movemask_epi8(stops) != 0) break;
    at += 16;
  }
#endif
  return at;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A place in the line where the record stops being JSON.
struct ScanError {
  std::size_t offset;
  std::string what;  // "" for plain bad syntax
};

// One strict pass over a line: the JSON grammar, nesting and escapes, with
// the byte offset of the first flaw. String bodies are crossed sixteen, then eight,
// bytes at a time. Notes where the top-level fields lie.
class LineScanner {
 public:
  struct Span {
    std::size_t begin = 0, end = 0;  // the value's JSON text
    bool isString = false, isNull = false, hasEscapes = false;
  };

  LineScanner(std::string_view line, std::string_view inputName) : line_(line), inputName_(inputName) {}

  // Throws ScanError; returns false for a valid JSON value that is no object.
  bool Scan() {
    SkipSpace();
    const bool object = Peek() == '{';
    Value(0, object);
    SkipSpace();
    if (at_ != line_.size()) Fail(at_);
    return object;
  }

  std::optional<Span> id, input, key, suffix;

 private:
  [[noreturn]] void Fail(std::size_t offset, std::string what = {}) { throw ScanError{offset, std::move(what)}; }
  char Peek() const { return at_ < line_.size() ? line_[at_] : '\0'; }
  void SkipSpace() {
    while (at_ < line_.size() && IsJsonSpace(line_[at_])) ++at_;
  }
  void Expect(char c) {
    SkipSpace();
    if (Peek() != c) Fail(at_);
    ++at_;
  }

  void Value(int depth, bool top);
  void Object(int depth, bool top);
  void Array(int depth);
  void String(Span* span);
  void Escape(std::size_t stringBegin);
  void Number();
  void Literal(std::string_view word);

  std::string_view line_;
  std::string_view inputName_;
  std::size_t at_ = 0;
  std::string name_;  // an escaped key, unescaped
};

void LineScanner::Value(int depth, bool top) {
  SkipSpace();
  switch (Peek()) {
    case '{': Object(depth + 1, top); break;
    case '[': Array(depth + 1); break;
    case '"': String(nullptr); break;
    case 't': Literal("true"); break;
    case 'f': Literal("false"); break;
    case 'n': Literal("null"); break;
    default: Number();
  }
}

void LineScanner::Object(int depth, bool top) {
  if (depth > kMaxRecordNesting) Fail(at_, "nesting");
  ++at_;  // '{'
  SkipSpace();
  if (Peek() == '}') {
    ++at_;
    return;
  }
  for (;;) {
    SkipSpace();
    if (Peek() != '"') Fail(at_);
    Span name;
    String(&name);
    Expect(':');
    SkipSpace();
    Span value;
    value.begin = at_;
    value.isString = Peek() == '"';
    if (value.isString) {
      String(&value);
    } else {
      Value(depth, false);
    }
    value.end = at_;
    if (top) {
      value.isNull = line_.substr(value.begin, value.end - value.begin) == "null";
      std::string_view field = line_.substr(name.begin + 1, name.end - name.begin - 2);
      if (name.hasEscapes) {
        name_.clear();
        AppendUnescaped(name_, field);
        field = name_;
      }
      if (field == "id") id = value;
      if (field == inputName_) input = value;
      if (field == "key") key = value;
      if (field == "suffix") suffix = value;
    }
    SkipSpace();
    if (Peek() == ',') {
      ++at_;
      continue;
    }
    if (Peek() != '}') Fail(at_);
    ++at_;
    return;
  }
}

void LineScanner::Array(int depth) {
  if (depth > kMaxRecordNesting) Fail(at_, "nesting");
  ++at_;  // '['
  SkipSpace();
  if (Peek() == ']') {
    ++at_;
    return;
  }
  for (;;) {
    Value(depth, false);
    SkipSpace();
    if (Peek() == ',') {
      ++at_;
      continue;
    }
    if (Peek() != ']') Fail(at_);
    ++at_;
    return;
  }
}

void LineScanner::String(Span* span) {
  const std::size_t begin = at_;
  if (span) span->begin = begin;
  ++at_;  // '"'
  const bool blocks = gBlockScanning.load(std::memory_order_relaxed);
  for (;;) {
    if (blocks) {
      at_ = SkipPlainBlocks(line_, at_);
      while (at_ + 8 <= line_.size()) {
        std::uint64_t word;
        std::memcpy(&word, line_.data() + at_, 8);
        if (StringStops(word) != 0) break;
        at_ += 8;
      }
    }
    if (at_ >= line_.size()) Fail(begin, "unterminated");
    const auto c = static_cast<unsigned char>(line_[at_]);
    if (c == '"') {
      ++at_;
      if (span) span->end = at_;
      return;
    }
    if (c == '\\') {
      if (span) span->hasEscapes = true;
      Escape(begin);
    } else if (c < 0x20) {
      Fail(at_);
    } else {
      ++at_;
    }
  }
}

// The escape at at_: one of \" \\ \/ \b \f \n \r \t, or \uXXXX with each
// surrogate in its pair. One that the line's end cuts short leaves the
// string starting at `stringBegin` without its end.
void LineScanner::Escape(std::size_t stringBegin) {
  const std::size_t start = at_;
  if (start + 2 > line_.size() || (line_[start + 1] == 'u' && start + 6 > line_.size())) {
    Fail(stringBegin, "unterminated");
  }
  const auto unitAt = [&](std::size_t i) -> long {
    if (i + 6 > line_.size() || line_[i] != '\\' || line_[i + 1] != 'u') return -1;
    long unit = 0;
    for (std::size_t j = i + 2; j < i + 6; ++j) {
      const int digit = HexValue(line_[j]);
      if (digit < 0) return -1;
      unit = unit * 16 + digit;
    }
    return unit;
  };
  const char kind = at_ + 1 < line_.size() ? line_[at_ + 1] : '\0';
  if (kind != 'u') {
    if (std::strchr("\"\\/bfnrt", kind) == nullptr || kind == '\0') Fail(start);
    at_ += 2;
    return;
  }
  const long unit = unitAt(at_);
  if (unit < 0) Fail(start);
  const auto lone = [&] { Fail(start, "a lone surrogate " + std::string(line_.substr(start, 6))); };
  if (unit >= 0xDC00 && unit < 0xE000) lone();
  if (unit >= 0xD800 && unit < 0xDC00) {
    const long low = unitAt(at_ + 6);
    if (low < 0xDC00 || low >= 0xE000) lone();
    at_ += 12;
    return;
  }
  at_ += 6;
}

// -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
void LineScanner::Number() {
  const std::size_t start = at_;
  const auto digits = [&] {
    const std::size_t from = at_;
    while (at_ < line_.size() && line_[at_] >= '0' && line_[at_] <= '9') ++at_;
    if (at_ == from) Fail(start);
  };
  if (Peek() == '-') ++at_;
  if (Peek() == '0') {
    ++at_;
  } else {
    digits();
  }
  if (Peek() == '.') {
    ++at_;
    digits();
  }
  if (Peek() == 'e' || Peek() == 'E') {
    ++at_;
    if (Peek() == '+' || Peek() == '-') ++at_;
    digits();
  }
}

void LineScanner::Literal(std::string_view word) {
  if (line_.substr(at_, word.size()) != word) Fail(at_);
  at_ += word.size();
}

void AppendUnescaped(std::string& out, std::string_view body) {
  std::size_t i = 0;
  while (i < body.size()) {
    const std::size_t slash = body.find('\\', i);
    out.append(body.substr(i, slash - i));
    if (slash == std::string_view::npos) return;
    const char kind = body[slash + 1];
    i = slash + 2;
    switch (kind) {
      case 'b': out.push_back('\b'); continue;
      case 'f': out.push_back('\f'); continue;
      case 'n': out.push_back('\n'); continue;
      case 'r': out.push_back('\r'); continue;
      case 't': out.push_back('\t'); continue;
      case 'u': break;
      default: out.push_back(kind); continue;
    }
    const auto unit = [&](std::size_t at) {
      char32_t value = 0;
      for (std::size_t j = at; j < at + 4; ++j) value = value * 16 + static_cast<char32_t>(HexValue(body[j]));
      return value;
    };
    char32_t cp = unit(i);
    i += 4;
    if (cp >= 0xD800 && cp < 0xDC00) {  // its low half follows: the scanner made sure
      cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 6;
    }
    std::u16string units;
    if (cp < 0x10000) {
      units.push_back(static_cast<char16_t>(cp));
    } else {
      units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    out += EncodeUtf8(units);
  }
}

}  // namespace

RecordReader::RecordReader(const char* inputName) : inputName_(inputName) {}

bool RecordReader::Read(std::string_view line, RecordFields& fields, std::string& problem) {
#if defined(TRIROTOR_SIMDJSON)
  const bool validUtf8 = simdjson::validate_utf8(line.data(), line.size());
#else  // slower, same verdict
  std::u16string units;
  std::size_t firstBad = 0;
  const bool validUtf8 = DecodeUtf8(line, units, firstBad);
#endif
  if (!validUtf8) {
    std::u16string ignored;
    std::size_t bad = 0;
    DecodeUtf8(line, ignored, bad);
    problem = "not valid JSON: bad UTF-8 at byte offset " + std::to_string(bad);
    return false;
  }
  LineScanner scanner(line, inputName_);
  try {
    if (!scanner.Scan()) {
      problem = "not a JSON object";
      return false;
    }
  } catch (const ScanError& error) {
    if (error.what == "nesting") {
      problem = "nested more than " + std::to_string(kMaxRecordNesting) + " levels deep";
    } else if (error.what == "unterminated") {
      problem = "not valid JSON: a string that does not end, from byte offset " + std::to_string(error.offset);
    } else {
      problem = "not valid JSON" + (error.what.empty() ? "" : ": " + error.what) + " at byte offset " +
                std::to_string(error.offset);
    }
    return false;
  }

  fields = RecordFields{};
  if (scanner.id) fields.id = line.substr(scanner.id->begin, scanner.id->end - scanner.id->begin);
  const auto text = [&](const std::optional<LineScanner::Span>& span, const char* name, std::string& scratch,
                        std::optional<std::string_view>& out) {
    if (!span || span->isNull) return;
    if (!span->isString) {
      if (fields.problem.empty()) fields.problem = std::string("\"").append(name).append("\" is not a string");
      return;
    }
    const std::string_view body = line.substr(span->begin + 1, span->end - span->begin - 2);
    if (!span->hasEscapes) {
      out = body;
      return;
    }
    scratch.clear();
    AppendUnescaped(scratch, body);
    out = scratch;
  };
  text(scanner.input, inputName_, input_, fields.input);
  text(scanner.key, "key", key_, fields.key);
  text(scanner.suffix, "suffix", suffix_, fields.suffix);
  return true;
}

void RecordReader::ReleaseLargeFields() {
  for (std::string* scratch : {&input_, &key_, &suffix_}) {
    // Assigning an empty string would keep the room: swap it away.
    if (scratch->capacity() > kKeptScratchBytes) std::string().swap(*scratch);
  }
}

/// Answering ///

namespace {

void AppendId(std::string& out, std::optional<std::string_view> id) {
  out += "{\"id\":";
  out += id ? *id : std::string_view("null");
}

void AppendLineError(std::string& out, std::optional<std::string_view> id, std::uint64_t number,
                     std::string_view what) {
  AppendId(out, id);
  const std::string line = std::to_string(number);
  out += ",\"line\":";
  out += line;
  out += ",\"error\":";
  AppendJsonString(out, "line " + line + ": " + std::string(what));
  out += "}\n";
}

void AppendEngineError(std::string& out, std::optional<std::string_view> id, const EngineError& error) {
  AppendId(out, id);
  out += ",\"error\":{\"number\":";
  out += std::to_string(error.number());
  out += ",\"source\":";
  AppendJsonString(out, error.source());
  out += ",\"description\":";
  AppendJsonString(out, error.description());
  out += "}}\n";
}

std::u16string Utf16(std::string_view utf8) {
  std::u16string text;
  std::size_t bad = 0;
  DecodeUtf8(utf8, text, bad);  // the parser let only valid UTF-8 through
  return text;
}

// The engine counts a message in UTF-16 units and takes one of under four
// for no message at all, returning "" without a word; the tool refuses it.
constexpr std::size_t kShortestMessage = 4;

// Whether `utf8` (valid UTF-8) holds fewer than kShortestMessage UTF-16 units.
bool TooShortForAMessage(std::string_view utf8) {
  if (utf8.size() >= 3 * kShortestMessage) return false;  // at most 3 bytes a unit
  std::size_t units = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) ++units;  // a character starts
    if (byte >= 0xF0) ++units;           // beyond U+FFFF: a surrogate pair
  }
  return units < kShortestMessage;
}


bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

RecordAnswerer::RecordAnswerer(Mode mode, const KeyPair& defaults, int wrap, const std::vector<RingEntry>* ring)
    : mode_(mode),
      defaults_(defaults),
      wrap_(wrap),
      ring_(mode == Mode::kDecode ? ring : nullptr),
      reader_(mode == Mode::kDecode ? "message" : "text") {}

LineOutcome RecordAnswerer::AnswerTooLong(std::uint64_t number, std::string& out) {
  AppendLineError(out, std::nullopt, number, "longer than " + std::to_string(kMaxRecordBytes >> 20) + " MiB");
  return LineOutcome::kFailed;
}

LineOutcome RecordAnswerer::Answer(std::string_view line, std::uint64_t number, std::string& out) {
  // A file may open with a byte-order mark, as key files and texts may.
  if (number == 1 && line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
  if (IsBlankLine(line)) return LineOutcome::kBlank;
  const std::size_t start = out.size();
  try {
    RecordFields fields;
    std::string problem;
    if (!reader_.Read(line, fields, problem)) {
      AppendLineError(out, std::nullopt, number, problem);
      return LineOutcome::kFailed;
    }
    const LineOutcome outcome = AnswerFields(fields, number, out);
    reader_.ReleaseLargeFields();
    return outcome;
  } catch (const std::bad_alloc&) {
    reader_.ReleaseLargeFields();
    out.resize(start);
    AppendEngineError(out, std::nullopt, EngineError(kErrOutOfMemory, "trirotor", "Out of memory"));
    return LineOutcome::kFailed;
  }
}

LineOutcome RecordAnswerer::AnswerFields(const RecordFields& fields, std::uint64_t number, std::string& out) {
  const bool decoding = mode_ == Mode::kDecode;
  const char* inputName = decoding ? "message" : "text";
  if (!fields.id) {
    AppendLineError(out, std::nullopt, number, "no \"id\"");
    return LineOutcome::kFailed;
  }
  const auto refuse = [&](std::string_view what) {
    AppendLineError(out, fields.id, number, what);
    return LineOutcome::kFailed;
  };
  if (!fields.problem.empty()) return refuse(fields.problem);
  if (!fields.input) return refuse("no \"" + std::string(inputName) + "\" string");
  if (decoding && TooShortForAMessage(*fields.input)) {
    return refuse("no message in the input (it has fewer than " + std::to_string(kShortestMessage) + " characters)");
  }

  std::u16string key;
  if (fields.key) {
    key = Utf16(*fields.key);
  } else if (ring_ != nullptr) {
    return DecodeWithRing(fields, number, out);
  } else if (defaults_.key) {
    key = *defaults_.key;
  } else {
    return refuse("no \"key\", and no key option given");
  }
  if (key.empty()) return refuse("the key is empty");
  const std::u16string suffix = fields.suffix ? Utf16(*fields.suffix) : defaults_.suffix;
  return decoding ? Decode(fields, key, suffix, out) : Encode(fields, key, suffix, number, out);
}

LineOutcome RecordAnswerer::DecodeWithRing(const RecordFields& fields, std::uint64_t number, std::string& out) {
  const std::string_view message = *fields.input;
  // The bytes DecodeText would see: one per character, through the code page.
  ByteBuffer bytes = escapes_.AsciiIsIdentity() && IsAscii(message) ? ByteBuffer(message.begin(), message.end())
                                                                    : platform::TextToBytes(Utf16(message));
  const KeyTrial trial(std::move(bytes));
  for (const RingEntry& entry : *ring_) {
    if (trial.Opens(entry.key, entry.suffix)) return Decode(fields, entry.key, entry.suffix, out, entry.line);
  }
  AppendLineError(out, fields.id, number, NoRingKeyOpens(ring_->size()));
  return LineOutcome::kFailed;
}

LineOutcome RecordAnswerer::Decode(const RecordFields& fields, std::u16string_view key, std::u16string_view suffix,
                                   std::string& out, std::optional<std::size_t> ringLine) {
  const std::string_view message = *fields.input;
  // The message's bytes are already the code page's form of its text when
  // it is ASCII; otherwise it goes through UTF-16.
  const bool asBytes = escapes_.AsciiIsIdentity() && IsAscii(message);
  const DecodeOutcome decoded = asBytes ? TryDecodeBytes(ByteBuffer(message.begin(), message.end()), key, suffix)
                                        : TryDecodeText(Utf16(message), key, suffix);
  if (decoded.status == DecodeStatus::kEngineError) {
    AppendEngineError(out, fields.id, EngineError(decoded.error, decoded.source, decoded.description));
    return LineOutcomeOf(decoded.status);
  }
  AppendId(out, fields.id);
  if (ringLine) {
    out += ",\"keyring_line\":";
    out += std::to_string(*ringLine);
  }
  if (decoded.status == DecodeStatus::kFrameFailed) {
    out += ",\"last_error\":";
    out += std::to_string(decoded.error);
    out += ",\"error\":";
    AppendJsonString(out, decoded.description);
    out += "}\n";
    return LineOutcomeOf(decoded.status);
  }
  out += ",\"text\":";
  if (asBytes) {
    // Room for a text that needs no escapes, so that a long one is not
    // copied again and again as the answer grows.
    out.reserve(out.size() + decoded.plain.size() + 64);
    escapes_.AppendQuoted(out, decoded.plain.data(), decoded.plain.size());
  } else {
    AppendJsonString(out, EncodeUtf8(decoded.text));
  }
  if (decoded.status == DecodeStatus::kChecksumMismatch) {
    out += ",\"last_error\":";
    out += std::to_string(decoded.error);
  }
  out += "}\n";
  return LineOutcomeOf(decoded.status);
}

LineOutcome RecordAnswerer::Encode(const RecordFields& fields, std::u16string_view key, std::u16string_view suffix,
                                   std::uint64_t number, std::string& out) {
  const std::u16string text = Utf16(*fields.input);
  if (const auto found = platform::FindUnrepresentableCharacter(text)) {
    AppendLineError(out, fields.id, number, "\"text\" " + platform::RefusalToSeal(*found, false));
    return LineOutcome::kFailed;
  }
  std::u16string message;
  try {
    message = EncodeText(text, key, suffix, wrap_);
  } catch (const EngineError& error) {
    // A key or suffix the code page cannot hold is the record's fault, not
    // the engine's: the line says which character.
    if (error.number() == kErrInvalidCall) {
      AppendLineError(out, fields.id, number, error.description());
      return LineOutcome::kFailed;
    }
    AppendEngineError(out, fields.id, error);
    return LineOutcome::kFailed;
  }
  AppendId(out, fields.id);
  out += ",\"message\":";
  // Base64 and the "\n" of its wrapping go across without a UTF-8 copy.
  const auto base64 = [](char16_t unit) { return unit >= 0x20 && unit < 0x7F && unit != u'"' && unit != u'\\'; };
  if (std::all_of(message.begin(), message.end(), [&](char16_t unit) { return unit == u'\n' || base64(unit); })) {
    out.reserve(out.size() + message.size() + message.size() / 32 + 8);
    out.push_back('"');
    for (const char16_t unit : message) {
      if (unit == u'\n') {
        out += "\\n";
      } else {
        out.push_back(static_cast<char>(unit));
      }
    }
    out.push_back('"');
  } else {
    AppendJsonString(out, EncodeUtf8(message));
  }
  out += "}\n";
  return LineOutcome::kAnswered;
}

namespace internal {
void SetBlockScanning(bool on) { gBlockScanning.store(on, std::memory_order_relaxed); }
}  // namespace internal

/// Key rings ///

std::vector<RingEntry> ParseKeyRing(std::u16string_view text) {
  std::vector<RingEntry> ring;
  std::string comment;
  std::size_t lineNumber = 0;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find(u'\n', start);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (line.front() == u'#') {
      // The comment nearest above a key names it.
      line.remove_prefix(1);
      while (!line.empty() && line.front() == u' ') line.remove_prefix(1);
      comment = EncodeUtf8(line);
      continue;
    }
    const std::size_t tab = line.find(u'\t');
    RingEntry entry{lineNumber, std::u16string(line.substr(0, tab)), {}, comment};
    if (tab != std::u16string_view::npos) entry.suffix = std::u16string(line.substr(tab + 1));
    if (entry.key.empty()) throw RingError("line " + std::to_string(lineNumber) + " of the key ring has an empty key");
    ring.push_back(std::move(entry));
    comment.clear();
  }
  return ring;
}

}  // namespace trirotor::records
