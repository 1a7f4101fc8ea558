// SPDX-License-Identifier: MIT
//
// make_corpus.cpp - writes the fuzz targets' seed corpora.
//
//   fuzz_make_corpus tests/data/vectors.jsonl fuzz/corpus
//
// Seeds start the fuzzer deep inside the format: real messages from the
// conformance vectors (each with its key and suffix), the containers inside
// them, and messages the encoder seals. Each seed is laid out as its target
// reads its input (see the header of each fuzz_*.cpp). Vectors over
// kMaxMessage characters are left out to keep the repository small.

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/utf8.h"
#include "engine/internal.h"
#include "engine/trirotor.h"

using namespace trirotor;
using namespace trirotor::internal;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxMessage = 1500;

std::u16string FromUtf8(const std::string& s) {
  std::u16string out;
  std::size_t bad = 0;
  if (!support::DecodeUtf8(s, out, bad))
    throw std::runtime_error("invalid UTF-8 in the vectors at byte " + std::to_string(bad));
  return out;
}

bool IsNarrow(std::u16string_view text) {
  for (char16_t ch : text)
    if (ch > 0xFF) return false;
  return true;
}

void PutText(std::vector<std::uint8_t>& out, std::u16string_view text, bool wide) {
  for (char16_t ch : text) {
    out.push_back(static_cast<std::uint8_t>(ch & 0xFF));
    if (wide) out.push_back(static_cast<std::uint8_t>(ch >> 8));
  }
}

void PutU16(std::vector<std::uint8_t>& out, std::size_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8 & 0xFF));
}

void Write(const fs::path& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// decode_text and differential: flags, abort pause, key and suffix lengths,
// key, suffix, message.
std::vector<std::uint8_t> MessageSeed(std::u16string_view message, std::u16string_view key, std::u16string_view suffix,
                                      std::uint8_t extraFlags = 0, std::uint8_t abortAt = 255) {
  const bool wideMessage = !IsNarrow(message);
  const bool wideKey = !IsNarrow(key) || !IsNarrow(suffix);
  std::vector<std::uint8_t> out{static_cast<std::uint8_t>((wideMessage ? 1 : 0) | (wideKey ? 2 : 0) | extraFlags),
                                abortAt};
  PutU16(out, key.size());
  PutU16(out, suffix.size());
  PutText(out, key, wideKey);
  PutText(out, suffix, wideKey);
  PutText(out, message, wideMessage);
  return out;
}

// huffman_decode: abort pause, flags, container.
std::vector<std::uint8_t> ContainerSeed(const ByteBuffer& container, std::uint8_t abortAt = 255) {
  std::vector<std::uint8_t> out{abortAt, 0};
  out.insert(out.end(), container.begin(), container.end());
  return out;
}

// round_trip: flags, wrap, header, key and suffix lengths, key, suffix, text.
std::vector<std::uint8_t> RoundTripSeed(std::u16string_view text, std::u16string_view key, std::u16string_view suffix,
                                        std::uint8_t wrap) {
  const bool wideText = !IsNarrow(text);
  const bool wideKey = !IsNarrow(key) || !IsNarrow(suffix);
  std::vector<std::uint8_t> out{static_cast<std::uint8_t>((wideText ? 1 : 0) | (wideKey ? 2 : 0)), wrap};
  for (int i = 0; i < 16; ++i) out.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  out.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(key.size(), 255)));
  out.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(suffix.size(), 255)));
  PutText(out, key.substr(0, 255), wideKey);
  PutText(out, suffix.substr(0, 255), wideKey);
  PutText(out, text, wideText);
  return out;
}

// key_group (its layout is in fuzz_key_group.cpp): flags, candidates, the
// frame, then each candidate's key pattern, length and suffix.
struct GroupCandidate {
  std::u16string_view pattern;
  std::size_t length;
  std::u16string_view suffix;
};
std::vector<std::uint8_t> KeyGroupSeed(std::uint8_t flags, const ByteBuffer& frame,
                                       const std::vector<GroupCandidate>& candidates) {
  std::vector<std::uint8_t> out{flags, static_cast<std::uint8_t>(candidates.size() - 1)};
  PutU16(out, frame.size());
  out.insert(out.end(), frame.begin(), frame.end());
  for (const GroupCandidate& c : candidates) {
    out.push_back(static_cast<std::uint8_t>(c.pattern.size()));
    PutText(out, c.pattern, (flags & 2) != 0);
    PutU16(out, c.length);
    out.push_back(static_cast<std::uint8_t>(c.suffix.size()));
    PutText(out, c.suffix, (flags & 2) != 0);
  }
  return out;
}

// The key group's seeds: frames whose header is 2, 16 and 255 bytes long
// around a container's identification, sealed under the first of groups of
// 1, 8, 9 and 64 keys of 1 to 600 characters; one with wide keys, one with a
// wrong identification, one with a key and a suffix the schedule refuses.
void WriteKeyGroupSeeds(const fs::path& dir) {
  auto frameWithHeader = [](std::size_t headerLength, std::string_view identification) {
    ByteBuffer frame(headerLength, 0x41);
    frame[0] = static_cast<std::uint8_t>(headerLength);
    frame.insert(frame.end(), identification.begin(), identification.end());
    frame.insert(frame.end(), {'p', 'l', 'a', 'i', 'n'});
    frame.push_back(frame[headerLength - 2]);
    frame.push_back(frame[headerLength - 1]);
    return frame;
  };
  auto keys = [](std::size_t count, std::u16string_view suffix) {
    std::vector<GroupCandidate> candidates;
    for (std::size_t i = 0; i < count; ++i) {
      candidates.push_back({i % 2 == 0 ? u"seed key" : u"k", 1 + i * 599 / std::max<std::size_t>(count - 1, 1),
                            i % 3 == 0 ? suffix : u""});
    }
    return candidates;
  };
  Write(dir, "one-key", KeyGroupSeed(1, frameWithHeader(16, "HE0\r"), keys(1, u"sfx")));
  Write(dir, "eight-keys", KeyGroupSeed(1, frameWithHeader(16, "HE3\r"), keys(8, u"suffix")));
  Write(dir, "nine-keys-long-header", KeyGroupSeed(1 | 4, frameWithHeader(255, "HE0\r"), keys(9, u"s")));
  Write(dir, "sixty-four-keys-short-header",
        KeyGroupSeed(1 | 8, frameWithHeader(2, "HE0\r"), keys(64, u"a long suffix of more than 23")));
  Write(
      dir, "wide-keys",
      KeyGroupSeed(1 | 2 | 12, frameWithHeader(16, "HE0\r"), {{u"\u0142\u65e5\u00e9", 40, u"\u20ac"}, {u"x", 3, u""}}));
  Write(dir, "wrong-identification", KeyGroupSeed(1, frameWithHeader(30, "HE1\r"), keys(8, u"")));
  Write(dir, "refused-keys",
        KeyGroupSeed(1, frameWithHeader(16, "HE0\r"), {{u"k", 5, u""}, {u"", 0, u""}, {u"k", 1, u"x"}}));
}

// The payload the frame of a message encloses, when it checks out.
bool PayloadOf(std::u16string_view message, std::u16string_view key, std::u16string_view suffix, ByteBuffer& payload) {
  try {
    ByteBuffer buffer = DecodeBase64Bytes(message);
    InitCipher(key, suffix);
    DecryptBuffer(buffer);
    const auto span = CheckFrame(buffer.data(), buffer.size());
    if (!span) return false;
    payload.assign(buffer.begin() + static_cast<std::ptrdiff_t>(span->offset),
                   buffer.begin() + static_cast<std::ptrdiff_t>(span->offset + span->length));
    return true;
  } catch (const EngineError&) {
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s VECTORS.jsonl CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const fs::path corpus = argv[2];
  std::ifstream vectors(argv[1]);
  if (!vectors) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  int index = 0;
  std::string line;
  while (std::getline(vectors, line)) {
    if (line.empty()) continue;
    const nlohmann::json v = nlohmann::json::parse(line);
    const std::u16string message = FromUtf8(v["message"].get<std::string>());
    const std::u16string key = FromUtf8(v["key"].get<std::string>());
    const std::u16string suffix = FromUtf8(v["suffix"].get<std::string>());
    if (message.size() > kMaxMessage || key.size() > 65535 || suffix.size() > 65535) continue;
    const std::string name = v["name"].get<std::string>();
    ++index;
    // The vectors come grouped by the rule they test, so a stride through
    // them keeps every group while keeping each corpus to a few dozen seeds.
    if (index % 3 == 0) Write(corpus / "fuzz_decode_text", name, MessageSeed(message, key, suffix));
    if (index % 4 == 1) Write(corpus / "fuzz_differential", name, MessageSeed(message, key, suffix));
    ByteBuffer payload;
    if (PayloadOf(message, key, suffix, payload)) {
      if (index % 2 == 0) Write(corpus / "fuzz_huffman_decode", name, ContainerSeed(payload));
      if (v["expect"] == "text" && v["last_error"] == 0) {
        const std::string hex = v["plain_hex"].get<std::string>();
        ByteBuffer plainBytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
          plainBytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        const std::u16string plain = platform::BytesToText(plainBytes);
        if (index % 2 == 1) {
          Write(corpus / "fuzz_round_trip", name,
                RoundTripSeed(plain, key, suffix, static_cast<std::uint8_t>(index % 3 == 0 ? 0 : 76)));
        }
      }
    }
  }

  // Sealed by the encoder: stored and compressed, empty, one distinct byte,
  // all 256 byte values, more than one pause stride, each with an abort.
  FrameHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i * 13 + 5);
  std::u16string allBytes;
  for (int b = 0; b < 256; ++b) allBytes += static_cast<char16_t>(b);
  allBytes = platform::BytesToText(platform::TextToBytes(allBytes));
  const std::pair<const char*, std::u16string> texts[] = {
      {"empty", u""},
      {"one-char", u"a"},
      {"one-distinct", std::u16string(300, u'z')},
      {"sentence", u"The frame's check pair guards the payload, twice over."},
      {"all-bytes", allBytes},
      {"long-compressible", std::u16string(12000, u'a') + u"bcdefg" + std::u16string(12000, u'b')},
  };
  for (const auto& [name, text] : texts) {
    const std::u16string sealed = EncodeText(text, u"seed key", u"seed suffix", header);
    Write(corpus / "fuzz_decode_text", std::string("sealed-") + name, MessageSeed(sealed, u"seed key", u"seed suffix"));
    Write(corpus / "fuzz_decode_text", std::string("sealed-abort-") + name,
          MessageSeed(sealed, u"seed key", u"seed suffix", 0, 1));
    Write(corpus / "fuzz_differential", std::string("sealed-abort-") + name,
          MessageSeed(sealed, u"seed key", u"seed suffix", 0, 2));
    const ByteBuffer plainBytes = platform::TextToBytes(text);
    const ByteBuffer container = HuffmanEncode(plainBytes.data(), plainBytes.size());
    Write(corpus / "fuzz_huffman_decode", std::string("encoded-") + name, ContainerSeed(container));
    Write(corpus / "fuzz_huffman_decode", std::string("encoded-abort-") + name, ContainerSeed(container, 0));
    // The raw container through the differential target (flag bit 7).
    std::vector<std::uint8_t> raw{0x80, 1, 0, 0, 0, 0};
    raw.insert(raw.end(), container.begin(), container.end());
    Write(corpus / "fuzz_differential", std::string("container-") + name, raw);
    Write(corpus / "fuzz_round_trip", std::string("text-") + name,
          RoundTripSeed(text.substr(0, 3000), u"round key", u"", 76));
  }

  // Long enough to pause: a stored text past two decryption strides, and a
  // Huffman-coded container past one data stride whose output passes two
  // checksum strides (16 byte values in a fixed pseudo-random order, so
  // storing would be smaller and HuffmanEncode would not choose it).
  std::string noise(12000, ' ');
  std::uint32_t state = 12345;
  for (char& c : noise) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(33 + (state >> 16) % 90);
  }
  const std::u16string longStored(noise.begin(), noise.end());
  const std::u16string sealedLong = EncodeText(longStored, u"seed key", u"", header, 0);
  Write(corpus / "fuzz_decode_text", "sealed-long-stored-abort", MessageSeed(sealedLong, u"seed key", u"", 0, 2));
  Write(corpus / "fuzz_differential", "sealed-long-stored-abort", MessageSeed(sealedLong, u"seed key", u"", 0, 1));

  ByteBuffer sixteen(25000);
  for (std::uint8_t& b : sixteen) {
    state = state * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>('a' + (state >> 16) % 16);
  }
  std::array<std::uint64_t, 256> counts{};
  for (std::uint8_t b : sixteen) ++counts[b];
  const ByteBuffer longCompressed = CompressContainer(sixteen.data(), sixteen.size(), HuffmanCodeLengths(counts));
  Write(corpus / "fuzz_huffman_decode", "compressed-pauses", ContainerSeed(longCompressed));
  Write(corpus / "fuzz_huffman_decode", "compressed-pauses-abort-in-data", ContainerSeed(longCompressed, 0));
  Write(corpus / "fuzz_huffman_decode", "compressed-pauses-abort-in-checksum", ContainerSeed(longCompressed, 2));
  std::vector<std::uint8_t> raw{0x80, 1, 0, 0, 0, 0};
  raw.insert(raw.end(), longCompressed.begin(), longCompressed.end());
  Write(corpus / "fuzz_differential", "container-pauses-abort", raw);
  WriteKeyGroupSeeds(corpus / "fuzz_key_group");
  return 0;
}
