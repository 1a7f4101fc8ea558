// SPDX-License-Identifier: MIT
//
// fuzz_report.cpp - the archive run's report read back, as --resume and
// --verify read a report a user may have edited, cut or made up.
//
// The input is the report's text. Beyond "no crash" and the Failure a bad
// line earns: every line a resume keeps is one of the report's own lines,
// whole, in its order, and a name written into a line reads back as the
// same bytes whatever they are.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/archive/archive.h"

using namespace trirotor::cli;

namespace {

// Two inputs under one folder, as a walk would give them: the lines of the
// report that name them are matched, the others are not walked.
std::vector<Item> Walked() {
  std::vector<Item> items(2);
  items[0].root = items[1].root = "/nonexistent-fuzz-root/in";
  items[0].relative = "a.b64";
  items[0].outputRelative = "a.txt";
  items[0].size = 5;
  items[1].relative = "sub/\xff.b64";
  items[1].outputRelative = "sub/\xff.txt";
  return items;
}

// What PutName writes reads back through RecordedName, for any bytes.
void NameRoundTrip(std::string_view bytes) {
  const std::string name(bytes.substr(0, 64));
  Json line = Json::object();
  PutName(line, "path", name);
  if (RecordedName(line, "path") != name) std::abort();
  if (RecordedName(Json::parse(Dump(line)), "path") != name) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  NameRoundTrip(text);

  bool torn = false;
  std::vector<Recorded> lines;
  try {
    lines = ParseReport(text, "fuzz.jsonl", torn);
  } catch (const Failure&) {
    return 0;  // a line no run writes: refused, as a user is told
  }
  (void)WhyUnfinished(lines, torn);

  Options options;
  const std::vector<Item> items = Walked();
  try {
    RefuseAnotherRun(lines, "fuzz.jsonl", {items[0].root}, "/nonexistent-fuzz-root/out", options);
  } catch (const Failure&) {
    // another run's report: refused before any work, and planned all the same below
  }
  const ResumePlan plan = PlanResume(lines, items, "/nonexistent-fuzz-root/out", "/nonexistent-fuzz-root/out");

  // The retained text is a run of the report's own lines, in order.
  std::size_t from = 0, at = 0;
  while (from < plan.retained.size()) {
    const std::size_t end = plan.retained.find('\n', from);
    if (end == std::string::npos) std::abort();
    const std::string_view kept(plan.retained.data() + from, end - from);
    while (at < lines.size() && lines[at].raw != kept) ++at;
    if (at == lines.size()) std::abort();
    ++at;
    from = end + 1;
  }
  if (plan.keep.size() != items.size() || plan.kept > items.size()) std::abort();
  return 0;
}
