// SPDX-License-Identifier: MIT
//
// files_posix.cpp - the tool's file seam on POSIX systems (cli/os/files.h).
//
// A name is its bytes, handed to the system as they stand. Reads and writes
// go to read(2) and write(2) directly: after Ctrl-C (the handler has no
// SA_RESTART) a call blocked on a terminal or pipe returns with EINTR and
// the run stops, where a stdio stream would retry or report a plain error.

#include "cli/os/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "cli/status.h"
#include "support/utf8_path.h"

namespace trirotor::cli {

const std::string_view kPathSeparators = "/";
const char* const kNameUnits = "bytes";

namespace {

std::string Describe(std::string_view what, const std::string& path, int error) {
  return std::string(what) + " " + ShownName(path) + ": " + std::strerror(error);
}

// open(2) again after a signal, unless the run is stopping.
int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR && !Interrupted());
  return fd;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

FileId IdOf(const struct stat& info) {
  return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

bool SameFile(const struct stat& info, int fd) {
  struct stat other {};
  return ::fstat(fd, &other) == 0 && other.st_dev == info.st_dev && other.st_ino == info.st_ino;
}

// Where a path ends up once its symbolic links are followed; a dangling link
// names the file it would create. Only the last component matters: the
// temporary file must sit in the same folder as the file it replaces.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string link(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
    if (length < 0 || static_cast<std::size_t>(length) >= link.size()) {
      throw Failure{kExitInput, Describe("cannot follow the link", path, length < 0 ? errno : ENAMETOOLONG)};
    }
    link.resize(static_cast<std::size_t>(length));
    path = link.starts_with('/') ? link : DirectoryOf(path) + "/" + link;
  }
  throw Failure{kExitInput, Describe("cannot write", path, ELOOP)};
}

// The temporary file's name for `base`: ".BASE.trirotor-XXXXXX", with BASE
// cut (between characters) so that the name fits the folder's limit.
std::string TemporaryName(const std::string& folder, const std::string& base) {
  constexpr std::string_view kTail = ".trirotor-XXXXXX";
  long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (limit <= 0) limit = NAME_MAX;
  const std::size_t room = static_cast<std::size_t>(limit) > kTail.size() + 1 ? limit - kTail.size() - 1 : 0;
  std::size_t keep = std::min(base.size(), room);
  while (keep > 0 && keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
  return "." + base.substr(0, keep) + std::string(kTail);
}

// The mode a new file gets. umask(2) can only be read by setting it, for
// the whole process: read once, so that threads writing outputs side by
// side never see the 0 another set for a moment (and make a file anyone may
// write).
mode_t NewFileMode() {
  static const mode_t mask = [] {
    const mode_t was = ::umask(0);
    ::umask(was);
    return was;
  }();
  return 0666 & ~mask;
}

// /dev/fd/N names a descriptor we hold; a socket cannot be opened anew by
// its name, but the descriptor itself can be written.
bool PlaceHeldSocket(const std::string& path, const struct stat& info, OutputPlace& place) {
  for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (!path.starts_with(prefix)) continue;
    const std::string number = path.substr(prefix.size());
    if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos) break;
    const int held = std::stoi(number);
    if (!S_ISSOCK(info.st_mode) || !SameFile(info, held)) break;
    place.direct = Descriptor(::fcntl(held, F_DUPFD_CLOEXEC, 3));
    if (!place.direct.valid()) throw Failure{kExitInput, Describe("cannot write", path, errno)};
    return true;
  }
  return false;
}

// What already stands at an output's name decides where it goes; true when
// `place` is settled, false for a regular file to replace.
bool PlaceOverExisting(const std::string& path, const struct stat& info, OutputPlace& place) {
  if (S_ISDIR(info.st_mode)) throw Failure{kExitInput, ShownName(path) + " is a directory: give -o a file name"};
  // /dev/stdout, /dev/fd/1, or the very file the shell opened for us.
  for (const int standard : {1, 2}) {
    if (!SameFile(info, standard)) continue;
    place.standardFd = standard;
    return true;
  }
  if (PlaceHeldSocket(path, info, place)) return true;
  if (S_ISSOCK(info.st_mode)) {
    throw Failure{kExitInput,
                  ShownName(path) + " is a socket: connect to it with a tool such as socat and pipe into that"};
  }
  if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)) {
    // Devices and pipes are written as they are: renaming a file over them
    // would replace /dev/null with a plain file.
    place.direct = Descriptor(OpenRetrying(path.c_str(), O_WRONLY | O_NOCTTY));
    if (!place.direct.valid()) {
      StopIfAsked();
      throw Failure{kExitInput, Describe("cannot write", path, errno)};
    }
    return true;
  }
  if (!S_ISREG(info.st_mode)) {
    throw Failure{kExitInput,
                  ShownName(path) + " is neither a file nor a device that takes a stream: give -o a file name"};
  }
  // The rename would replace a file that is closed to us, where the shell's
  // `>` would refuse it: refuse it too (with the effective ids, as an open
  // for writing checks them).
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    throw Failure{kExitInput, Describe("cannot write", path, errno)};
  }
  return false;
}

// Only what changes a process's permissions counts for the folder's check.
void RefuseClosedFolder(const std::string& path, const std::string& target) {
  // The temporary file is made only once there is something to write; find
  // a missing or closed folder now, before the work is done.
  const std::string folder = DirectoryOf(target);
  struct stat folderInfo {};
  if (::stat(folder.c_str(), &folderInfo) != 0) throw Failure{kExitInput, Describe("cannot write", path, errno)};
  if (!S_ISDIR(folderInfo.st_mode)) throw Failure{kExitInput, Describe("cannot write", path, ENOTDIR)};
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    throw Failure{kExitInput, Describe("cannot write", path, errno)};
  }
}

// A tree deeper than the longest path the system takes is not walked below
// it: each name is handed to the system whole (docs/archives.md).
std::string SystemError(int error) {
  if (error == ENAMETOOLONG) {
    return "its path is longer than the " + std::to_string(LongestPath()) +
           " bytes the system takes (PATH_MAX): move or link the folder higher up and decode it from there";
  }
  return std::strerror(error);
}

Look LookOf(const struct stat& info) {
  Look look;
  look.id = IdOf(info);
  look.folder = S_ISDIR(info.st_mode);
  look.regular = S_ISREG(info.st_mode);
  look.size = static_cast<std::uint64_t>(info.st_size);
  return look;
}

}  // namespace

/// Descriptors and opening ///

int Descriptor::Close() {
  if (!owned_) return 0;
  owned_ = false;
  return ::close(fd_);
}

Descriptor OpenToRead(const std::string& path) { return Descriptor(OpenRetrying(path.c_str(), O_RDONLY)); }

Descriptor OpenToAppend(const std::string& path, bool fresh) {
  return Descriptor(OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | (fresh ? O_EXCL : 0), 0666));
}

Descriptor OpenToWrite(const std::string& path) { return Descriptor(OpenRetrying(path.c_str(), O_WRONLY | O_NOCTTY)); }

Descriptor CreatePrivate(const std::string& path) {
  return Descriptor(OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
}

/// What a name is ///

std::optional<FileId> FileIdOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return IdOf(info);
}

std::optional<FileId> RegularFileIdOf(const std::string& path, int standardFd) {
  struct stat info {};
  const int got = path.empty() || path == "-" ? ::fstat(standardFd, &info) : ::stat(path.c_str(), &info);
  if (got != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return IdOf(info);
}

bool SameFileAs(const std::string& path, int fd) {
  struct stat named {};
  return ::stat(path.c_str(), &named) == 0 && SameFile(named, fd);
}

PathKind KindOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    struct stat own {};
    const bool link = ::lstat(path.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
    return link ? PathKind::kDanglingLink : PathKind::kNothing;
  }
  if (S_ISDIR(info.st_mode)) return PathKind::kFolder;
  if (S_ISREG(info.st_mode)) return PathKind::kFile;
  if (S_ISCHR(info.st_mode)) return PathKind::kDevice;
  if (S_ISFIFO(info.st_mode)) return PathKind::kFifo;
  if (S_ISSOCK(info.st_mode)) return PathKind::kSocket;
  return PathKind::kOther;  // a block device
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsRegular(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::uint64_t> RegularSize(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

/// Reads and writes ///

long ReadFd(int fd, char* buffer, std::size_t size) { return ::read(fd, buffer, size); }
long WriteFd(int fd, const char* bytes, std::size_t size) { return ::write(fd, bytes, size); }
int SyncFd(int fd) { return ::fsync(fd); }
bool SeekTo(int fd, std::uint64_t offset) { return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0; }

bool ConsoleWrite(int, std::string_view) { return false; }

void WriteChatter(int fd, std::string_view text) {
  if (::write(fd, text.data(), text.size()) < 0) return;  // chatter is a nicety
}

bool WaitReadable(int fd, int milliseconds) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, milliseconds) != 0;
}

std::size_t ReadSome(int fd, char* buffer, std::size_t size, std::string_view what) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR) {
      StopIfAsked();
      continue;
    }
    throw Failure{kExitInput, std::string("cannot read ") + std::string(what) + ": " + std::strerror(errno)};
  }
}

/// Temporary beside, replace, remove ///

Descriptor CreateTemporaryBeside(const std::string& target, bool privateMode, std::string& tempPath) {
  // Beside the target, so that rename(2) is atomic.
  const std::string folder = DirectoryOf(target);
  tempPath = folder + "/" + TemporaryName(folder, BaseName(target));
  Descriptor fd(::mkostemp(tempPath.data(), O_CLOEXEC));
  if (!fd.valid()) {
    const int error = errno;
    tempPath.clear();
    errno = error;
    return fd;
  }
  // mkostemp makes the file private; give it what the target has, or the
  // mode a new file would get. The owner and group are kept where we may
  // set them (as root, or a group of ours); a set-user-ID or set-group-ID
  // bit is never carried over to new content.
  struct stat info {};
  mode_t mode = privateMode ? 0600 : NewFileMode();
  if (::stat(target.c_str(), &info) == 0) {
    mode = info.st_mode & (0777 | S_ISVTX);
    if (::fchown(fd.get(), info.st_uid, info.st_gid) != 0 &&
        ::fchown(fd.get(), static_cast<uid_t>(-1), info.st_gid) != 0) {
      // Neither: the file is ours, with our group, as a new file would be.
    }
  }
  ::fchmod(fd.get(), mode);
  return fd;
}

bool MoveIntoPlace(const std::string& temp, const std::string& target) {
  return ::rename(temp.c_str(), target.c_str()) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

OutputPlace PlaceOutput(const std::string& path) {
  OutputPlace place;
  if (path.empty() || path == "-") {
    place.standardFd = 1;
    return place;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (PlaceOverExisting(path, info, place)) return place;
  } else if (errno != ENOENT) {
    throw Failure{kExitInput, Describe("cannot write", path, errno)};
  }
  place.target = FollowLinks(path);
  RefuseClosedFolder(path, place.target);
  return place;
}

/// Folders ///

void MakeFolders(const std::string& folder, std::error_code& error) {
  std::filesystem::create_directories(support::Utf8Path(folder), error);
}

bool LookAt(const std::string& path, Look& look, std::string& why) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    why = SystemError(errno);
    return false;
  }
  look = LookOf(info);
  return true;
}

bool ListFolder(const std::string& path, std::vector<FolderEntry>& entries, std::string& why) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) {
    why = SystemError(errno);
    return false;
  }
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") entries.push_back({name, false});
  }
  ::closedir(folder);
  return true;
}

Seen Examine(const std::string& full, FolderEntry& entry, Look& look, std::string& why) {
  struct stat info {};
  if (::lstat(full.c_str(), &info) != 0) {
    why = SystemError(errno);
    return Seen::kUnopened;
  }
  entry.link = S_ISLNK(info.st_mode);
  if (!entry.link) {
    look = LookOf(info);
    return Seen::kSeen;
  }
  return LookAt(full, look, why) ? Seen::kSeen : Seen::kDangling;
}

/// Names ///

std::size_t DriveLength(std::string_view) { return 0; }
bool SameName(const std::string& a, const std::string& b) { return a == b; }
std::string NameKey(const std::string& name) { return name; }
std::size_t NameUnits(std::string_view name) { return name.size(); }
std::size_t LongestPath() { return PATH_MAX - 1; }  // and its NUL
std::size_t PathUnits(const std::string& path) { return path.size(); }

/// Locks ///

LockRefusal HoldLock(const std::string& path, std::string_view mark, HeldLock& lock, std::string& why) {
  // A run that ends removes its lock file; one that opened it just before
  // then holds a file no longer at the name, and tries again. The rounds
  // are bounded: each needs a whole run to start and end meanwhile.
  for (int round = 0; round < 16; ++round) {
    Descriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid()) {
      why = std::strerror(errno);
      return LockRefusal::kCannot;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return LockRefusal::kInUse;
      why = std::strerror(errno);
      return LockRefusal::kCannot;
    }
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0 || !SameFile(named, fd.get())) continue;
    char held[64];
    const ssize_t got = ::pread(fd.get(), held, sizeof held, 0);
    const std::string_view content(held, got < 0 ? 0 : static_cast<std::size_t>(got));
    if (got < 0 || !(content.empty() || content == mark)) return LockRefusal::kNotOurs;
    if (got == 0 && ::pwrite(fd.get(), mark.data(), mark.size(), 0) < 0) {
      // The lock holds all the same; the mark only tells it apart later.
    }
    lock.path = path;
    lock.handle = fd.Release();  // kept open in `lock`
    return LockRefusal::kNone;
  }
  return LockRefusal::kInUse;
}

void ReleaseLock(HeldLock& lock) {
  if (lock.handle < 0) return;
  ::unlink(lock.path.c_str());  // before the lock goes, so that no run takes a file on its way out
  ::close(static_cast<int>(lock.handle));
  lock.handle = -1;
}

}  // namespace trirotor::cli
