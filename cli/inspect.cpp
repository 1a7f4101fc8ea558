// SPDX-License-Identifier: MIT
//
// inspect.cpp - trirotor inspect: what each stage of decoding saw in a
// message, one line per fact or one JSON object. It never prints the plain
// text and never writes a file; its exit status is the one decode would give.

#include <cstdio>
#include <new>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/decode/keyring.h"
#include "cli/decode/keys.h"
#include "cli/decode/message.h"
#include "cli/decode/options.h"
#include "cli/inspect.h"
#include "cli/status.h"
#include "cli/file_io.h"
#include "engine/trirotor.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

using Json = nlohmann::ordered_json;

const char* KindName(InspectReport::Kind kind) {
  switch (kind) {
    case InspectReport::Kind::kStored: return "stored";
    case InspectReport::Kind::kCompressed: return "compressed";
    case InspectReport::Kind::kUnknownVersion: return "unknown version";
    case InspectReport::Kind::kNoIdentification: return "no identification";
    case InspectReport::Kind::kNone: break;
  }
  return "none";
}

std::string Hex(int byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02x", byte & 0xFF);
  return text;
}

std::string HexBytes(const ByteBuffer& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) out += (out.empty() ? "" : " ") + Hex(b);
  return out;
}

// A junk character as a reader can see it: itself when printable ASCII.
std::string Shown(std::uint8_t c) {
  if (c == '\n') return "\\n";
  if (c == '\r') return "\\r";
  if (c == '\t') return "\\t";
  if (c == ' ') return "space";
  if (c > 32 && c < 127) return std::string(1, static_cast<char>(c));
  return "0x" + Hex(c);
}

Json ToJson(const InspectReport& r, const MessageReading& reading, int status) {
  Json base64 = {{"characters", r.characters}, {"digits", r.digits}, {"junk", r.junk}};
  Json junk = Json::array();
  for (const auto& [c, count] : r.commonJunk) junk.push_back({{"code", c}, {"count", count}});
  base64["common_junk"] = junk;
  Json fits = Json::array();
  for (const auto& [unit, count] : reading.commonBestFit) fits.push_back({{"code_point", unit}, {"count", count}});
  base64["best_fit"] = {{"characters", reading.bestFit}, {"common", fits}};
  Json pads = Json::array();
  for (const InspectReport::Pad& pad : r.pads) pads.push_back({{"at", pad.at}, {"place", pad.place}});
  base64["pads"] = pads;
  base64["unfinished_group"] = r.unfinishedGroup;
  base64["bytes"] = r.bytes;
  Json out = {{"base64", base64}};
  if (r.keyed && r.headerLength >= 0) {
    const auto pair = [](const std::array<int, 2>& p) { return p[0] < 0 ? Json(nullptr) : Json{p[0], p[1]}; };
    out["frame"] = {{"header_length", r.headerLength},
                    {"header_fits", r.headerFits},
                    {"header_check_pair", pair(r.headerPair)},
                    {"trailer_check_pair", pair(r.trailerPair)},
                    {"frame_checks", r.frameChecks}};
  }
  if (r.kind != InspectReport::Kind::kNone) {
    Json c = {{"kind", KindName(r.kind)}, {"identification", HexBytes(r.identification)}};
    if (r.kind == InspectReport::Kind::kStored) c["stored_bytes"] = r.storedBytes;
    if (r.kind == InspectReport::Kind::kCompressed) {
      c["header_whole"] = r.headerWhole;
      if (r.headerWhole) {
        c["checksum_stored"] = r.checksumStored;
        c["checksum_computed"] = r.checksumComputed < 0 ? Json(nullptr) : Json(r.checksumComputed);
        c["plain_length"] = r.plainLength;
        c["entry_count"] = r.entryCount;
      }
      c["table_whole"] = r.tableWhole;
      if (r.tableWhole) {
        c["code_values"] = r.codeValues;
        c["shortest_code"] = r.shortestCode;
        c["longest_code"] = r.longestCode;
        c["prefix_free"] = r.prefixFree;
        c["code_complete"] = r.codeComplete;
        c["data_bits_needed"] = r.dataBitsNeeded;
        c["data_bits_needed_exact"] = r.decodingComplete;
        c["data_bits_present"] = r.dataBitsPresent;
      }
      c["decoded_bytes"] = r.decodedBytes;
      c["decoding_complete"] = r.decodingComplete;
      if (!r.decodingComplete) {
        c["stopped_at"] = r.stoppedAt;
        c["stopped_because"] = r.stoppedBecause;
      }
    }
    out["container"] = c;
  }
  if (r.keyed && !r.frameChecks) {
    out["salvage"] = {{"would_recover", r.salvageWouldRecover}, {"bytes", r.salvageBytes}};
  }
  out["exit_status"] = status;
  return out;
}

void Line(std::string& out, const std::string& label, const std::string& value) {
  out += label;
  out += std::string(label.size() < 22 ? 22 - label.size() : 1, ' ');
  out += value;
  out += '\n';
}

std::string YesNo(bool b) { return b ? "yes" : "no"; }

// `unkeyed`: why the frame was not read, when it was not.
std::string ToText(const InspectReport& r, const MessageReading& reading, int status, const std::string& unkeyed) {
  std::string out;
  Line(out, "characters", std::to_string(r.characters));
  Line(out, "base64 digits", std::to_string(r.digits));
  std::string junk = std::to_string(r.junk);
  if (!r.commonJunk.empty()) {
    junk += " (most common:";
    for (const auto& [c, count] : r.commonJunk) junk += " " + Shown(c) + " x" + std::to_string(count);
    junk += ")";
  }
  Line(out, "skipped as junk", junk);
  if (reading.bestFit > 0) {
    // Why a message with fullwidth or other look-alike characters opens.
    std::string fits = std::to_string(reading.bestFit) + " (most common:";
    for (const auto& [unit, count] : reading.commonBestFit) {
      // A look-alike is never held exactly, so the engine describes it.
      const char16_t one[1] = {unit};
      const auto found = platform::FindUnrepresentableCharacter(std::u16string_view(one, 1), "");
      fits += " " + (found ? found->character : std::string("?")) + " x" + std::to_string(count);
    }
    Line(out, "read by best fit", fits + ")");
  }
  std::string pads = std::to_string(r.pads.size());
  for (std::size_t i = 0; i < r.pads.size() && i < 4; ++i) {
    pads += (i == 0 ? " (at " : ", ") + std::to_string(r.pads[i].at) + " place " + std::to_string(r.pads[i].place);
  }
  if (!r.pads.empty()) pads += r.pads.size() > 4 ? ", ...)" : ")";
  Line(out, "pads", pads);
  Line(out, "unfinished last group",
       r.unfinishedGroup == 0 ? "no" : std::to_string(r.unfinishedGroup) + " value(s), dropped");
  Line(out, "bytes", std::to_string(r.bytes));
  if (!r.keyed) {
    Line(out, "frame", "not read: " + unkeyed);
  } else if (r.headerLength >= 0) {
    const auto pair = [](const std::array<int, 2>& p) {
      return p[0] < 0 ? std::string("absent") : Hex(p[0]) + " " + Hex(p[1]);
    };
    Line(out, "header length", std::to_string(r.headerLength) + (r.headerFits ? "" : " (does not fit the frame)"));
    Line(out, "check pair in header", pair(r.headerPair));
    Line(out, "check pair in trailer", pair(r.trailerPair));
    Line(out, "frame check", r.frameChecks ? "passes" : "fails");
  }
  if (r.kind != InspectReport::Kind::kNone) {
    Line(out, "identification", HexBytes(r.identification));
    Line(out, "container", KindName(r.kind));
  }
  if (r.kind == InspectReport::Kind::kStored) Line(out, "stored bytes", std::to_string(r.storedBytes));
  if (r.kind == InspectReport::Kind::kCompressed) {
    if (r.headerWhole) {
      Line(out, "checksum stored", Hex(r.checksumStored));
      Line(out, "checksum computed", r.checksumComputed < 0 ? "not known (decoding stopped)" : Hex(r.checksumComputed));
      Line(out, "plain length", std::to_string(r.plainLength));
      Line(out, "entries", std::to_string(r.entryCount));
    }
    if (r.tableWhole) {
      Line(out, "code lengths",
           std::to_string(r.shortestCode) + " to " + std::to_string(r.longestCode) + " bits, " +
               std::to_string(r.codeValues) + " values");
      Line(out, "prefix-free", YesNo(r.prefixFree));
      Line(out, "complete code", YesNo(r.codeComplete));
      Line(out, "data bits",
           (r.decodingComplete ? "" : "at least ") + std::to_string(r.dataBitsNeeded) + " needed, " +
               std::to_string(r.dataBitsPresent) + " present");
    }
    Line(out, "decoded",
         Counted(r.decodedBytes, "byte", "bytes") +
             (r.decodingComplete
                  ? ""
                  : ", stopped at container byte " + std::to_string(r.stoppedAt) + ": " + r.stoppedBecause));
  }
  if (r.keyed && !r.frameChecks) {
    Line(out, "salvage",
         r.salvageWouldRecover ? "would recover " + Counted(r.salvageBytes, "byte", "bytes") : "would recover nothing");
  }
  Line(out, "exit status", std::to_string(status));
  return out;
}

// The status decode would give for the message under the key.
int DecodeExitStatus(const ByteBuffer& message, const KeyPair& keys) {
  return ExitStatusOf(TryDecodeBytes(message, *keys.key, keys.suffix).status);
}

}  // namespace

int RunInspect(const Options& options) {
  ByteBuffer message = ReadWholeBytes(options.input, kMaxInputBytes, "message");
  const MessageReading reading = MessageToCodePage(message);
  KeyPair keys;
  std::string unkeyed = "no key was given";
  if (options.keyRing) {
    try {
      keys = KeyFromRing(options, message);
    } catch (const Failure& failure) {
      if (failure.status != kExitFrame) throw;
      Complain(failure.message);  // the base64 layer is reported all the same
      unkeyed = "no key of the key ring opens the message";
    }
  } else {
    keys = ResolveKeys(options, false);
  }
  int status = kExitOk;
  InspectReport report;
  try {
    if (keys.key) {
      status = DecodeExitStatus(message, keys);
      report = InspectMessage(std::move(message), *keys.key, keys.suffix);
    } else {
      if (message.size() < kShortestMessage || options.keyRing) status = kExitFrame;
      report = InspectMessage(std::move(message));
    }
  } catch (const EngineError& error) {
    throw Failure{kExitEngine, error.what()};
  }
  StopIfAsked();
  const std::string text =
      options.json ? ToJson(report, reading, status).dump() + "\n" : ToText(report, reading, status, unkeyed);
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0) throw Failure{kExitInput, "cannot write the report"};
  return status;
}

}  // namespace trirotor::cli
