// SPDX-License-Identifier: MIT
//
// keyring_bench.cpp - how many candidate keys per second one core turns
// away from a 1 KB message (the key ring's search), and the whole decode per
// candidate beside it for comparison.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/trirotor.h"

namespace {

using trirotor::ByteBuffer;

ByteBuffer OneKilobyteMessage() {
  std::string text;
  while (text.size() < 1024) text += "the ferryman argued with the parish priest although the roads were flooded. ";
  text.resize(1024);
  trirotor::FrameHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i * 13 + 5);
  const std::string sealed =
      trirotor::EncodeBytes(ByteBuffer(text.begin(), text.end()), u"the right key", u"", header, 76);
  return ByteBuffer(sealed.begin(), sealed.end());
}

std::vector<std::u16string> Candidates() {
  std::vector<std::u16string> keys;
  for (int i = 0; i < 4096; ++i) {
    const std::string key = "candidate-" + std::to_string(i * 7919);
    keys.emplace_back(key.begin(), key.end());
  }
  return keys;
}

void BM_KeyRingCandidate(benchmark::State& state) {
  const trirotor::KeyTrial trial(OneKilobyteMessage());
  const std::vector<std::u16string> keys = Candidates();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(trial.Opens(keys[i], u""));
    i = (i + 1) % keys.size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_KeyRingCandidate);

// The same search done with DecodeBytes per candidate.
void BM_KeyRingCandidateByDecodeBytes(benchmark::State& state) {
  const ByteBuffer message = OneKilobyteMessage();
  const std::vector<std::u16string> keys = Candidates();
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(trirotor::DecodeBytes(message, keys[i], u""));
    i = (i + 1) % keys.size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_KeyRingCandidateByDecodeBytes);

}  // namespace

BENCHMARK_MAIN();
