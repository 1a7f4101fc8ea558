// SPDX-License-Identifier: MIT
//
// codepage.cpp - wide text to bytes and back through a single-byte code page.
//
// The engine needs every byte to stand for exactly one character and that
// character to give the same byte back, so the tables are built once per code
// page and kept for the life of the process. The reverse table covers every
// UTF-16 unit, so a conversion is one look-up per character.
//
// Windows' ANSI pages (874, 1250 to 1258) convert as Windows converts them,
// from Microsoft's own tables (windows_codepages.inc): a character the page
// lacks becomes Windows' look-alike where it has one ("best fit": 'ł' is 'l'
// under 1252), else '?'. The other pages come from the system's iconv
// (MultiByteToWideChar on Windows):
// bytes a page assigns come first; a byte the page leaves unassigned stands
// for U+0000 + byte when no assigned byte holds that character, and for
// U+F700 + byte when one does; a unit the page cannot hold becomes '?'.
//
// Each thread has its own page (1252 until it sets one), so that threads
// may decode side by side under different pages; the tables they point to
// are shared and never change once built.

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cctype>
#include <charconv>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/codepage_tables.h"
#include "platform/platform.h"

namespace trirotor::platform {
namespace {

constexpr int kDefaultCodePage = 1252;
constexpr std::uint8_t kUnmappable = 0x3F;  // '?'

struct CodePageTable {
  int codePage = 0;
  std::array<char16_t, 256> toWide{};
  std::array<std::uint8_t, 65536> fromWide{};
  std::bitset<65536> bestFit;  // fromWide holds Windows' look-alike of the unit
};

// Microsoft's tables: each byte's character, and the characters the page
// lacks that Windows writes as a look-alike's byte.
struct BestFit {
  char16_t unit;
  std::uint8_t byte;
};
struct WindowsTable {
  int number;
  const char16_t* characters;  // 256 of them
  const BestFit* bestFit;
  std::size_t bestFitCount;
};
#include "platform/windows_codepages.inc"

const WindowsTable* FindWindowsTable(int codePage) {
  for (const WindowsTable& table : kWindowsTables) {
    if (table.number == codePage) return &table;
  }
  return nullptr;
}

// The pages offered to users, with the names they know them by. Each is
// shown only when the system's iconv has it.
constexpr CodePageInfo kKnownPages[] = {
    {437, "CP437", "DOS United States", false},
    {737, "CP737", "DOS Greek", false},
    {775, "CP775", "DOS Baltic", false},
    {850, "CP850", "DOS Western European", false},
    {852, "CP852", "DOS Central European", false},
    {855, "CP855", "DOS Cyrillic", false},
    {857, "CP857", "DOS Turkish", false},
    {858, "CP858", "DOS Western European with euro", false},
    {860, "CP860", "DOS Portuguese", false},
    {861, "CP861", "DOS Icelandic", false},
    {862, "CP862", "DOS Hebrew", false},
    {863, "CP863", "DOS Canadian French", false},
    {865, "CP865", "DOS Nordic", false},
    {866, "CP866", "DOS Russian", false},
    {869, "CP869", "DOS Modern Greek", false},
    {874, "windows-874", "Thai", true},
    {1250, "windows-1250", "Central European", true},
    {1251, "windows-1251", "Cyrillic", true},
    {1252, "windows-1252", "Western", true},
    {1253, "windows-1253", "Greek", true},
    {1254, "windows-1254", "Turkish", true},
    {1255, "windows-1255", "Hebrew", true},
    {1256, "windows-1256", "Arabic", true},
    {1257, "windows-1257", "Baltic", true},
    {1258, "windows-1258", "Vietnamese", true},
    {20866, "KOI8-R", "Russian", false},
    {21866, "KOI8-U", "Ukrainian", false},
    {28591, "ISO-8859-1", "Latin 1, Western", false},
    {28592, "ISO-8859-2", "Latin 2, Central European", false},
    {28593, "ISO-8859-3", "Latin 3, South European", false},
    {28594, "ISO-8859-4", "Latin 4, Baltic", false},
    {28595, "ISO-8859-5", "Cyrillic", false},
    {28596, "ISO-8859-6", "Arabic", false},
    {28597, "ISO-8859-7", "Greek", false},
    {28598, "ISO-8859-8", "Hebrew", false},
    {28599, "ISO-8859-9", "Latin 5, Turkish", false},
    {28600, "ISO-8859-10", "Latin 6, Nordic", false},
    {28601, "ISO-8859-11", "Thai", false},
    {28603, "ISO-8859-13", "Latin 7, Baltic", false},
    {28604, "ISO-8859-14", "Latin 8, Celtic", false},
    {28605, "ISO-8859-15", "Latin 9, Western with euro", false},
    {28606, "ISO-8859-16", "Latin 10, South-Eastern European", false},
};

// Pages the engine cannot use because a character may take several bytes.
bool IsKnownMultiByte(int codePage) {
  switch (codePage) {
    case 932:
    case 936:
    case 949:
    case 950:
    case 1200:
    case 1201:
    case 1361:
    case 12000:
    case 12001:
    case 20932:
    case 20936:
    case 51932:
    case 51949:
    case 54936:
    case 65000:
    case 65001: return true;
    default: return codePage >= 50220 && codePage <= 50229;
  }
}

#if !defined(_WIN32)
// The ISO-8859 part number of a page number (2859x, 2860x: 28590 + part;
// there is no part 12), or 0.
int IsoPart(int codePage) {
  if (codePage >= 28591 && codePage <= 28606 && codePage != 28602) return codePage - 28590;
  return 0;
}

std::string IconvName(int codePage) {
  if (const int part = IsoPart(codePage)) return "ISO-8859-" + std::to_string(part);
  if (codePage == 20866) return "KOI8-R";
  if (codePage == 21866) return "KOI8-U";
  return "CP" + std::to_string(codePage);
}
#endif

[[noreturn]] void RefuseMultiByte(int codePage) {
  throw std::invalid_argument("code page " + std::to_string(codePage) +
                              " is a multi-byte code page; the engine needs one byte per character");
}

// What iconv says each byte is; 0xFFFF marks a byte the page leaves
// unassigned (U+FFFF is no character, so no page assigns it).
constexpr char16_t kUnassigned = 0xFFFF;

#if defined(_WIN32)
// Windows' own converter: each byte on its own, a byte the page leaves
// unassigned refused (MB_ERR_INVALID_CHARS) rather than guessed.
std::array<char16_t, 256> AssignedCharacters(int codePage) {
  if (IsKnownMultiByte(codePage)) RefuseMultiByte(codePage);
  if (codePage <= 0 || codePage > 65535 || !IsValidCodePage(static_cast<UINT>(codePage))) {
    throw std::invalid_argument("unknown code page " + std::to_string(codePage) + " (the system has no code page " +
                                std::to_string(codePage) + ")");
  }
  CPINFO info{};
  if (GetCPInfo(static_cast<UINT>(codePage), &info) && info.MaxCharSize != 1) RefuseMultiByte(codePage);
  std::array<char16_t, 256> assigned{};
  for (int b = 0; b < 256; ++b) {
    const char in = static_cast<char>(b);
    wchar_t out[4];
    const int produced = MultiByteToWideChar(static_cast<UINT>(codePage), MB_ERR_INVALID_CHARS, &in, 1, out, 4);
    assigned[b] = produced == 1 ? static_cast<char16_t>(out[0]) : kUnassigned;
  }
  return assigned;
}
#else
std::array<char16_t, 256> AssignedCharacters(int codePage) {
  if (IsKnownMultiByte(codePage)) RefuseMultiByte(codePage);
  if (codePage <= 0) throw std::invalid_argument("unknown code page " + std::to_string(codePage));
  const std::string name = IconvName(codePage);
  iconv_t cd = iconv_open("UTF-16LE", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw std::invalid_argument("unknown code page " + std::to_string(codePage) + " (the system's iconv has no " +
                                name + ")");
  }
  std::array<char16_t, 256> assigned{};
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
    if (error == EINVAL) multiByte = true;                           // an incomplete sequence: a lead byte
    const std::size_t produced = sizeof out - outLeft;
    assigned[b] = kUnassigned;
    if (error == 0 && produced == 2) {
      assigned[b] =
          static_cast<char16_t>(static_cast<unsigned char>(out[0]) | (static_cast<unsigned char>(out[1]) << 8));
    }
  }
  iconv_close(cd);
  if (multiByte) RefuseMultiByte(codePage);
  return assigned;
}
#endif

std::unique_ptr<CodePageTable> BuildTable(int codePage) {
  auto table = std::make_unique<CodePageTable>();
  table->codePage = codePage;
  table->toWide = trirotor::internal::CodePageCharacters(codePage);
  table->fromWide.fill(kUnmappable);
  if (const WindowsTable* windows = FindWindowsTable(codePage)) {
    for (std::size_t i = 0; i < windows->bestFitCount; ++i) {
      const BestFit& fit = windows->bestFit[i];
      table->fromWide[fit.unit] = fit.byte;
      table->bestFit.set(fit.unit);
    }
  }
  for (int b = 0; b < 256; ++b) table->fromWide[table->toWide[b]] = static_cast<std::uint8_t>(b);
  return table;
}

bool IsAsciiCompatible(const CodePageTable& table) {
  for (char16_t ch = 0x20; ch <= 0x7E; ++ch) {
    if (table.toWide[ch] != ch) return false;
  }
  return true;
}

std::mutex tablesMutex;
std::map<int, std::unique_ptr<CodePageTable>>& Tables() {
  static std::map<int, std::unique_ptr<CodePageTable>> tables;
  return tables;
}

// Built tables are kept for the life of the process, so a pointer to one
// stays valid after any thread switches pages.
const CodePageTable* LoadAnyTable(int codePage) {
  std::lock_guard<std::mutex> lock(tablesMutex);
  auto& tables = Tables();
  auto it = tables.find(codePage);
  if (it == tables.end()) it = tables.emplace(codePage, BuildTable(codePage)).first;
  return it->second.get();
}

// A page whose printable ASCII bytes are not ASCII would move the base64
// alphabet: the tool could not open what it seals under it.
const CodePageTable* LoadTable(int codePage) {
  const CodePageTable* table = LoadAnyTable(codePage);
  if (!IsAsciiCompatible(*table)) {
    throw std::invalid_argument("code page " + std::to_string(codePage) +
                                " is not ASCII-compatible (its bytes 0x20 to 0x7E are not the ASCII "
                                "characters); the engine needs a page that is");
  }
  return table;
}

const CodePageTable* DefaultTable() {
  static const CodePageTable* const table = LoadTable(kDefaultCodePage);
  return table;
}

thread_local const CodePageTable* current = nullptr;

const CodePageTable& Current() {
  if (current == nullptr) current = DefaultTable();
  return *current;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

// Drops `prefix` (any case) from the front of `name`; false if it is not there.
bool DropPrefix(std::string_view& name, std::string_view prefix) {
  if (name.size() < prefix.size() || !EqualsIgnoringCase(name.substr(0, prefix.size()), prefix)) return false;
  name.remove_prefix(prefix.size());
  return true;
}

// A whole decimal number of at most five digits, or -1.
int Number(std::string_view digits) {
  int value = 0;
  if (digits.empty() || digits.size() > 5) return -1;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return -1;
  return value;
}

}  // namespace
}  // namespace trirotor::platform

namespace trirotor::internal {
using platform::kUnassigned;

std::array<char16_t, 256> CodePageCharacters(int codePage) {
  std::array<char16_t, 256> characters{};
  if (const platform::WindowsTable* windows = platform::FindWindowsTable(codePage)) {
    std::copy_n(windows->characters, characters.size(), characters.begin());
    return characters;
  }
  characters = platform::AssignedCharacters(codePage);
  std::array<bool, 65536> taken{};
  // Assigned bytes first, in byte order; should a page give one character
  // to two bytes, the second gets a private-use character.
  for (int b = 0; b < 256; ++b) {
    char16_t& wide = characters[b];
    if (wide == kUnassigned) continue;
    if (taken[wide]) wide = static_cast<char16_t>(0xF700 + b);
    taken[wide] = true;
  }
  // Then the unassigned bytes: their own value where it is free.
  for (int b = 0; b < 256; ++b) {
    char16_t& wide = characters[b];
    if (wide != kUnassigned) continue;
    wide = static_cast<char16_t>(b);
    if (taken[wide]) wide = static_cast<char16_t>(0xF700 + b);
    taken[wide] = true;
  }
  return characters;
}

void SetAnySingleByteCodePage(int codePage) { platform::current = platform::LoadAnyTable(codePage); }

}  // namespace trirotor::internal

namespace trirotor::platform {

void SetCodePage(int codePage) { current = LoadTable(codePage); }

int CodePage() { return Current().codePage; }

bool IsCodePageSupported(int codePage) {
  try {
    LoadTable(codePage);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

const std::vector<CodePageInfo>& SupportedCodePages() {
  static const std::vector<CodePageInfo> pages = [] {
    std::vector<CodePageInfo> found;
    for (const CodePageInfo& page : kKnownPages) {
      if (IsCodePageSupported(page.number)) found.push_back(page);
    }
    return found;
  }();
  return pages;
}

std::optional<int> ParseCodePageName(std::string_view name) {
  if (const int number = Number(name); number > 0) return number;
  std::string_view rest = name;
  if (DropPrefix(rest, "windows-") || DropPrefix(rest, "windows") || DropPrefix(rest, "cp") ||
      DropPrefix(rest, "ibm")) {
    if (const int number = Number(rest); number > 0) return number;
    return std::nullopt;
  }
  rest = name;
  if (DropPrefix(rest, "iso-8859-") || DropPrefix(rest, "iso8859-") || DropPrefix(rest, "iso_8859-") ||
      DropPrefix(rest, "iso8859")) {
    const int part = Number(rest);
    if (part >= 1 && part <= 16 && part != 12) return 28590 + part;
    return std::nullopt;
  }
  for (const CodePageInfo& page : kKnownPages) {
    if (EqualsIgnoringCase(name, page.name)) return page.number;  // KOI8-R, KOI8-U
  }
  return std::nullopt;
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

bool IsBestFit(char16_t ch) { return Current().bestFit.test(ch); }

std::size_t FindUnrepresentable(std::u16string_view text) {
  const CodePageTable& table = Current();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t ch = text[i];
    if (ch < 0x80 && table.toWide[ch] == ch) continue;  // ASCII, as in every page taken
    if (table.toWide[table.fromWide[ch]] != ch) return i;
  }
  return std::u16string_view::npos;
}

}  // namespace trirotor::platform
