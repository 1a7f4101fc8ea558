// SPDX-License-Identifier: MIT
//
// codepage.cpp - wide text to bytes and back through a single-byte code page.
//
// The engine needs every byte to stand for exactly one character and that
// character to give the same byte back, so the tables are built once per code
// page from the system's iconv, with the bytes a page leaves unassigned
// standing for U+0000 + byte (in Windows-1252: 81, 8D, 8F, 90 and 9D). The
// reverse table covers every UTF-16 unit, so a conversion is one look-up per
// character; a unit the page cannot hold becomes '?'.

#include <iconv.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/platform.h"

namespace trirotor::platform {
namespace {

constexpr int kDefaultCodePage = 1252;
constexpr std::uint8_t kUnmappable = 0x3F;  // '?'

struct CodePageTable {
  int codePage = 0;
  std::array<char16_t, 256> toWide{};
  std::array<std::uint8_t, 65536> fromWide{};
};

// Pages the engine cannot use because a character may take several bytes.
bool IsKnownMultiByte(int codePage) {
  switch (codePage) {
    case 932: case 936: case 949: case 950: case 1200: case 1201: case 1361:
    case 12000: case 12001: case 20932: case 20936: case 51932: case 51949:
    case 54936: case 65000: case 65001:
      return true;
    default:
      return codePage >= 50220 && codePage <= 50229;
  }
}

std::string IconvName(int codePage) {
  if (codePage >= 28591 && codePage <= 28599) return "ISO-8859-" + std::to_string(codePage - 28590);
  if (codePage == 28603) return "ISO-8859-13";
  if (codePage == 28605) return "ISO-8859-15";
  return "CP" + std::to_string(codePage);
}

[[noreturn]] void RefuseMultiByte(int codePage) {
  throw std::invalid_argument("code page " + std::to_string(codePage) +
                              " is a multi-byte code page; the engine needs one byte per character");
}

std::unique_ptr<CodePageTable> BuildTable(int codePage) {
  if (IsKnownMultiByte(codePage)) RefuseMultiByte(codePage);
  if (codePage <= 0) throw std::invalid_argument("unknown code page " + std::to_string(codePage));
  const std::string name = IconvName(codePage);
  iconv_t cd = iconv_open("UTF-16LE", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw std::invalid_argument("unknown code page " + std::to_string(codePage) +
                                " (the system's iconv has no " + name + ")");
  }
  auto table = std::make_unique<CodePageTable>();
  table->codePage = codePage;
  bool multiByte = false;
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    char out[16];
    char* inPtr = &in;
    char* outPtr = out;
    std::size_t inLeft = 1;
    std::size_t outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // fresh shift state for each byte
    const std::size_t converted = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const int error = converted == static_cast<std::size_t>(-1) ? errno : 0;
    if (error == 0) iconv(cd, nullptr, nullptr, &outPtr, &outLeft);  // pages that hold back a base letter
    if (error == EINVAL) multiByte = true;  // an incomplete sequence: a lead byte
    const std::size_t produced = sizeof out - outLeft;
    char16_t wide = static_cast<char16_t>(b);  // unassigned: the byte's own value
    if (error == 0 && produced == 2) {
      wide = static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                                   (static_cast<unsigned char>(out[1]) << 8));
    }
    table->toWide[b] = wide;
  }
  iconv_close(cd);
  if (multiByte) RefuseMultiByte(codePage);

  table->fromWide.fill(kUnmappable);
  std::array<bool, 65536> taken{};
  for (int b = 0; b < 256; ++b) {
    char16_t wide = table->toWide[b];
    // An unassigned byte whose stand-in another byte already holds gets a
    // private-use character instead, so that the mapping stays one to one.
    if (taken[wide]) wide = static_cast<char16_t>(0xF700 + b);
    table->toWide[b] = wide;
    taken[wide] = true;
    table->fromWide[wide] = static_cast<std::uint8_t>(b);
  }
  return table;
}

std::mutex tablesMutex;
std::map<int, std::unique_ptr<CodePageTable>>& Tables() {
  static std::map<int, std::unique_ptr<CodePageTable>> tables;
  return tables;
}

// Built tables are kept for the life of the process, so a pointer to one
// stays valid after the page is switched.
const CodePageTable* LoadTable(int codePage) {
  std::lock_guard<std::mutex> lock(tablesMutex);
  auto& tables = Tables();
  auto it = tables.find(codePage);
  if (it == tables.end()) it = tables.emplace(codePage, BuildTable(codePage)).first;
  return it->second.get();
}

std::atomic<const CodePageTable*> current{nullptr};

const CodePageTable& Current() {
  const CodePageTable* table = current.load(std::memory_order_acquire);
  if (table == nullptr) {
    const CodePageTable* fallback = LoadTable(kDefaultCodePage);
    current.compare_exchange_strong(table, fallback, std::memory_order_acq_rel);
    table = current.load(std::memory_order_acquire);
  }
  return *table;
}

}  // namespace

void SetCodePage(int codePage) { current.store(LoadTable(codePage), std::memory_order_release); }

int CodePage() { return Current().codePage; }

bool IsCodePageSupported(int codePage) {
  try {
    LoadTable(codePage);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

void TextToBytes(std::u16string_view text, std::uint8_t* out) {
  const auto& fromWide = Current().fromWide;
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = fromWide[text[i]];
}

ByteBuffer TextToBytes(std::u16string_view text) {
  ByteBuffer bytes(text.size());
  TextToBytes(text, bytes.data());
  return bytes;
}

std::u16string BytesToText(const std::uint8_t* bytes, std::size_t count) {
  const auto& toWide = Current().toWide;
  std::u16string text(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) text[i] = toWide[bytes[i]];
  return text;
}

std::uint8_t AnsiCode(char16_t ch) { return Current().fromWide[ch]; }

bool IsRepresentable(char16_t ch) {
  const CodePageTable& table = Current();
  return table.toWide[table.fromWide[ch]] == ch;
}

std::size_t FindUnrepresentable(std::u16string_view text) {
  const CodePageTable& table = Current();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t ch = text[i];
    if (ch < 0x80 && table.toWide[ch] == ch) continue;  // ASCII, in every page but EBCDIC
    if (table.toWide[table.fromWide[ch]] != ch) return i;
  }
  return std::u16string_view::npos;
}

}  // namespace trirotor::platform
