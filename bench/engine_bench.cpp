// SPDX-License-Identifier: MIT
//
// engine_bench.cpp - every stage beside its straightforward twin, and the
// whole decode beside the pipeline taken literally, as bytes per second.
//
// Inputs are built once, outside the timed loops, from bench_inputs.h; the
// hooks stay at their no-op defaults. BM_CopyBaseline (memcpy) and the twins
// run in the same binary, so figures can be quoted as ratios from one run.
// Bytes processed: message characters for base64 and whole decodes,
// ciphertext bytes for decryption, plain (output) bytes for Huffman and for
// encoding.

#include <benchmark/benchmark.h>

#include <time.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_inputs.h"
#include "engine/internal.h"
#include "engine/trirotor.h"

#if TRIROTOR_BENCH_LIBDEFLATE
#include <libdeflate.h>
#include <zlib.h>
#endif

namespace trirotor::bench {
using namespace trirotor::internal;
namespace {

constexpr std::size_t kStageBytes = 8 << 20;   // per-stage inputs
constexpr std::size_t kWholeBytes = 16 << 20;  // plain text of the whole decodes


ByteBuffer RandomBytes(std::size_t n) {
  std::mt19937 rng(7);
  ByteBuffer bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

// Base64 of kStageBytes random bytes in 76 columns; with `junkPercent`, that
// share of non-alphabet characters sprinkled between the digits.
const std::u16string& Base64Input(int junkPercent) {
  static std::u16string inputs[2];
  std::u16string& text = inputs[junkPercent != 0];
  if (text.empty()) {
    const ByteBuffer bytes = RandomBytes(kStageBytes * 3 / 4);
    const std::string clean = EncodeBase64(bytes.data(), bytes.size(), 76);
    std::mt19937 rng(11);
    static const char kJunk[] = " \t\r\n!-.*";
    for (char c : clean) {
      if (junkPercent != 0 && static_cast<int>(rng() % 100) < junkPercent) {
        text += static_cast<char16_t>(kJunk[rng() % 8]);
      }
      text += static_cast<char16_t>(c);
    }
  }
  return text;
}

void RunBase64(benchmark::State& state, ByteBuffer (*decode)(std::u16string_view)) {
  const std::u16string& text = Base64Input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    ByteBuffer bytes = decode(text);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel(state.range(0) ? "5% junk" : "clean, 76 columns");
}
void BM_DecodeBase64Bytes(benchmark::State& state) { RunBase64(state, DecodeBase64Bytes); }
void BM_DecodeBase64BytesSimple(benchmark::State& state) { RunBase64(state, DecodeBase64BytesSimple); }
BENCHMARK(BM_DecodeBase64Bytes)->Arg(0)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeBase64BytesSimple)->Arg(0)->Arg(5)->Unit(benchmark::kMillisecond);

void RunDecrypt(benchmark::State& state, void (*decrypt)(ByteBuffer&)) {
  const ByteBuffer cipher = RandomBytes(static_cast<std::size_t>(state.range(0)));
  ByteBuffer buffer;
  for (auto _ : state) {
    state.PauseTiming();
    buffer = cipher;
    InitCipher(kKey, kSuffix);
    state.ResumeTiming();
    decrypt(buffer);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * cipher.size()));
}
void BM_DecryptBuffer(benchmark::State& state) { RunDecrypt(state, DecryptBuffer); }
void BM_DecryptBufferSimple(benchmark::State& state) { RunDecrypt(state, DecryptBufferSimple); }
BENCHMARK(BM_DecryptBuffer)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecryptBufferSimple)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

const ByteBuffer& PlainText() {
  static const ByteBuffer plain = MakePlainText(kStageBytes);
  return plain;
}

void RunHuffman(benchmark::State& state, void (*decode)(ByteBuffer&, std::int32_t)) {
  const ByteBuffer container = HuffmanEncode(PlainText().data(), PlainText().size());
  ByteBuffer buffer;
  for (auto _ : state) {
    state.PauseTiming();
    buffer = container;
    state.ResumeTiming();
    decode(buffer, static_cast<std::int32_t>(buffer.size()));
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * PlainText().size()));
  state.counters["bits_per_byte"] =
      8.0 * static_cast<double>(container.size()) / static_cast<double>(PlainText().size());
}
void BM_HuffmanDecode(benchmark::State& state) { RunHuffman(state, HuffmanDecode); }
void BM_HuffmanDecodeSimple(benchmark::State& state) { RunHuffman(state, HuffmanDecodeSimple); }
BENCHMARK(BM_HuffmanDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HuffmanDecodeSimple)->Unit(benchmark::kMillisecond);

#if TRIROTOR_BENCH_LIBDEFLATE
// The peer: libdeflate decompressing a raw deflate stream of the same text
// that zlib made with Huffman coding only (no matches), the same kind of work.
void BM_LibdeflateHuffmanOnly(benchmark::State& state) {
  const ByteBuffer& plain = PlainText();
  ByteBuffer stream(compressBound(static_cast<uLong>(plain.size())) + 1024);
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_HUFFMAN_ONLY);
  z.next_in = const_cast<Bytef*>(plain.data());
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = stream.data();
  z.avail_out = static_cast<uInt>(stream.size());
  deflate(&z, Z_FINISH);
  stream.resize(z.total_out);
  deflateEnd(&z);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  ByteBuffer out(plain.size());
  for (auto _ : state) {
    std::size_t produced = 0;
    if (libdeflate_deflate_decompress(d, stream.data(), stream.size(), out.data(), out.size(), &produced) !=
            LIBDEFLATE_SUCCESS ||
        produced != plain.size()) {
      state.SkipWithError("libdeflate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  libdeflate_free_decompressor(d);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
  state.counters["bits_per_byte"] = 8.0 * static_cast<double>(stream.size()) / static_cast<double>(plain.size());
}
BENCHMARK(BM_LibdeflateHuffmanOnly)->Unit(benchmark::kMillisecond);
#endif

/// Whole decodes ///

const std::u16string& Message() {
  static std::u16string message;
  if (message.empty()) {
    const ByteBuffer plain = MakePlainText(kWholeBytes);
    FrameHeader header{};
    for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(0x30 + i);
    message = EncodeText(platform::BytesToText(plain), kKey, kSuffix, header);
  }
  return message;
}

// The pipeline taken literally: every stage hands the next a wide text, and
// each stage is the straightforward one.
std::u16string DecodeLiterally(std::u16string_view message, std::u16string_view key, std::u16string_view suffix) {
  const std::u16string decoded = platform::BytesToText(DecodeBase64BytesSimple(message));
  InitCipher(key, suffix);
  ByteBuffer buffer = platform::TextToBytes(decoded);
  DecryptBufferSimple(buffer);
  const std::u16string frame = platform::BytesToText(buffer);
  const ByteBuffer frameBytes = platform::TextToBytes(frame);
  const auto span = CheckFrame(frameBytes.data(), frameBytes.size());
  if (!span) return {};
  const std::u16string payload = frame.substr(span->offset, span->length);
  ByteBuffer data = platform::TextToBytes(payload);
  HuffmanDecodeSimple(data, static_cast<std::int32_t>(data.size()));
  return platform::BytesToText(data);
}

void RunWhole(benchmark::State& state,
              std::u16string (*decode)(std::u16string_view, std::u16string_view, std::u16string_view)) {
  const std::u16string& message = Message();
  for (auto _ : state) {
    std::u16string plain = decode(message, kKey, kSuffix);
    if (plain.size() != kWholeBytes) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(plain.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}
void BM_DecodeText(benchmark::State& state) { RunWhole(state, DecodeText); }
void BM_DecodeTextLiteral(benchmark::State& state) { RunWhole(state, DecodeLiterally); }
BENCHMARK(BM_DecodeText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeTextLiteral)->Unit(benchmark::kMillisecond);

void BM_DecodeBytes(benchmark::State& state) {
  const std::u16string& message = Message();
  const ByteBuffer bytes = platform::TextToBytes(message);
  for (auto _ : state) {
    state.PauseTiming();
    ByteBuffer copy = bytes;
    state.ResumeTiming();
    ByteBuffer plain = DecodeBytes(std::move(copy), kKey, kSuffix);
    if (plain.size() != kWholeBytes) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(plain.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeBytes)->Unit(benchmark::kMillisecond);

void BM_EncodeText(benchmark::State& state) {
  const std::u16string plain = platform::BytesToText(MakePlainText(kWholeBytes));
  FrameHeader header{};
  for (auto _ : state) {
    std::u16string message = EncodeText(plain, kKey, kSuffix, header);
    benchmark::DoNotOptimize(message.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
}
BENCHMARK(BM_EncodeText)->Unit(benchmark::kMillisecond);

// The encoder's stages on the same text, to see where EncodeText's time goes.
void BM_HuffmanEncode(benchmark::State& state) {
  const ByteBuffer& plain = PlainText();
  for (auto _ : state) {
    ByteBuffer container = HuffmanEncode(plain.data(), plain.size());
    benchmark::DoNotOptimize(container.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
}
BENCHMARK(BM_HuffmanEncode)->Unit(benchmark::kMillisecond);

void RunEncrypt(benchmark::State& state, void (*encrypt)(ByteBuffer&)) {
  ByteBuffer buffer = RandomBytes(static_cast<std::size_t>(state.range(0)));
  InitCipher(kKey, kSuffix);
  for (auto _ : state) {
    encrypt(buffer);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
}
void BM_EncryptBuffer(benchmark::State& state) { RunEncrypt(state, EncryptBuffer); }
void BM_EncryptBufferSimple(benchmark::State& state) { RunEncrypt(state, EncryptBufferSimple); }
BENCHMARK(BM_EncryptBuffer)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncryptBufferSimple)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_EncodeBase64(benchmark::State& state) {
  const ByteBuffer bytes = RandomBytes(kStageBytes);
  for (auto _ : state) {
    std::string text = EncodeBase64(bytes.data(), bytes.size(), 76);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_EncodeBase64)->Unit(benchmark::kMillisecond);

/// Side by side with the straightforward twins ///

// This thread's CPU time in nanoseconds: a preempted batch is not charged.
double ThreadNanos() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Runs the twin and the fast path in alternating batches of `batch` calls,
// so that both see the same load and the same caches, and reports the fast
// path's time for a batch (manual time), each one's nanoseconds per call and
// the speedup, twin over fast path. call(k, twin) makes the k-th call of a
// batch; calls rotate over several inputs so that the branch predictor
// cannot learn one. Earlier revisions are compared by
// bench/compare_revisions.sh.
// `bytesPerCall` (0: none) gives a throughput for the current code.
template <typename Call>
void SideBySide(benchmark::State& state, int batch, std::size_t bytesPerCall, Call call) {
  double currentNs = 0;
  double twinNs = 0;
  std::int64_t calls = 0;
  for (auto _ : state) {
    const double t0 = ThreadNanos();
    for (int k = 0; k < batch; ++k) call(k, true);
    const double t1 = ThreadNanos();
    for (int k = 0; k < batch; ++k) call(k, false);
    const double t2 = ThreadNanos();
    twinNs += t1 - t0;
    currentNs += t2 - t1;
    calls += batch;
    state.SetIterationTime((t2 - t1) / 1e9);
  }
  state.counters["ns_per_call"] = currentNs / static_cast<double>(calls);
  state.counters["twin_ns"] = twinNs / static_cast<double>(calls);
  state.counters["speedup"] = twinNs / currentNs;
  if (bytesPerCall != 0) state.SetBytesProcessed(calls * static_cast<std::int64_t>(bytesPerCall));
}

constexpr int kVariants = 64;  // distinct inputs per benchmark

// Keys of 8 to 40 characters and suffixes of 0 to 12, as people choose them.
const std::vector<std::pair<std::u16string, std::u16string>>& Keys() {
  static const auto keys = [] {
    std::vector<std::pair<std::u16string, std::u16string>> made;
    std::mt19937 rng(5);
    for (int k = 0; k < kVariants; ++k) {
      std::u16string key, suffix;
      for (std::uint32_t n = 8 + rng() % 33; n > 0; --n) key += static_cast<char16_t>(0x20 + rng() % 95);
      for (std::uint32_t n = rng() % 13; n > 0; --n) suffix += static_cast<char16_t>(0x20 + rng() % 95);
      made.emplace_back(key, suffix);
    }
    return made;
  }();
  return keys;
}

void BM_InitCipherSideBySide(benchmark::State& state) {
  SideBySide(state, 256, 0, [](int k, bool twin) {
    const auto& [key, suffix] = Keys()[static_cast<std::size_t>(k % kVariants)];
    twin ? InitCipherSimple(key, suffix) : InitCipher(key, suffix);
    benchmark::DoNotOptimize(Cipher.Rotor3.data());
  });
}
BENCHMARK(BM_InitCipherSideBySide)->UseManualTime();

// DecryptBuffer on range(0) bytes; each call starts from the same keyed
// state and a fresh copy of the ciphertext, which both sides pay alike.
void BM_DecryptBufferSideBySide(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<ByteBuffer> ciphers;
  for (int k = 0; k < 8; ++k) {
    std::mt19937 rng(static_cast<unsigned>(k));
    ByteBuffer bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    ciphers.push_back(std::move(bytes));
  }
  InitCipher(kKey, kSuffix);
  const CipherState keyed = Cipher;  // each decryption starts from here
  ByteBuffer buffer(size);
  const int batch = size >= (1 << 16) ? 1 : static_cast<int>((1 << 18) / size);
  SideBySide(state, batch, size, [&](int k, bool twin) {
    const ByteBuffer& cipher = ciphers[static_cast<std::size_t>(k) % ciphers.size()];
    std::copy(cipher.begin(), cipher.end(), buffer.begin());
    Cipher = keyed;
    twin ? DecryptBufferSimple(buffer) : DecryptBuffer(buffer);
    benchmark::DoNotOptimize(buffer.data());
  });
}
BENCHMARK(BM_DecryptBufferSideBySide)->Arg(100)->Arg(1000)->Arg(10000)->Arg(1 << 20)->UseManualTime();

// Containers as the encoder makes them for records of about range(0) plain
// bytes: each a different stretch of prose.
void BM_SmallContainerSideBySide(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<ByteBuffer> containers;
  std::size_t compressed = 0;
  for (int k = 0; k < kVariants; ++k) {
    const ByteBuffer plain = MakePlainText(size, 1000 + static_cast<std::uint32_t>(k));
    containers.push_back(HuffmanEncode(plain.data(), plain.size()));
    compressed += containers.back()[2] == '3' ? 1 : 0;
  }
  ByteBuffer buffer;
  const int batch = static_cast<int>(std::max<std::size_t>(1, (1 << 19) / size));
  SideBySide(state, batch, size, [&](int k, bool twin) {
    const ByteBuffer& container = containers[static_cast<std::size_t>(k % kVariants)];
    buffer.assign(container.begin(), container.end());
    const auto length = static_cast<std::int32_t>(buffer.size());
    twin ? HuffmanDecodeSimple(buffer, length) : HuffmanDecode(buffer, length);
    benchmark::DoNotOptimize(buffer.data());
  });
  state.SetLabel(std::to_string(compressed) + " of " + std::to_string(kVariants) + " compressed (HE3)");
}
BENCHMARK(BM_SmallContainerSideBySide)->Arg(100)->Arg(1000)->Arg(10000)->UseManualTime();

// Messages of 96 to 252 characters, the records that take the short path.
void BM_ShortBase64SideBySide(benchmark::State& state) {
  std::vector<std::u16string> messages;
  std::mt19937 rng(9);
  for (int k = 0; k < kVariants; ++k) {
    ByteBuffer bytes(72 + rng() % 118);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    const std::string text = EncodeBase64(bytes.data(), bytes.size(), 76);
    messages.emplace_back(text.begin(), text.end());
  }
  SideBySide(state, 512, 0, [&](int k, bool twin) {
    const std::u16string& message = messages[static_cast<std::size_t>(k % kVariants)];
    ByteBuffer bytes = twin ? DecodeBase64BytesSimple(message) : DecodeBase64Bytes(message);
    benchmark::DoNotOptimize(bytes.data());
  });
}
BENCHMARK(BM_ShortBase64SideBySide)->UseManualTime();

void BM_CopyBaseline(benchmark::State& state) {
  const ByteBuffer source = RandomBytes(kStageBytes);
  ByteBuffer target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_CopyBaseline)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace trirotor::bench
