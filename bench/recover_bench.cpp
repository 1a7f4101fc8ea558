// SPDX-License-Identifier: MIT
//
// recover_bench.cpp - the cost of one candidate in recover's search, side by
// side: the early test on a 1 KB and a 1 MB message against the frame check
// of the key ring's trial (KeyTrial::Opens) on the same messages, and what
// making a candidate (a rule, then a mask) costs beside trying it.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "cli/recover/candidates.h"
#include "bench/bench_inputs.h"
#include "engine/trirotor.h"

namespace {

using trirotor::ByteBuffer;

// Early test; range(0) is the message's plain size.
void BM_RecoverEarlyTest(benchmark::State& state) {
  const trirotor::KeyTrial trial(trirotor::bench::SealedForTrials(static_cast<std::size_t>(state.range(0))));
  const std::vector<std::u16string> keys = trirotor::bench::WrongKeys("Summer");
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(trial.MayOpen(keys[i], u""));
    i = (i + 1) % keys.size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_RecoverEarlyTest)->Arg(1 << 10)->Arg(1 << 20);

// The key ring's trial on the same messages and keys.
void BM_KeyRingFrameCheck(benchmark::State& state) {
  const trirotor::KeyTrial trial(trirotor::bench::SealedForTrials(static_cast<std::size_t>(state.range(0))));
  const std::vector<std::u16string> keys = trirotor::bench::WrongKeys("Summer");
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(trial.Opens(keys[i], u""));
    i = (i + 1) % keys.size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_KeyRingFrameCheck)->Arg(1 << 10)->Arg(1 << 20);

// Making one candidate: a rule of best64's kind, then a two-digit mask.
void BM_RecoverMakeCandidate(benchmark::State& state) {
  using namespace trirotor::cli;
  const std::array<std::optional<std::string>, 4> none{};
  const WordExpansion expansion({ParseRule("c $1"), ParseRule("r"), ParseRule("sa@ u"), ParseRule(":")},
                                MaskList({Mask::Parse("?d?d", none)}), MaskPlace::kAppend);
  const std::vector<std::string> words = {"summer", "password", "dragonfly", "letmein", "trirotor"};
  std::string out;
  std::uint64_t k = 0;
  for (auto _ : state) {
    expansion.Make(words[k % words.size()], k % expansion.PerWord(), out);
    benchmark::DoNotOptimize(out.data());
    ++k;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_RecoverMakeCandidate);

}  // namespace

BENCHMARK_MAIN();
