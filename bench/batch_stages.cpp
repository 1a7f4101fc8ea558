// SPDX-License-Identifier: MIT
//
// batch_stages.cpp - where the time of one batch record goes.
//
//   trirotor_batch_stages FILE    (sealed JSON lines, each with its own "key")
//
// Runs every record through the stages that `decode --jsonl` runs, one after
// another on this thread, and times each stage with the steady clock: JSON
// parse, the UTF conversions (key and suffix to UTF-16, the message into a
// buffer), base64, InitCipher, DecryptBuffer, the container (frame check and
// expansion) and the JSON write of the answer. Prints microseconds per record
// and each stage's share; the clock's own cost (some 20 ns a reading) is in
// the figures. Also counts the stored and the Huffman containers, and, for
// comparison with the JSON parse, times simdjson's on-demand parser visiting
// every top-level field of the same lines (its fastest use, which checks
// less than the tool's reader does).

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <simdjson.h>

#include "records/records.h"
#include "engine/internal.h"
#include "engine/trirotor.h"
#include "support/utf8.h"

namespace trirotor::bench {
namespace {

using namespace internal;

using Clock = std::chrono::steady_clock;

enum Stage { kParse, kUtf, kBase64, kInitCipher, kDecrypt, kContainer, kWrite, kStages };
constexpr const char* kStageNames[kStages] = {"JSON parse",    "UTF conversions", "base64",    "InitCipher",
                                              "DecryptBuffer", "container",       "JSON write"};

int Run(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "trirotor_batch_stages: cannot open %s\n", path);
    return 2;
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));

  records::RecordReader reader("message");
  const records::TextEscapes escapes;
  double seconds[kStages] = {};
  std::size_t stored = 0, compressed = 0, failed = 0;
  std::string out;
  for (std::string& line : lines) {
    auto last = Clock::now();
    const auto lap = [&](Stage stage) {
      const auto now = Clock::now();
      seconds[stage] += std::chrono::duration<double>(now - last).count();
      last = now;
    };
    records::RecordFields fields;
    std::string problem;
    if (!reader.Read(line, fields, problem) || !fields.input || !fields.key) {
      ++failed;
      continue;
    }
    lap(kParse);
    std::u16string key, suffix;
    std::size_t bad = 0;
    support::DecodeUtf8(*fields.key, key, bad);
    if (fields.suffix) support::DecodeUtf8(*fields.suffix, suffix, bad);
    ByteBuffer buffer(fields.input->begin(), fields.input->end());
    lap(kUtf);
    DecodeBase64InPlace(buffer);
    lap(kBase64);
    InitCipher(key, suffix);
    lap(kInitCipher);
    DecryptBuffer(buffer);
    lap(kDecrypt);
    const std::optional<FrameSpan> payload = CheckFrame(buffer.data(), buffer.size());
    if (!payload) {
      ++failed;
      continue;
    }
    platform::BlockCopy(buffer.data(), buffer.data() + payload->offset, payload->length);
    buffer.resize(payload->length);
    (buffer.size() > 2 && buffer[2] == '0' ? stored : compressed) += 1;
    LastError = 0;
    HuffmanDecode(buffer, static_cast<std::int32_t>(buffer.size()));
    lap(kContainer);
    out.clear();
    out += "{\"id\":";
    out += *fields.id;
    out += ",\"text\":";
    escapes.AppendQuoted(out, buffer.data(), buffer.size());
    out += "}\n";
    lap(kWrite);
  }

  // simdjson on demand, for comparison: iterate, then take each field's raw token.
  double onDemand = 0;
  {
    simdjson::ondemand::parser parser;
    std::size_t sink = 0;
    for (const std::string& line : lines) {
      const auto start = Clock::now();
      simdjson::padded_string padded(line);  // its padding: the copy is part of the cost
      simdjson::ondemand::document document;
      simdjson::ondemand::object object;
      if (!parser.iterate(padded).get(document) && !document.get_object().get(object)) {
        for (auto field : object) {
          std::string_view name;
          simdjson::ondemand::value value;
          if (field.unescaped_key().get(name) || field.value().get(value)) break;
          sink += name.size() + value.raw_json_token().size();
        }
      }
      onDemand += std::chrono::duration<double>(Clock::now() - start).count();
    }
    if (sink == 0) std::printf("(nothing parsed)\n");
  }

  double total = 0;
  for (double s : seconds) total += s;
  const double records = static_cast<double>(lines.size() - failed);
  std::printf("%zu records (%zu stored, %zu Huffman, %zu failed)\n", lines.size(), stored, compressed, failed);
  for (int s = 0; s < kStages; ++s) {
    std::printf("  %-16s %8.2f us  %5.1f %%\n", kStageNames[s], 1e6 * seconds[s] / records,
                total > 0 ? 100 * seconds[s] / total : 0.0);
  }
  std::printf("  %-16s %8.2f us  (%.0f records/s)\n", "total", 1e6 * total / records, records / total);
  std::printf("  (simdjson on demand over the same lines: %.2f us)\n", 1e6 * onDemand / records);
  return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace trirotor::bench

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trirotor_batch_stages FILE\n");
    return 2;
  }
  return trirotor::bench::Run(argv[1]);
}
