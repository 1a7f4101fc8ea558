// SPDX-License-Identifier: MIT
//
// unrepresentable.cpp - finding the character a code page cannot hold, and
// saying where it is in words a user can act on.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace trirotor::platform {
namespace {

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u < 0xDC00; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u < 0xE000; }

// The character at text[index]: a whole surrogate pair, or the unit itself.
char32_t CodePointAt(std::u16string_view text, std::size_t index) {
  const char16_t u = text[index];
  if (IsHighSurrogate(u) && index + 1 < text.size() && IsLowSurrogate(text[index + 1])) {
    return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[index + 1] - 0xDC00);
  }
  return u;
}

// "U+20AC '€'"; a control character or a lone surrogate only by number.
std::string Describe(char32_t cp) {
  char number[16];
  std::snprintf(number, sizeof number, "U+%04X", static_cast<unsigned>(cp));
  std::string out = number;
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0xD800 && cp < 0xE000)) return out;
  out += " '";
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  }
  if (cp >= 0x80) out += static_cast<char>(0x80 | (cp & 0x3F));
  out += "'";
  return out;
}

// "'l'", or "'??'" for the two halves of a pair; as UTF-8.
std::string Quoted(std::u16string_view units) {
  std::string out = "'";
  for (const char16_t u : units) {
    const std::string one = Describe(u);  // "U+006C 'l'"
    const std::size_t quote = one.find('\'');
    out += quote == std::string::npos ? "?" : one.substr(quote + 1, one.size() - quote - 2);
  }
  return out + "'";
}

std::string PageName() { return "code page " + std::to_string(CodePage()); }

}  // namespace

TextPlace PlaceOfUnit(std::u16string_view text, std::size_t index) {
  TextPlace place;
  for (std::size_t i = 0; i < index && i < text.size(); ++i) {
    if (text[i] == u'\n') {
      ++place.line;
      place.column = 1;
    } else if (!(IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))) {
      ++place.column;  // the high half of a pair counts with its low half
    }
  }
  return place;
}

std::optional<UnrepresentableCharacter> FindUnrepresentableCharacter(std::u16string_view text, std::string_view what) {
  const std::size_t at = FindUnrepresentable(text);
  if (at == std::u16string_view::npos) return std::nullopt;
  UnrepresentableCharacter found;
  found.index = at;
  found.codePoint = CodePointAt(text, at);
  found.units = found.codePoint > 0xFFFF ? 2 : 1;
  // Each unit converts on its own; only a single unit can have a look-alike.
  for (std::size_t i = at; i < at + found.units; ++i) {
    std::uint8_t byte = 0;
    TextToBytes(text.substr(i, 1), &byte);
    found.takenAs += BytesToText(&byte, 1);
  }
  found.bestFit = found.units == 1 && IsBestFit(text[at]);
  const TextPlace place = PlaceOfUnit(text, at);
  found.line = place.line;
  found.column = place.column;
  if (what.empty()) {
    found.place = "line " + std::to_string(found.line) + ", column " + std::to_string(found.column);
  } else if (text.find(u'\n') == std::u16string_view::npos) {
    found.place = "character " + std::to_string(found.column) + " of " + std::string(what);
  } else {
    found.place =
        "line " + std::to_string(found.line) + ", column " + std::to_string(found.column) + " of " + std::string(what);
  }
  found.character = Describe(found.codePoint);
  found.message = found.place + ": " + found.character + " has no place in " + PageName();
  return found;
}

std::string RefusalToSeal(const UnrepresentableCharacter& found, bool inKey) {
  const std::string takenAs = Quoted(found.takenAs);
  // From the fields, not `message`: a caller may have placed it anew.
  const std::string message = found.place + ": " + found.character + " has no place in " + PageName();
  if (!inKey) return message + (found.bestFit ? " and would become " + takenAs : " and would be lost");
  if (!found.bestFit) return message + " and would be sealed as " + takenAs;
  return message + " and would be sealed as its look-alike " + takenAs +
         ", as Windows does; the same key typed under another code page would not open the message";
}

std::vector<std::string> KeyConversionWarnings(std::u16string_view key, std::u16string_view keySuffix) {
  std::vector<std::string> lines;
  std::vector<char32_t> seen;
  for (const std::u16string_view text : {key, keySuffix}) {
    std::size_t offset = 0;
    while (const auto found = FindUnrepresentableCharacter(text.substr(offset))) {
      offset += found->index + found->units;
      if (std::find(seen.begin(), seen.end(), found->codePoint) != seen.end()) continue;
      seen.push_back(found->codePoint);
      lines.push_back(found->bestFit ? found->character + " is not in " + PageName() + "; it was taken as " +
                                           Quoted(found->takenAs) + ", as Windows does"
                                     : found->character + " has no place in " + PageName() + " and was taken as " +
                                           Quoted(found->takenAs));
    }
  }
  return lines;
}

}  // namespace trirotor::platform
