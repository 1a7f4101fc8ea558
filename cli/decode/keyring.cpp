// SPDX-License-Identifier: MIT
//
// keyring.cpp - decode --keyring FILE: a file of candidate keys, one a line
// (the key, optionally a TAB and its suffix; '#' starts a comment line),
// tried against the message on every core until one opens it. The winner
// is named by its line number and comment, never by the key.

#include <algorithm>
#include <atomic>
#include <limits>
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

std::optional<std::size_t> SearchKeyRing(const ByteBuffer& message, const std::vector<RingEntry>& ring,
                                         unsigned jobs) {
  const KeyTrial trial(message);
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> found{kNone};
  const int codePage = platform::CodePage();
  // Candidates are handed out in order, so when one opens the message every
  // one before it has been or is being tried: the first opener wins,
  // whichever thread finds it.
  const auto work = [&] {
    platform::SetCodePage(codePage);
    for (;;) {
      const std::size_t i = next.fetch_add(1);
      if (i >= ring.size() || i >= found.load() || Interrupted()) return;
      if (!trial.Opens(ring[i].key, ring[i].suffix)) continue;
      std::size_t seen = found.load();
      while (i < seen && !found.compare_exchange_weak(seen, i)) {
      }
    }
  };
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, ring.size()));
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < jobs; ++t) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
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
