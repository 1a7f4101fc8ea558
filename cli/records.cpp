// SPDX-License-Identifier: MIT
//
// records.cpp - parsing a record line and writing its answer.
//
// A line is parsed with simdjson's on-demand parser, which finds the
// structure of the whole line with vector instructions and then lets us
// visit each value once. Every value is visited, so a line with a flaw
// anywhere is refused as a whole, as a strict JSON reader would; the fields
// we need are taken as views into the line (or into the parser's string
// buffer when they hold escapes), never copied into a tree. The id is echoed
// as the JSON text it came as, so `12345678901234567890123` and `1.50` come
// back unchanged.

#include "cli/records.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "cli/utf8.h"

namespace trirotor::cli {

namespace json = simdjson::ondemand;

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
}

void TextEscapes::AppendQuoted(std::string& out, const std::uint8_t* bytes, std::size_t count) const {
  constexpr std::size_t kSlice = 2048;
  char slice[kSlice * sizeof(Form::bytes)];
  out.push_back('"');
  for (std::size_t at = 0; at < count; at += kSlice) {
    const std::size_t n = std::min(kSlice, count - at);
    char* o = slice;
    for (std::size_t i = 0; i < n; ++i) {
      const Form& form = forms_[bytes[at + i]];
      std::memcpy(o, form.bytes, sizeof form.bytes);  // whole, so that the copy has a fixed size
      o += form.length;
    }
    out.append(slice, static_cast<std::size_t>(o - slice));
  }
  out.push_back('"');
}

bool IsBlankLine(std::string_view line) { return TrimSpace(line).empty(); }

/// Reading a record ///

namespace {

// -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
bool IsJsonNumber(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i > from;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == text.size();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The UTF-16 unit of the "\uXXXX" escape at text[at], or -1.
long EscapedUnit(std::string_view text, std::size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  long unit = 0;
  for (std::size_t i = at + 2; i < at + 6; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

// The offset in `text` (a string token, quotes included) of a "\uXXXX"
// surrogate escape without its partner, or npos.
std::size_t FindLoneSurrogate(std::string_view text) {
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] != '\\') continue;
    const long unit = EscapedUnit(text, i);
    if (unit < 0) {
      ++i;  // a short escape: skip its second character
      continue;
    }
    if (unit >= 0xD800 && unit < 0xDC00) {
      const long next = EscapedUnit(text, i + 6);
      if (next < 0xDC00 || next >= 0xE000) return i;
      i += 11;
    } else if (unit >= 0xDC00 && unit < 0xE000) {
      return i;
    } else {
      i += 5;
    }
  }
  return std::string_view::npos;
}

// The end of the array or object that starts at text[0] (which is known to
// be valid JSON): the offset just past its closing bracket.
std::size_t EndOfContainer(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if ((c == ']' || c == '}') && --depth == 0) {
      return i + 1;
    }
  }
  return text.size();
}

}  // namespace

// The parser, kept from line to line so that its buffers are allocated
// once. After a very long line they are given back.
struct RecordReader::Parser {
  static constexpr std::size_t kKeepCapacity = std::size_t{4} << 20;
  json::parser parser{kMaxRecordBytes};
};

namespace {

// One pass over a line: checks every value and collects the record's fields.
class LineReader {
 public:
  LineReader(std::string_view line, json::document& document, const char* inputName)
      : line_(line), document_(document), inputName_(inputName) {}

  // False with `problem` set when the line is not a JSON object we can read.
  bool ReadDocument();

  std::string problem;

  std::optional<std::string_view> id, input, key, suffix;
  std::string fieldProblem;

 private:
  // Sets `problem`; the offset of `at` is given when it lies in the line.
  bool Fail(simdjson::error_code error, const char* at);
  // The same at the parser's current place.
  bool FailHere(simdjson::error_code error);
  bool Nesting() {
    problem = "nested more than " + std::to_string(kMaxRecordNesting) + " levels deep";
    return false;
  }
  bool Value(json::value value, int depth, std::string_view* raw);
  bool Object(json::object object, int depth, bool top);
  bool Array(json::array array, int depth);
  bool String(json::value value, std::string_view token, std::string_view& out);
  bool Field(std::string_view name, json::value value, int depth);
  std::size_t Offset(const char* at) const {
    return at >= line_.data() && at <= line_.data() + line_.size() ? static_cast<std::size_t>(at - line_.data())
                                                                 : std::string_view::npos;
  }

  std::string_view line_;
  json::document& document_;
  const char* inputName_;
};

bool LineReader::ReadDocument() {
  json::json_type type;
  if (auto error = document_.type().get(type)) return Fail(error, nullptr);
  if (type == json::json_type::object) {
    json::object object;
    if (auto error = document_.get_object().get(object)) return Fail(error, nullptr);
    if (!Object(object, 1, true)) return false;
  } else if (type == json::json_type::array) {
    json::array array;
    if (auto error = document_.get_array().get(array)) return Fail(error, nullptr);
    if (!Array(array, 1)) return false;
  } else {
    // A lone scalar: valid or not, it is no record.
    const std::string_view whole = TrimSpace(line_);
    bool valid = whole == "true" || whole == "false" || whole == "null" || IsJsonNumber(whole);
    std::string_view text;
    if (type == json::json_type::string) valid = !document_.get_string().get(text);
    problem = valid ? "not a JSON object" : "not valid JSON";
    return false;
  }
  const char* rest = nullptr;
  if (!document_.current_location().get(rest)) return Fail(simdjson::TRAILING_CONTENT, rest);  // more after the value
  if (type != json::json_type::object) {
    problem = "not a JSON object";
    return false;
  }
  return true;
}

bool LineReader::FailHere(simdjson::error_code error) {
  const char* location = nullptr;
  if (document_.current_location().get(location)) location = nullptr;
  return Fail(error, location);
}

bool LineReader::Fail(simdjson::error_code error, const char* at) {
  problem = "not valid JSON";
  std::size_t offset = Offset(at);
  if (error == simdjson::UTF8_ERROR) {
    std::u16string ignored;
    std::size_t bad = 0;
    if (!DecodeUtf8(line_, ignored, bad)) offset = bad;
    problem += ": bad UTF-8";
  } else if (error == simdjson::DEPTH_ERROR) {
    return Nesting();
  }
  if (offset != std::string_view::npos) problem += " at byte offset " + std::to_string(offset);
  return false;
}

// A string value: its text unescaped, taken straight from the line when it
// holds no escapes.
bool LineReader::String(json::value value, std::string_view token, std::string_view& out) {
  token = TrimSpace(token);
  if (token.size() >= 2 && std::memchr(token.data(), '\\', token.size()) == nullptr) {
    out = token.substr(1, token.size() - 2);
    return true;
  }
  if (!value.get_string().get(out)) return true;
  const std::size_t lone = FindLoneSurrogate(token);
  if (lone != std::string_view::npos) {
    problem = "not valid JSON: a lone surrogate " + std::string(token.substr(lone, 6)) + " at byte offset " +
              std::to_string(Offset(token.data() + lone));
    return false;
  }
  problem = "not valid JSON: a bad escape in the string at byte offset " + std::to_string(Offset(token.data()));
  return false;
}

// Checks any value; `raw`, when given, receives its JSON text.
bool LineReader::Value(json::value value, int depth, std::string_view* raw) {
  const std::string_view token = value.raw_json_token();
  json::json_type type;
  if (auto error = value.type().get(type)) return Fail(error, token.data());
  switch (type) {
    case json::json_type::object: {
      if (depth >= kMaxRecordNesting) return Nesting();
      json::object object;
      if (auto error = value.get_object().get(object)) return Fail(error, token.data());
      if (!Object(object, depth + 1, false)) return false;
      break;
    }
    case json::json_type::array: {
      if (depth >= kMaxRecordNesting) return Nesting();
      json::array array;
      if (auto error = value.get_array().get(array)) return Fail(error, token.data());
      if (!Array(array, depth + 1)) return false;
      break;
    }
    case json::json_type::string: {
      std::string_view ignored;
      if (!String(value, token, ignored)) return false;
      break;
    }
    default: {
      const std::string_view scalar = TrimSpace(token);
      if (!(scalar == "true" || scalar == "false" || scalar == "null" || IsJsonNumber(scalar))) {
        return Fail(simdjson::INCORRECT_TYPE, token.data());
      }
    }
  }
  if (raw) {
    std::string_view text = TrimSpace(token);
    if (type == json::json_type::object || type == json::json_type::array) {
      const std::string_view rest = line_.substr(Offset(text.data()));
      text = rest.substr(0, EndOfContainer(rest));
    }
    *raw = text;
  }
  return true;
}

bool LineReader::Array(json::array array, int depth) {
  for (auto element : array) {
    json::value value;
    if (auto error = element.get(value)) return FailHere(error);
    if (!Value(value, depth, nullptr)) return false;
  }
  return true;
}

bool LineReader::Object(json::object object, int depth, bool top) {
  for (auto field : object) {
    std::string_view name;
    if (auto error = field.unescaped_key().get(name)) return FailHere(error);
    json::value value;
    if (auto error = field.value().get(value)) return FailHere(error);
    if (top) {
      if (!Field(name, value, depth)) return false;
    } else if (!Value(value, depth, nullptr)) {
      return false;
    }
  }
  return true;
}

// A field of the record itself. When a name comes twice, the last one counts.
bool LineReader::Field(std::string_view name, json::value value, int depth) {
  if (name == "id") {
    std::string_view raw;
    if (!Value(value, depth, &raw)) return false;
    id = raw;
    return true;
  }
  std::optional<std::string_view>* slot = nullptr;
  if (name == inputName_) slot = &input;
  if (name == "key") slot = &key;
  if (name == "suffix") slot = &suffix;
  if (slot == nullptr) return Value(value, depth, nullptr);

  const std::string_view token = value.raw_json_token();
  json::json_type type;
  if (auto error = value.type().get(type)) return Fail(error, token.data());
  if (type == json::json_type::string) {
    std::string_view text;
    if (!String(value, token, text)) return false;
    *slot = text;
    return true;
  }
  if (!Value(value, depth, nullptr)) return false;
  *slot = std::nullopt;  // null counts as absent
  if (type != json::json_type::null && fieldProblem.empty()) {
    fieldProblem = "\"" + std::string(name) + "\" is not a string";
  }
  return true;
}

}  // namespace

RecordReader::RecordReader(const char* inputName)
    : inputName_(inputName), parser_(std::make_unique<Parser>()) {}

RecordReader::~RecordReader() = default;

bool RecordReader::Read(std::string& line, RecordFields& fields, std::string& problem) {
  if (line.capacity() < line.size() + kRecordPadding) line.reserve(line.size() + kRecordPadding);
  if (parser_->parser.capacity() > Parser::kKeepCapacity) parser_ = std::make_unique<Parser>();
  const simdjson::padded_string_view padded(line.data(), line.size(), line.capacity());
  json::document document;
  if (auto error = parser_->parser.iterate(padded).get(document)) {
    problem = "not valid JSON";
    std::u16string ignored;
    std::size_t bad = 0;
    if (error == simdjson::UTF8_ERROR && !DecodeUtf8(line, ignored, bad)) {
      problem += ": bad UTF-8 at byte offset " + std::to_string(bad);
    }
    return false;
  }
  LineReader reader(line, document, inputName_);
  if (!reader.ReadDocument()) {
    problem = std::move(reader.problem);
    return false;
  }
  fields.id = reader.id;
  fields.input = reader.input;
  fields.key = reader.key;
  fields.suffix = reader.suffix;
  fields.problem = std::move(reader.fieldProblem);
  return true;
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

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

RecordAnswerer::RecordAnswerer(Mode mode, const KeyPair& defaults, int wrap)
    : mode_(mode), defaults_(defaults), wrap_(wrap), reader_(mode == Mode::kDecode ? "message" : "text") {}

LineOutcome RecordAnswerer::AnswerTooLong(std::uint64_t number, std::string& out) {
  AppendLineError(out, std::nullopt, number, "longer than " + std::to_string(kMaxRecordBytes >> 20) + " MiB");
  return LineOutcome::kFailed;
}

LineOutcome RecordAnswerer::Answer(std::string& line, std::uint64_t number, std::string& out) {
  if (IsBlankLine(line)) return LineOutcome::kBlank;
  const std::size_t start = out.size();
  try {
    RecordFields fields;
    std::string problem;
    if (!reader_.Read(line, fields, problem)) {
      AppendLineError(out, std::nullopt, number, problem);
      return LineOutcome::kFailed;
    }
    return AnswerFields(fields, number, out);
  } catch (const std::bad_alloc&) {
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

  std::u16string key;
  if (fields.key) {
    key = Utf16(*fields.key);
  } else if (defaults_.key) {
    key = *defaults_.key;
  } else {
    return refuse("no \"key\", and no key option given");
  }
  if (key.empty()) return refuse("the key is empty");
  const std::u16string suffix = fields.suffix ? Utf16(*fields.suffix) : defaults_.suffix;
  return decoding ? Decode(fields, key, suffix, out) : Encode(fields, key, suffix, number, out);
}

LineOutcome RecordAnswerer::Decode(const RecordFields& fields, std::u16string_view key,
                                   std::u16string_view suffix, std::string& out) {
  const std::string_view message = *fields.input;
  LastError = 0;  // the engine never clears it; each record starts clean
  ByteBuffer plain;
  std::string wide;  // the plain text's UTF-8 when it went through UTF-16
  try {
    if (escapes_.AsciiIsIdentity() && IsAscii(message)) {
      // The message's bytes are already the code page's form of its text.
      plain = DecodeBytes(ByteBuffer(message.begin(), message.end()), key, suffix);
    } else {
      wide = EncodeUtf8(DecodeText(Utf16(message), key, suffix));
    }
  } catch (const EngineError& error) {
    AppendEngineError(out, fields.id, error);
    return LineOutcome::kFailed;
  }
  AppendId(out, fields.id);
  if (LastError == kErrFrameCheck) {
    out += ",\"last_error\":";
    out += std::to_string(kErrFrameCheck);
    out += ",\"error\":";
    AppendJsonString(out, ErrorMessage(kErrFrameCheck));
    out += "}\n";
    return LineOutcome::kFailed;
  }
  out += ",\"text\":";
  if (wide.empty()) {
    escapes_.AppendQuoted(out, plain.data(), plain.size());
  } else {
    AppendJsonString(out, wide);
  }
  if (LastError == kErrChecksum) {
    out += ",\"last_error\":";
    out += std::to_string(kErrChecksum);
    out += "}\n";
    return LineOutcome::kFailed;
  }
  out += "}\n";
  return LineOutcome::kAnswered;
}

LineOutcome RecordAnswerer::Encode(const RecordFields& fields, std::u16string_view key, std::u16string_view suffix,
                                   std::uint64_t number, std::string& out) {
  const std::u16string text = Utf16(*fields.input);
  if (const std::size_t at = platform::FindUnrepresentable(text); at != std::u16string::npos) {
    const TextPosition where = PositionOfUnit(text, at);
    AppendLineError(out, fields.id, number,
                    "\"text\" line " + std::to_string(where.line) + ", column " + std::to_string(where.column) +
                        ": " + DescribeCharacter(text, at) + " has no place in code page " +
                        std::to_string(platform::CodePage()) + " and would be lost");
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
  AppendJsonString(out, std::string(message.begin(), message.end()));
  out += "}\n";
  return LineOutcome::kAnswered;
}

}  // namespace trirotor::cli
