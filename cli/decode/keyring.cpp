// SPDX-License-Identifier: MIT
//
// keyring.cpp - decode --keyring FILE: a file of candidate keys, one a line
// (the key, optionally a TAB and its suffix; '#' starts a comment line),
// tried against the message on every core until one opens it, 64 lines at
// a time through the early test for many keys at once. The winner is named
// by its line number and comment, never by the key.

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "cli/decode/keyring.h"
#include "cli/decode/keys.h"
#include "cli/decode/options.h"
#include "cli/status.h"
#include "cli/file_io.h"
#include "engine/trirotor.h"

namespace trirotor::cli {

std::vector<RingEntry> ReadKeyRing(const std::string& path) {
  const std::u16string text = ReadKeySource(path, "the key ring");
  try {
    std::vector<RingEntry> ring = records::ParseKeyRing(text);
    if (ring.empty()) {
      throw Failure{kExitInput, "the key ring " + (path == "-" ? std::string("from standard input") : ShownName(path)) +
                                    " holds no key"};
    }
    return ring;
  } catch (const records::RingError& error) {
    throw Failure{kExitInput, error.what()};
  }
}

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Lowers `found` to i unless a lower line already holds it.
void Claim(std::atomic<std::size_t>& found, std::size_t i) {
  std::size_t seen = found.load();
  while (i < seen && !found.compare_exchange_weak(seen, i)) {}
}

// Runs `work` on `jobs` threads (0: one per core), this one among them.
void OnThreads(unsigned jobs, std::size_t most, const std::function<void()>& work) {
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  jobs = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(jobs, most)));
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
}

// Lines taken 64 at a time through the early test for many keys at once
// (KeyGroupTrial), and only those that pass given the whole frame check:
// a key that opens the message passes the early test, since the container
// it expands starts with the identification the test reads. A group that
// raises (a suffix too long for a key) leaves its lines to Opens, which
// says so as it always has.
void SearchInGroups(const KeyTrial& trial, const std::vector<RingEntry>& ring, unsigned jobs,
                    std::atomic<std::size_t>& found) {
  constexpr std::size_t kBlock = KeyGroupTrial::kMaxCandidates;
  std::atomic<std::size_t> next{0};
  const int codePage = platform::CodePage();
  OnThreads(jobs, (ring.size() + kBlock - 1) / kBlock, [&] {
    platform::SetCodePage(codePage);
    KeyGroupTrial group(trial);
    std::array<KeyGroupTrial::Candidate, kBlock> candidates;
    for (;;) {
      const std::size_t first = next.fetch_add(kBlock);
      if (first >= ring.size() || first >= found.load() || Interrupted()) return;
      const std::size_t n = std::min(kBlock, ring.size() - first);
      for (std::size_t i = 0; i < n; ++i) candidates[i] = {ring[first + i].key, ring[first + i].suffix};
      std::uint64_t passed = ~std::uint64_t{0};
      try {
        passed = group.MayOpen(std::span<const KeyGroupTrial::Candidate>(candidates.data(), n));
      } catch (const EngineError&) {}
      for (std::size_t i = 0; i < n; ++i) {
        if ((passed >> i & 1) && trial.Opens(ring[first + i].key, ring[first + i].suffix)) {
          Claim(found, first + i);
          break;
        }
      }
    }
  });
}

}  // namespace

// Lines are handed out in order, so when one opens the message every one
// before it has been or is being tried: the first opener wins, whichever
// thread finds it.
std::optional<std::size_t> SearchKeyRing(const ByteBuffer& message, const std::vector<RingEntry>& ring, unsigned jobs) {
  const KeyTrial trial(message);
  std::atomic<std::size_t> found{kNone};
  SearchInGroups(trial, ring, jobs, found);
  StopIfAsked();
  if (found.load() == kNone) return std::nullopt;
  return found.load();
}

std::string RingLineName(const RingEntry& entry) {
  return "line " + std::to_string(entry.line) + " of the key ring" +
         (entry.comment.empty() ? "" : " (" + ShownName(entry.comment) + ")");
}

}  // namespace trirotor::cli

namespace trirotor::cli {

KeyPair KeyFromRing(const Options& options, const ByteBuffer& message) {
  const std::vector<RingEntry> ring = ReadKeyRing(*options.keyRing);
  const std::optional<std::size_t> winner = SearchKeyRing(message, ring, options.jobs);
  if (!winner) {
    throw Failure{kExitFrame, NoRingKeyOpens(ring.size())};
  }
  const RingEntry& entry = ring[*winner];
  if (!options.quiet) Complain("opened with " + RingLineName(entry));
  // The search stops at the first opener; a later line with the same key
  // and suffix would open it too, and is worth knowing about.
  for (std::size_t i = *winner + 1; i < ring.size(); ++i) {
    if (ring[i].key == entry.key && ring[i].suffix == entry.suffix) {
      Complain("line " + std::to_string(ring[i].line) + " of the key ring holds the same key and suffix as line " +
               std::to_string(entry.line));
    }
  }
  return KeyPair{entry.key, entry.suffix};
}

}  // namespace trirotor::cli
