// SPDX-License-Identifier: MIT
//
// iconv_tables.cpp - iconv for the WebAssembly build, from tables made on
// the build machine.
//
// The platform layer builds the tables of the pages that are not Windows'
// own (the DOS pages, ISO-8859-n, KOI8) through iconv, one byte at a time.
// The C library under WebAssembly lacks some of them and fills gaps
// differently, so the page would not open messages as the native tool does.
// Instead this iconv replays what the build machine's iconv answered for
// every byte of those pages (gen_codepages.py), through the same calls. It
// converts from those pages to UTF-16LE and nothing else.

#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

enum Outcome : std::uint8_t { kOk, kIllegal, kIncomplete };

struct ByteEntry {
  Outcome outcome;
  std::uint8_t length;  // UTF-16LE bytes produced
  std::uint8_t bytes[8];
};

struct PageTable {
  const char* name;
  ByteEntry entries[256];
};

#include "codepage_tables.inc"

// "cp1252", "WINDOWS-1252" -> "CP1252"; "iso8859-1", "ISO_8859-1" -> "ISO-8859-1".
std::string Canonical(const char* name) {
  std::string upper;
  for (const char* p = name; *p != '\0' && *p != '/'; ++p) {
    upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
  }
  if (upper.rfind("WINDOWS-", 0) == 0) return "CP" + upper.substr(8);
  for (const char* prefix : {"ISO8859-", "ISO_8859-", "ISO8859_"}) {
    const std::size_t length = std::strlen(prefix);
    if (upper.compare(0, length, prefix) == 0) return "ISO-8859-" + upper.substr(length);
  }
  return upper;
}

}  // namespace

extern "C" {

iconv_t iconv_open(const char* to, const char* from) {
  if (Canonical(to) != "UTF-16LE") {
    errno = EINVAL;
    return reinterpret_cast<iconv_t>(-1);
  }
  const std::string page = Canonical(from);
  for (const PageTable& table : kPageTables) {
    if (page == table.name) return reinterpret_cast<iconv_t>(const_cast<PageTable*>(&table));
  }
  errno = EINVAL;
  return reinterpret_cast<iconv_t>(-1);
}

// Single-byte pages hold no state: a reset or a flush produces nothing.
std::size_t iconv(iconv_t cd, char** in, std::size_t* inLeft, char** out, std::size_t* outLeft) {
  if (in == nullptr || *in == nullptr) return 0;
  const auto* table = reinterpret_cast<const PageTable*>(cd);
  while (*inLeft > 0) {
    const ByteEntry& entry = table->entries[static_cast<unsigned char>(**in)];
    if (entry.outcome != kOk) {
      errno = entry.outcome == kIllegal ? EILSEQ : EINVAL;
      return static_cast<std::size_t>(-1);
    }
    if (*outLeft < entry.length) {
      errno = E2BIG;
      return static_cast<std::size_t>(-1);
    }
    std::memcpy(*out, entry.bytes, entry.length);
    *out += entry.length;
    *outLeft -= entry.length;
    ++*in;
    --*inLeft;
  }
  return 0;
}

int iconv_close(iconv_t) { return 0; }

}  // extern "C"
