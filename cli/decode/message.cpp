// SPDX-License-Identifier: MIT
//
// message.cpp - a message file's bytes as the code page's bytes.
//
// A message is base64, so its file is nearly always ASCII and already the
// code page's form of the text: the engine decodes it in place. A message
// that passed through a word processor or an input method may hold other
// characters, and some of them count: under Windows' tables a fullwidth 'Ａ'
// is read as 'A', a digit as the legacy engine read it. So a message that is
// valid UTF-8 with anything past ASCII is read as text and turned into the
// page's bytes, as the engine turns a wide message; one that is not valid
// UTF-8 is taken as the page's bytes as they stand.

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "cli/decode/message.h"
#include "engine/trirotor.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

constexpr std::size_t kSlice = std::size_t{64} << 10;

bool IsAscii(const ByteBuffer& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b < 0x80; });
}

// The end of the slice that starts at `from`: before a character that
// starts in it, not inside one.
std::size_t SliceEnd(const ByteBuffer& bytes, std::size_t from) {
  std::size_t end = std::min(bytes.size(), from + kSlice);
  while (end < bytes.size() && end > from && (bytes[end] & 0xC0) == 0x80) --end;
  return end == from ? std::min(bytes.size(), from + kSlice) : end;
}

std::string_view Slice(const ByteBuffer& bytes, std::size_t from, std::size_t end) {
  return {reinterpret_cast<const char*>(bytes.data()) + from, end - from};
}

}  // namespace

MessageReading MessageToCodePage(ByteBuffer& message) {
  MessageReading reading;
  if (IsAscii(message)) return reading;
  std::u16string wide;
  std::size_t bad = 0;
  for (std::size_t from = 0; from < message.size();) {
    const std::size_t end = SliceEnd(message, from);
    wide.clear();
    if (!support::DecodeUtf8(Slice(message, from, end), wide, bad)) return reading;  // the page's own bytes
    from = end;
  }
  // Each character takes one byte and at least one byte of UTF-8, so the
  // bytes written never pass the ones still to read.
  std::map<char16_t, std::size_t> fits;
  std::size_t to = 0;
  for (std::size_t from = 0; from < message.size();) {
    const std::size_t end = SliceEnd(message, from);
    wide.clear();
    support::DecodeUtf8(Slice(message, from, end), wide, bad);
    for (const char16_t unit : wide) {
      if (unit >= 0x80 && platform::IsBestFit(unit)) ++fits[unit];
    }
    platform::TextToBytes(wide, message.data() + to);
    to += wide.size();
    from = end;
  }
  message.resize(to);
  for (const auto& [unit, count] : fits) {
    reading.bestFit += count;
    reading.commonBestFit.emplace_back(unit, count);
  }
  std::stable_sort(reading.commonBestFit.begin(), reading.commonBestFit.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  if (reading.commonBestFit.size() > 3) reading.commonBestFit.resize(3);
  return reading;
}

// Each byte stands for one character of the code page, so a table of the
// 256 characters' UTF-8 forms, made through the code page once, converts a
// slice at a time without any wide text.
void ForEachUtf8Slice(const ByteBuffer& plain, const std::function<void(std::string_view)>& take) {
  struct Form {
    std::uint8_t length;
    char bytes[3];  // a character of the Basic Multilingual Plane
  };
  std::array<Form, 256> forms{};
  for (int v = 0; v < 256; ++v) {
    const auto byte = static_cast<std::uint8_t>(v);
    const std::string utf8 = support::EncodeUtf8(platform::BytesToText(&byte, 1));
    forms[v].length = static_cast<std::uint8_t>(std::min<std::size_t>(utf8.size(), 3));
    std::copy_n(utf8.begin(), forms[v].length, forms[v].bytes);
  }
  constexpr std::size_t kSlice = std::size_t{32} << 10;
  std::string text(3 * kSlice, '\0');
  for (std::size_t at = 0; at < plain.size(); at += kSlice) {
    const std::size_t count = std::min(kSlice, plain.size() - at);
    char* o = text.data();
    for (std::size_t i = 0; i < count; ++i) {
      const Form& form = forms[plain[at + i]];
      std::memcpy(o, form.bytes, 3);  // whole, so that the copy has a fixed size
      o += form.length;
    }
    take(std::string_view(text.data(), static_cast<std::size_t>(o - text.data())));
  }
}


}  // namespace trirotor::cli
