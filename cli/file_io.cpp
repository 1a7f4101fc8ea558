// SPDX-License-Identifier: MIT
//
// file_io.cpp - whole-file input with a cap, output that lands atomically,
// and the names messages show: written once, over cli/os/files.h.

#include "cli/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/big_buffer.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

bool IsStandard(const std::string& path) { return path.empty() || path == "-"; }

std::string Describe(std::string_view what, const std::string& path, int error) {
  std::string shown = IsStandard(path) ? "standard input" : ShownName(path);
  return std::string(what) + " " + shown + ": " + std::strerror(error);
}

}  // namespace

namespace {

[[noreturn]] void RefuseLarger(std::string_view what, std::size_t limit) {
  throw Failure{kExitInput, std::string(what) + " is larger than " + std::to_string(limit >> 20) + " MiB"};
}

Descriptor OpenInput(const std::string& path, std::string_view what) {
  if (IsStandard(path)) return Descriptor::Standard(0);
  // A folder cannot be read as a message; Windows would not even open it.
  if (IsFolder(path))
    throw Failure{kExitInput, Describe(std::string("cannot read ") + std::string(what), path, EISDIR)};
  Descriptor fd = OpenToRead(path);
  if (!fd.valid()) {
    StopIfAsked();
    throw Failure{kExitInput, Describe(std::string("cannot open ") + std::string(what), path, errno)};
  }
  return fd;
}

// Reads straight into the caller's kind of buffer, sized once from the file's
// length where there is one, so that a big message is never held twice.
template <typename Buffer>
Buffer ReadWholeInto(const std::string& path, std::size_t limit, std::string_view what) {
  const Descriptor fd = OpenInput(path, what);
  Buffer data;
  if (const std::optional<std::uint64_t> size = RegularSize(fd.get()); size && *size > 0) {
    if (*size > limit) RefuseLarger(what, limit);
    SizeFreshBuffer(data, static_cast<std::size_t>(*size));
  }
  const std::string label = std::string(what) + (IsStandard(path) ? " from standard input" : " " + ShownName(path));
  // A file of known length is read straight into its buffer; a pipe, or a
  // file that grew meanwhile, goes on through a small one. Reads go in
  // chunks, so that an interrupt is seen within one of them even where
  // read(2) does not return early for a signal (a regular file).
  constexpr std::size_t kChunk = std::size_t{8} << 20;
  std::size_t used = 0;
  while (used < data.size()) {
    StopIfAsked();
    const std::size_t got =
        ReadSome(fd.get(), reinterpret_cast<char*>(data.data()) + used, std::min(kChunk, data.size() - used), label);
    if (got == 0) break;
    used += got;
  }
  if (used < data.size()) {
    data.resize(used);  // the file shrank: its end is reached
    return data;
  }
  char buffer[1 << 16];
  for (;;) {
    StopIfAsked();
    const std::size_t got = ReadSome(fd.get(), buffer, sizeof buffer, label);
    if (got == 0) break;
    if (data.size() + got > limit) RefuseLarger(what, limit);
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

void RefuseOutputsOverInputs(const std::vector<std::string>& outputs,
                             const std::vector<std::pair<std::string, std::string>>& inputs) {
  for (const std::string& output : outputs) {
    const std::optional<FileId> written = RegularFileIdOf(output, 1);
    if (!written) continue;  // nothing there yet, or a device, pipe or folder
    for (const auto& [input, what] : inputs) {
      if (RegularFileIdOf(input, 0) != written) continue;
      const std::string shownOutput = IsStandard(output) ? "standard output" : ShownName(output);
      const std::string shownInput = IsStandard(input) ? "standard input" : ShownName(input);
      throw Failure{kExitUsage, "the output " + shownOutput + " is the " + what + " " + shownInput +
                                    ": refusing to write over it; choose another output"};
    }
  }
}

Output::Output(std::string path, Stop stop) : path_(std::move(path)), stop_(stop) {
  OutputPlace place = PlaceOutput(path_);
  if (place.standardFd >= 0) {
    fd_ = Descriptor::Standard(place.standardFd);
  } else if (place.direct.valid()) {
    fd_ = std::move(place.direct);
  } else {
    target_ = std::move(place.target);
  }
}

void Output::OpenTemporary() {
  fd_ = CreateTemporaryBeside(target_, stop_ == Stop::kFinish, tempPath_);
  if (!fd_.valid()) throw Failure{kExitInput, Describe("cannot write", path_, errno)};
}

Output::~Output() {
  fd_.Close();
  if (!tempPath_.empty() && !committed_) RemoveFile(tempPath_);
}

std::size_t Output::WriteUntilStop(const char* p, std::size_t size, bool stoppable) {
  // Chunks keep the time from an interrupt to the stop short on a slow pipe.
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  std::size_t done = 0;
  while (done < size) {
    if (stoppable && Interrupted()) return done;
    const std::size_t chunk = std::min(size - done, kChunk);
    if (ConsoleWrite(fd_.get(), std::string_view(p + done, chunk))) {  // standard output or -o CON
      done += chunk;
    } else {
      const long put = WriteFd(fd_.get(), p + done, chunk);
      if (put < 0) {
        // A signal: the loop's check stops the write, or (ending a line
        // after a stop) a further signal stops it there; a run that must
        // finish rides it out.
        if (errno == EINTR && (stoppable || stop_ == Stop::kFinish)) continue;
        if (errno == EINTR) ThrowStopped();
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
  if (!fd_.valid()) OpenTemporary();
  const std::size_t done = WriteUntilStop(bytes.data(), bytes.size(), stop_ != Stop::kFinish);
  if (done == bytes.size()) return;
  if (stop_ == Stop::kWholeLines && !atLineStart_) {
    // Stopped inside a line: end it, so that no reader gets half of one.
    bytes.remove_prefix(done);
    const std::size_t end = bytes.find('\n');
    WriteUntilStop(bytes.data(), end == std::string_view::npos ? bytes.size() : end + 1, false);
  }
  ThrowStopped();
}

void Output::Commit() {
  if (target_.empty()) return;  // written directly
  if (stop_ != Stop::kFinish && Interrupted()) ThrowStopped();
  if (!fd_.valid()) OpenTemporary();  // an empty result still makes its file
  // The file is closed before it is moved: Windows moves no file held open.
  if ((sync_ && SyncFd(fd_.get()) != 0) || fd_.Close() != 0 || !MoveIntoPlace(tempPath_, target_)) {
    throw Failure{kExitInput, Describe("cannot write", path_, errno)};
  }
  committed_ = true;
}

}  // namespace trirotor::cli
