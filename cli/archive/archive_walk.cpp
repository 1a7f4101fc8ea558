// SPDX-License-Identifier: MIT
//
// archive_walk.cpp - the files under the inputs of an archive run.
//
// Folders are read whole and closed before their subfolders are entered, so
// that a deep tree holds no more than one folder open. A linked folder (on
// Windows a reparse point: a symbolic link or a junction) is entered only
// with --follow-symlinks; then every folder on the way down is remembered
// by its identity, so that a link back up (a loop) and a second way into a
// folder already walked are reported instead of walked. Names inside the
// walk are UTF-8 with '/' between them on every system, so that a report
// reads the same wherever it was made.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "cli/archive/archive.h"
#include "cli/archive/glob.h"
#include "cli/file_io.h"
#include "cli/os/files.h"

namespace trirotor::cli {

namespace {

// Deeper than any real archive; a chain of links could otherwise go on
// until the paths outgrow the system's limit.
constexpr int kMaxDepth = 256;

Item At(std::string root, std::string relative, std::string path) {
  Item item;
  item.root = std::move(root);
  item.relative = std::move(relative);
  item.path = std::move(path);
  return item;
}

std::string NameOf(const std::string& relative) {
  const std::size_t slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

// A named input as its folder and its name: "a/b.b64" -> "a", "b.b64";
// "b.b64" -> ".", "b.b64"; "/b.b64" -> "/"; on Windows "C:\b.b64" -> "C:\",
// "C:b.b64" -> "C:".
void Split(const std::string& input, std::string& folder, std::string& name) {
  const std::size_t cut = input.find_last_of(kPathSeparators);
  const std::size_t rootEnd = DriveLength(input);  // a drive's "C:" before the name or its separator
  if (cut == std::string::npos) {
    folder = rootEnd != 0 ? input.substr(0, rootEnd) : ".";
    name = input.substr(rootEnd);
    return;
  }
  name = input.substr(cut + 1);
  folder = cut == rootEnd ? input.substr(0, cut + 1) : input.substr(0, cut);
}

// A folder's path and a name in it; on Windows "C:" is the drive's
// current folder, which a separator would turn into its root.
std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && kPathSeparators.find(folder.back()) != std::string_view::npos) return folder + name;
  if (DriveLength(folder) == folder.size() && !folder.empty()) return folder + name;
  return folder + "/" + name;
}

class Walker {
 public:
  Walker(const WalkRules& rules, std::vector<Item>& items) : rules_(rules), items_(items) {
    leaveOut_.insert(rules.leaveOut.begin(), rules.leaveOut.end());
  }

  void Input(const std::string& input) {
    std::string folder, name;
    Split(input, folder, name);
    // A named input is followed whatever it is: the user chose it.
    Look look;
    std::string why;
    if (!LookAt(input, look, why)) {
      Report(At(AbsoluteName(folder), name, input), Outcome::kUnreadable, "cannot open it: " + why);
      return;
    }
    if (look.folder) {
      std::vector<FileId> above{look.id};
      walked_.insert(above.front());
      Folder(input, AbsoluteName(input), "", above);
      return;
    }
    File(At(AbsoluteName(folder), name, input), look);
  }

 private:
  bool Excluded(const std::string& relative) const {
    return std::any_of(rules_.exclude.begin(), rules_.exclude.end(),
                       [&](const std::string& glob) { return GlobMatches(glob, relative); });
  }
  bool Included(const std::string& relative) const {
    return rules_.include.empty() || std::any_of(rules_.include.begin(), rules_.include.end(),
                                                 [&](const std::string& glob) { return GlobMatches(glob, relative); });
  }

  void Report(Item item, Outcome outcome, std::string why) {
    item.preset = true;
    item.outcome = outcome;
    item.why = std::move(why);
    items_.push_back(std::move(item));
  }

  void File(Item item, const Look& look) {
    if (leaveOut_.count(look.id) != 0) return;
    if (!look.regular) {
      Report(std::move(item), Outcome::kSkipped, "not a regular file");
      return;
    }
    item.size = look.size;
    item.id = look.id;
    item.outputRelative = OutputNameFor(item.relative);
    items_.push_back(std::move(item));
  }

  // `above`: the folders from the input down to this one.
  void Folder(const std::string& path, const std::string& root, const std::string& relative,
              std::vector<FileId>& above) {
    StopIfAsked();
    std::vector<FolderEntry> entries;
    std::string why;
    if (!ListFolder(path, entries, why)) {
      Report(At(root, relative.empty() ? "." : relative, path), Outcome::kUnreadable, "cannot read the folder: " + why);
      return;
    }
    if (rules_.onFolder) rules_.onFolder(items_.size());
    // By the bytes of their UTF-8 names, on every system.
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    for (FolderEntry& entry : entries) {
      const std::string full = Join(path, entry.name);
      const std::string rel = relative.empty() ? entry.name : relative + "/" + entry.name;
      Item item = At(root, rel, full);
      Look look;
      switch (Examine(full, entry, look, why)) {
        case Seen::kSeen: break;
        case Seen::kUnopened: Report(std::move(item), Outcome::kUnreadable, "cannot open it: " + why); continue;
        case Seen::kDangling:
          if (Excluded(rel) || !Included(rel)) continue;
          Report(std::move(item), Outcome::kUnreadable, "a link to nothing: " + why);
          continue;
      }
      if (!look.folder) {
        if (Excluded(rel) || !Included(rel)) continue;
        File(std::move(item), look);
        continue;
      }
      // A folder.
      if (!rules_.recursive || Excluded(rel) || leaveOut_.count(look.id) != 0) continue;
      if (entry.link && !rules_.followLinks) {
        Report(std::move(item), Outcome::kSkipped, "a link to a folder, not followed without --follow-symlinks");
        continue;
      }
      if (std::find(above.begin(), above.end(), look.id) != above.end()) {
        Report(std::move(item), Outcome::kSkipped, "a link back to a folder above it (a loop)");
        continue;
      }
      if (!walked_.insert(look.id).second) {
        Report(std::move(item), Outcome::kSkipped, "a folder already walked by another way");
        continue;
      }
      if (above.size() >= kMaxDepth) {
        Report(std::move(item), Outcome::kSkipped, "folders nested deeper than " + std::to_string(kMaxDepth));
        continue;
      }
      above.push_back(look.id);
      Folder(full, root, rel, above);
      above.pop_back();
    }
  }

  const WalkRules& rules_;
  std::vector<Item>& items_;
  std::set<FileId> leaveOut_;
  std::set<FileId> walked_;
};

}  // namespace

std::vector<Item> Walk(const std::vector<std::string>& inputs, const WalkRules& rules, bool& whole) {
  std::vector<Item> items;
  Walker walker(rules, items);
  whole = false;
  try {
    for (const std::string& input : inputs) walker.Input(input);
  } catch (const Failure& failure) {
    if (failure.status != kExitAborted) throw;
    return items;
  }
  whole = true;
  return items;
}

std::optional<std::string> InputRootOf(const std::string& input, std::string& why) {
  Look look;
  if (!LookAt(input, look, why)) return std::nullopt;
  if (look.folder) return AbsoluteName(input);
  std::string folder, name;
  Split(input, folder, name);
  return AbsoluteName(folder);
}

std::string OutputNameFor(const std::string& relative) {
  const std::size_t slash = relative.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = relative.rfind('.');
  std::string name = relative;
  if (dot != std::string::npos && dot > start) name.resize(dot);
  return name + ".txt";
}

bool GlobMatches(const std::string& glob, const std::string& relative) {
  if (glob.find('/') != std::string::npos) return GlobMatch(glob, relative, true);
  return GlobMatch(glob, NameOf(relative), false);
}

std::string AbsoluteName(const std::string& path) {
  std::error_code error;
  const std::filesystem::path full = std::filesystem::absolute(Utf8Path(path), error).lexically_normal();
  if (error) return path;
  std::string absolute = Utf8Name(full);
  const std::size_t root = std::max<std::size_t>(1, Utf8Name(full.root_path()).size());
  while (absolute.size() > root && kPathSeparators.find(absolute.back()) != std::string_view::npos) absolute.pop_back();
  return absolute;
}

std::string_view OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOpened: return "opened";
    case Outcome::kWrongKey: return "wrong key or suffix";
    case Outcome::kDamaged: return "damaged";
    case Outcome::kChecksum: return "checksum mismatch";
    case Outcome::kSalvaged: return "salvaged";
    case Outcome::kNotAMessage: return "not a message";
    case Outcome::kUnreadable: return "unreadable";
    case Outcome::kUnwritable: return "unwritable";
    case Outcome::kSkipped: return "skipped";
  }
  return "skipped";
}

std::optional<Outcome> OutcomeNamed(std::string_view name) {
  for (int o = 0; o < kOutcomes; ++o) {
    if (OutcomeName(static_cast<Outcome>(o)) == name) return static_cast<Outcome>(o);
  }
  return std::nullopt;
}

bool IsFailure(Outcome outcome) {
  return outcome != Outcome::kOpened && outcome != Outcome::kNotAMessage && outcome != Outcome::kSkipped;
}

namespace {

// The outcomes that restate a decode's status, and which status each is: the
// exit statuses of decode's own table follow from it.
struct DecodedAs {
  DecodeStatus status;
  Outcome outcome;
};
constexpr DecodedAs kDecodedAs[] = {
    {DecodeStatus::kOpened, Outcome::kOpened},         {DecodeStatus::kChecksumMismatch, Outcome::kChecksum},
    {DecodeStatus::kFrameFailed, Outcome::kWrongKey},  {DecodeStatus::kEngineError, Outcome::kDamaged},
    {DecodeStatus::kNoMessage, Outcome::kNotAMessage},
};

}  // namespace

Outcome OutcomeOf(DecodeStatus status) {
  for (const DecodedAs& row : kDecodedAs) {
    if (row.status == status) return row.outcome;
  }
  return Outcome::kDamaged;
}

int StatusOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kSkipped: return kExitOk;
    case Outcome::kSalvaged: return kExitChecksum;  // written, not verified
    case Outcome::kUnreadable:
    case Outcome::kUnwritable: return kExitInput;
    default: break;
  }
  for (const DecodedAs& row : kDecodedAs) {
    if (row.outcome == outcome) return ExitStatusOf(row.status);
  }
  return kExitInput;
}

}  // namespace trirotor::cli
