// SPDX-License-Identifier: MIT
//
// io.h - reading whole inputs with a size cap, and output that replaces its
// file only when the run succeeds.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/trirotor.h"

namespace trirotor::cli {

// The biggest message or text the tool reads: the engine's lengths are
// signed 32-bit, and the decoder holds a few copies of its input.
inline constexpr std::size_t kMaxInputBytes = std::size_t{1} << 30;

// Reads a whole file ("" or "-": standard input), at most `limit` bytes, in
// chunks with an interrupt check between them. Throws Failure: kExitInput
// naming `what` and the path, kExitAborted on an interrupt.
std::string ReadWhole(const std::string& path, std::size_t limit, std::string_view what);
// The same, as bytes for the engine.
ByteBuffer ReadWholeBytes(const std::string& path, std::size_t limit, std::string_view what);

// Reads one chunk from a descriptor, retrying after signals other than an
// interrupt. Returns the byte count (0 at the end); throws Failure.
std::size_t ReadSome(int fd, char* buffer, std::size_t size, std::string_view what);

// Where the result goes, decided by what the path names:
// - "" or "-": standard output, written as it comes;
// - a regular file, or nothing yet: a temporary file beside it (beside the
//   real file when the path is a symbolic link), created at the first Write
//   and renamed into place by Commit with the old file's mode; without Commit
//   (a failure, an abort, an exception) it is removed and an existing file is
//   kept as it was;
// - a character device or FIFO, the file standard output already is
//   (/dev/stdout), or a socket held open as /dev/fd/N: written directly, as
//   standard output is;
// - a directory, block device, socket file or a path whose folder is
//   missing: refused.
// Write stops with kExitAborted once an interrupt has arrived, so that an
// interrupted run stops writing at once.
class Output {
 public:
  explicit Output(std::string path);  // throws Failure(kExitInput)
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void Write(std::string_view bytes);  // throws Failure(kExitInput or kExitAborted)
  void Commit();                       // throws Failure(kExitInput)

 private:
  void OpenTemporary();

  std::string path_;    // as the user gave it, for messages
  std::string target_;  // the regular file a commit replaces; "" when written directly
  std::string tempPath_;
  int fd_ = -1;
  bool ownsFd_ = false;
  bool committed_ = false;
};

}  // namespace trirotor::cli
