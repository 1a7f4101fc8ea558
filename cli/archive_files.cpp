// SPDX-License-Identifier: MIT
//
// archive_files.cpp - the file system as an archive run asks it, on either
// system: files opened by UTF-8 name, what a name is, folders made, a
// file's digest, and the limits on names and paths.
//
// POSIX names are the bytes as they stand. Windows names go through
// support/wide_path.h as long \\?\ names, so that a deep tree is no trouble
// there; its identities and devices come from handles.

#include "cli/archive.h"

#if defined(_WIN32)
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

#include "cli/sha256.h"
#if defined(_WIN32)
#include "cli/windows.h"
#include "support/wide_path.h"
#endif

namespace trirotor::cli {

#if defined(_WIN32)

int OpenToRead(const std::string& path) { return support::OpenFile(path, _O_RDONLY); }
int OpenToAppend(const std::string& path, bool fresh) {
  return support::OpenFile(path, _O_WRONLY | _O_CREAT | _O_APPEND | (fresh ? _O_EXCL : 0), _S_IREAD | _S_IWRITE);
}
int OpenToWrite(const std::string& path) { return support::OpenFile(path, _O_WRONLY); }
bool IsRegular(int fd) {
  struct _stat64 info {};
  return ::_fstat64(fd, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
}
long ReadFd(int fd, char* buffer, std::size_t size) { return ::_read(fd, buffer, static_cast<unsigned>(size)); }
long WriteFd(int fd, const char* bytes, std::size_t size) { return ::_write(fd, bytes, static_cast<unsigned>(size)); }
int SyncFd(int fd) { return ::_commit(fd); }
int CloseFd(int fd) { return ::_close(fd); }
bool IsFolder(const std::string& path) { return support::IsDirectory(path); }

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

// A handle opened with no access at all tells the kind of anything, a
// device and a folder too; a reparse point whose target is gone cannot be
// opened, though its own entry is there.
PathKind KindOf(const std::string& path) {
  const std::wstring wide = support::WidePath(path);
  if (wide.empty()) return PathKind::kNothing;
  HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

bool IsStandardOutput(const std::string& path) { return SameFile(path, 1); }

std::size_t NameUnits(std::string_view name) {
  const std::wstring wide = support::WideText(name);
  return wide.empty() ? name.size() : wide.size();
}
// The long form's own limit, \\?\ and all.
std::size_t LongestPath() { return 32767 - 1; }
std::size_t PathUnits(const std::string& path) { return support::WidePath(path).size(); }

#else

int OpenToRead(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }
int OpenToAppend(const std::string& path, bool fresh) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (fresh ? O_EXCL : 0), 0666);
}
int OpenToWrite(const std::string& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR && !Interrupted());
  return fd;
}
bool IsRegular(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}
long ReadFd(int fd, char* buffer, std::size_t size) { return ::read(fd, buffer, size); }
long WriteFd(int fd, const char* bytes, std::size_t size) { return ::write(fd, bytes, size); }
int SyncFd(int fd) { return ::fsync(fd); }
int CloseFd(int fd) { return ::close(fd); }
bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
void MakeFolders(const std::string& folder, std::error_code& error) {
  std::filesystem::create_directories(Utf8Path(folder), error);
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

bool IsStandardOutput(const std::string& path) {
  struct stat named {};
  struct stat out {};
  return ::stat(path.c_str(), &named) == 0 && ::fstat(1, &out) == 0 && named.st_dev == out.st_dev &&
         named.st_ino == out.st_ino;
}

std::size_t NameUnits(std::string_view name) { return name.size(); }
std::size_t LongestPath() { return PATH_MAX - 1; }  // and its NUL
std::size_t PathUnits(const std::string& path) { return path.size(); }

#endif

std::string_view KindName(PathKind kind) {
  switch (kind) {
    case PathKind::kNothing: return "nothing";
    case PathKind::kFolder: return "a folder";
    case PathKind::kFile: return "a file";
    case PathKind::kDanglingLink: return "a link to nothing";
    case PathKind::kDevice: return "a device";
    case PathKind::kFifo: return "a FIFO";
    case PathKind::kSocket: return "a socket";
    case PathKind::kOther: return "neither a file, a folder nor a device that takes a stream";
  }
  return "nothing";
}

bool SameName(const std::string& a, const std::string& b) { return NameKey(a) == NameKey(b); }

std::string NameKey(const std::string& name) {
#if defined(_WIN32)
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '/') c = '\\';
  }
  return key;
#else
  return name;
#endif
}

std::string FileSha256(const std::string& path, bool& exists) {
  exists = false;
  const int fd = OpenToRead(path);
  if (fd < 0) return "";
  struct Closer {
    int fd;
    ~Closer() { CloseFd(fd); }
  } closer{fd};
  if (!IsRegular(fd)) return "";
  Sha256 hash;
  std::string chunk(std::size_t{1} << 20, '\0');
  for (;;) {
    if (Interrupted()) throw Failure{kExitAborted, "aborted"};
    const long got = ReadFd(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return "";
    if (got == 0) break;
    hash.Update(std::string_view(chunk.data(), static_cast<std::size_t>(got)));
  }
  exists = true;
  return hash.Hex();
}

}  // namespace trirotor::cli
