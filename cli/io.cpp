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

#include <cerrno>
#include <cstring>

#include "cli/cli.h"
#include "support/big_buffer.h"

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
  std::size_t used = 0;
  while (used < data.size()) {
    const std::size_t got = ReadSome(fd, reinterpret_cast<char*>(data.data()) + used, data.size() - used, label);
    if (got == 0) break;
    used += got;
  }
  if (used < data.size()) {
    data.resize(used);  // the file shrank: its end is reached
    return data;
  }
  char buffer[1 << 16];
  for (;;) {
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

Output::Output(std::string path) : path_(std::move(path)) {
  if (path_.empty()) return;  // standard output
  // The temporary file sits beside the target so that rename(2) is atomic.
  tempPath_ = DirectoryOf(path_) + "/." + BaseName(path_) + ".trirotor-XXXXXX";
  fd_ = ::mkostemp(tempPath_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    tempPath_.clear();
    throw Failure{kExitInput, Describe("cannot write", path_, error)};
  }
  // mkostemp makes the file private; give it the mode the target has, or the
  // mode a new file would get.
  struct stat info {};
  mode_t mode = 0;
  if (::stat(path_.c_str(), &info) == 0) {
    mode = info.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  ::fchmod(fd_, mode);
}

Output::~Output() {
  if (tempPath_.empty()) return;
  ::close(fd_);
  if (!committed_) ::unlink(tempPath_.c_str());
}

void Output::Write(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t put = ::write(fd_, p, left);
    if (put < 0) {
      if (errno == EINTR) continue;  // the run decides about an interrupt afterwards
      throw Failure{kExitInput, Describe("cannot write", path_.empty() ? std::string("standard output") : path_, errno)};
    }
    p += put;
    left -= static_cast<std::size_t>(put);
  }
}

void Output::Commit() {
  if (tempPath_.empty()) return;
  if (::fsync(fd_) != 0 || ::rename(tempPath_.c_str(), path_.c_str()) != 0) {
    throw Failure{kExitInput, Describe("cannot write", path_, errno)};
  }
  committed_ = true;
}

}  // namespace trirotor::cli
