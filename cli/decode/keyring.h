// SPDX-License-Identifier: MIT
//
// keyring.h - decode --keyring: candidate keys tried against a message until
// one opens it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli/decode/keys.h"
#include "cli/decode/options.h"
#include "engine/trirotor.h"
#include "records/records.h"

namespace trirotor::cli {

// One candidate of a key ring (records/records.h).
using records::RingEntry;
using records::NoRingKeyOpens;
// Reads a key ring as key files are read (UTF-8, a leading byte-order mark
// dropped, 1 MiB at most; "-" is standard input); CRLF line ends and blank
// lines are taken. A line's suffix is what follows its first TAB.
// Throws Failure(kExitInput) for an unreadable file, an empty key or no key.
std::vector<RingEntry> ReadKeyRing(const std::string& path);
// The index of the first candidate that opens the message, tried on `jobs`
// threads (0: one per core); nullopt when none does.
std::optional<std::size_t> SearchKeyRing(const ByteBuffer& message, const std::vector<RingEntry>& ring, unsigned jobs);
// "line N of the key ring (comment)": never the key.
std::string RingLineName(const RingEntry& entry);
// decode --keyring: the key and suffix of the first line that opens the
// message, named on standard error (with any later line holding the same
// pair); throws Failure(kExitFrame) when none does.
KeyPair KeyFromRing(const Options& options, const ByteBuffer& message);

}  // namespace trirotor::cli
