// SPDX-License-Identifier: MIT
//
// bench_tool.cpp - compare.sh's helper: makes the inputs, and runs one stage
// over a file as a whole process, the way the peers' command-line tools do.
//
//   trirotor_bench_tool make-inputs DIR MEGABYTES
//   trirotor_bench_tool base64|decrypt|huffman|decode-bytes FILE  (result to stdout)
//   trirotor_bench_tool decode-text FILE  (times DecodeText; peak memory)
//
// decode-text reads the message as UTF-16, as a library caller holds it, and
// prints "cpu_seconds characters peak_bytes" for the decode alone; peak_bytes is
// the peak RSS less that of the program before it read the message, so it
// counts the caller's message, the result and everything in between.

#include <sys/resource.h>

#include <ctime>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "bench/bench_inputs.h"
#include "engine/internal.h"
#include "platform/big_buffer.h"
#include "engine/trirotor.h"

namespace trirotor::bench {
using namespace trirotor::internal;
namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "trirotor_bench_tool: %s\n", what.c_str());
  std::exit(2);
}

ByteBuffer ReadFile(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) Fail(std::string("cannot open ") + path);
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  ByteBuffer bytes;
  SizeFreshBuffer(bytes, static_cast<std::size_t>(size));  // as the engine sizes its own
  if (size > 0 && std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) Fail("short read");
  std::fclose(f);
  return bytes;
}

void WriteFile(const std::string& path, const void* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) Fail("cannot write " + path);
}

void WriteOut(const ByteBuffer& bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) Fail("cannot write stdout");
}

std::string Narrow(const std::u16string& ascii) { return std::string(ascii.begin(), ascii.end()); }

void MakeInputs(const std::string& dir, std::size_t megabytes) {
  const ByteBuffer plain = MakePlainText(megabytes << 20);
  WriteFile(dir + "/plain.txt", plain.data(), plain.size());
  FrameHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(0x30 + i);
  const std::string message = Narrow(EncodeText(platform::BytesToText(plain), kKey, kSuffix, header));
  WriteFile(dir + "/message.b64", message.data(), message.size());

  // The same message with about 5% junk between its digits.
  std::string junk;
  junk.reserve(message.size() * 21 / 20);
  std::mt19937 rng(11);
  static const char kJunk[] = " \t!-.*";
  for (char c : message) {
    if (rng() % 100 < 5) junk += kJunk[rng() % 6];
    junk += c;
  }
  WriteFile(dir + "/junk.b64", junk.data(), junk.size());

  // The ciphertext alone, for the stream-cipher peer.
  ByteBuffer cipher =
      message.empty() ? ByteBuffer() : DecodeBase64Bytes(std::u16string(message.begin(), message.end()));
  WriteFile(dir + "/cipher.bin", cipher.data(), cipher.size());

  const ByteBuffer container = HuffmanEncode(plain.data(), plain.size());
  WriteFile(dir + "/plain.he3", container.data(), container.size());

  // 100,000 short messages for the batch mode, each with its own key.
  std::string jsonl;
  for (int i = 0; i < 100000; ++i) {
    const ByteBuffer text = MakePlainText(80 + i % 400, static_cast<std::uint32_t>(i));
    const std::u16string key = u"key" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
    const std::string sealed = Narrow(EncodeText(platform::BytesToText(text), key, u"", header, 0));
    jsonl += "{\"id\":" + std::to_string(i) + ",\"message\":\"" + sealed + "\",\"key\":\"" + Narrow(key) + "\"}\n";
  }
  WriteFile(dir + "/batch.jsonl", jsonl.data(), jsonl.size());
}

long PeakRssBytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss * 1024L;
}

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void TimeDecodeText(const char* path) {
  const long baseline = PeakRssBytes();  // the program itself, before any message
  std::u16string message;
  {
    // Widened chunk by chunk, so that reading never holds the file twice.
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) Fail(std::string("cannot open ") + path);
    std::fseek(f, 0, SEEK_END);
    message.reserve(static_cast<std::size_t>(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    char chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) message.append(chunk, chunk + got);
    std::fclose(f);
  }
  // CPU time, as Google Benchmark reports it: on a shared machine the wall
  // clock also counts the neighbours.
  const double start = CpuSeconds();
  const std::u16string plain = DecodeText(message, kKey, kSuffix);
  const double seconds = CpuSeconds() - start;
  if (plain.empty() || LastError != 0) Fail("the message did not decode");
  std::printf("%.6f %zu %ld\n", seconds, message.size(), PeakRssBytes() - baseline);
}

int Main(int argc, char** argv) {
  if (argc < 3) Fail("usage: make-inputs DIR MB | base64|decrypt|huffman|decode-bytes|decode-text FILE");
  const std::string mode = argv[1];
  if (mode == "make-inputs" && argc == 4) {
    MakeInputs(argv[2], std::stoul(argv[3]));
  } else if (mode == "base64") {
    ByteBuffer bytes = ReadFile(argv[2]);
    DecodeBase64InPlace(bytes);
    WriteOut(bytes);
  } else if (mode == "decrypt") {
    ByteBuffer bytes = ReadFile(argv[2]);
    InitCipher(kKey, kSuffix);
    DecryptBuffer(bytes);
    WriteOut(bytes);
  } else if (mode == "huffman") {
    ByteBuffer bytes = ReadFile(argv[2]);
    HuffmanDecode(bytes, static_cast<std::int32_t>(bytes.size()));
    WriteOut(bytes);
  } else if (mode == "decode-bytes") {
    ByteBuffer plain = DecodeBytes(ReadFile(argv[2]), kKey, kSuffix);
    if (LastError != 0) Fail("the message did not decode");
    WriteOut(plain);
  } else if (mode == "decode-text") {
    TimeDecodeText(argv[2]);
  } else {
    Fail("unknown mode " + mode);
  }
  return 0;
}

}  // namespace
}  // namespace trirotor::bench

int main(int argc, char** argv) { return trirotor::bench::Main(argc, argv); }
