// SPDX-License-Identifier: MIT
//
// files_windows.cpp - the tool's file seam on Windows (cli/os/files.h).
//
// Names are UTF-8 turned to UTF-16 long \\?\ paths (support/wide_path.h);
// identities and devices come from handles; an output replaces its file
// with ReplaceFileW (or MoveFileExW when there is none yet) from a temporary
// file beside it.

#include "cli/os/files.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/os/windows_side.h"
#include "cli/status.h"
#include "support/wide_path.h"

namespace trirotor::cli {

const std::string_view kPathSeparators = "/\\";
const char* const kNameUnits = "characters";

namespace {

bool IsStandard(const std::string& path) { return path.empty() || path == "-"; }

std::string Describe(std::string_view what, const std::string& path, int error) {
  return std::string(what) + " " + ShownName(path) + ": " + std::strerror(error);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) + "." : ".";
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

DWORD AttributesOf(const std::string& path) {
  const std::wstring wide = support::WidePath(path);
  return wide.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wide.c_str());
}

std::string SystemError() { return std::strerror(ErrnoOf(GetLastError())); }

// A handle opened with no access at all tells the kind of anything, a
// device and a folder too.
HANDLE OpenToLook(const std::wstring& wide) {
  return wide.empty() ? INVALID_HANDLE_VALUE
                      : CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// NUL, CON, a named pipe: written as they are, since a file renamed over
// them would be no device at all. The very file standard output already
// is goes there too. True when `place` is settled.
bool PlaceOverExisting(const std::string& path, const std::wstring& wide, OutputPlace& place) {
  HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) throw Failure{kExitInput, Describe("cannot write", path, ErrnoOf(error))};
    return false;
  }
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
    place.direct = Descriptor(::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY));
    if (!place.direct.valid()) {
      CloseHandle(handle);
      throw Failure{kExitInput, Describe("cannot write", path, EIO)};
    }
    return true;
  }
  CloseHandle(handle);
  if (SameFileAs(path, 1)) {
    place.standardFd = 1;
    return true;
  }
  return false;
}

}  // namespace

/// What the console side shares ///

int ErrnoOf(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    default: return EIO;
  }
}

std::optional<FileId> IndexOf(void* handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(handle, &info))
    return std::nullopt;
  return FileId{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::optional<FileId> IndexOf(const std::string& path) {
  HANDLE handle = OpenToLook(support::WidePath(path));
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  const auto index = IndexOf(handle);
  CloseHandle(handle);
  return index;
}

/// Descriptors and opening ///

int Descriptor::Close() {
  if (!owned_) return 0;
  owned_ = false;
  return ::_close(fd_);
}

Descriptor OpenToRead(const std::string& path) { return Descriptor(support::OpenFile(path, _O_RDONLY)); }

Descriptor OpenToAppend(const std::string& path, bool fresh) {
  return Descriptor(
      support::OpenFile(path, _O_WRONLY | _O_CREAT | _O_APPEND | (fresh ? _O_EXCL : 0), _S_IREAD | _S_IWRITE));
}

Descriptor OpenToWrite(const std::string& path) { return Descriptor(support::OpenFile(path, _O_WRONLY)); }

Descriptor CreatePrivate(const std::string& path) {
  return Descriptor(support::OpenFile(path, _O_WRONLY | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE));
}

/// What a name is ///

std::optional<FileId> FileIdOf(const std::string& path) { return IndexOf(path); }

std::optional<FileId> RegularFileIdOf(const std::string& path, int standardFd) {
  if (IsStandard(path)) return IndexOf(HandleOf(standardFd));
  const DWORD attributes = AttributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
  return IndexOf(path);
}

bool SameFileAs(const std::string& path, int fd) {
  const auto a = IndexOf(path);
  const auto b = IndexOf(HandleOf(fd));
  return a && b && *a == *b;
}

// A reparse point whose target is gone cannot be opened, though its own
// entry is there.
PathKind KindOf(const std::string& path) {
  const std::wstring wide = support::WidePath(path);
  if (wide.empty()) return PathKind::kNothing;
  HANDLE handle = OpenToLook(wide);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD own = GetFileAttributesW(wide.c_str());
    if (own == INVALID_FILE_ATTRIBUTES) return PathKind::kNothing;
    return (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PathKind::kDanglingLink : PathKind::kOther;
  }
  const DWORD type = GetFileType(handle);
  BY_HANDLE_FILE_INFORMATION info{};
  const bool got = type == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  if (type == FILE_TYPE_CHAR) return PathKind::kDevice;
  if (type == FILE_TYPE_PIPE) return PathKind::kFifo;
  if (!got) return PathKind::kOther;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kFolder : PathKind::kFile;
}

bool IsFolder(const std::string& path) { return support::IsDirectory(path); }

bool IsRegular(int fd) {
  struct _stat64 info {};
  return ::_fstat64(fd, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
}

std::optional<std::uint64_t> RegularSize(int fd) {
  struct _stat64 info {};
  if (::_fstat64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

/// Reads and writes ///

long ReadFd(int fd, char* buffer, std::size_t size) {
  return ::_read(fd, buffer, static_cast<unsigned>(std::min<std::size_t>(size, std::size_t{1} << 30)));
}

// A write the stop event cancelled reads as EINTR, as on POSIX.
long WriteFd(int fd, const char* bytes, std::size_t size) {
  const int put = ::_write(fd, bytes, static_cast<unsigned>(std::min<std::size_t>(size, std::size_t{1} << 30)));
  if (put < 0 && Interrupted()) errno = EINTR;
  return put;
}

int SyncFd(int fd) { return ::_commit(fd); }
bool SeekTo(int fd, std::uint64_t offset) { return ::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) >= 0; }

void WriteChatter(int fd, std::string_view text) {
  if (ConsoleWrite(fd, text)) return;
  if (::_write(fd, text.data(), static_cast<unsigned>(text.size())) < 0) return;  // chatter is a nicety
}

std::size_t ReadSome(int fd, char* buffer, std::size_t size, std::string_view what) {
  if (const auto pumped = ReadFromPump(fd, buffer, size)) return *pumped;
  const long got = ReadFd(fd, buffer, size);
  if (got >= 0) return static_cast<std::size_t>(got);
  // A read cancelled by the stop event, or a pipe whose writer is gone.
  StopIfAsked();
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
  throw Failure{kExitInput, std::string("cannot read ") + std::string(what) + ": " + std::strerror(errno)};
}

/// Temporary beside, replace, remove ///

// Windows keeps no mode bits worth copying: the temporary file gets the
// folder's permissions, and ReplaceFileW carries the old file's over.
Descriptor CreateTemporaryBeside(const std::string& target, bool, std::string& tempPath) {
  // Beside the target, so that the replace stays on one volume.
  const std::string stem = FolderOf(target) + "\\." + BaseOf(target) + ".trirotor-";
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    char tail[16];
    std::snprintf(tail, sizeof tail, "%06lx",
                  static_cast<unsigned long>((GetCurrentProcessId() * 2654435761u + GetTickCount() + attempt * 7919u) &
                                             0xFFFFFF));
    tempPath = stem + tail;
    Descriptor fd(support::OpenFile(tempPath, _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE));
    if (fd.valid()) return fd;
    if (errno != EEXIST) break;
  }
  const int error = errno;
  tempPath.clear();
  errno = error;
  return Descriptor();
}

bool MoveIntoPlace(const std::string& temp, const std::string& target) {
  const std::wstring from = support::WidePath(temp);
  const std::wstring to = support::WidePath(target);
  // ReplaceFileW keeps the old file's attributes and permissions; with no
  // old file, or where it is refused, MoveFileExW replaces by name.
  const bool replaced =
      (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES &&
       ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) ||
      MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!replaced) errno = ErrnoOf(GetLastError());
  return replaced;
}

bool RemoveFile(const std::string& path) {
  if (DeleteFileW(support::WidePath(path).c_str())) return true;
  errno = ErrnoOf(GetLastError());
  return false;
}

OutputPlace PlaceOutput(const std::string& path) {
  OutputPlace place;
  if (IsStandard(path)) {
    place.standardFd = 1;
    return place;
  }
  const std::wstring wide = support::WidePath(path);
  if (wide.empty()) throw Failure{kExitInput, Describe("cannot write", path, ENOENT)};
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    throw Failure{kExitInput, ShownName(path) + " is a directory: give -o a file name"};
  }
  if (PlaceOverExisting(path, wide, place)) return place;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    throw Failure{kExitInput, Describe("cannot write", path, EACCES)};
  }
  place.target = path;
  const DWORD folder = AttributesOf(FolderOf(path));
  if (folder == INVALID_FILE_ATTRIBUTES) throw Failure{kExitInput, Describe("cannot write", path, ENOENT)};
  if (!(folder & FILE_ATTRIBUTE_DIRECTORY)) throw Failure{kExitInput, Describe("cannot write", path, ENOTDIR)};
  return place;
}

/// Folders ///

// Each folder on the way made by its long name: create_directories takes
// no \\?\ names, and so no tree deeper than 260 characters.
void MakeFolders(const std::string& folder, std::error_code& error) {
  error.clear();
  if (IsFolder(folder)) return;
  DWORD last = ERROR_SUCCESS;
  for (std::size_t at = folder.find_first_of("/\\");; at = folder.find_first_of("/\\", at + 1)) {
    const std::string prefix = folder.substr(0, at);
    if (!prefix.empty() && prefix.back() != ':' && prefix.back() != '/' && prefix.back() != '\\') {
      last = CreateDirectoryW(support::WidePath(prefix).c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
    }
    if (at == std::string::npos) break;
  }
  if (!IsFolder(folder)) {
    error.assign(ErrnoOf(last == ERROR_SUCCESS ? ERROR_PATH_NOT_FOUND : last), std::generic_category());
  }
}

bool LookAt(const std::string& path, Look& look, std::string& why) {
  const std::wstring wide = support::WidePath(path);
  HANDLE handle = OpenToLook(wide);
  if (handle == INVALID_HANDLE_VALUE) {
    why = wide.empty() ? std::strerror(ENOENT) : SystemError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool got = GetFileInformationByHandle(handle, &info) != 0;
  if (!got) why = SystemError();
  const std::optional<FileId> id = got ? IndexOf(handle) : std::nullopt;
  CloseHandle(handle);
  if (!got) return false;
  look.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  look.regular = !look.folder && id.has_value() && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
  look.id = id.value_or(FileId{});
  look.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return true;
}

bool ListFolder(const std::string& path, std::vector<FolderEntry>& entries, std::string& why) {
  std::wstring pattern = support::WidePath(path);
  if (pattern.empty()) {
    why = std::strerror(ENOENT);
    return false;
  }
  pattern += pattern.back() == L'\\' ? L"*" : L"\\*";
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;  // an empty root holds not even "."
    why = SystemError();
    return false;
  }
  do {
    const std::wstring_view wide = found.cFileName;
    if (wide == L"." || wide == L"..") continue;
    entries.push_back({support::NarrowText(wide), (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

// A reparse point is a link here when it leads somewhere else: a folder's
// (a symbolic link or junction) is, and so a file's whose target is gone.
Seen Examine(const std::string& full, FolderEntry& entry, Look& look, std::string& why) {
  if (LookAt(full, look, why)) return Seen::kSeen;
  return entry.link ? Seen::kDangling : Seen::kUnopened;
}

/// Names ///

std::size_t DriveLength(std::string_view path) { return path.size() >= 2 && path[1] == ':' ? 2 : 0; }

bool SameName(const std::string& a, const std::string& b) { return NameKey(a) == NameKey(b); }

std::string NameKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return key;
}

std::size_t NameUnits(std::string_view name) {
  const std::wstring wide = support::WideText(name);
  return wide.empty() ? name.size() : wide.size();
}
// The long form's own limit, \\?\ and all.
std::size_t LongestPath() { return 32767 - 1; }
std::size_t PathUnits(const std::string& path) { return support::WidePath(path).size(); }

/// Locks ///

LockRefusal HoldLock(const std::string& path, std::string_view mark, HeldLock& lock, std::string& why) {
  const std::wstring wide = support::WidePath(path);
  // Shared with no one: a second run's open fails while this one lives, and
  // the file goes when the handle closes, however the process ends.
  constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
  HANDLE handle = CreateFileW(wide.c_str(), kAccess, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
    // Held by a run now, or left by a machine that went down: look first,
    // without the deletion, so that a file of the user's stays.
    HANDLE look = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (look == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_SHARING_VIOLATION) return LockRefusal::kInUse;
      why = "it cannot be opened";
      return LockRefusal::kCannot;
    }
    char held[64] = {};
    DWORD got = 0;
    const bool read = ReadFile(look, held, sizeof held, &got, nullptr) != 0;
    CloseHandle(look);
    const std::string_view content(held, got);
    if (!read || !(content.empty() || content == mark)) return LockRefusal::kNotOurs;
    handle = CreateFileW(wide.c_str(), kAccess, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_SHARING_VIOLATION) return LockRefusal::kInUse;
    why = "it cannot be made (error " + std::to_string(GetLastError()) + ")";
    return LockRefusal::kCannot;
  }
  DWORD put = 0;
  WriteFile(handle, mark.data(), static_cast<DWORD>(mark.size()), &put, nullptr);
  lock.path = path;
  lock.handle = reinterpret_cast<std::intptr_t>(handle);
  return LockRefusal::kNone;
}

void ReleaseLock(HeldLock& lock) {
  if (lock.handle == -1) return;
  CloseHandle(reinterpret_cast<HANDLE>(lock.handle));
  lock.handle = -1;
}

}  // namespace trirotor::cli
