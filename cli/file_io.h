// SPDX-License-Identifier: MIT
//
// file_io.h - reading whole inputs with a size cap, and output that replaces
// its file only when the run succeeds: written once, over the seam of
// cli/os/files.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/os/files.h"
#include "cli/status.h"
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

// Refuses (Failure kExitUsage) an output that is one of the inputs: the
// same regular file, by device and inode, so another name, a symbolic link
// or a hard link counts too. "" and "-" stand for standard output among
// the outputs and for standard input among the inputs. Each input comes
// with what it is ("message", "key file") for the message.
void RefuseOutputsOverInputs(const std::vector<std::string>& outputs,
                             const std::vector<std::pair<std::string, std::string>>& inputs);

// Where the result goes, decided by what the path names:
// - "" or "-": standard output, written as it comes;
// - a regular file, or nothing yet: a temporary file beside it (beside the
//   real file when the path is a symbolic link), created at the first Write
//   and renamed into place by Commit with the old file's permissions (never
//   its set-user-ID or set-group-ID bit) and, where we may, its owner and
//   group; without Commit (a failure, an abort, an exception) it is removed
//   and an existing file is kept as it was. A file we could not write is
//   refused, as the shell's `>` refuses it;
// - a character device or FIFO, the file standard output already is
//   (/dev/stdout), or a socket held open as /dev/fd/N: written directly, as
//   standard output is;
// - a directory, block device, socket file or a path whose folder is
//   missing: refused.
// Write stops with kExitAborted once an interrupt has arrived, so that an
// interrupted run stops writing at once; with kWholeLines it first ends the
// line it is in (a second signal stops it there too), so that what a line
// reader gets is whole lines. With kFinish a stop changes nothing: Write and
// Commit go on to the end, for what is saved because the run stops (recover's
// session); a new file is then made private to its owner (mode 0600).
class Output {
 public:
  enum class Stop {
    kAnywhere,
    kWholeLines,
    kFinish,
  };
  explicit Output(std::string path, Stop stop = Stop::kAnywhere);  // throws Failure(kExitInput)
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void Write(std::string_view bytes);  // throws Failure(kExitInput or kExitAborted)
  void Commit();                       // throws Failure(kExitInput)
  // Commit flushes the file to disk before the rename unless told not to:
  // for a caller that records the file's digest and checks it before
  // trusting it again (an archive run's report), a crash costs a redo, not
  // a wrong file, and a flush per small file would cost more than its decode.
  void SyncOnCommit(bool sync) { sync_ = sync; }

 private:
  void OpenTemporary();
  // Writes until done or, when `stoppable`, an interrupt; returns the bytes
  // written. Unstoppable, a signal that cuts a write short throws kExitAborted.
  std::size_t WriteUntilStop(const char* p, std::size_t size, bool stoppable);

  std::string path_;    // as the user gave it, for messages
  std::string target_;  // the regular file a commit replaces; "" when written directly
  std::string tempPath_;
  Descriptor fd_;
  bool committed_ = false;
  bool sync_ = true;
  Stop stop_ = Stop::kAnywhere;
  bool atLineStart_ = true;  // the last byte written ended a line, or none was written
};

}  // namespace trirotor::cli
