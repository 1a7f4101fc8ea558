// SPDX-License-Identifier: MIT
//
// recover_bench.cpp - the cost of one candidate in recover's search, side by
// side: the early test on a 1 KB and a 1 MB message against the frame check
// of the key ring's trial (KeyTrial::Opens) on the same messages, what
// making a candidate (a rule, then a mask) costs beside trying it, and the
// whole search in process (the recover library) on one thread and on every
// core, charged the process's CPU time and, apart, the wall time.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include <string>
#include <thread>
#include <vector>

#include "cli/recover/candidates.h"
#include "cli/recover/recover.h"
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

// The whole search over a 10 KB message that no candidate opens: range(0)
// picks a mask (0) or a suffix mask over 20 words (1), range(1) the threads.
void BM_RecoverSearch(benchmark::State& state) {
  using namespace trirotor::cli;
  const ByteBuffer sealed = trirotor::bench::SealedForTrials(10 << 10);
  static const std::string words = [] {
    std::string path = (std::filesystem::temp_directory_path() / "trirotor_recover_bench_words.txt").string();
    std::string text;
    for (int i = 0; i < 20; ++i) text += "name" + std::to_string(i) + "\n";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
  }();
  RecoverOptions options;
  options.messageBytes = std::string(sealed.begin(), sealed.end());
  options.keepSession = false;
  if (state.range(0) == 0) {
    options.mask = "?l?l?l?l";
  } else {
    options.wordlist = words;
    options.suffixMask = "?l?l?d";
  }
  options.jobs = static_cast<unsigned>(state.range(1));
  std::uint64_t tried = 0;
  for (auto _ : state) {
    const RecoverResult result = Recover(options, RecoverHooks{});
    if (result.status != 3) state.SkipWithError("a candidate opened the message");
    tried += result.tried;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(tried));
}
void RecoverSearchArgs(benchmark::internal::Benchmark* b) {
  const auto cores = static_cast<std::int64_t>(std::max(1u, std::thread::hardware_concurrency()));
  for (const std::int64_t source : {0, 1}) {
    for (const std::int64_t jobs : {std::int64_t{1}, cores}) b->Args({source, jobs});
  }
  b->ArgNames({"suffix", "jobs"})->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_RecoverSearch)->Apply(RecoverSearchArgs)->MeasureProcessCPUTime();
BENCHMARK(BM_RecoverSearch)->Apply(RecoverSearchArgs)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
