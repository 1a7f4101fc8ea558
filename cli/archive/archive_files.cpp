// SPDX-License-Identifier: MIT
//
// archive_files.cpp - what an archive run says of files: the kinds of
// things a name can be, and a file's digest, over cli/os/files.h.

#include "cli/archive/archive.h"

#include <cerrno>
#include <string>

#include "cli/sha256.h"

namespace trirotor::cli {

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

std::string FileSha256(const std::string& path, bool& exists) {
  exists = false;
  const Descriptor fd = OpenToRead(path);
  if (!fd.valid() || !IsRegular(fd.get())) return "";
  Sha256 hash;
  std::string chunk(std::size_t{1} << 20, '\0');
  for (;;) {
    StopIfAsked();
    const long got = ReadFd(fd.get(), chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return "";
    if (got == 0) break;
    hash.Update(std::string_view(chunk.data(), static_cast<std::size_t>(got)));
  }
  exists = true;
  return hash.Hex();
}

}  // namespace trirotor::cli
