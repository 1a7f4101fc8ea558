// SPDX-License-Identifier: MIT
//
// key_trial_bench.cpp - candidates per CPU-second of recover's early test,
// one key at a time (KeyTrial::MayOpen) beside sixteen at a time
// (KeyGroupTrial) and a suffix search on one key's first two rotors, and the
// key schedule alone, one key and a group, in cycles per swap.
//
// Every variant runs a batch of the same 64 candidates in turn within each
// iteration, each batch charged its thread's CPU time, so that all of them
// see the same load on a shared machine; --benchmark_repetitions gives the
// medians. Cycles are CPU time times the clock /proc/cpuinfo reports (no
// hardware counters on the virtual machines this runs on), so they are an
// estimate at the nominal clock.

#include <benchmark/benchmark.h>
#include <time.h>

#include <array>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_inputs.h"
#include "engine/internal.h"

namespace {

using namespace trirotor;
using namespace trirotor::internal;

constexpr double kSwapsPerKey = kRotor1Size + kRotor2Size + kRotor3Size;  // 895
constexpr std::size_t kBatch = KeyGroupTrial::kMaxCandidates;             // 64 candidates

double ThreadNanos() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// The clock in GHz as /proc/cpuinfo gives it; 0 where there is none.
double ClockGhz() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("cpu MHz", 0) == 0) return std::stod(line.substr(line.find(':') + 1)) / 1000;
  }
  return 0;
}

// The variants, each timed over one batch of kBatch candidates.
enum Variant { kMayOpen, kGroupText, kGroupBytes, kSuffixes, kInitCipher, kScheduleGroup, kVariantCount };
constexpr std::array<const char*, kVariantCount> kNames = {"MayOpen",  "group",      "group_bytes",
                                                           "suffixes", "InitCipher", "schedule_group"};

void BM_KeyTrialsSideBySide(benchmark::State& state) {
  const KeyTrial trial(bench::SealedForTrials(static_cast<std::size_t>(state.range(0))));
  KeyGroupTrial group(trial);
  const std::vector<std::u16string> keys = bench::WrongKeys("Summer");
  std::vector<std::string> keyBytes;
  for (const std::u16string& key : keys) keyBytes.emplace_back(key.begin(), key.end());
  // A suffix search: one key, the suffixes of a mask of four digits.
  std::vector<std::u16string> suffixes;
  for (std::size_t i = 0; i < kBatch; ++i)
    suffixes.push_back(u"19" + std::u16string(1, u'0' + i / 10 % 10) + char16_t(u'0' + i % 10));
  std::array<std::u16string_view, kBatch> suffixViews;
  for (std::size_t i = 0; i < kBatch; ++i) suffixViews[i] = suffixes[i];
  KeyGroup scratch;

  std::array<double, kVariantCount> nanos{};
  std::size_t at = 0;
  std::uint64_t sink = 0;
  for (auto _ : state) {
    std::array<KeyGroupTrial::Candidate, kBatch> texts;
    std::array<KeyGroupTrial::ByteCandidate, kBatch> bytes;
    for (std::size_t i = 0; i < kBatch; ++i) {
      texts[i] = {keys[(at + i) % keys.size()], u""};
      bytes[i] = {keyBytes[(at + i) % keys.size()], ""};
    }
    for (int v = 0; v < kVariantCount; ++v) {
      const double t0 = ThreadNanos();
      switch (v) {
        case kMayOpen:
          for (const KeyGroupTrial::Candidate& c : texts) sink += trial.MayOpen(c.key, c.keySuffix);
          break;
        case kGroupText: sink += group.MayOpen(std::span<const KeyGroupTrial::Candidate>(texts)); break;
        case kGroupBytes: sink += group.MayOpen(std::span<const KeyGroupTrial::ByteCandidate>(bytes)); break;
        case kSuffixes:
          group.SetKey(texts[0].key);
          sink += group.MayOpenWithSuffixes(std::span<const std::u16string_view>(suffixViews));
          break;
        case kInitCipher:
          for (const KeyGroupTrial::Candidate& c : texts) {
            InitCipher(c.key, c.keySuffix);
            sink += static_cast<std::uint64_t>(Cipher.Rotor3[0]);
          }
          break;
        case kScheduleGroup:
          for (std::size_t g = 0; g < kBatch; g += kLaneCount) {
            LaneKey lanes[kLaneCount];
            for (std::size_t k = 0; k < kLaneCount; ++k) {
              const std::string& key = keyBytes[(at + g + k) % keys.size()];
              lanes[k] = {reinterpret_cast<const std::uint8_t*>(key.data()), key.size(), nullptr, 0};
            }
            ScheduleGroup(scratch, lanes, kLaneCount);
            sink += scratch.rotor3[0][0];
          }
          break;
        default: break;
      }
      nanos[static_cast<std::size_t>(v)] += ThreadNanos() - t0;
    }
    at = (at + kBatch) % keys.size();
  }
  benchmark::DoNotOptimize(sink);
  const double candidates = static_cast<double>(state.iterations()) * kBatch;
  const double ghz = ClockGhz();
  for (int v = 0; v < kVariantCount; ++v) {
    const double perSecond = candidates / nanos[static_cast<std::size_t>(v)] * 1e9;
    state.counters[std::string(kNames[static_cast<std::size_t>(v)]) + "_per_s"] = perSecond;
    if (v != kMayOpen && v != kInitCipher) {
      const double base = nanos[v == kScheduleGroup ? kInitCipher : kMayOpen];
      state.counters[std::string(kNames[static_cast<std::size_t>(v)]) + "_x"] =
          base / nanos[static_cast<std::size_t>(v)];
    }
  }
  if (ghz > 0) {
    const auto cyclesPerSwap = [&](Variant v) { return nanos[v] / candidates * ghz / kSwapsPerKey; };
    state.counters["InitCipher_cycles_per_swap"] = cyclesPerSwap(kInitCipher);
    state.counters["schedule_group_cycles_per_swap"] = cyclesPerSwap(kScheduleGroup);
    state.counters["MayOpen_cycles"] = nanos[kMayOpen] / candidates * ghz;
    state.counters["group_cycles"] = nanos[kGroupText] / candidates * ghz;
  }
}
BENCHMARK(BM_KeyTrialsSideBySide)->Arg(1 << 10)->Arg(10 << 10);

}  // namespace

BENCHMARK_MAIN();
