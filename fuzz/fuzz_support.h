// SPDX-License-Identifier: MIT
//
// fuzz_support.h - what the fuzz targets share: an input reader that splits
// one fuzz input into fields, the check that a raised error is one of the
// engine's documented numbers, the check that the engine still decodes a
// known message after any failure, and per-input budgets for memory and time.
//
// A target never lets a wrong outcome pass quietly: every broken rule ends in
// Fail(), which prints what was seen and aborts, so libFuzzer keeps the input
// as a crash reproducer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/trirotor.h"
#include "testing/fuzz_input.h"

namespace trirotor::fuzz {

// Reports a broken rule with the input's context and aborts.
[[noreturn]] void Fail(std::string_view what);

// Fails unless `error` carries one of the engine's documented numbers.
void RequireDocumentedError(const EngineError& error, std::string_view where);

// Runs `call`; returns true when it returned, false when it raised a
// documented EngineError. Anything else thrown is a failure.
template <typename Call>
bool RunGuarded(Call&& call, std::string_view where) {
  try {
    call();
    return true;
  } catch (const EngineError& error) {
    RequireDocumentedError(error, where);
    return false;
  } catch (const std::exception& other) {
    Fail(std::string(where) + ": threw a non-engine exception: " + other.what());
  } catch (...) {
    Fail(std::string(where) + ": threw something that is not an exception");
  }
}

// Decodes a message made once with the encoder and fails unless the right
// text comes back with the status untouched: the engine is still usable on
// this thread. Leaves hooks, code page and status as it found them.
void RequireEngineUsable(std::string_view after);

// Sets up what every target needs once: the code page tables (built on first
// use, which would otherwise be charged to the first input's time) and the
// known-good message.
void InitFuzzSupport();

// Measures one input's thread CPU time and its peak heap growth against the
// budget for `inputBytes`: 10 ms of CPU per KB (times TRIROTOR_FUZZ_TIME_SLACK,
// default 4, for the instrumentation) with a floor of 25 ms, and 40 bytes per
// input byte plus 1 MiB of heap. Heap past the budget fails at once; Check()
// returns whether the time was past it, which RunOneInput confirms by
// running the input again before failing, since the sanitizer allocator
// now and then spends a burst of time of its own.
class ResourceBudget {
 public:
  explicit ResourceBudget(std::size_t inputBytes);
  bool Check(std::string_view what);

 private:
  std::size_t inputBytes_;
  std::int64_t baselineBytes_;
  double startMs_;
};

// Runs one fuzz input through `run`, which returns whether it was slow, and
// fails when it is slow three times in a row.
using InputRunner = bool (*)(const std::uint8_t* data, std::size_t size);
void RunOneInput(InputRunner run, const std::uint8_t* data, std::size_t size);

}  // namespace trirotor::fuzz
