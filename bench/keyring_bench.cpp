// SPDX-License-Identifier: MIT
//
// keyring_bench.cpp - how many candidate keys per second one core turns
// away from a 1 KB message (the key ring's search), and the whole decode per
// candidate beside it for comparison.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/bench_inputs.h"
#include "engine/trirotor.h"

namespace {

using trirotor::ByteBuffer;

void BM_KeyRingCandidate(benchmark::State& state) {
  const trirotor::KeyTrial trial(trirotor::bench::SealedForTrials(1024));
  const std::vector<std::u16string> keys = trirotor::bench::WrongKeys("candidate-");
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
  const ByteBuffer message = trirotor::bench::SealedForTrials(1024);
  const std::vector<std::u16string> keys = trirotor::bench::WrongKeys("candidate-");
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
