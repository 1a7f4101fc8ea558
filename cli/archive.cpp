// SPDX-License-Identifier: MIT
//
// archive.cpp - decode --output-dir over whole folders: the walk's files
// decoded on every core into a mirrored tree, a JSON line per input in a
// report (docs/archives.md), a run that goes on after an interruption
// (--resume), and a second decode that checks the outputs (--verify).
//
// Workers take the files in order, each with its own engine, and hold one
// message at a time: memory stays within the jobs times the largest
// message. The main thread writes the report's lines in input order as each
// and all before it are done, draws the progress and names failures. At
// most kWindow inputs may be done ahead of the oldest one still open, so
// that a slow message cannot make the lines waiting behind it pile up.
//
// An output is written to a temporary file beside it and renamed into
// place, and only then is its line written: after a crash an input is
// either recorded with its output whole, or not recorded and done again.

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
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/io.h"
#include "cli/sha256.h"
#if defined(_WIN32)
#include "cli/windows.h"
#include "support/wide_path.h"
#endif

namespace trirotor::cli {

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kWindow = 4096;
constexpr const char* kAgent = "trirotor";

// "2026-12-08T07:30:00.123Z"
std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
#if defined(_WIN32)
  ::gmtime_s(&utc, &seconds);
#else
  ::gmtime_r(&seconds, &utc);
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

Json Agent() { return Json{{"name", kAgent}, {"version", TRIROTOR_VERSION}, {"role", "executing program"}}; }

/// Files by UTF-8 name, on either system ///

#if defined(_WIN32)
int OpenToRead(const std::string& path) { return support::OpenFile(path, _O_RDONLY); }
int OpenToAppend(const std::string& path, bool fresh) {
  return support::OpenFile(path, _O_WRONLY | _O_CREAT | _O_APPEND | (fresh ? _O_EXCL : 0), _S_IREAD | _S_IWRITE);
}
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
  if (!IsFolder(folder)) error.assign(ErrnoOf(last == ERROR_SUCCESS ? ERROR_PATH_NOT_FOUND : last), std::generic_category());
}
#else
int OpenToRead(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }
int OpenToAppend(const std::string& path, bool fresh) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (fresh ? O_EXCL : 0), 0666);
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
#endif

// Whether two full names name one place: on Windows, whose names are
// blind to case, ASCII letters of either case are alike.
bool SameName(const std::string& a, const std::string& b) {
#if defined(_WIN32)
  const auto fold = [](char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    return c == '/' ? '\\' : c;
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
#else
  return a == b;
#endif
}

// Names in the report are UTF-8; a name that is not is recorded with
// U+FFFD in place of its bad bytes.
std::string Dump(const Json& line) { return line.dump(-1, ' ', false, Json::error_handler_t::replace); }
std::string Clean(const std::string& text) { return Json::parse(Dump(Json(text))).get<std::string>(); }

// Binary bytes no text message holds: the C0 controls but tab, the line
// ends, form feed and the end-of-file mark old editors left (0x1A); NUL
// too, but in a file that starts as UTF-16 does, whose base64 the engine
// still reads (it skips the NULs). Asked only of a file no key opens: a
// message that opens is a message, whatever else it holds.
bool LooksBinary(const ByteBuffer& bytes) {
  const bool utf16 = bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF));
  return std::any_of(bytes.begin(), bytes.end(), [utf16](std::uint8_t b) {
    if (b == 0) return !utf16;
    return (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != '\v' && b != 0x1A) || b == 0x7F;
  });
}

// Fewer than four base64 digits make no group: nothing to decrypt.
bool HasBase64Group(const ByteBuffer& bytes) {
  std::size_t digits = 0;
  for (const std::uint8_t b : bytes) {
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '+' || b == '/') {
      if (++digits == 4) return true;
    }
  }
  return false;
}

int StatusOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOpened:
    case Outcome::kSkipped: return kExitOk;
    case Outcome::kWrongKey:
    case Outcome::kNotAMessage: return kExitFrame;
    case Outcome::kDamaged: return kExitEngine;
    case Outcome::kChecksum:
    case Outcome::kSalvaged: return kExitChecksum;
    case Outcome::kUnreadable:
    case Outcome::kUnwritable: return kExitInput;
  }
  return kExitInput;
}

// What one decode found.
struct Decoded {
  Outcome outcome = Outcome::kOpened;
  std::string why;  // for a failure, the line the user reads
  std::optional<int> lastError;
  std::optional<EngineError> engineError;
  std::uint64_t inputSize = 0;
  std::string inputSha256;
  std::optional<std::uint64_t> outputSize;
  std::string outputSha256;  // "" when nothing was written
  std::optional<std::size_t> ringEntry;
};

// The keys every input is tried with: the pair given, or the ring.
struct Keys {
  KeyPair pair;
  std::vector<RingEntry> ring;
};

struct Settings {
  bool raw = false;
  bool salvage = false;
  int codePage = 1252;
};

// Reads, decodes and (when `output` is given) writes one input. Throws
// Failure(kExitAborted) on an interrupt; every other failure is an outcome.
Decoded DecodeInputOrThrow(const std::string& path, const Keys& keys, const Settings& settings, const std::string* output) {
  Decoded d;
  ByteBuffer message;
  try {
    message = ReadWholeBytes(path, kMaxInputBytes, "message");
  } catch (const Failure& failure) {
    if (failure.status == kExitAborted) throw;
    d.outcome = Outcome::kUnreadable;
    d.why = failure.message;
    return d;
  }
  d.inputSize = message.size();
  d.inputSha256 = Sha256Hex(std::string_view(reinterpret_cast<const char*>(message.data()), message.size()));
  const bool binary = LooksBinary(message);
  const auto notAMessage = [&] {
    d.outcome = Outcome::kNotAMessage;
    d.why = "not a message: it holds binary bytes";
    d.lastError.reset();
    return d;
  };
  MessageToCodePage(message);
  if (!HasBase64Group(message)) {
    d.outcome = Outcome::kNotAMessage;
    d.why = "not a message: it has no group of four base64 characters";
    return d;
  }
  KeyPair pair = keys.pair;
  if (!keys.ring.empty()) {
    d.ringEntry = SearchKeyRing(message, keys.ring, 1);
    if (!d.ringEntry) {
      if (binary) return notAMessage();
      d.outcome = Outcome::kWrongKey;
      d.lastError = kErrFrameCheck;
      d.why = NoRingKeyOpens(keys.ring.size());
      return d;
    }
    pair = KeyPair{keys.ring[*d.ringEntry].key, keys.ring[*d.ringEntry].suffix};
  }
  ByteBuffer kept = settings.salvage ? message : ByteBuffer();
  ByteBuffer plain;
  LastError = 0;
  try {
    plain = DecodeBytes(std::move(message), *pair.key, pair.suffix);
  } catch (const EngineError& error) {
    if (Interrupted()) throw Failure{kExitAborted, "aborted"};
    d.outcome = Outcome::kDamaged;
    d.engineError = error;
    d.why = "the message is damaged: error " + std::to_string(error.number()) + " in " + error.source() + ": " +
            error.description();
    return d;
  } catch (const std::bad_alloc&) {
    d.outcome = Outcome::kDamaged;
    d.engineError = EngineError(kErrOutOfMemory, kAgent, "Out of memory");
    d.why = "out of memory";
    return d;
  }
  if (Interrupted()) throw Failure{kExitAborted, "aborted"};
  d.lastError = LastError;
  if (LastError == kErrFrameCheck) {
    SalvageResult salvaged;
    if (settings.salvage) salvaged = SalvageBytes(std::move(kept), *pair.key, pair.suffix);
    if (!salvaged.looksLikeFrame || salvaged.plain.empty()) {
      if (binary) return notAMessage();
      d.outcome = Outcome::kWrongKey;
      d.why = std::string(ErrorMessage(kErrFrameCheck)) + ": wrong key or key suffix, or not a whole message";
      return d;
    }
    d.outcome = Outcome::kSalvaged;
    d.why = "salvaged " + std::to_string(salvaged.plain.size()) + " bytes of a damaged message";
    plain = std::move(salvaged.plain);
  } else if (LastError == kErrChecksum) {
    d.outcome = Outcome::kChecksum;
    d.why = std::string(ErrorMessage(kErrChecksum)) + ": the text is written all the same";
  }
  // The text, hashed as it goes out.
  Sha256 hash;
  std::uint64_t size = 0;
  const auto emit = [&](std::string_view bytes, Output* out) {
    hash.Update(bytes);
    size += bytes.size();
    if (out != nullptr) out->Write(bytes);
  };
  try {
    std::optional<Output> out;
    if (output != nullptr) {
      // Each worker makes a folder once; the next file in it costs no look.
      thread_local std::set<std::string> made;
      const std::string folder = Utf8Name(Utf8Path(*output).parent_path());
      std::error_code error;
      if (made.count(folder) == 0) MakeFolders(folder, error);
      if (!error) made.insert(folder);
      if (error) throw Failure{kExitInput, "cannot make the folder of " + ShownName(*output) + ": " + error.message()};
      out.emplace(*output);
      // Its digest goes in the report, and a resumed run checks it there.
      out->SyncOnCommit(false);
    }
    Output* sink = out ? &*out : nullptr;
    if (settings.raw) {
      emit(std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size()), sink);
    } else {
      ForEachUtf8Slice(plain, [&](std::string_view slice) { emit(slice, sink); });
    }
    if (out) out->Commit();
  } catch (const Failure& failure) {
    if (failure.status == kExitAborted) throw;
    d.outcome = Outcome::kUnwritable;
    d.why = failure.message;
    return d;
  }
  d.outputSize = size;
  d.outputSha256 = hash.Hex();
  return d;
}

Decoded DecodeInput(const std::string& path, const Keys& keys, const Settings& settings, const std::string* output) {
  try {
    return DecodeInputOrThrow(path, keys, settings, output);
  } catch (const std::bad_alloc&) {
    Decoded d;
    d.outcome = Outcome::kDamaged;
    d.engineError = EngineError(kErrOutOfMemory, kAgent, "Out of memory");
    d.why = "out of memory";
    return d;
  } catch (const std::exception& error) {  // the file system's own errors
    Decoded d;
    d.outcome = output != nullptr ? Outcome::kUnwritable : Outcome::kUnreadable;
    d.why = error.what();
    return d;
  }
}

// One input's report line.
Json ReportLine(std::size_t index, const Item& item, const Decoded& d, const std::string& outputRoot,
                const Keys& keys, const Settings& settings, const std::string& start, const std::string& end) {
  Json line;
  line["kind"] = "input";
  line["eventType"] = "decryption";
  line["eventDateTime"] = start;
  line["eventEndDateTime"] = end;
  line["eventOutcome"] = OutcomeName(d.outcome);
  if (!d.why.empty()) line["eventOutcomeDetail"] = d.why;
  line["exitStatus"] = StatusOf(d.outcome);
  if (d.lastError) line["lastError"] = *d.lastError;
  if (d.engineError) {
    line["engineError"] = {{"number", d.engineError->number()},
                           {"source", d.engineError->source()},
                           {"description", d.engineError->description()}};
  }
  line["inputIndex"] = index;
  line["inputRoot"] = item.root;
  line["path"] = item.relative;
  if (!d.inputSha256.empty()) {
    line["size"] = d.inputSize;
    line["sha256"] = d.inputSha256;
  }
  if (!d.outputSha256.empty()) {
    line["outputRoot"] = outputRoot;
    line["outputPath"] = item.outputRelative;
    line["outputSize"] = *d.outputSize;
    line["outputSha256"] = d.outputSha256;
    line["textForm"] = settings.raw ? "code page bytes" : "UTF-8";
  }
  line["codePage"] = settings.codePage;
  if (d.ringEntry) {
    line["keyringLine"] = keys.ring[*d.ringEntry].line;
    if (!keys.ring[*d.ringEntry].comment.empty()) line["keyringComment"] = keys.ring[*d.ringEntry].comment;
  }
  line["linkingAgent"] = Agent();
  return line;
}

/// The whole run's progress on standard error ///

std::string Human(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

class RunProgress {
 public:
  RunProgress(bool shown, bool forced, std::size_t files, std::uint64_t bytes)
      : shown_(shown), forced_(forced), terminal_(::isatty(2) != 0), files_(files), bytes_(bytes), start_(Clock::now()) {}

  void Done(std::uint64_t bytes, bool failed) {
    ++doneFiles_;
    doneBytes_ += bytes;
    failed_ += failed ? 1 : 0;
  }

  void Draw(bool last = false) {
    if (!shown_) return;
    const Clock::time_point now = Clock::now();
    const auto every = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    if (!last && ((!forced_ && now - start_ < std::chrono::milliseconds(250)) || (drawn_ && now - lastDraw_ < every))) {
      return;
    }
    if (last && !drawn_) return;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0.05 ? static_cast<double>(doneBytes_) / seconds : 0;
    const int percent = files_ == 0 ? 100 : static_cast<int>(doneFiles_ * 100 / files_);
    std::string line = terminal_ ? "\r[" : "[";
    line.append(static_cast<std::size_t>(percent * 20 / 100), '#');
    line.append(static_cast<std::size_t>(20 - percent * 20 / 100), '-');
    line += "] " + std::to_string(doneFiles_) + "/" + std::to_string(files_) + " files  " +
            Human(static_cast<double>(doneBytes_)) + " of " + Human(static_cast<double>(bytes_));
    if (rate > 0) {
      line += "  " + Human(rate) + "/s  " + std::to_string(static_cast<long>(static_cast<double>(doneFiles_) / seconds)) +
              " files/s";
      const auto left = static_cast<long>(static_cast<double>(bytes_ - std::min(bytes_, doneBytes_)) / rate);
      char eta[32];
      std::snprintf(eta, sizeof eta, "  %ld:%02ld left", left / 60, left % 60);
      line += eta;
    }
    line += "  " + std::to_string(failed_) + " failed";
    line += terminal_ ? "\033[K" : "\n";
    Write(line);
    drawn_ = true;
    lastDraw_ = now;
  }

  // Before a line of its own: the bar on a terminal is wiped first.
  void Say(const std::string& message) {
    if (shown_ && drawn_ && terminal_) Write("\r\033[K");
    Complain(message);
    drawn_ = drawn_ && !terminal_;
  }

  void Finish() {
    if (!shown_ || !drawn_) return;
    Draw(true);
    if (terminal_) Write("\n");
  }

 private:
  static void Write(const std::string& text) {
#if defined(_WIN32)
    if (ConsoleWrite(2, text)) return;
#endif
    if (WriteFd(2, text.data(), text.size()) < 0) return;  // progress is a nicety
  }

  bool shown_, forced_, terminal_;
  std::size_t files_;
  std::uint64_t bytes_;
  Clock::time_point start_, lastDraw_;
  std::size_t doneFiles_ = 0, failed_ = 0;
  std::uint64_t doneBytes_ = 0;
  bool drawn_ = false;
};

/// The report file ///

// A line of the report read back: what resume and verify need of it.
struct Recorded {
  std::string raw;  // the line as written, without its line end
  Json json;
};

// The whole lines of a report; a last line without its line end (a run
// killed while writing it) is left out and `torn` set.
std::vector<Recorded> ReadReport(const std::string& path, bool& torn) {
  const std::string text = ReadWhole(path, kMaxInputBytes, "report");
  std::vector<Recorded> lines;
  torn = false;
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    ++number;
    if (end == std::string::npos) {
      torn = true;
      break;
    }
    Recorded line{text.substr(start, end - start), {}};
    start = end + 1;
    if (line.raw.empty()) continue;
    line.json = Json::parse(line.raw, nullptr, false);
    if (line.json.is_discarded() || !line.json.is_object() || !line.json.contains("kind")) {
      throw Failure{kExitInput, "line " + std::to_string(number) + " of the report " + ShownName(path) +
                                    " is not a line this tool writes"};
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string Text(const Json& line, const char* field) {
  const auto at = line.find(field);
  return at != line.end() && at->is_string() ? at->get<std::string>() : std::string();
}

// A file's digest, read a chunk at a time: an output may be far larger
// than any message. `exists` is false, and "" returned, for a file that
// cannot be opened or read.
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

// Appends whole lines; each goes out in one write where the system allows.
class ReportFile {
 public:
  ReportFile(const std::string& path, bool fresh) : path_(path) {
    fd_ = OpenToAppend(path, fresh);
    if (fd_ < 0) throw Failure{kExitInput, "cannot write the report " + ShownName(path) + ": " + std::strerror(errno)};
  }
  ~ReportFile() { CloseFd(fd_); }
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  void Line(const std::string& text) {
    std::string line = text + "\n";
    for (std::size_t done = 0; done < line.size();) {
      const long put = WriteFd(fd_, line.data() + done, line.size() - done);
      if (put < 0 && errno == EINTR) continue;  // the lines already done still go in
      if (put < 0) throw Failure{kExitInput, "cannot write the report " + ShownName(path_) + ": " + std::strerror(errno)};
      done += static_cast<std::size_t>(put);
    }
  }
  void Sync() {
    if (SyncFd(fd_) != 0 && errno != EINVAL) {
      throw Failure{kExitInput, "cannot write the report " + ShownName(path_) + ": " + std::strerror(errno)};
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Temporary files a killed run left beside the outputs it was writing:
// ".NAME.trirotor-XXXXXX", never renamed into place, removed.
void RemoveLeftovers(const std::vector<Item>& items, const std::string& outputDir) {
  std::map<std::string, std::set<std::string>> byFolder;
  for (const Item& item : items) {
    if (item.preset) continue;
    const std::filesystem::path output = Utf8Path(outputDir) / Utf8Path(item.outputRelative);
    byFolder[Utf8Name(output.parent_path())].insert(Utf8Name(output.filename()));
  }
  constexpr std::string_view kTail = ".trirotor-";
  for (const auto& [folder, names] : byFolder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Utf8Path(folder), error)) {
      const std::string name = Utf8Name(entry.path().filename());
      if (name.size() < 1 + kTail.size() + 6 || name[0] != '.') continue;
      if (name.compare(name.size() - 6 - kTail.size(), kTail.size(), kTail) != 0) continue;
      const std::string stem = name.substr(1, name.size() - 7 - kTail.size());
      const bool ours = std::any_of(names.begin(), names.end(), [&](const std::string& n) { return n.starts_with(stem); });
      if (ours && entry.is_regular_file(error)) std::filesystem::remove(entry.path(), error);
    }
  }
}

Keys ResolveArchiveKeys(const Options& options) {
  Keys keys;
  if (options.keyRing) {
    keys.ring = ReadKeyRing(*options.keyRing);
    return keys;
  }
  keys.pair = ResolveKeys(options, true);
  if (!keys.pair.key) throw Failure{kExitInput, "no key given: use --key-file, --key-env or --key"};
  return keys;
}

unsigned JobsFor(const Options& options, std::size_t work) {
  unsigned jobs = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(jobs, work)));
}

// Runs `work(i)` for i in [0, count) on `jobs` threads, each set up with the
// code page and the abort hook; `done(i)` on this thread, in order, as each
// and all before it are through. `tick` runs between, at least every 100 ms.
// Stops taking work at an interrupt; returns whether every one was done.
// Results wait in kWindow slots: work i is taken only once i - kWindow is done.
template <typename Result>
bool InOrder(std::size_t count, unsigned jobs, int codePage, const std::function<Result(std::size_t)>& work,
             const std::function<void(std::size_t, Result&)>& done, const std::function<void()>& tick) {
  std::mutex mutex;
  std::condition_variable ready, space;
  std::vector<std::optional<Result>> slots(std::min(count, kWindow));
  std::size_t next = 0, written = 0;
  unsigned running = jobs;
  bool stop = false;
  std::exception_ptr fault;  // what a worker could not turn into a result
  const auto stopped = [&] { return stop || Interrupted(); };
  const auto worker = [&] {
    platform::SetCodePage(codePage);
    InstallAbortHook();
    for (;;) {
      std::size_t i = 0;
      {
        std::unique_lock lock(mutex);
        space.wait(lock, [&] { return next < written + kWindow || stopped(); });
        if (next >= count || stopped()) break;
        i = next++;
      }
      std::optional<Result> result;
      try {
        result = work(i);
      } catch (const Failure& failure) {
        if (failure.status != kExitAborted) {
          std::lock_guard lock(mutex);
          if (!fault) fault = std::current_exception();
          stop = true;
        }
        break;
      } catch (...) {
        std::lock_guard lock(mutex);
        if (!fault) fault = std::current_exception();
        stop = true;
        break;
      }
      {
        std::lock_guard lock(mutex);
        slots[i % kWindow] = std::move(result);
      }
      ready.notify_one();
    }
    std::lock_guard lock(mutex);
    --running;
    ready.notify_one();
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < jobs; ++t) threads.emplace_back(worker);
  const auto joinAll = [&] {
    {
      std::lock_guard lock(mutex);
      stop = stop || written < count;
    }
    space.notify_all();
    for (std::thread& thread : threads) thread.join();
  };
  try {
    std::unique_lock lock(mutex);
    while (written < count) {
      ready.wait_for(lock, std::chrono::milliseconds(100),
                     [&] { return slots[written % kWindow].has_value() || running == 0; });
      while (written < count && slots[written % kWindow]) {
        Result result = std::move(*slots[written % kWindow]);
        slots[written % kWindow].reset();
        const std::size_t i = written++;
        lock.unlock();
        space.notify_all();
        done(i, result);
        lock.lock();
      }
      if (running == 0 && written < count && !slots[written % kWindow]) break;  // stopped
      lock.unlock();
      tick();
      lock.lock();
    }
  } catch (...) {
    joinAll();
    throw;
  }
  joinAll();
  if (fault) std::rethrow_exception(fault);
  return written == count;
}

// "980 opened, 12 failed (5 wrong key or suffix, 7 unreadable; 3 not a message, 2 skipped)"
std::string Summary(const std::array<std::size_t, kOutcomes>& counts, std::size_t kept) {
  std::size_t failed = 0;
  std::string failures, others;
  for (int o = 0; o < kOutcomes; ++o) {
    const auto outcome = static_cast<Outcome>(o);
    if (counts[o] == 0 || outcome == Outcome::kOpened) continue;
    std::string& list = IsFailure(outcome) ? failures : others;
    if (!list.empty()) list += ", ";
    list += std::to_string(counts[o]) + " " + std::string(OutcomeName(outcome));
    if (IsFailure(outcome)) failed += counts[o];
  }
  std::string line = std::to_string(counts[static_cast<int>(Outcome::kOpened)]) + " opened, " +
                     std::to_string(failed) + " failed";
  std::string detail = failures;
  if (!others.empty()) detail += (detail.empty() ? "" : "; ") + others;
  if (kept > 0) detail += (detail.empty() ? "" : "; ") + std::to_string(kept) + " kept from the report";
  return detail.empty() ? line : line + " (" + detail + ")";
}

/// decode --output-dir over folders ///

int DecodeArchive(const Options& options) {
  const std::optional<FileId> outId = IsFolder(options.outputDir) ? FileIdOf(options.outputDir) : std::nullopt;
  if (!outId) throw Failure{kExitInput, "--output-dir " + ShownName(options.outputDir) + " is not a folder"};
  if (options.inputs.empty()) throw Failure{kExitUsage, "--output-dir needs message files or folders, not standard input"};
  for (const std::string& input : options.inputs) {
    if (input == "-") throw Failure{kExitUsage, "--output-dir needs message files or folders, not standard input"};
  }
  const std::string outputRoot = AbsoluteName(options.outputDir);
  WalkRules rules{options.recursive, options.followLinks, options.include, options.exclude, {}};
  rules.leaveOut.push_back(*outId);
  const std::optional<FileId> reportId = options.report.empty() ? std::nullopt : FileIdOf(options.report);
  const bool reportExists = reportId.has_value();
  if (reportExists) rules.leaveOut.push_back(*reportId);
  if (reportExists && !options.resume) {
    throw Failure{kExitUsage, "the report " + ShownName(options.report) +
                                  " exists: give --resume to go on with its run, or name another report"};
  }
  std::vector<Item> items = Walk(options.inputs, rules);

  // Before any work: two inputs for one output, an output that is an input
  // or a key source, the report among the outputs.
  std::set<FileId> read;
  for (const Item& item : items) {
    if (!item.preset) read.insert(item.id);
  }
  for (const std::optional<std::string>& source : {options.keyFile, options.suffixFile, options.keyRing}) {
    if (!source || *source == "-") continue;
    if (const std::optional<FileId> id = FileIdOf(*source)) read.insert(*id);
  }
  const std::string reportPath = options.report.empty() ? "" : AbsoluteName(options.report);
  // A report not made yet is told by its folder and name: an output that
  // reaches that folder by a link lands on it all the same.
  const std::filesystem::path reportName = Utf8Path(reportPath).filename();
  const std::optional<FileId> reportFolder =
      reportPath.empty() || reportExists ? std::nullopt : FileIdOf(Utf8Name(Utf8Path(reportPath).parent_path()));
  std::map<std::string, std::size_t> taken;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].preset) continue;
    const std::string output = options.outputDir + "/" + items[i].outputRelative;
    const auto [at, fresh] = taken.emplace(items[i].outputRelative, i);
    if (!fresh) {
      throw Failure{kExitUsage, ShownName(items[at->second].path) + " and " + ShownName(items[i].path) +
                                    " would both be written to " + ShownName(output)};
    }
    const std::optional<FileId> outputId = FileIdOf(output);
    if (outputId && read.count(*outputId) != 0) {
      throw Failure{kExitUsage, "the output " + ShownName(output) +
                                    " is one of the inputs: refusing to write over it; choose another --output-dir"};
    }
    // By name; by identity, as a link or (on Windows) another spelling
    // of a name may lead to it.
    const std::filesystem::path outputPath = Utf8Path(AbsoluteName(outputRoot + "/" + items[i].outputRelative));
    if (!reportPath.empty() &&
        (SameName(Utf8Name(outputPath), reportPath) || (reportId && outputId == reportId) ||
         (reportFolder && SameName(Utf8Name(outputPath.filename()), Utf8Name(reportName)) &&
          FileIdOf(Utf8Name(outputPath.parent_path())) == reportFolder))) {
      throw Failure{kExitUsage, "the report " + ShownName(options.report) + " would be written over by " +
                                    ShownName(items[i].path) + "'s text; name another report"};
    }
  }

  const Keys keys = ResolveArchiveKeys(options);
  const Settings settings{options.raw, options.salvage, options.codePage};
  const std::string runStart = UtcNow();

  // --resume: what the report holds stays for each input whose output is
  // still the one recorded; everything else of it goes, to be done again.
  std::vector<bool> keep(items.size(), false);
  std::array<std::size_t, kOutcomes> counts{};
  std::size_t kept = 0;
  std::optional<ReportFile> report;
  if (reportExists) {
    bool torn = false;
    const std::vector<Recorded> lines = ReadReport(options.report, torn);
    std::map<std::pair<std::string, std::string>, const Recorded*> byInput;
    for (const Recorded& line : lines) {
      if (Text(line.json, "kind") == "input") byInput[{Text(line.json, "inputRoot"), Text(line.json, "path")}] = &line;
    }
    std::string keptLines;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i].preset) continue;
      const auto at = byInput.find({Clean(items[i].root), Clean(items[i].relative)});
      if (at == byInput.end()) continue;
      const Json& line = at->second->json;
      const std::string sha = Text(line, "outputSha256");
      if (sha.empty() || Text(line, "outputRoot") != Clean(outputRoot) || !line.contains("size") ||
          !line["size"].is_number_unsigned() || line["size"].get<std::uint64_t>() != items[i].size) {
        continue;
      }
      bool exists = false;
      if (FileSha256(options.outputDir + "/" + items[i].outputRelative, exists) != sha) continue;
      keep[i] = true;
      ++kept;
      keptLines += at->second->raw + "\n";
      for (int o = 0; o < kOutcomes; ++o) {
        if (Text(line, "eventOutcome") == OutcomeName(static_cast<Outcome>(o))) ++counts[o];
      }
    }
    // The kept lines replace the report at once: it never holds an input twice.
    Output rewrite(options.report);
    rewrite.Write(keptLines);
    rewrite.Commit();
  }
  // Whatever a killed run left, whether or not its report got a line.
  if (options.resume) RemoveLeftovers(items, options.outputDir);
  if (!options.report.empty()) report.emplace(options.report, !reportExists);

  std::uint64_t totalBytes = 0;
  std::vector<std::size_t> todo;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (keep[i]) continue;
    todo.push_back(i);
    totalBytes += items[i].size;
  }
  RunProgress progress(!options.quiet && (options.progress || ::isatty(2)), options.progress, todo.size(), totalBytes);
  int worst = kExitOk;
  struct Result {
    Decoded decoded;
    std::string start, end;
  };
  const bool whole = InOrder<Result>(
      todo.size(), JobsFor(options, todo.size()), options.codePage,
      [&](std::size_t t) {
        const Item& item = items[todo[t]];
        Result result;
        result.start = UtcNow();
        if (item.preset) {
          result.decoded.outcome = item.outcome;
          result.decoded.why = item.why;
        } else {
          const std::string output = options.outputDir + "/" + item.outputRelative;
          result.decoded = DecodeInput(item.path, keys, settings, &output);
        }
        result.end = UtcNow();
        return result;
      },
      [&](std::size_t t, Result& result) {
        const Item& item = items[todo[t]];
        const Decoded& d = result.decoded;
        ++counts[static_cast<int>(d.outcome)];
        if (IsFailure(d.outcome)) worst = std::max(worst, StatusOf(d.outcome));
        if (d.outcome != Outcome::kOpened && !(options.quiet && !IsFailure(d.outcome))) {
          progress.Say(ShownName(item.path) + ": " + d.why);
        }
        if (report) report->Line(Dump(ReportLine(todo[t], item, d, outputRoot, keys, settings, result.start, result.end)));
        progress.Done(item.size, IsFailure(d.outcome));
      },
      [&] { progress.Draw(); });
  progress.Finish();
  if (report) {
    Json summary;
    summary["kind"] = "summary";
    summary["eventType"] = "decryption";
    summary["eventDateTime"] = runStart;
    summary["eventEndDateTime"] = UtcNow();
    summary["eventOutcome"] = whole ? "completed" : "interrupted";
    summary["files"] = items.size();
    Json byOutcome = Json::object();
    for (int o = 0; o < kOutcomes; ++o) byOutcome[std::string(OutcomeName(static_cast<Outcome>(o)))] = counts[o];
    summary["outcomes"] = byOutcome;
    summary["kept"] = kept;
    summary["exitStatus"] = whole ? worst : 128 + (InterruptSignal() != 0 ? InterruptSignal() : 2);
    summary["linkingAgent"] = Agent();
    report->Line(Dump(summary));
    report->Sync();
  }
  if (!whole) throw Failure{kExitAborted, "aborted"};
  if (!options.quiet) Complain(Summary(counts, kept));
  return worst;
}

/// decode --verify REPORT ///

int Verify(const Options& options) {
  bool torn = false;
  const std::vector<Recorded> lines = ReadReport(options.verify, torn);
  std::vector<const Json*> checks;
  for (const Recorded& line : lines) {
    if (Text(line.json, "kind") == "input" && !Text(line.json, "outputSha256").empty()) checks.push_back(&line.json);
  }
  const Keys keys = ResolveArchiveKeys(options);
  enum class Found { kSame,
                     kChanged,
                     kMissing,
                     kDiffers,
                     kFailed };
  struct Result {
    Found found = Found::kSame;
    std::string what;  // the line on standard output
    int status = kExitOk;
  };
  std::array<std::size_t, 5> counts{};
  int worst = kExitOk;
  std::uint64_t totalBytes = 0;
  for (const Json* line : checks) {
    if (line->contains("size") && (*line)["size"].is_number_unsigned()) totalBytes += (*line)["size"].get<std::uint64_t>();
  }
  RunProgress progress(!options.quiet && (options.progress || ::isatty(2)), options.progress, checks.size(), totalBytes);
  std::string out;
  const bool whole = InOrder<Result>(
      checks.size(), JobsFor(options, checks.size()), options.codePage,
      [&](std::size_t i) {
        const Json& line = *checks[i];
        Settings settings{Text(line, "textForm") == "code page bytes", Text(line, "eventOutcome") == "salvaged",
                          line.contains("codePage") && line["codePage"].is_number_integer() ? line["codePage"].get<int>()
                                                                                            : options.codePage};
        Result result;
        const std::string input = Text(line, "inputRoot") + "/" + Text(line, "path");
        const std::string output = Text(line, "outputRoot") + "/" + Text(line, "outputPath");
        const std::string recorded = Text(line, "outputSha256");
        bool exists = false;
        const std::string onDisk = FileSha256(output, exists);
        if (!exists) {
          result = {Found::kMissing, "missing: " + ShownName(output), kExitInput};
        } else if (onDisk != recorded) {
          result = {Found::kChanged, "changed: " + ShownName(output) + " (SHA-256 " + onDisk + ", recorded " + recorded + ")",
                    kExitChecksum};
        }
        try {
          platform::SetCodePage(settings.codePage);
        } catch (const std::invalid_argument& error) {
          return Result{Found::kFailed, "cannot decode again: " + ShownName(input) + ": " + error.what(), kExitUsage};
        }
        const Decoded again = DecodeInput(input, keys, settings, nullptr);
        if (again.outputSha256.empty()) {
          if (result.found == Found::kSame) {
            result = {Found::kFailed, std::string(OutcomeName(again.outcome)) + ": " + ShownName(input) + ": " + again.why,
                      StatusOf(again.outcome)};
          }
        } else if (again.outputSha256 != recorded && result.found == Found::kSame) {
          result = {Found::kDiffers, "differs: " + ShownName(input) + " decodes to a text of SHA-256 " + again.outputSha256 + ", recorded " + recorded, kExitChecksum};
        }
        return result;
      },
      [&](std::size_t i, Result& result) {
        ++counts[static_cast<int>(result.found)];
        worst = std::max(worst, result.status);
        if (result.found != Found::kSame) out += result.what + "\n";
        const Json& line = *checks[i];
        progress.Done(line.contains("size") && line["size"].is_number_unsigned() ? line["size"].get<std::uint64_t>() : 0,
                      result.found != Found::kSame);
      },
      [&] { progress.Draw(); });
  progress.Finish();
  Output listing("-");
  listing.Write(out);
  listing.Commit();
  if (!whole) throw Failure{kExitAborted, "aborted"};
  if (!options.quiet) {
    Complain(std::to_string(counts[0]) + " verified, " + std::to_string(counts[1]) + " changed, " +
             std::to_string(counts[2]) + " missing, " + std::to_string(counts[3]) + " decode differently, " +
             std::to_string(counts[4]) + " no longer decode" + (torn ? "; the report's last line is cut short" : ""));
  }
  return worst;
}

}  // namespace


int RunArchive(const Options& options) { return options.verify.empty() ? DecodeArchive(options) : Verify(options); }

}  // namespace trirotor::cli
