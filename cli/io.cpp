// SPDX-License-Identifier: MIT
//
// io.cpp - whole-file input with a cap, and output that lands atomically.
//
// Reads use read(2) directly: after Ctrl-C (the handler has no SA_RESTART)
// a read blocked on a terminal or pipe returns with EINTR and the run stops,
// where a stdio stream would retry or report a plain error.

#include "cli/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/cli.h"
#include "platform/big_buffer.h"

namespace trirotor::cli {

namespace {

std::string Describe(std::string_view what, const std::string& path, int error) {
  std::string shown = path.empty() || path == "-" ? "standard input" : path;
  return std::string(what) + " " + shown + ": " + std::strerror(error);
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

}  // namespace

std::size_t ReadSome(int fd, char* buffer, std::size_t size, std::string_view what) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR) {
      if (Interrupted()) throw Failure{kExitAborted, "aborted"};
      continue;
    }
    throw Failure{kExitInput, std::string("cannot read ") + std::string(what) + ": " + std::strerror(errno)};
  }
}

namespace {

// Reads straight into the caller's kind of buffer, sized once from the file's
// length where there is one, so that a big message is never held twice.
template <typename Buffer>
Buffer ReadWholeInto(const std::string& path, std::size_t limit, std::string_view what) {
  const bool fromStdin = path.empty() || path == "-";
  int fd = 0;
  if (!fromStdin) {
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && !Interrupted());
    if (fd < 0) {
      if (Interrupted()) throw Failure{kExitAborted, "aborted"};
      throw Failure{kExitInput, Describe(std::string("cannot open ") + std::string(what), path, errno)};
    }
  }
  struct Closer {
    int fd;
    bool owned;
    ~Closer() {
      if (owned) ::close(fd);
    }
  } closer{fd, !fromStdin};

  Buffer data;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    throw Failure{kExitInput, Describe(std::string("cannot read ") + std::string(what), path, EISDIR)};
  }
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    if (static_cast<std::uint64_t>(info.st_size) > limit) {
      throw Failure{kExitInput, std::string(what) + " is larger than " + std::to_string(limit >> 20) + " MiB"};
    }
    SizeFreshBuffer(data, static_cast<std::size_t>(info.st_size));
  }
  const std::string label = std::string(what) + (fromStdin ? " from standard input" : " " + path);
  // A file of known length is read straight into its buffer; a pipe, or a
  // file that grew meanwhile, goes on through a small one.
  // Reads go in chunks, so that an interrupt is seen within one of them even
  // where read(2) does not return early for a signal (a regular file).
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
    data.resize(used);  // the file shrank: its end is reached
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

}  // namespace

std::string ReadWhole(const std::string& path, std::size_t limit, std::string_view what) {
  return ReadWholeInto<std::string>(path, limit, what);
}

ByteBuffer ReadWholeBytes(const std::string& path, std::size_t limit, std::string_view what) {
  return ReadWholeInto<ByteBuffer>(path, limit, what);
}

namespace {

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

}  // namespace

Output::Output(std::string path) : path_(std::move(path)) {
  if (path_.empty() || path_ == "-") {
    fd_ = 1;
    return;
  }
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) throw Failure{kExitInput, path_ + " is a directory: give -o a file name"};
    // /dev/stdout, /dev/fd/1, or the very file the shell opened for us.
    if (SameFile(info, 1)) {
      fd_ = 1;
      return;
    }
    if (SameFile(info, 2)) {
      fd_ = 2;
      return;
    }
    // /dev/fd/N names a descriptor we hold; a socket cannot be opened anew
    // by its name, but the descriptor itself can be written.
    for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
      if (!path_.starts_with(prefix)) continue;
      const std::string number = path_.substr(prefix.size());
      if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos) break;
      const int held = std::stoi(number);
      if (S_ISSOCK(info.st_mode) && SameFile(info, held)) {
        fd_ = ::fcntl(held, F_DUPFD_CLOEXEC, 3);
        if (fd_ < 0) throw Failure{kExitInput, Describe("cannot write", path_, errno)};
        ownsFd_ = true;
        return;
      }
    }
    if (S_ISSOCK(info.st_mode)) {
      throw Failure{kExitInput, path_ + " is a socket: connect to it with a tool such as socat and pipe into that"};
    }
    if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)) {
      // Devices and pipes are written as they are: renaming a file over
      // them would replace /dev/null with a plain file.
      do {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      } while (fd_ < 0 && errno == EINTR && !Interrupted());
      if (fd_ < 0) {
        if (Interrupted()) throw Failure{kExitAborted, "aborted"};
        throw Failure{kExitInput, Describe("cannot write", path_, errno)};
      }
      ownsFd_ = true;
      return;
    }
    if (!S_ISREG(info.st_mode)) {
      throw Failure{kExitInput, path_ + " is neither a file nor a device that takes a stream: give -o a file name"};
    }
  } else if (errno != ENOENT) {
    throw Failure{kExitInput, Describe("cannot write", path_, errno)};
  }
  target_ = FollowLinks(path_);
  // The temporary file is made only once there is something to write; find
  // a missing or closed folder now, before the work is done.
  const std::string folder = DirectoryOf(target_);
  struct stat folderInfo {};
  if (::stat(folder.c_str(), &folderInfo) != 0) throw Failure{kExitInput, Describe("cannot write", path_, errno)};
  if (!S_ISDIR(folderInfo.st_mode)) throw Failure{kExitInput, Describe("cannot write", path_, ENOTDIR)};
  if (::access(folder.c_str(), W_OK | X_OK) != 0) throw Failure{kExitInput, Describe("cannot write", path_, errno)};
}

void Output::OpenTemporary() {
  // The temporary file sits beside the target so that rename(2) is atomic.
  tempPath_ = DirectoryOf(target_) + "/." + BaseName(target_) + ".trirotor-XXXXXX";
  fd_ = ::mkostemp(tempPath_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    tempPath_.clear();
    throw Failure{kExitInput, Describe("cannot write", path_, error)};
  }
  ownsFd_ = true;
  // mkostemp makes the file private; give it the mode the target has, or the
  // mode a new file would get.
  struct stat info {};
  mode_t mode = 0;
  if (::stat(target_.c_str(), &info) == 0) {
    mode = info.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  ::fchmod(fd_, mode);
}

Output::~Output() {
  if (ownsFd_) ::close(fd_);
  if (!tempPath_.empty() && !committed_) ::unlink(tempPath_.c_str());
}

void Output::Write(std::string_view bytes) {
  // Chunks keep the time from an interrupt to the stop short on a slow pipe.
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  if (fd_ < 0) OpenTemporary();
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    if (Interrupted()) throw Failure{kExitAborted, "aborted"};
    const ssize_t put = ::write(fd_, p, std::min(left, kChunk));
    if (put < 0) {
      if (errno == EINTR) continue;
      const bool toStdout = path_.empty() || path_ == "-";
      throw Failure{kExitInput, Describe("cannot write", toStdout ? std::string("standard output") : path_, errno)};
    }
    p += put;
    left -= static_cast<std::size_t>(put);
  }
}

void Output::Commit() {
  if (target_.empty()) return;  // written directly
  if (Interrupted()) throw Failure{kExitAborted, "aborted"};
  if (fd_ < 0) OpenTemporary();  // an empty result still makes its file
  if (::fsync(fd_) != 0 || ::rename(tempPath_.c_str(), target_.c_str()) != 0) {
    throw Failure{kExitInput, Describe("cannot write", path_, errno)};
  }
  committed_ = true;
}

}  // namespace trirotor::cli
