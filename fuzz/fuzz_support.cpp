// SPDX-License-Identifier: MIT
//
// fuzz_support.cpp - the shared checks of the fuzz targets.
//
// Heap growth is counted through the sanitizer allocator's hooks rather than
// libFuzzer's -malloc_limit_mb alone: the limit only sees one huge block,
// while a budget per input byte also catches many small blocks that add up,
// and a quadratic path long before it reaches a fixed limit.

#include "fuzz/fuzz_support.h"

#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace trirotor::fuzz {

namespace {

// The known-good message: a compressible text, so that the check runs the
// Huffman path with its tree and checksum, sealed under a fixed header.
constexpr std::u16string_view kKnownPlain =
    u"The quick brown fox jumps over the lazy dog; the lazy dog sleeps on. "
    u"The quick brown fox jumps over the lazy dog; the lazy dog sleeps on.";
constexpr std::u16string_view kKnownKey = u"known key";
constexpr std::u16string_view kKnownSuffix = u"known suffix";
std::u16string knownMessage;

std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};

void OnMalloc(const volatile void*, std::size_t size) {
  const std::int64_t now = liveBytes.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size);
  std::int64_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {}
}

void OnFree(const volatile void* ptr) {
  // The block is still owned when the hook runs, so its size can be asked.
  liveBytes.fetch_sub(static_cast<std::int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(ptr))));
}

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double TimeSlack() {
  const char* text = std::getenv("TRIROTOR_FUZZ_TIME_SLACK");
  const double slack = text != nullptr ? std::atof(text) : 4.0;
  return slack > 0 ? slack : 4.0;
}

}  // namespace

void Fail(std::string_view what) {
  std::fprintf(stderr, "\n==trirotor fuzz== %.*s\n", static_cast<int>(what.size()), what.data());
  std::fflush(stderr);
  std::abort();
}

void RequireDocumentedError(const EngineError& error, std::string_view where) {
  switch (error.number()) {
    case kErrInvalidCall:
    case kErrOverflow:
    case kErrOutOfMemory:
    case kErrSubscript:
    case kErrDivisionByZero:
    case kErrUnknownVersion: return;
    default:
      Fail(std::string(where) + ": undocumented error number " + std::to_string(error.number()) + " from " +
           error.source() + ": " + error.description());
  }
}

void InitFuzzSupport() {
  for (int page : kFuzzCodePages) platform::SetCodePage(page);
  platform::SetCodePage(1252);
  FrameHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(0x31 * i + 7);
  knownMessage = EncodeText(kKnownPlain, kKnownKey, kKnownSuffix, header);
  __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree);
  RequireEngineUsable("start-up");
}

void RequireEngineUsable(std::string_view after) {
  const platform::EventHook eventHook = platform::GetEventHook();
  const platform::PointerHook pointerHook = platform::GetPointerHook();
  const int codePage = platform::CodePage();
  const std::int16_t lastError = LastError, abortFlag = AbortFlag, progress = Progress;
  platform::SetEventHook(nullptr);
  platform::SetPointerHook(nullptr);
  platform::SetCodePage(1252);
  LastError = 0;

  std::u16string result;
  try {
    result = DecodeText(knownMessage, kKnownKey, kKnownSuffix);
  } catch (const EngineError& error) {
    Fail(std::string("after ") + std::string(after) + ": the known message raised error " +
         std::to_string(error.number()) + " (" + error.description() + ")");
  }
  if (result != kKnownPlain) Fail(std::string("after ") + std::string(after) + ": the known message decoded wrong");
  if (LastError != 0) Fail(std::string("after ") + std::string(after) + ": the known message set LastError");
  if (platform::MousePointer() != platform::kPointerDefault) {
    Fail(std::string("after ") + std::string(after) + ": the known message left the busy pointer");
  }

  platform::SetCodePage(codePage);
  platform::SetEventHook(eventHook);
  platform::SetPointerHook(pointerHook);
  LastError = lastError;
  AbortFlag = abortFlag;
  Progress = progress;
}

ResourceBudget::ResourceBudget(std::size_t inputBytes) : inputBytes_(inputBytes), baselineBytes_(liveBytes.load()) {
  peakBytes.store(baselineBytes_);
  startMs_ = ThreadCpuMs();
}

bool ResourceBudget::Check(std::string_view what) {
  const double elapsedMs = ThreadCpuMs() - startMs_;
  const double kb = static_cast<double>(inputBytes_) / 1024.0;
  const double allowedMs = std::max(25.0, 10.0 * kb) * TimeSlack();
  const bool slow = elapsedMs > allowedMs;
  if (slow) {
    std::fprintf(stderr, "==trirotor fuzz== %.*s: %.1f ms of CPU for %zu input bytes (budget %.1f ms)\n",
                 static_cast<int>(what.size()), what.data(), elapsedMs, inputBytes_, allowedMs);
  }
  const std::int64_t grownBytes = peakBytes.load() - baselineBytes_;
  const std::int64_t allowedBytes = 40 * static_cast<std::int64_t>(inputBytes_) + (std::int64_t{1} << 20);
  if (grownBytes > allowedBytes) {
    Fail(std::string(what) + ": the heap grew by " + std::to_string(grownBytes) + " bytes for " +
         std::to_string(inputBytes_) + " input bytes (budget " + std::to_string(allowedBytes) + ")");
  }
  return slow;
}

void RunOneInput(InputRunner run, const std::uint8_t* data, std::size_t size) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!run(data, size)) return;
  }
  Fail("slower than the time budget on three runs in a row");
}

}  // namespace trirotor::fuzz
