// SPDX-License-Identifier: MIT
//
// inspect.cpp - what each stage saw in a message: the base64 layer's
// characters, the frame's header and trailer, and the container as far as it
// makes sense. It reads as the decoder reads, without raising: a fault ends
// the report where it stands.

#include "engine/trirotor.h"

#include <algorithm>
#include <utility>

#include "engine/base64.h"
#include "engine/container.h"
#include "engine/frame.h"
#include "engine/key_schedule.h"
#include "engine/keystream.h"
#include "engine/salvage.h"

namespace trirotor {

using namespace internal;

namespace {

constexpr std::int16_t kPadValue = 64;

void InspectBase64(const ByteBuffer& message, InspectReport& report) {
  report.characters = message.size();
  if (message.size() < kShortestMessage) return;  // the decoder takes it for no message
  InitBase64Table();
  std::array<std::size_t, 256> junkCount{};
  int place = 0;
  for (std::size_t i = 0; i < message.size(); ++i) {
    const std::int16_t v = Base64Index[message[i]];
    if (v < 0) {
      ++report.junk;
      ++junkCount[message[i]];
      continue;
    }
    if (v == kPadValue) {
      report.pads.push_back({i, place + 1});
    } else {
      ++report.digits;
    }
    place = (place + 1) % 4;
  }
  report.unfinishedGroup = place;
  std::vector<std::pair<std::uint8_t, std::size_t>> junk;
  for (int c = 0; c < 256; ++c) {
    if (junkCount[static_cast<std::size_t>(c)] != 0)
      junk.emplace_back(static_cast<std::uint8_t>(c), junkCount[static_cast<std::size_t>(c)]);
  }
  std::stable_sort(junk.begin(), junk.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  if (junk.size() > 3) junk.resize(3);
  report.commonJunk = std::move(junk);
}

void InspectCompressed(const std::uint8_t* in, std::size_t n, InspectReport& report) {
  const CompressedReading r = ReadCompressedLeniently(in, n);
  report.headerWhole = r.headerWhole;
  if (r.headerWhole) {
    report.checksumStored = r.checksum;
    report.plainLength = r.plainLength;
    report.entryCount = r.entryCount;
  }
  report.tableWhole = r.tableWhole;
  report.codeValues = r.codeValues;
  report.shortestCode = r.shortestCode;
  report.longestCode = r.longestCode;
  report.prefixFree = r.prefixFree;
  report.codeComplete = r.codeComplete;
  report.dataBitsPresent = r.dataBitsPresent;
  report.decodedBytes = r.plain.size();
  report.decodingComplete = r.complete;
  report.stoppedAt = r.complete ? 0 : r.stoppedAt;
  report.stoppedBecause = r.stoppedBecause;
  if (r.tableWhole) {
    // Every byte still to come needs at least the shortest code.
    const std::uint64_t left = static_cast<std::uint64_t>(r.plainLength) - r.plain.size();
    report.dataBitsNeeded = r.dataBitsUsed + left * static_cast<std::uint64_t>(r.shortestCode);
  }
  if (r.complete) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : r.plain) sum ^= b;
    report.checksumComputed = sum;
  }
}

}  // namespace

InspectReport InspectMessage(ByteBuffer message) {
  InspectReport report;
  InspectBase64(message, report);
  if (message.size() >= kShortestMessage) {
    DecodeBase64InPlace(message);
    report.bytes = message.size();
  }
  return report;
}

InspectReport InspectMessage(ByteBuffer message, std::u16string_view key, std::u16string_view keySuffix) {
  InspectReport report;
  InspectBase64(message, report);
  report.keyed = true;
  if (message.size() < kShortestMessage) return report;
  DecodeBase64InPlace(message);
  report.bytes = message.size();
  if (!DecryptUnderKey(message, key, keySuffix)) return report;  // stopped at a pause: the bytes are half decrypted

  const std::uint8_t* frame = message.data();
  const std::size_t n = message.size();
  if (n == 0) return report;
  const std::size_t headerLength = frame[0];
  report.headerLength = static_cast<int>(headerLength);
  report.headerFits = headerLength >= 2 && headerLength + 2 <= n;
  if (headerLength >= 2 && headerLength <= n) {
    report.headerPair = {frame[headerLength - 2], frame[headerLength - 1]};
  }
  if (n >= 2) report.trailerPair = {frame[n - 2], frame[n - 1]};
  report.frameChecks = CheckFrame(frame, n).has_value();
  if (headerLength < 2 || headerLength > n) return report;

  const std::uint8_t* payload = frame + headerLength;
  const std::size_t payloadLength = n - headerLength - (report.frameChecks ? 2 : 0);
  report.identification.assign(payload, payload + std::min(payloadLength, kIdentificationLength));
  switch (IdentifyContainer(payload, payloadLength)) {
    case ContainerKind::kNoIdentification: report.kind = InspectReport::Kind::kNoIdentification; break;
    case ContainerKind::kStored:
      report.kind = InspectReport::Kind::kStored;
      report.storedBytes = payloadLength - kIdentificationLength;
      if (!report.frameChecks) {
        report.salvageBytes = FindTrailer(frame, n) - headerLength - kIdentificationLength;
        report.salvageWouldRecover = report.salvageBytes > 0;
      }
      break;
    case ContainerKind::kCompressed:
      report.kind = InspectReport::Kind::kCompressed;
      InspectCompressed(payload, payloadLength, report);
      if (!report.frameChecks) {
        report.salvageBytes = report.decodedBytes;
        report.salvageWouldRecover = report.salvageBytes > 0;
      }
      break;
    case ContainerKind::kUnknownVersion: report.kind = InspectReport::Kind::kUnknownVersion; break;
  }
  return report;
}

}  // namespace trirotor
