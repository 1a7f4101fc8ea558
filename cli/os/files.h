// SPDX-License-Identifier: MIT
//
// files.h - the file system as the tool asks it, on either system: the one
// seam between the tool and the operating system's files.
//
// files_posix.cpp and files_windows.cpp hold the two sides and CMake builds
// one of them, as platform/ does for the engine; above this header the
// reader, the atomic output, the walk, the archive run, batch, recover and
// the key readers are written once. Names are UTF-8 everywhere: POSIX takes
// them as the bytes they are, Windows as long \\?\ UTF-16 names, so that a
// deep tree is no trouble there.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace trirotor::cli {

/// Descriptors ///

// One open file, closed when the owner goes. Standard input, output and
// error are borrowed, never owned: Descriptor::Standard(1).
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd), owned_(fd >= 0) {}
  static Descriptor Standard(int fd) {
    Descriptor held;
    held.fd_ = fd;
    return held;
  }
  ~Descriptor() { Close(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_), owned_(other.owned_) { other.owned_ = false; }
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.fd_;
      owned_ = other.owned_;
      other.owned_ = false;
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  bool owned() const { return owned_; }
  // Closes an owned file now; 0, or -1 with errno set.
  int Close();
  // Gives the file up to the caller, who closes it.
  int Release() {
    owned_ = false;
    return fd_;
  }

 private:
  int fd_ = -1;
  bool owned_ = false;
};

/// Opening by UTF-8 name ///
// Each gives an invalid Descriptor with errno set when the open fails; an
// open cut short by a signal is tried again unless the run is stopping.

Descriptor OpenToRead(const std::string& path);
// For appending; `fresh`: only a file not there yet, made now.
Descriptor OpenToAppend(const std::string& path, bool fresh);
// For writing a device, FIFO or file as it stands (no truncation).
Descriptor OpenToWrite(const std::string& path);
// A file made now, for this process alone (mode 0600 where modes exist),
// truncated when it is there already.
Descriptor CreatePrivate(const std::string& path);

/// What a name is ///

// Which file a name is: its device and inode, or on Windows its volume's
// serial number and file index (mingw's st_ino is always 0). Two names of
// one file, by a link or a hard link, have the same.
struct FileId {
  std::uint64_t volume = 0, index = 0;
  auto operator<=>(const FileId&) const = default;
};
// The identity of what `path` leads to, links followed; nullopt when there
// is nothing there or it cannot be looked at.
std::optional<FileId> FileIdOf(const std::string& path);
// The identity of the regular file `path` names or, for "" and "-", the
// standard descriptor `standardFd` is; nullopt for anything but a regular
// file on a disk.
std::optional<FileId> RegularFileIdOf(const std::string& path, int standardFd);
// Whether `path` is the very file descriptor `fd` has open (/dev/stdin,
// /dev/fd/0, or the file a shell redirected).
bool SameFileAs(const std::string& path, int fd);

// What a name is, its links followed: a link that leads nowhere says so.
enum class PathKind { kNothing, kFolder, kFile, kDanglingLink, kDevice, kFifo, kSocket, kOther };
PathKind KindOf(const std::string& path);
bool IsFolder(const std::string& path);
bool IsRegular(int fd);
// The size of the regular file `fd` has open; nullopt for anything else.
std::optional<std::uint64_t> RegularSize(int fd);

/// Reads and writes ///
// ReadFd and WriteFd are the system's calls: -1 with errno set, EINTR when a
// stop request cut them short. ReadSome below is the tool's one policy.

long ReadFd(int fd, char* buffer, std::size_t size);
long WriteFd(int fd, const char* bytes, std::size_t size);
// Flushes a file to its disk; 0, or -1 with errno set (EINVAL for what
// cannot be flushed, a pipe or a device).
int SyncFd(int fd);
// Moves a regular file's read position to `offset`; false where it cannot.
bool SeekTo(int fd, std::uint64_t offset);
// Writes text for a person on `fd`: through the console's own call when
// `fd` is a Windows console (so that any character shows whatever its code
// page), else as bytes. A failure is not reported: what it writes is
// chatter, a progress line or a warning.
void WriteChatter(int fd, std::string_view text);
// Writes UTF-8 through the console's own call when `fd` is a Windows
// console; false when it is not one (the caller writes the bytes).
bool ConsoleWrite(int fd, std::string_view utf8);
// Whether a read from `fd` would return within `milliseconds`.
bool WaitReadable(int fd, int milliseconds);

// Reads one chunk from a descriptor: a signal other than a stop request
// is ridden out, a stop request throws Failure(kExitAborted), an error
// Failure(kExitInput) naming `what`. Returns the byte count (0 at the end).
std::size_t ReadSome(int fd, char* buffer, std::size_t size, std::string_view what);

/// Temporary beside, replace, remove ///

// A new temporary file in the folder of `target`, named
// ".BASE.trirotor-XXXXXX" (BASE cut to fit the folder's limit), with the
// permissions `target` has or, when there is none yet, those a new file
// gets (`privateMode`: 0600); its owner and group kept where we may.
// `tempPath` gets its name; an invalid Descriptor with errno set on failure.
Descriptor CreateTemporaryBeside(const std::string& target, bool privateMode, std::string& tempPath);
// Puts `temp` in the place of `target` in one step; false with errno set.
bool MoveIntoPlace(const std::string& temp, const std::string& target);
// Removes a file; false with errno set.
bool RemoveFile(const std::string& path);

// Where an output goes, as the name it is given decides (cli/file_io.h
// says which): standard output or error (`standardFd`), a device or pipe
// written as it is (`direct`), or a regular file replaced from a temporary
// beside it (`target`, its links followed). Throws Failure(kExitInput) for a
// place that cannot take it.
struct OutputPlace {
  int standardFd = -1;
  Descriptor direct;
  std::string target;
};
OutputPlace PlaceOutput(const std::string& path);

/// Folders ///

// Every folder on the way to `folder` that is missing, made.
void MakeFolders(const std::string& folder, std::error_code& error);

// What a name leads to, links followed.
struct Look {
  FileId id;
  bool folder = false;
  bool regular = false;
  std::uint64_t size = 0;
};
// One name a folder holds; `link` is known from the listing on Windows, and
// found by Examine on POSIX.
struct FolderEntry {
  std::string name;
  bool link = false;
};
enum class Seen { kSeen, kUnopened, kDangling };
// Each false, with `why` the system's words, when the name cannot be seen.
bool LookAt(const std::string& path, Look& look, std::string& why);
bool ListFolder(const std::string& path, std::vector<FolderEntry>& entries, std::string& why);
// An entry ListFolder gave, looked at: whether it is a link, and what it
// leads to.
Seen Examine(const std::string& full, FolderEntry& entry, Look& look, std::string& why);

/// Names ///

// The characters that separate the parts of a path: '/', and on Windows '\'.
extern const std::string_view kPathSeparators;
// How long the drive ("C:") at the start of a path is: 0 but on Windows.
std::size_t DriveLength(std::string_view path);
// Whether two full names name one place: on Windows, whose names are blind
// to case, ASCII letters of either case are alike.
bool SameName(const std::string& a, const std::string& b);
// A full name in the form SameName compares: a map's key.
std::string NameKey(const std::string& name);
// The system's limits on names, in the units it counts them in (bytes; on
// Windows UTF-16 units, "characters"): what one entry of a folder may be
// called, and how long a path handed to the system may be.
extern const char* const kNameUnits;
std::size_t NameUnits(std::string_view name);
inline constexpr std::size_t kLongestName = 255;
std::size_t LongestPath();
std::size_t PathUnits(const std::string& path);  // as the system is handed it

/// Locks ///

// A lock file held while this process lives: on POSIX a lock (flock) that
// dies with its process, on a file removed at the end; on Windows a file
// opened for no one else, removed when closed. A file at the name that does
// not hold `mark` (or nothing) is not ours and is left as it is.
enum class LockRefusal { kNone, kInUse, kNotOurs, kCannot };
struct HeldLock {
  std::intptr_t handle = -1;  // a descriptor, or a Windows handle
  std::string path;
};
// kNone with `lock` filled when it is held; else why not (`why`: the
// system's words for kCannot).
LockRefusal HoldLock(const std::string& path, std::string_view mark, HeldLock& lock, std::string& why);
void ReleaseLock(HeldLock& lock);

}  // namespace trirotor::cli
