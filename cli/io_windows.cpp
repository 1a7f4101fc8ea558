// SPDX-License-Identifier: MIT
//
// io_windows.cpp - whole-file input with a cap, and output that lands
// atomically, on Windows: names are UTF-8 turned to UTF-16 long paths, and
// the result replaces its file with ReplaceFileW (or MoveFileExW when there
// is none yet) from a temporary file beside it.

#include "cli/io.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/cli.h"
#include "cli/windows.h"
#include "platform/big_buffer.h"
#include "support/wide_path.h"

namespace trirotor::cli {

namespace {

bool IsStandard(const std::string& path) { return path.empty() || path == "-"; }

std::string Describe(std::string_view what, const std::string& path, int error) {
  const std::string shown = IsStandard(path) ? "standard input" : ShownName(path);
  return std::string(what) + " " + shown + ": " + std::strerror(error);
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

template <typename Buffer>
Buffer ReadWholeInto(const std::string& path, std::size_t limit, std::string_view what) {
  const bool fromStdin = IsStandard(path);
  int fd = 0;
  if (!fromStdin) {
    const DWORD attributes = AttributesOf(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      throw Failure{kExitInput, Describe(std::string("cannot read ") + std::string(what), path, EISDIR)};
    }
    fd = support::OpenFile(path, _O_RDONLY);
    if (fd < 0) throw Failure{kExitInput, Describe(std::string("cannot open ") + std::string(what), path, errno)};
  }
  struct Closer {
    int fd;
    bool owned;
    ~Closer() {
      if (owned) ::_close(fd);
    }
  } closer{fd, !fromStdin};

  Buffer data;
  struct _stat64 info {};
  if (::_fstat64(fd, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG && info.st_size > 0) {
    if (static_cast<std::uint64_t>(info.st_size) > limit) {
      throw Failure{kExitInput, std::string(what) + " is larger than " + std::to_string(limit >> 20) + " MiB"};
    }
    SizeFreshBuffer(data, static_cast<std::size_t>(info.st_size));
  }
  const std::string label = std::string(what) + (fromStdin ? " from standard input" : " " + ShownName(path));
  constexpr std::size_t kChunk = std::size_t{8} << 20;
  std::size_t used = 0;
  while (used < data.size()) {
    if (Interrupted()) throw Failure{kExitAborted, "aborted"};
    const std::size_t got =
        ReadSome(fd, reinterpret_cast<char*>(data.data()) + used, std::min(kChunk, data.size() - used), label);
    if (got == 0) break;
    used += got;
  }
  if (used < data.size()) {
    data.resize(used);
    return data;
  }
  char buffer[1 << 16];
  for (;;) {
    if (Interrupted()) throw Failure{kExitAborted, "aborted"};
    const std::size_t got = ReadSome(fd, buffer, sizeof buffer, label);
    if (got == 0) break;
    if (data.size() + got > limit) {
      throw Failure{kExitInput, std::string(what) + " is larger than " + std::to_string(limit >> 20) + " MiB"};
    }
    data.insert(data.end(), buffer, buffer + got);
  }
  return data;
}

bool IsRegularFile(const std::string& path, int standardFd) {
  if (IsStandard(path)) return GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(standardFd))) == FILE_TYPE_DISK;
  const DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

int ErrnoOf(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

std::optional<FileId> FileIdOf(const std::string& path) { return IndexOf(path); }

std::size_t ReadSome(int fd, char* buffer, std::size_t size, std::string_view what) {
  if (const auto pumped = ReadFromPump(fd, buffer, size)) return *pumped;
  const unsigned int ask = static_cast<unsigned int>(std::min<std::size_t>(size, std::size_t{1} << 30));
  const int got = ::_read(fd, buffer, ask);
  if (got >= 0) return static_cast<std::size_t>(got);
  // A read cancelled by the stop event, or a pipe whose writer is gone.
  if (Interrupted()) throw Failure{kExitAborted, "aborted"};
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
  throw Failure{kExitInput, std::string("cannot read ") + std::string(what) + ": " + std::strerror(errno)};
}

std::string ReadWhole(const std::string& path, std::size_t limit, std::string_view what) {
  return ReadWholeInto<std::string>(path, limit, what);
}

ByteBuffer ReadWholeBytes(const std::string& path, std::size_t limit, std::string_view what) {
  return ReadWholeInto<ByteBuffer>(path, limit, what);
}

void RefuseOutputsOverInputs(const std::vector<std::string>& outputs,
                             const std::vector<std::pair<std::string, std::string>>& inputs) {
  for (const std::string& output : outputs) {
    if (!IsRegularFile(output, 1)) continue;
    for (const auto& [input, what] : inputs) {
      if (!IsRegularFile(input, 0)) continue;
      bool same = false;
      if (IsStandard(output) && IsStandard(input)) {
        same = false;  // two handles: compared below through a name only
      } else if (IsStandard(output)) {
        same = SameFile(input, 1);
      } else if (IsStandard(input)) {
        same = SameFile(output, 0);
      } else {
        same = SameFile(output, input);
      }
      if (!same) continue;
      const std::string shownOutput = IsStandard(output) ? "standard output" : ShownName(output);
      const std::string shownInput = IsStandard(input) ? "standard input" : ShownName(input);
      throw Failure{kExitUsage, "the output " + shownOutput + " is the " + what + " " + shownInput +
                                    ": refusing to write over it; choose another output"};
    }
  }
}

Output::Output(std::string path, Stop stop) : path_(std::move(path)), stop_(stop) {
  if (IsStandard(path_)) {
    fd_ = 1;
    return;
  }
  const std::wstring wide = support::WidePath(path_);
  if (wide.empty()) throw Failure{kExitInput, Describe("cannot write", path_, ENOENT)};
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    throw Failure{kExitInput, ShownName(path_) + " is a directory: give -o a file name"};
  }
  // NUL, CON, a named pipe: written as they are, since a file renamed over
  // them would be no device at all. The very file standard output already
  // is goes there too.
  HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
      fd_ = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
      if (fd_ < 0) {
        CloseHandle(handle);
        throw Failure{kExitInput, Describe("cannot write", path_, EIO)};
      }
      ownsFd_ = true;
      return;
    }
    CloseHandle(handle);
    if (SameFile(path_, 1)) {
      fd_ = 1;
      return;
    }
  } else {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) throw Failure{kExitInput, Describe("cannot write", path_, ErrnoOf(error))};
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    throw Failure{kExitInput, Describe("cannot write", path_, EACCES)};
  }
  target_ = path_;
  const DWORD folder = AttributesOf(FolderOf(target_));
  if (folder == INVALID_FILE_ATTRIBUTES) throw Failure{kExitInput, Describe("cannot write", path_, ENOENT)};
  if (!(folder & FILE_ATTRIBUTE_DIRECTORY)) throw Failure{kExitInput, Describe("cannot write", path_, ENOTDIR)};
}

void Output::OpenTemporary() {
  // Beside the target, so that the replace stays on one volume.
  const std::string folder = FolderOf(target_);
  const std::string stem = folder + "\\." + BaseOf(target_) + ".trirotor-";
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    char tail[16];
    std::snprintf(tail, sizeof tail, "%06lx",
                  static_cast<unsigned long>((GetCurrentProcessId() * 2654435761u + GetTickCount() + attempt * 7919u) &
                                             0xFFFFFF));
    tempPath_ = stem + tail;
    fd_ = support::OpenFile(tempPath_, _O_WRONLY | _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
    if (fd_ >= 0) {
      ownsFd_ = true;
      return;
    }
    if (errno != EEXIST) break;
  }
  const int error = errno;
  tempPath_.clear();
  throw Failure{kExitInput, Describe("cannot write", path_, error)};
}

Output::~Output() {
  if (ownsFd_) ::_close(fd_);
  if (!tempPath_.empty() && !committed_) DeleteFileW(support::WidePath(tempPath_).c_str());
}

std::size_t Output::WriteUntilStop(const char* p, std::size_t size, bool stoppable) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  std::size_t done = 0;
  while (done < size) {
    if (stoppable && Interrupted()) return done;
    const std::size_t chunk = std::min(size - done, kChunk);
    if (ConsoleWrite(fd_, std::string_view(p + done, chunk))) {  // standard output or -o CON
      done += chunk;
    } else {
      const int put = ::_write(fd_, p + done, static_cast<unsigned int>(chunk));
      if (put < 0) {
        if (Interrupted() && !stoppable) throw Failure{kExitAborted, "aborted"};
        const std::string shown = IsStandard(path_) ? std::string("standard output") : path_;
        throw Failure{kExitInput, Describe("cannot write", shown, errno)};
      }
      done += static_cast<std::size_t>(put);
    }
    if (done > 0) atLineStart_ = p[done - 1] == '\n';
  }
  return done;
}

void Output::Write(std::string_view bytes) {
  if (fd_ < 0) OpenTemporary();
  const std::size_t done = WriteUntilStop(bytes.data(), bytes.size(), true);
  if (done == bytes.size()) return;
  if (stop_ == Stop::kWholeLines && !atLineStart_) {
    bytes.remove_prefix(done);
    const std::size_t end = bytes.find('\n');
    WriteUntilStop(bytes.data(), end == std::string_view::npos ? bytes.size() : end + 1, false);
  }
  throw Failure{kExitAborted, "aborted"};
}

void Output::Commit() {
  if (target_.empty()) return;  // written directly
  if (Interrupted()) throw Failure{kExitAborted, "aborted"};
  if (fd_ < 0) OpenTemporary();  // an empty result still makes its file
  if (sync_ && ::_commit(fd_) != 0) throw Failure{kExitInput, Describe("cannot write", path_, errno)};
  ::_close(fd_);  // a file held open cannot be moved
  ownsFd_ = false;
  fd_ = -1;
  const std::wstring from = support::WidePath(tempPath_);
  const std::wstring to = support::WidePath(target_);
  // ReplaceFileW keeps the old file's attributes and permissions; with no
  // old file, or where it is refused, MoveFileExW replaces by name.
  const bool replaced =
      (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES &&
       ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) ||
      MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!replaced) throw Failure{kExitInput, Describe("cannot write", path_, ErrnoOf(GetLastError()))};
  committed_ = true;
}

}  // namespace trirotor::cli
