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
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>

#include "cli/cli.h"
#include "platform/big_buffer.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

#if !defined(_WIN32)  // Windows: io_windows.cpp
std::string Describe(std::string_view what, const std::string& path, int error) {
  std::string shown = path.empty() || path == "-" ? "standard input" : ShownName(path);
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

#endif

// A character that would break a message's line or turn the terminal: the
// C0 and C1 controls, DEL, the Unicode line and paragraph separators and the
// bidirectional overrides.
bool Unprintable(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string ShownName(std::string_view path) {
  std::u16string wide;
  std::size_t bad = 0;
  bool plain = support::DecodeUtf8(path, wide, bad);
  for (std::size_t i = 0; plain && i < wide.size(); ++i) plain = !Unprintable(wide[i]);
  if (plain) return std::string(path);
  std::string shown = "\"";
  const auto escape = [&](unsigned char byte) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    shown += hex;
  };
  for (std::size_t i = 0; i < path.size();) {
    const auto byte = static_cast<unsigned char>(path[i]);
    if (byte >= 0x80) {
      // A whole UTF-8 character stays as it is when printable; any other
      // byte past ASCII is shown by its value.
      const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
      std::u16string one;
      std::size_t where = 0;
      const std::string_view sequence = path.substr(i, length);
      if (support::DecodeUtf8(sequence, one, where)) {
        const char32_t c = one.size() == 2 ? 0x10000 + ((one[0] - 0xD800u) << 10) + (one[1] - 0xDC00u) : one[0];
        if (!Unprintable(c)) {
          shown += sequence;
        } else {
          for (const char b : sequence) escape(static_cast<unsigned char>(b));
        }
        i += length;
        continue;
      }
      escape(byte);
      ++i;
      continue;
    }
    switch (byte) {
      case '\n': shown += "\\n"; break;
      case '\t': shown += "\\t"; break;
      case '\r': shown += "\\r"; break;
      case '"': shown += "\\\""; break;
      case '\\': shown += "\\\\"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          escape(byte);
        } else {
          shown += static_cast<char>(byte);
        }
    }
    ++i;
  }
  return shown + "\"";
}

#if !defined(_WIN32)  // Windows: io_windows.cpp
std::optional<FileId> FileIdOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

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
  const std::string label = std::string(what) + (fromStdin ? " from standard input" : " " + ShownName(path));
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

// The regular file a path names, or standard input or output ("" and "-")
// is, following links; nullopt for anything else or nothing.
std::optional<struct stat> RegularFileAt(const std::string& path, int standardFd) {
  struct stat info {};
  const int got = path.empty() || path == "-" ? ::fstat(standardFd, &info) : ::stat(path.c_str(), &info);
  if (got != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return info;
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

}  // namespace

void RefuseOutputsOverInputs(const std::vector<std::string>& outputs,
                             const std::vector<std::pair<std::string, std::string>>& inputs) {
  for (const std::string& output : outputs) {
    const std::optional<struct stat> written = RegularFileAt(output, 1);
    if (!written) continue;  // nothing there yet, or a device, pipe or folder
    for (const auto& [input, what] : inputs) {
      const std::optional<struct stat> read = RegularFileAt(input, 0);
      if (!read || read->st_dev != written->st_dev || read->st_ino != written->st_ino) continue;
      const std::string shownOutput = output.empty() || output == "-" ? "standard output" : ShownName(output);
      const std::string shownInput = input.empty() || input == "-" ? "standard input" : ShownName(input);
      throw Failure{kExitUsage, "the output " + shownOutput + " is the " + what + " " + shownInput +
                                    ": refusing to write over it; choose another output"};
    }
  }
}

Output::Output(std::string path, Stop stop) : path_(std::move(path)), stop_(stop) {
  if (path_.empty() || path_ == "-") {
    fd_ = 1;
    return;
  }
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) throw Failure{kExitInput, ShownName(path_) + " is a directory: give -o a file name"};
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
      throw Failure{kExitInput,
                    ShownName(path_) + " is a socket: connect to it with a tool such as socat and pipe into that"};
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
      throw Failure{kExitInput,
                    ShownName(path_) + " is neither a file nor a device that takes a stream: give -o a file name"};
    }
    // The rename would replace a file that is closed to us, where the
    // shell's `>` would refuse it: refuse it too (with the effective ids,
    // as an open for writing checks them).
    if (::faccessat(AT_FDCWD, path_.c_str(), W_OK, AT_EACCESS) != 0) {
      throw Failure{kExitInput, Describe("cannot write", path_, errno)};
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
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    throw Failure{kExitInput, Describe("cannot write", path_, errno)};
  }
}

void Output::OpenTemporary() {
  // The temporary file sits beside the target so that rename(2) is atomic.
  const std::string folder = DirectoryOf(target_);
  tempPath_ = folder + "/" + TemporaryName(folder, BaseName(target_));
  fd_ = ::mkostemp(tempPath_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    tempPath_.clear();
    throw Failure{kExitInput, Describe("cannot write", path_, error)};
  }
  ownsFd_ = true;
  // mkostemp makes the file private; give it what the target has, or the
  // mode a new file would get. The owner and group are kept where we may
  // set them (as root, or a group of ours); a set-user-ID or set-group-ID
  // bit is never carried over to new content.
  struct stat info {};
  mode_t mode = 0;
  if (::stat(target_.c_str(), &info) == 0) {
    mode = info.st_mode & (0777 | S_ISVTX);
    if (::fchown(fd_, info.st_uid, info.st_gid) != 0 && ::fchown(fd_, static_cast<uid_t>(-1), info.st_gid) != 0) {
      // Neither: the file is ours, with our group, as a new file would be.
    }
  } else {
    // umask(2) can only be read by setting it, for the whole process: read
    // once, so that threads writing outputs side by side never see the 0
    // another set for a moment (and make a file anyone may write).
    static const mode_t mask = [] {
      const mode_t was = ::umask(0);
      ::umask(was);
      return was;
    }();
    mode = 0666 & ~mask;
  }
  ::fchmod(fd_, mode);
}

Output::~Output() {
  if (ownsFd_) ::close(fd_);
  if (!tempPath_.empty() && !committed_) ::unlink(tempPath_.c_str());
}

std::size_t Output::WriteUntilStop(const char* p, std::size_t size, bool stoppable) {
  // Chunks keep the time from an interrupt to the stop short on a slow pipe.
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  std::size_t done = 0;
  while (done < size) {
    if (stoppable && Interrupted()) return done;
    const ssize_t put = ::write(fd_, p + done, std::min(size - done, kChunk));
    if (put < 0) {
      if (errno == EINTR && stoppable) continue;
      // Ending a line after a stop: a further signal stops it there.
      if (errno == EINTR) throw Failure{kExitAborted, "aborted"};
      const bool toStdout = path_.empty() || path_ == "-";
      throw Failure{kExitInput, Describe("cannot write", toStdout ? std::string("standard output") : path_, errno)};
    }
    done += static_cast<std::size_t>(put);
    if (put > 0) atLineStart_ = p[done - 1] == '\n';
  }
  return done;
}

void Output::Write(std::string_view bytes) {
  if (fd_ < 0) OpenTemporary();
  const std::size_t done = WriteUntilStop(bytes.data(), bytes.size(), true);
  if (done == bytes.size()) return;
  if (stop_ == Stop::kWholeLines && !atLineStart_) {
    // Stopped inside a line: end it, so that no reader gets half of one.
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
  if ((sync_ && ::fsync(fd_) != 0) || ::rename(tempPath_.c_str(), target_.c_str()) != 0) {
    throw Failure{kExitInput, Describe("cannot write", path_, errno)};
  }
  committed_ = true;
}

#endif  // !_WIN32

}  // namespace trirotor::cli
