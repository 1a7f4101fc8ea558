// SPDX-License-Identifier: MIT
//
// archive_report.cpp - the archive run's report (docs/archives.md): names
// kept whole whatever bytes they hold, the report read back, where it is
// written, and what a --resume keeps of it.
//
// A report is a provenance record a user cannot make again. A resumed run
// therefore goes on only with the run its report records: it is refused,
// before anything is touched, when its inputs lie under other folders, its
// texts go to another folder, or its options would give texts of another
// form. And what it keeps is decided against the walk: the line of an input
// the walk did not find again is never dropped.

#include "cli/archive/archive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <utility>

namespace trirotor::cli {

namespace {

std::string BytesField(const char* field) { return std::string(field) + "Bytes"; }

std::string HexOf(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// nullopt for anything but pairs of lowercase hex digits.
std::optional<std::string> BytesOfHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high * 16 + low);
  }
  return bytes;
}

// A name as the readable field holds it.
std::string Readable(const std::string& name) { return Json::parse(Dump(Json(name))).get<std::string>(); }

}  // namespace

/// Names ///

std::string Dump(const Json& line) { return line.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string Text(const Json& line, const char* field) {
  const auto at = line.find(field);
  return at != line.end() && at->is_string() ? at->get<std::string>() : std::string();
}

bool IsWholeUtf8(std::string_view name) {
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return ascii || Readable(std::string(name)) == name;
}

void PutName(Json& line, const char* field, const std::string& name) {
  if (IsWholeUtf8(name)) {
    line[field] = name;
    return;
  }
  line[field] = Readable(name);
  line[BytesField(field)] = HexOf(name);
}

std::string RecordedName(const Json& line, const char* field) {
  if (const std::string hex = Text(line, BytesField(field).c_str()); !hex.empty()) {
    if (const std::optional<std::string> bytes = BytesOfHex(hex)) return *bytes;
  }
  return Text(line, field);
}

/// Reading it back ///

std::vector<Recorded> ReadReport(const std::string& path, bool& torn) {
  return ParseReport(ReadWhole(path, kMaxInputBytes, "report"), ShownName(path), torn);
}

std::vector<Recorded> ParseReport(std::string_view text, const std::string& shown, bool& torn) {
  std::vector<Recorded> lines;
  torn = false;
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    ++number;
    if (end == std::string::npos) {
      torn = true;
      break;
    }
    Recorded line{std::string(text.substr(start, end - start)), {}};
    start = end + 1;
    if (line.raw.empty()) continue;
    line.json = Json::parse(line.raw, nullptr, false);
    if (line.json.is_discarded() || !line.json.is_object() || !line.json.contains("kind")) {
      throw Failure{kExitInput,
                    "line " + std::to_string(number) + " of the report " + shown + " is not a line this tool writes"};
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string WhyUnfinished(const std::vector<Recorded>& lines, bool torn) {
  if (torn) return "its last line is cut short: its run was killed while writing it, or the report was cut";
  if (lines.empty()) return "it is empty";
  if (Text(lines.back().json, "kind") != "summary") {
    return "it has no summary line: its run was killed before its end (go on with it with --resume), or the "
           "report was cut";
  }
  return "";
}

/// Where it goes ///

ReportPlace PlaceReport(const Options& options) {
  ReportPlace place{ReportPlace::Kind::kNone, options.report};
  if (options.report.empty()) return place;
  const std::string shown = ShownName(options.report);
  const auto stream = [&](const std::string& what) {
    if (options.resume) {
      throw Failure{kExitUsage, "--resume goes on with a report kept in a file; --report " + shown + " is " + what};
    }
    place.kind = ReportPlace::Kind::kStream;
    return place;
  };
  if (options.report == "-") return stream("standard output");
  const PathKind kind = KindOf(options.report);
  switch (kind) {
    case PathKind::kNothing: break;
    case PathKind::kFile:
      if (SameFileAs(options.report, 1)) return stream("the file standard output already is");
      if (!options.resume) {
        throw Failure{kExitUsage,
                      "the report " + shown + " exists: give --resume to go on with its run, or name another report"};
      }
      place.kind = ReportPlace::Kind::kExisting;
      return place;
    case PathKind::kDevice:
    case PathKind::kFifo: return stream(std::string(KindName(kind)));
    default:
      throw Failure{kExitInput, "--report " + shown + " is " + std::string(KindName(kind)) +
                                    ": name a file for the report (- for standard output)"};
  }
  // Nothing there yet: a folder that is missing or closed to us is found
  // now, not after the walk. The probe makes nothing.
  try {
    const Output probe(options.report);
  } catch (Failure& failure) {
    failure.message = "--report: " + failure.message;
    throw;
  }
  place.kind = ReportPlace::Kind::kNew;
  return place;
}

ReportFile::ReportFile(const ReportPlace& place) : path_(place.path) {
  const bool stream = place.kind == ReportPlace::Kind::kStream;
  if (path_ == "-" || (stream && SameFileAs(path_, 1))) {
    fd_ = Descriptor::Standard(1);
    return;
  }
  fd_ = stream ? OpenToWrite(path_) : OpenToAppend(path_, place.kind == ReportPlace::Kind::kNew);
  if (!fd_.valid()) {
    StopIfAsked();
    throw Failure{kExitInput, "cannot write the report " + ShownName(path_) + ": " + std::strerror(errno)};
  }
  stream_ = stream;
}

ReportFile::~ReportFile() = default;

void ReportFile::Line(const std::string& text) {
  const std::string line = text + "\n";
  if (!fd_.owned() && ConsoleWrite(fd_.get(), line)) return;
  for (std::size_t done = 0; done < line.size();) {
    const long put = WriteFd(fd_.get(), line.data() + done, line.size() - done);
    if (put < 0 && errno == EINTR) continue;  // the lines already done still go in
    if (put < 0) throw Failure{kExitInput, "cannot write the report " + ShownName(path_) + ": " + std::strerror(errno)};
    done += static_cast<std::size_t>(put);
  }
}

void ReportFile::Sync() {
  if (!fd_.owned() || stream_) return;
  if (SyncFd(fd_.get()) != 0 && errno != EINVAL) {
    throw Failure{kExitInput, "cannot write the report " + ShownName(path_) + ": " + std::strerror(errno)};
  }
}

/// Going on with it ///

namespace {

// "--codepage 1252, UTF-8 texts"
std::string FormOf(int codePage, const std::string& textForm) {
  return "--codepage " + std::to_string(codePage) + (textForm.empty() ? "" : ", texts in " + textForm);
}

// One recorded input line against this run: its folder, its output folder,
// its code page and text form.
void RefuseAnotherLine(const Json& line, const std::string& shown, const std::set<std::string>& roots,
                       const std::string& rootList, const std::string& outputRoot, const Options& options) {
  const std::string root = RecordedName(line, "inputRoot");
  if (!root.empty() && roots.count(NameKey(root)) == 0) {
    throw Failure{kExitUsage, "the report " + shown + " records inputs found under " + ShownName(root) +
                                  ", which is not among this run's (" + rootList +
                                  "): give the inputs of its run, or name a new report"};
  }
  const std::string outputs = RecordedName(line, "outputRoot");
  if (!outputs.empty() && !SameName(outputs, outputRoot)) {
    throw Failure{kExitUsage, "the report " + shown + " records texts written under " + ShownName(outputs) +
                                  ", and this run writes them under " + ShownName(outputRoot) +
                                  ": give its --output-dir, or name a new report"};
  }
  const std::string form = options.raw ? "code page bytes" : "UTF-8";
  const auto page = line.find("codePage");
  const int recordedPage = page != line.end() && page->is_number_integer() ? page->get<int>() : options.codePage;
  const std::string recordedForm = Text(line, "textForm");
  if (recordedPage != options.codePage || (!recordedForm.empty() && recordedForm != form)) {
    throw Failure{kExitUsage, "the report " + shown + " was made with " + FormOf(recordedPage, recordedForm) +
                                  ", and this run would give " + FormOf(options.codePage, form) +
                                  ": one tree would hold texts of two forms; give the options of its run, or name "
                                  "a new report"};
  }
}

// Whether a walked input keeps its recorded line: an output in this run's
// folder that still has the recorded digest, of an input of the same size.
bool Keeps(const Json& line, const Item& item, const std::string& outputDir, const std::string& outputRoot) {
  if (item.preset) return false;
  const std::string sha = Text(line, "outputSha256");
  if (sha.empty() || !SameName(RecordedName(line, "outputRoot"), outputRoot)) return false;
  const auto size = line.find("size");
  if (size == line.end() || !size->is_number_unsigned() || size->get<std::uint64_t>() != item.size) return false;
  bool exists = false;
  return FileSha256(outputDir + "/" + item.outputRelative, exists) == sha;
}

using NamePair = std::pair<std::string, std::string>;  // inputRoot's NameKey, path

// Which input lines are of inputs the walk found: `lastLine` by item (the
// last line of each, the one that may stay), `walked` by line. A line from
// before names kept their bytes, whose name lost some, cannot say which of
// the names it may stand for was its input: when one of them was walked, it
// counts as walked, and so goes; that input is done again.
void MatchLines(const std::vector<Recorded>& lines, const std::vector<Item>& items,
                std::vector<std::optional<std::size_t>>& lastLine, std::vector<bool>& walked) {
  std::map<NamePair, std::size_t> byName;
  std::set<NamePair> lossy;
  for (std::size_t i = 0; i < items.size(); ++i) {
    byName[{NameKey(items[i].root), items[i].relative}] = i;
    if (!IsWholeUtf8(items[i].root) || !IsWholeUtf8(items[i].relative)) {
      lossy.insert({NameKey(Readable(items[i].root)), Readable(items[i].relative)});
    }
  }
  lastLine.assign(items.size(), std::nullopt);
  walked.assign(lines.size(), false);
  for (std::size_t l = 0; l < lines.size(); ++l) {
    const Json& line = lines[l].json;
    if (Text(line, "kind") != "input") continue;
    const auto at = byName.find({NameKey(RecordedName(line, "inputRoot")), RecordedName(line, "path")});
    if (at != byName.end()) {
      lastLine[at->second] = l;
      walked[l] = true;
    } else if (!line.contains("inputRootBytes") && !line.contains("pathBytes")) {
      walked[l] = lossy.count({NameKey(Text(line, "inputRoot")), Text(line, "path")}) != 0;
    }
  }
}

}  // namespace

void RefuseAnotherRun(const std::vector<Recorded>& lines, const std::string& report,
                      const std::vector<std::string>& roots, const std::string& outputRoot, const Options& options) {
  std::set<std::string> ours;
  std::string rootList;
  for (const std::string& root : roots) {
    if (ours.insert(NameKey(root)).second) rootList += (rootList.empty() ? "" : ", ") + ShownName(root);
  }
  for (const Recorded& line : lines) {
    if (Text(line.json, "kind") == "input") {
      RefuseAnotherLine(line.json, ShownName(report), ours, rootList, outputRoot, options);
    }
  }
}

ResumePlan PlanResume(const std::vector<Recorded>& lines, const std::vector<Item>& items, const std::string& outputDir,
                      const std::string& outputRoot) {
  ResumePlan plan;
  plan.keep.assign(items.size(), false);
  std::vector<std::optional<std::size_t>> lastLine;
  std::vector<bool> walked;
  MatchLines(lines, items, lastLine, walked);
  std::vector<bool> stays(lines.size(), false);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!lastLine[i] || !Keeps(lines[*lastLine[i]].json, items[i], outputDir, outputRoot)) continue;
    plan.keep[i] = true;
    stays[*lastLine[i]] = true;
    ++plan.kept;
  }
  for (std::size_t l = 0; l < lines.size(); ++l) {
    const Json& line = lines[l].json;
    if (Text(line, "kind") != "input") continue;  // the old summary goes; a new one ends the run
    if (!walked[l]) {
      stays[l] = true;
      ++plan.notWalked;
    }
    if (!stays[l]) continue;
    plan.retained += lines[l].raw + "\n";
    if (const std::optional<Outcome> outcome = OutcomeNamed(Text(line, "eventOutcome"))) {
      ++plan.counts[static_cast<int>(*outcome)];
      if (IsFailure(*outcome)) plan.worst = std::max(plan.worst, StatusOf(*outcome));
    }
  }
  return plan;
}

}  // namespace trirotor::cli
