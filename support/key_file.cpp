// SPDX-License-Identifier: MIT
//
// key_file.cpp - a key or suffix file to the key it holds.

#include "support/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/shown_name.h"
#include "support/utf8.h"
#include "support/open_file.h"

namespace trirotor::support {
namespace {


[[noreturn]] void Refuse(std::string_view what, const std::string& path, const std::string& why) {
  throw KeyFileError(std::string(what) + " " + ShownName(path) + ": " + why);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::u16string KeyFromFileBytes(std::string_view bytes, std::string_view what) {
  std::size_t dropped = 0;  // so that a bad byte is counted from the file's start
  if (bytes.starts_with(kByteOrderMark)) {
    bytes.remove_prefix(kByteOrderMark.size());
    dropped = kByteOrderMark.size();
  }
  if (bytes.ends_with("\r\n")) {
    bytes.remove_suffix(2);
  } else if (bytes.ends_with('\n')) {
    bytes.remove_suffix(1);
  }
  std::u16string key;
  std::size_t bad = 0;
  if (!DecodeUtf8(bytes, key, bad)) {
    throw KeyFileError(std::string(what) + " is not valid UTF-8 (byte " + std::to_string(dropped + bad + 1) + ")");
  }
  return key;
}

std::u16string ReadKeyFile(const std::string& path, std::string_view what, bool (*stopRequested)()) {
  const auto retry = [&] {
    if (errno != EINTR) return false;
    if (stopRequested != nullptr && stopRequested()) {
      throw KeyFileInterrupted(std::string(what) + " " + ShownName(path) + ": interrupted");
    }
    return true;
  };
  int fd = -1;
  do {
    fd = OpenFile(path, O_RDONLY);
  } while (fd < 0 && retry());
  if (fd < 0) Refuse(what, path, std::strerror(errno));
  const Descriptor file(fd);
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) Refuse(what, path, "is a directory");
  // Read one byte past the limit to tell a full file from a larger one,
  // whatever size the file claims.
  std::string bytes(kMaxKeyFileBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
    if (got < 0 && retry()) continue;
    if (got < 0) Refuse(what, path, std::strerror(errno));
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  if (filled > kMaxKeyFileBytes) {
    Refuse(what, path, "larger than " + std::to_string(kMaxKeyFileBytes >> 20) + " MiB; not a key file");
  }
  bytes.resize(filled);
  return KeyFromFileBytes(bytes, std::string(what) + " " + ShownName(path));
}

}  // namespace trirotor::support
