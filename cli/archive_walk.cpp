// SPDX-License-Identifier: MIT
//
// archive_walk.cpp - the files under the inputs of an archive run.
//
// Folders are read whole and closed before their subfolders are entered, so
// that a deep tree holds no more than one folder open. A linked folder is
// entered only with --follow-symlinks; then every folder on the way down is
// remembered by device and inode, so that a link back up (a loop) and a
// second way into a folder already walked are reported instead of walked.

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "cli/archive.h"
#include "cli/io.h"

namespace trirotor::cli {

namespace {

// Deeper than any real archive; a chain of links could otherwise go on
// until the paths outgrow the system's limit.
constexpr int kMaxDepth = 256;

using Key = std::pair<dev_t, ino_t>;

std::string Absolute(const std::string& path) {
  std::error_code error;
  std::string absolute = std::filesystem::absolute(path, error).lexically_normal().string();
  if (error) absolute = path;
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

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

class Walker {
 public:
  Walker(const WalkRules& rules, std::vector<Item>& items) : rules_(rules), items_(items) {
    leaveOut_.insert(rules.leaveOut.begin(), rules.leaveOut.end());
  }

  void Input(const std::string& input) {
    struct stat info {};
    const std::string folder = input.rfind('/') == std::string::npos ? "." : input.substr(0, input.rfind('/'));
    // A named input is followed whatever it is: the user chose it.
    if (::stat(input.c_str(), &info) != 0) {
      Report(At(Absolute(folder.empty() ? "/" : folder), NameOf(input), input), Outcome::kUnreadable,
             std::string("cannot open it: ") + std::strerror(errno));
      return;
    }
    if (S_ISDIR(info.st_mode)) {
      std::vector<Key> above{{info.st_dev, info.st_ino}};
      walked_.insert(above.front());
      Folder(input, Absolute(input), "", above);
      return;
    }
    Item item = At(Absolute(folder.empty() ? "/" : folder), NameOf(input), input);
    File(std::move(item), info);
  }

 private:
  bool Excluded(const std::string& relative) const {
    return std::any_of(rules_.exclude.begin(), rules_.exclude.end(),
                       [&](const std::string& glob) { return GlobMatches(glob, relative); });
  }
  bool Included(const std::string& relative) const {
    return rules_.include.empty() || std::any_of(rules_.include.begin(), rules_.include.end(), [&](const std::string& glob) {
             return GlobMatches(glob, relative);
           });
  }

  void Report(Item item, Outcome outcome, std::string why) {
    item.preset = true;
    item.outcome = outcome;
    item.why = std::move(why);
    items_.push_back(std::move(item));
  }

  void File(Item item, const struct stat& info) {
    if (leaveOut_.count({info.st_dev, info.st_ino}) != 0) return;
    if (!S_ISREG(info.st_mode)) {
      Report(std::move(item), Outcome::kSkipped, "not a regular file");
      return;
    }
    item.size = static_cast<std::uint64_t>(info.st_size);
    item.device = info.st_dev;
    item.inode = info.st_ino;
    item.outputRelative = OutputNameFor(item.relative);
    items_.push_back(std::move(item));
  }

  // `above`: the folders from the input down to this one.
  void Folder(const std::string& path, const std::string& root, const std::string& relative, std::vector<Key>& above) {
    if (Interrupted()) throw Failure{kExitAborted, "aborted"};
    std::vector<std::string> names;
    if (DIR* folder = ::opendir(path.c_str())) {
      while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(folder);
    } else {
      Report(At(root, relative.empty() ? "." : relative, path), Outcome::kUnreadable,
             std::string("cannot read the folder: ") + std::strerror(errno));
      return;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string full = path + "/" + name;
      const std::string rel = relative.empty() ? name : relative + "/" + name;
      Item item = At(root, rel, full);
      struct stat info {};
      if (::lstat(full.c_str(), &info) != 0) {
        Report(std::move(item), Outcome::kUnreadable, std::string("cannot open it: ") + std::strerror(errno));
        continue;
      }
      const bool link = S_ISLNK(info.st_mode);
      if (link && ::stat(full.c_str(), &info) != 0) {
        if (Excluded(rel) || !Included(rel)) continue;
        Report(std::move(item), Outcome::kUnreadable, std::string("a link to nothing: ") + std::strerror(errno));
        continue;
      }
      if (!S_ISDIR(info.st_mode)) {
        if (Excluded(rel) || !Included(rel)) continue;
        File(std::move(item), info);
        continue;
      }
      // A folder.
      const Key key{info.st_dev, info.st_ino};
      if (!rules_.recursive || Excluded(rel) || leaveOut_.count(key) != 0) continue;
      if (link && !rules_.followLinks) {
        Report(std::move(item), Outcome::kSkipped, "a link to a folder, not followed without --follow-symlinks");
        continue;
      }
      if (std::find(above.begin(), above.end(), key) != above.end()) {
        Report(std::move(item), Outcome::kSkipped, "a link back to a folder above it (a loop)");
        continue;
      }
      if (!walked_.insert(key).second) {
        Report(std::move(item), Outcome::kSkipped, "a folder already walked by another way");
        continue;
      }
      if (above.size() >= kMaxDepth) {
        Report(std::move(item), Outcome::kSkipped, "folders nested deeper than " + std::to_string(kMaxDepth));
        continue;
      }
      above.push_back(key);
      Folder(full, root, rel, above);
      above.pop_back();
    }
  }

  const WalkRules& rules_;
  std::vector<Item>& items_;
  std::set<Key> leaveOut_;
  std::set<Key> walked_;
};

}  // namespace

std::vector<Item> Walk(const std::vector<std::string>& inputs, const WalkRules& rules) {
  std::vector<Item> items;
  Walker walker(rules, items);
  for (const std::string& input : inputs) walker.Input(input);
  return items;
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
  if (glob.find('/') != std::string::npos) return ::fnmatch(glob.c_str(), relative.c_str(), FNM_PATHNAME) == 0;
  return ::fnmatch(glob.c_str(), NameOf(relative).c_str(), 0) == 0;
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

bool IsFailure(Outcome outcome) {
  return outcome != Outcome::kOpened && outcome != Outcome::kNotAMessage && outcome != Outcome::kSkipped;
}

}  // namespace trirotor::cli
