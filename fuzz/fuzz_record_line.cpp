// SPDX-License-Identifier: MIT
//
// fuzz_record_line.cpp - batch mode's strict JSON-lines scanner on a
// hostile line, its block paths held to its plain one.
//
// The input is one record line. The scanner crosses string bodies sixteen
// bytes at a time (SSE2) and then eight (a word's bit tricks), and checks a
// line's UTF-8 with simdjson's vector code: each must reach exactly the
// verdict, the problem and the fields that the byte-at-a-time scan and the
// strict scalar UTF-8 decoder reach.

#include <simdjson.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "records/records.h"
#include "support/utf8.h"

using namespace trirotor;

namespace {

struct Reading {
  bool ok = false;
  std::string problem;
  std::string fields;  // every field as the reader gave it, one after another
};

void Note(std::string& out, const std::optional<std::string_view>& field) {
  out += field ? "[" + std::string(*field) + "]" : "-";
}

Reading Read(records::RecordReader& reader, std::string_view line) {
  Reading r;
  records::RecordFields fields;
  r.ok = reader.Read(line, fields, r.problem);
  if (!r.ok) return r;
  Note(r.fields, fields.id);
  Note(r.fields, fields.input);
  Note(r.fields, fields.key);
  Note(r.fields, fields.suffix);
  r.fields += fields.problem;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);

  std::u16string units;
  std::size_t bad = 0;
  if (simdjson::validate_utf8(line.data(), line.size()) != support::DecodeUtf8(line, units, bad)) std::abort();

  for (const char* input : {"message", "text"}) {
    records::RecordReader reader(input);
    records::internal::SetBlockScanning(true);
    const Reading blocks = Read(reader, line);
    records::internal::SetBlockScanning(false);
    const Reading plain = Read(reader, line);
    records::internal::SetBlockScanning(true);
    if (blocks.ok != plain.ok || blocks.problem != plain.problem || blocks.fields != plain.fields) std::abort();
  }
  (void)records::IsBlankLine(line);
  return 0;
}
