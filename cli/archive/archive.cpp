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
//
// Whatever can refuse a run is asked before anything is touched: the output
// folder, the report, a resumed run's inputs and options (before the walk),
// the outputs the walk's files need (after it). Only then is a missing
// output folder made and the report begun.

#include "cli/archive/archive.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "cli/archive/archive_run.h"
#include "cli/decode/hooks.h"
#include "cli/decode/keyring.h"
#include "cli/decode/keys.h"
#include "cli/decode/message.h"
#include "cli/file_io.h"
#include "cli/human.h"
#include "cli/progress_line.h"
#include "cli/sha256.h"
#include "cli/os/console.h"

namespace trirotor::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWindow = 4096;
constexpr const char* kAgent = "trirotor";
// What a temporary output's name adds to its path: "." before the name and
// ".trirotor-XXXXXX" after it (cli/os/files.h).
constexpr std::size_t kTemporaryExtra = 17;

// "2026-12-08T07:30:00.123Z"
std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::tm utc = UtcCalendar(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

Json Agent() { return Json{{"name", kAgent}, {"version", TRIROTOR_VERSION}, {"role", "executing program"}}; }

// Binary bytes no text message holds: the C0 controls but tab, the line
// ends, form feed and the end-of-file mark old editors left (0x1A); NUL
// too, but in a file that starts as UTF-16 does, whose base64 the engine
// still reads (it skips the NULs). Asked only of a file no key opens: a
// message that opens is a message, whatever else it holds.
bool LooksBinary(const ByteBuffer& bytes) {
  const bool utf16 =
      bytes.size() >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF));
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

/// One input ///

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

  void NotAMessage() {
    outcome = Outcome::kNotAMessage;
    why = "not a message: it holds binary bytes";
    lastError.reset();
  }
  void Damaged(const EngineError& error, std::string reason) {
    outcome = Outcome::kDamaged;
    engineError = error;
    why = std::move(reason);
  }
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

// The input's bytes as the code page's, digested as they were read; nullopt,
// with `d` saying why, for a file that cannot be read or holds no message.
std::optional<ByteBuffer> ReadMessage(const std::string& path, Decoded& d, bool& binary) {
  ByteBuffer message;
  try {
    message = ReadWholeBytes(path, kMaxInputBytes, "message");
  } catch (const Failure& failure) {
    if (failure.status == kExitAborted) throw;
    d.outcome = Outcome::kUnreadable;
    d.why = failure.message;
    return std::nullopt;
  }
  d.inputSize = message.size();
  d.inputSha256 = Sha256Hex(std::string_view(reinterpret_cast<const char*>(message.data()), message.size()));
  binary = LooksBinary(message);
  MessageToCodePage(message);
  if (!HasBase64Group(message)) {
    d.outcome = Outcome::kNotAMessage;
    d.why = "not a message: it has no group of four base64 characters";
    return std::nullopt;
  }
  return message;
}

// The pair given, or the first of the ring that opens the message; nullopt,
// with `d` saying why, when no line of the ring does.
std::optional<KeyPair> PairFor(const ByteBuffer& message, const Keys& keys, bool binary, Decoded& d) {
  if (keys.ring.empty()) return keys.pair;
  d.ringEntry = SearchKeyRing(message, keys.ring, 1);
  if (d.ringEntry) return KeyPair{keys.ring[*d.ringEntry].key, keys.ring[*d.ringEntry].suffix};
  if (binary) {
    d.NotAMessage();
  } else {
    d.outcome = OutcomeOf(DecodeStatus::kFrameFailed);
    d.lastError = kErrFrameCheck;
    d.why = NoRingKeyOpens(keys.ring.size());
  }
  return std::nullopt;
}

// The plain bytes, or what --salvage still finds; nullopt, with `d` saying
// why, for a message that does not open. Throws Failure(kExitAborted).
std::optional<ByteBuffer> OpenMessage(ByteBuffer message, const KeyPair& pair, const Settings& settings, bool binary,
                                      Decoded& d) {
  ByteBuffer kept = settings.salvage ? message : ByteBuffer();
  DecodeOutcome decoded;
  try {
    decoded = TryDecodeBytes(std::move(message), *pair.key, pair.suffix);
  } catch (const std::bad_alloc&) {
    d.Damaged(EngineError(kErrOutOfMemory, kAgent, "Out of memory"), "out of memory");
    return std::nullopt;
  }
  StopIfAsked();
  d.outcome = OutcomeOf(decoded.status);
  if (decoded.status == DecodeStatus::kEngineError) {
    d.Damaged(EngineError(decoded.error, decoded.source, decoded.description),
              "the message is damaged: error " + std::to_string(decoded.error) + " in " + decoded.source + ": " +
                  decoded.description);
    return std::nullopt;
  }
  if (decoded.status == DecodeStatus::kNoMessage) {
    d.why = "not a message: it has fewer than 4 characters";
    return std::nullopt;
  }
  d.lastError = decoded.error;
  if (decoded.status == DecodeStatus::kChecksumMismatch) {
    d.why = decoded.description + ": the text is written all the same";
  }
  if (decoded.HasText()) return std::move(decoded.plain);
  SalvageResult salvaged;
  if (settings.salvage) salvaged = SalvageBytes(std::move(kept), *pair.key, pair.suffix);
  if (!salvaged.looksLikeFrame || salvaged.plain.empty()) {
    if (binary) {
      d.NotAMessage();
    } else {
      d.why = decoded.description + ": wrong key or key suffix, or not a whole message";
    }
    return std::nullopt;
  }
  d.outcome = Outcome::kSalvaged;
  d.why = "salvaged " + std::to_string(salvaged.plain.size()) + " bytes of a damaged message";
  return std::move(salvaged.plain);
}

// Each worker makes a folder once; the next file in it costs no look.
void MakeFolderOf(const std::string& output) {
  thread_local std::set<std::string> made;
  const std::string folder = Utf8Name(Utf8Path(output).parent_path());
  if (made.count(folder) != 0) return;
  std::error_code error;
  MakeFolders(folder, error);
  if (error) throw Failure{kExitInput, "cannot make the folder of " + ShownName(output) + ": " + error.message()};
  made.insert(folder);
}

// The text, hashed as it goes out, and written to `output` when there is
// one; a failure to write it is the input's outcome.
void WriteText(const ByteBuffer& plain, const Settings& settings, const std::string* output, Decoded& d) {
  Sha256 hash;
  std::uint64_t size = 0;
  try {
    std::optional<Output> out;
    if (output != nullptr) {
      MakeFolderOf(*output);
      out.emplace(*output);
      out->SyncOnCommit(false);  // its digest goes in the report, and a resumed run checks it there
    }
    const auto emit = [&](std::string_view bytes) {
      hash.Update(bytes);
      size += bytes.size();
      if (out) out->Write(bytes);
    };
    if (settings.raw) {
      emit(std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size()));
    } else {
      ForEachUtf8Slice(plain, emit);
    }
    if (out) out->Commit();
  } catch (const Failure& failure) {
    if (failure.status == kExitAborted) throw;
    d.outcome = Outcome::kUnwritable;
    d.why = failure.message;
    return;
  }
  d.outputSize = size;
  d.outputSha256 = hash.Hex();
}

// Reads, decodes and (when `output` is given) writes one input. Throws
// Failure(kExitAborted) on an interrupt; every other failure is an outcome.
Decoded DecodeInputOrThrow(const std::string& path, const Keys& keys, const Settings& settings,
                           const std::string* output) {
  Decoded d;
  bool binary = false;
  std::optional<ByteBuffer> message = ReadMessage(path, d, binary);
  if (!message) return d;
  const std::optional<KeyPair> pair = PairFor(*message, keys, binary, d);
  if (!pair) return d;
  const std::optional<ByteBuffer> plain = OpenMessage(std::move(*message), *pair, settings, binary, d);
  if (plain) WriteText(*plain, settings, output, d);
  return d;
}

Decoded DecodeInput(const std::string& path, const Keys& keys, const Settings& settings, const std::string* output) {
  try {
    return DecodeInputOrThrow(path, keys, settings, output);
  } catch (const std::bad_alloc&) {
    Decoded d;
    d.Damaged(EngineError(kErrOutOfMemory, kAgent, "Out of memory"), "out of memory");
    return d;
  } catch (const std::exception& error) {  // the file system's own errors
    Decoded d;
    d.outcome = output != nullptr ? Outcome::kUnwritable : Outcome::kUnreadable;
    d.why = error.what();
    return d;
  }
}

// One input's report line.
Json ReportLine(std::size_t index, const Item& item, const Decoded& d, const std::string& outputRoot, const Keys& keys,
                const Settings& settings, const std::string& start, const std::string& end) {
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
  PutName(line, "inputRoot", item.root);
  PutName(line, "path", item.relative);
  if (!d.inputSha256.empty()) {
    line["size"] = d.inputSize;
    line["sha256"] = d.inputSha256;
  }
  if (!d.outputSha256.empty()) {
    PutName(line, "outputRoot", outputRoot);
    PutName(line, "outputPath", item.outputRelative);
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

// First the walk (files found so far), then the bar of the work it found.
class RunProgress {
 public:
  // A line a second off a terminal, ten on one.
  RunProgress(bool shown, bool forced)
      : shown_(shown),
        line_(forced, std::chrono::milliseconds(100), std::chrono::milliseconds(1000)),
        workStart_(Clock::now()) {}

  // While the folders are read: a walk of a large tree takes minutes.
  void Walking(std::size_t found) {
    if (!shown_ || !line_.Due(Clock::now())) return;
    Show("reading the folders: " + Counted(found, "file", "files") + " found");
  }

  // The work the walk found: the bar counts it from now.
  void Count(std::size_t files, std::uint64_t bytes) {
    files_ = files;
    bytes_ = bytes;
    workStart_ = Clock::now();
  }

  void Done(std::uint64_t bytes, bool failed) {
    ++doneFiles_;
    doneBytes_ += bytes;
    failed_ += failed ? 1 : 0;
  }

  void Draw(bool last = false) {
    if (!shown_ || (last && !line_.drawn()) || (!last && !line_.Due(Clock::now()))) return;
    const double seconds = std::chrono::duration<double>(Clock::now() - workStart_).count();
    const double rate = seconds > 0.05 ? static_cast<double>(doneBytes_) / seconds : 0;
    const int percent = files_ == 0 ? 100 : static_cast<int>(doneFiles_ * 100 / files_);
    std::string line = "[" + BarCells(percent, 20) + "] " + std::to_string(doneFiles_) + "/" + std::to_string(files_) +
                       " files  " + HumanBytes(static_cast<double>(doneBytes_)) + " of " +
                       HumanBytes(static_cast<double>(bytes_));
    if (rate > 0) {
      line += "  " + HumanBytes(rate) + "/s  " +
              std::to_string(static_cast<long>(static_cast<double>(doneFiles_) / seconds)) + " files/s";
      const auto left = static_cast<long>(static_cast<double>(bytes_ - std::min(bytes_, doneBytes_)) / rate);
      char eta[32];
      std::snprintf(eta, sizeof eta, "  %ld:%02ld left", left / 60, left % 60);
      line += eta;
    }
    Show(line + "  " + std::to_string(failed_) + " failed");
  }

  // Before a line of its own: the bar on a terminal is wiped first.
  void Say(const std::string& message) {
    if (shown_) line_.Wipe();
    Complain(message);
    if (line_.terminal()) line_.Forget();
  }

  void Finish() {
    if (!shown_ || !line_.drawn()) return;
    Draw(true);
    if (line_.terminal()) WriteChatter(2, "\n");
  }

 private:
  // On a terminal each line takes the place of the last; elsewhere each
  // stands on its own.
  void Show(const std::string& text) {
    line_.Put(line_.terminal() ? "\r" + text + "\033[K" : text + "\n", Clock::now());
  }

  bool shown_;
  ProgressLine line_;
  std::size_t files_ = 0;
  std::uint64_t bytes_ = 0;
  Clock::time_point workStart_;
  std::size_t doneFiles_ = 0, failed_ = 0;
  std::uint64_t doneBytes_ = 0;
};

/// Work on every core, taken in order ///

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
      const bool ours =
          std::any_of(names.begin(), names.end(), [&](const std::string& n) { return n.starts_with(stem); });
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

/// The summary ///

// What the run's summary counts: the lines a --resume kept, then this run's.
struct Tally {
  std::array<std::size_t, kOutcomes> counts{};
  std::size_t kept = 0, notWalked = 0;
  int worst = kExitOk;

  void Add(Outcome outcome) {
    ++counts[static_cast<int>(outcome)];
    if (IsFailure(outcome)) worst = std::max(worst, StatusOf(outcome));
  }
};

// "980 opened, 12 failed (5 wrong key or suffix, 7 unreadable; 3 not a
// message, 2 skipped; 20 kept from the report)"
std::string Summary(const Tally& tally) {
  std::size_t failed = 0;
  std::string failures, others;
  for (int o = 0; o < kOutcomes; ++o) {
    const auto outcome = static_cast<Outcome>(o);
    if (tally.counts[o] == 0 || outcome == Outcome::kOpened) continue;
    std::string& list = IsFailure(outcome) ? failures : others;
    if (!list.empty()) list += ", ";
    list += std::to_string(tally.counts[o]) + " " + std::string(OutcomeName(outcome));
    if (IsFailure(outcome)) failed += tally.counts[o];
  }
  const std::string line = std::to_string(tally.counts[static_cast<int>(Outcome::kOpened)]) + " opened, " +
                           std::to_string(failed) + " failed";
  std::string detail = failures;
  const auto add = [&detail](const std::string& part) { detail += (detail.empty() ? "" : "; ") + part; };
  if (!others.empty()) add(others);
  if (tally.kept > 0) add(std::to_string(tally.kept) + " kept from the report");
  if (tally.notWalked > 0) add(std::to_string(tally.notWalked) + " not walked this time, their lines kept");
  return detail.empty() ? line : line + " (" + detail + ")";
}

Json SummaryLine(const std::string& runStart, bool whole, std::size_t files, const Tally& tally) {
  Json summary;
  summary["kind"] = "summary";
  summary["eventType"] = "decryption";
  summary["eventDateTime"] = runStart;
  summary["eventEndDateTime"] = UtcNow();
  summary["eventOutcome"] = whole ? "completed" : "interrupted";
  summary["files"] = files;
  Json byOutcome = Json::object();
  for (int o = 0; o < kOutcomes; ++o) byOutcome[std::string(OutcomeName(static_cast<Outcome>(o)))] = tally.counts[o];
  summary["outcomes"] = byOutcome;
  summary["kept"] = tally.kept;
  summary["notWalked"] = tally.notWalked;
  summary["exitStatus"] = whole ? tally.worst : 128 + (InterruptSignal() != 0 ? InterruptSignal() : 2);
  summary["linkingAgent"] = Agent();
  return summary;
}

/// decode --output-dir over folders: the checks ///

// What the checks before the walk found.
struct Setup {
  ReportPlace place;
  std::string outputRoot;          // the full --output-dir
  bool makeOutputDir = false;      // not there yet: made once every check has passed
  std::vector<Recorded> recorded;  // the report a --resume goes on with
};

void RefuseStandardInput(const Options& options) {
  const bool stdinAmong = std::find(options.inputs.begin(), options.inputs.end(), "-") != options.inputs.end();
  if (options.inputs.empty() || stdinAmong) {
    throw Failure{kExitUsage, "--output-dir needs message files or folders, not standard input"};
  }
}

// Whether --output-dir is a folder already; anything else there is refused.
bool OutputFolderThere(const std::string& dir) {
  const PathKind kind = KindOf(dir);
  if (kind == PathKind::kFolder) return true;
  if (kind == PathKind::kNothing) return false;
  throw Failure{kExitInput, "--output-dir " + ShownName(dir) + " is " + std::string(KindName(kind)) + ", not a folder"};
}

// An output folder that is an input folder would hold the texts among the
// messages, and a --resume would take them for messages.
void RefuseOutputFolderAmongInputs(const Options& options) {
  const std::optional<FileId> out = FileIdOf(options.outputDir);
  for (const std::string& input : options.inputs) {
    if (!out || !IsFolder(input) || FileIdOf(input) != out) continue;
    throw Failure{kExitUsage, "--output-dir " + ShownName(options.outputDir) + " is the input folder " +
                                  ShownName(input) +
                                  ": the texts would lie among the messages, to be taken for messages when the run "
                                  "goes on; choose another folder"};
  }
}

// The folders the inputs' files are recorded under. An input that is not
// there (a mistyped name) refuses the --resume before the report is touched.
std::vector<std::string> InputRoots(const Options& options) {
  std::vector<std::string> roots;
  for (const std::string& input : options.inputs) {
    std::string why;
    const std::optional<std::string> root = InputRootOf(input, why);
    if (!root) {
      throw Failure{kExitInput, "cannot go on with the report " + ShownName(options.report) + ": the input " +
                                    ShownName(input) + " cannot be opened (" + why + "); the report is left as it was"};
    }
    roots.push_back(*root);
  }
  return roots;
}

Setup CheckBeforeTheWalk(const Options& options) {
  Setup setup;
  setup.makeOutputDir = !OutputFolderThere(options.outputDir);
  RefuseStandardInput(options);
  setup.outputRoot = AbsoluteName(options.outputDir);
  setup.place = PlaceReport(options);
  if (!setup.makeOutputDir) RefuseOutputFolderAmongInputs(options);
  if (setup.place.kind == ReportPlace::Kind::kExisting) {
    bool torn = false;
    setup.recorded = ReadReport(options.report, torn);
    RefuseAnotherRun(setup.recorded, options.report, InputRoots(options), setup.outputRoot, options);
  }
  return setup;
}

std::vector<Item> WalkInputs(const Options& options, const Setup& setup, RunProgress& progress, bool& whole) {
  WalkRules rules{options.recursive, options.followLinks, options.include, options.exclude, {}, {}};
  // The output folder and the report are no inputs, should they lie in the tree.
  for (const std::string& path : {options.outputDir, setup.place.path}) {
    if (path.empty() || path == "-") continue;
    if (const std::optional<FileId> id = FileIdOf(path)) rules.leaveOut.push_back(*id);
  }
  rules.onFolder = [&progress](std::size_t found) { progress.Walking(found); };
  return Walk(options.inputs, rules, whole);
}

// Two inputs for one output, or for one name that one needs for its text
// and the other as a folder: neither could be written whole. Names are
// compared as the system compares them (on Windows, blind to case).
void RefuseSharedOutputs(const std::vector<Item>& items, const std::string& outputDir) {
  std::map<std::string, std::size_t> texts, folders;  // the items that need each name
  const auto clash = [&](std::size_t text, std::size_t folder) {
    return Failure{kExitUsage, ShownName(items[text].path) + " would be written to " +
                                   ShownName(outputDir + "/" + items[text].outputRelative) + ", which " +
                                   ShownName(items[folder].path) +
                                   " needs as a folder: rename one of them, or leave one out with --exclude"};
  };
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].preset) continue;
    const std::string& relative = items[i].outputRelative;
    const std::string key = NameKey(relative);
    if (const auto at = texts.find(key); at != texts.end()) {
      throw Failure{kExitUsage, ShownName(items[at->second].path) + " and " + ShownName(items[i].path) +
                                    " would both be written to " + ShownName(outputDir + "/" + relative)};
    }
    if (const auto at = folders.find(key); at != folders.end()) throw clash(i, at->second);
    for (std::size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
      const std::string folder = NameKey(relative.substr(0, slash));
      if (const auto at = texts.find(folder); at != texts.end()) throw clash(at->second, i);
      folders.emplace(folder, i);
    }
    texts.emplace(key, i);
  }
}

// A name longer than a folder entry may have, or a path (with the temporary
// name beside it) longer than the system takes, would fail at its write.
void RefuseLongNames(const Item& item, const std::string& output) {
  std::size_t start = 0;
  for (std::size_t slash = 0; slash != std::string::npos; start = slash + 1) {
    slash = item.outputRelative.find('/', start);
    const std::string name = item.outputRelative.substr(start, slash == std::string::npos ? slash : slash - start);
    if (NameUnits(name) <= kLongestName) continue;
    throw Failure{kExitUsage, "the text of " + ShownName(item.path) + " would be named " + ShownName(name) + ", " +
                                  std::to_string(NameUnits(name)) + " " + kNameUnits + ", over the " +
                                  std::to_string(kLongestName) +
                                  " a name may have: rename the message, or leave it out with --exclude"};
  }
  if (PathUnits(output) + kTemporaryExtra > LongestPath()) {
    throw Failure{kExitUsage, "the text of " + ShownName(item.path) + " would be written to a path of " +
                                  std::to_string(PathUnits(output)) + " " + kNameUnits +
                                  ", and its temporary file to " + std::to_string(PathUnits(output) + kTemporaryExtra) +
                                  ", over the " + std::to_string(LongestPath()) +
                                  " the system takes: choose a shorter --output-dir, or decode that folder apart"};
  }
}

// What the outputs are held against: the files the run reads, and the report.
struct Guard {
  std::set<FileId> read;
  std::string reportPath;  // full; "" when the report is no file
  std::optional<FileId> reportId;
  // A report not made yet is told by its folder and name: an output that
  // reaches that folder by a link lands on it all the same.
  std::optional<FileId> reportFolder;
  std::string reportName;
};

Guard GuardOf(const std::vector<Item>& items, const Options& options, const Setup& setup) {
  Guard guard;
  for (const Item& item : items) {
    if (!item.preset) guard.read.insert(item.id);
  }
  for (const std::optional<std::string>& source : {options.keyFile, options.suffixFile, options.keyRing}) {
    if (!source || *source == "-") continue;
    if (const std::optional<FileId> id = FileIdOf(*source)) guard.read.insert(*id);
  }
  if (setup.place.kind != ReportPlace::Kind::kNew && setup.place.kind != ReportPlace::Kind::kExisting) return guard;
  guard.reportPath = AbsoluteName(options.report);
  guard.reportId = FileIdOf(options.report);
  const std::filesystem::path full = Utf8Path(guard.reportPath);
  guard.reportName = Utf8Name(full.filename());
  if (!guard.reportId) guard.reportFolder = FileIdOf(Utf8Name(full.parent_path()));
  return guard;
}

// One output against the files the run reads and the report: by name, and
// by identity, as a link or (on Windows) another spelling may lead to one.
void RefuseOutputOverInputs(const Item& item, const std::string& output, const Options& options, const Setup& setup,
                            const Guard& guard) {
  const std::optional<FileId> outputId = FileIdOf(output);
  if (outputId && guard.read.count(*outputId) != 0) {
    throw Failure{kExitUsage, "the output " + ShownName(output) +
                                  " is one of the inputs: refusing to write over it; choose another --output-dir"};
  }
  if (guard.reportPath.empty()) return;
  const std::filesystem::path full = Utf8Path(AbsoluteName(setup.outputRoot + "/" + item.outputRelative));
  if (SameName(Utf8Name(full), guard.reportPath) || (guard.reportId && outputId == guard.reportId) ||
      (guard.reportFolder && SameName(Utf8Name(full.filename()), guard.reportName) &&
       FileIdOf(Utf8Name(full.parent_path())) == guard.reportFolder)) {
    throw Failure{kExitUsage, "the report " + ShownName(options.report) + " would be written over by " +
                                  ShownName(item.path) + "'s text; name another report"};
  }
}

// Before any work, whatever -j is: every output the walk's files need.
void RefuseOutputClashes(const std::vector<Item>& items, const Options& options, const Setup& setup) {
  RefuseSharedOutputs(items, options.outputDir);
  const Guard guard = GuardOf(items, options, setup);
  for (const Item& item : items) {
    if (item.preset) continue;
    const std::string output = options.outputDir + "/" + item.outputRelative;
    RefuseLongNames(item, output);
    RefuseOutputOverInputs(item, output, options, setup, guard);
  }
}

/// decode --output-dir over folders: the work ///

void MakeOutputFolder(const Options& options, const Setup& setup, RunProgress& progress) {
  if (!setup.makeOutputDir) return;
  std::error_code error;
  MakeFolders(options.outputDir, error);
  if (error) {
    throw Failure{kExitInput, "cannot make --output-dir " + ShownName(options.outputDir) + ": " + error.message()};
  }
  if (!options.quiet) progress.Say("--output-dir " + ShownName(options.outputDir) + " did not exist: made it");
}

// The report as the work begins: a resumed one first rewritten (a temporary
// file renamed over it) to hold what stays, so that it never holds an
// input twice.
void BeginReport(const Options& options, const Setup& setup, const ResumePlan& plan,
                 std::optional<ReportFile>& report) {
  if (setup.place.kind == ReportPlace::Kind::kNone) return;
  if (setup.place.kind == ReportPlace::Kind::kExisting) {
    Output rewrite(options.report);
    rewrite.Write(plan.retained);
    rewrite.Commit();
  }
  report.emplace(setup.place);
}

// A run stopped before its report was begun (while the folders were read,
// or at the key's prompt) still leaves a new report that says so; a report
// a --resume goes on with stays as it was.
void ReportStopBeforeTheWork(const Setup& setup, const std::string& runStart, std::size_t found) {
  if (setup.place.kind != ReportPlace::Kind::kNew && setup.place.kind != ReportPlace::Kind::kStream) return;
  try {
    ReportFile report(setup.place);
    report.Line(Dump(SummaryLine(runStart, false, found, Tally{})));
    report.Sync();
  } catch (const Failure& failure) {
    if (failure.status != kExitAborted) Complain(failure.message);
  }
}

// Decodes the inputs not kept, in order on the workers, and writes their
// report lines; returns whether every one was done.
bool DecodeItems(const Options& options, const std::vector<Item>& items, const std::vector<bool>& keep,
                 const Keys& keys, const std::string& outputRoot, ReportFile* report, RunProgress& progress,
                 Tally& tally) {
  std::uint64_t totalBytes = 0;
  std::vector<std::size_t> todo;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (keep[i]) continue;
    todo.push_back(i);
    totalBytes += items[i].size;
  }
  progress.Count(todo.size(), totalBytes);
  const Settings settings{options.raw, options.salvage, options.codePage};
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
        tally.Add(d.outcome);
        if (d.outcome != Outcome::kOpened && !(options.quiet && !IsFailure(d.outcome))) {
          progress.Say(ShownName(item.path) + ": " + d.why);
        }
        if (report)
          report->Line(Dump(ReportLine(todo[t], item, d, outputRoot, keys, settings, result.start, result.end)));
        progress.Done(item.size, IsFailure(d.outcome));
      },
      [&] { progress.Draw(); });
  progress.Finish();
  return whole;
}

int DecodeArchive(const Options& options) {
  const Setup setup = CheckBeforeTheWalk(options);
  const std::string runStart = UtcNow();
  RunProgress progress(!options.quiet && (options.progress || IsTerminal(2)), options.progress);
  bool whole = false;
  const std::vector<Item> items = WalkInputs(options, setup, progress, whole);
  std::optional<ReportFile> report;
  ResumePlan plan;
  Keys keys;
  try {
    if (!whole) ThrowStopped();
    RefuseOutputClashes(items, options, setup);
    keys = ResolveArchiveKeys(options);
    MakeOutputFolder(options, setup, progress);
    if (setup.place.kind == ReportPlace::Kind::kExisting) {
      plan = PlanResume(setup.recorded, items, options.outputDir, setup.outputRoot);
    }
    plan.keep.resize(items.size(), false);
    BeginReport(options, setup, plan, report);
  } catch (const Failure& failure) {
    if (failure.status == kExitAborted && !report) ReportStopBeforeTheWork(setup, runStart, items.size());
    throw;
  }
  // Whatever a killed run left, whether or not its report got a line.
  if (options.resume) RemoveLeftovers(items, options.outputDir);
  Tally tally{plan.counts, plan.kept, plan.notWalked, plan.worst};
  whole = DecodeItems(options, items, plan.keep, keys, setup.outputRoot, report ? &*report : nullptr, progress, tally);
  if (report) {
    report->Line(Dump(SummaryLine(runStart, whole, items.size(), tally)));
    report->Sync();
  }
  if (!whole) ThrowStopped();
  if (!options.quiet) Complain(Summary(tally));
  return tally.worst;
}

/// decode --verify REPORT ///

// What a check of one line found: something of its output, of its input,
// or of both.
enum class Found { kChanged, kMissing, kSourceChanged, kDiffers, kFailed };
constexpr int kFindings = 5;

struct Check {
  std::vector<std::pair<Found, std::string>> found;  // each with its line on standard output
  int status = kExitOk;

  void Add(Found what, std::string line, int lineStatus) {
    found.emplace_back(what, std::move(line));
    status = std::max(status, lineStatus);
  }
};

// The options the line's text was made with.
Settings SettingsOf(const Json& line, int fallbackPage) {
  const auto page = line.find("codePage");
  return Settings{Text(line, "textForm") == "code page bytes", Text(line, "eventOutcome") == "salvaged",
                  page != line.end() && page->is_number_integer() ? page->get<int>() : fallbackPage};
}

std::uint64_t RecordedSize(const Json& line) {
  const auto size = line.find("size");
  return size != line.end() && size->is_number_unsigned() ? size->get<std::uint64_t>() : 0;
}

// The output: there, and with the recorded digest.
void CheckOutput(const Json& line, Check& check) {
  const std::string output = RecordedName(line, "outputRoot") + "/" + RecordedName(line, "outputPath");
  const std::string recorded = Text(line, "outputSha256");
  bool exists = false;
  const std::string onDisk = FileSha256(output, exists);
  if (!exists) {
    check.Add(Found::kMissing, "missing: " + ShownName(output), kExitInput);
  } else if (onDisk != recorded) {
    check.Add(Found::kChanged, "changed: " + ShownName(output) + " (SHA-256 " + onDisk + ", recorded " + recorded + ")",
              kExitChecksum);
  }
}

// The input: its digest first, as a fixity check compares it, then the
// text it decodes to again. A replaced source is told apart from a text
// that differs, with what the new source decodes to.
void CheckInput(const Json& line, const Keys& keys, int fallbackPage, Check& check) {
  const Settings settings = SettingsOf(line, fallbackPage);
  const std::string input = RecordedName(line, "inputRoot") + "/" + RecordedName(line, "path");
  try {
    platform::SetCodePage(settings.codePage);
  } catch (const std::invalid_argument& error) {
    check.Add(Found::kFailed, "cannot decode again: " + ShownName(input) + ": " + error.what(), kExitUsage);
    return;
  }
  const Decoded again = DecodeInput(input, keys, settings, nullptr);
  const std::string recorded = Text(line, "outputSha256"), source = Text(line, "sha256");
  const std::string failure = std::string(OutcomeName(again.outcome)) + ": " + again.why;
  if (!again.inputSha256.empty() && !source.empty() && again.inputSha256 != source) {
    const std::string text = again.outputSha256.empty()       ? "it does not decode (" + failure + ")"
                             : again.outputSha256 == recorded ? "it decodes to the recorded text all the same"
                                                              : "it decodes to a text of SHA-256 " + again.outputSha256;
    check.Add(Found::kSourceChanged,
              "source changed: " + ShownName(input) + " (SHA-256 " + again.inputSha256 + ", recorded " + source +
                  "); " + text,
              kExitChecksum);
  } else if (again.outputSha256.empty()) {
    check.Add(Found::kFailed, std::string(OutcomeName(again.outcome)) + ": " + ShownName(input) + ": " + again.why,
              StatusOf(again.outcome));
  } else if (again.outputSha256 != recorded) {
    check.Add(Found::kDiffers,
              "differs: " + ShownName(input) + " decodes to a text of SHA-256 " + again.outputSha256 + ", recorded " +
                  recorded,
              kExitChecksum);
  }
}

// "9 verified, 1 changed, 0 missing, 0 sources changed, 0 decode
// differently, 0 no longer decode"
std::string VerifySummary(std::size_t verified, const std::array<std::size_t, kFindings>& counts,
                          const std::vector<Recorded>& lines) {
  const auto count = [&](Found found) { return std::to_string(counts[static_cast<int>(found)]); };
  std::string line = std::to_string(verified) + " verified, " + count(Found::kChanged) + " changed, " +
                     count(Found::kMissing) + " missing, " + count(Found::kSourceChanged) + " sources changed, " +
                     count(Found::kDiffers) + " decode differently, " + count(Found::kFailed) + " no longer decode";
  if (!lines.empty() && Text(lines.back().json, "kind") == "summary" &&
      Text(lines.back().json, "eventOutcome") == "interrupted") {
    line += "; the report's run was interrupted: it records only the inputs it got to";
  }
  return line;
}

int Verify(const Options& options) {
  bool torn = false;
  const std::vector<Recorded> lines = ReadReport(options.verify, torn);
  std::vector<const Json*> checks;
  std::uint64_t totalBytes = 0;
  for (const Recorded& line : lines) {
    if (Text(line.json, "kind") != "input" || Text(line.json, "outputSha256").empty()) continue;
    checks.push_back(&line.json);
    totalBytes += RecordedSize(line.json);
  }
  const Keys keys = ResolveArchiveKeys(options);
  std::array<std::size_t, kFindings> counts{};
  std::size_t verified = 0;
  int worst = kExitOk;
  RunProgress progress(!options.quiet && (options.progress || IsTerminal(2)), options.progress);
  progress.Count(checks.size(), totalBytes);
  std::string out;
  const bool whole = InOrder<Check>(
      checks.size(), JobsFor(options, checks.size()), options.codePage,
      [&](std::size_t i) {
        Check check;
        CheckOutput(*checks[i], check);
        CheckInput(*checks[i], keys, options.codePage, check);
        return check;
      },
      [&](std::size_t i, Check& check) {
        for (const auto& [found, line] : check.found) {
          ++counts[static_cast<int>(found)];
          out += line + "\n";
        }
        verified += check.found.empty() ? 1 : 0;
        worst = std::max(worst, check.status);
        progress.Done(RecordedSize(*checks[i]), !check.found.empty());
      },
      [&] { progress.Draw(); });
  progress.Finish();
  Output listing("-");
  listing.Write(out);
  listing.Commit();
  if (!whole) ThrowStopped();
  if (!options.quiet) Complain(VerifySummary(verified, counts, lines));
  // A report without its summary line is no whole run's record: what it
  // holds is checked and listed, but it is not called verified.
  if (const std::string unfinished = WhyUnfinished(lines, torn); !unfinished.empty()) {
    Complain("the report " + ShownName(options.verify) + " is not verified: " + unfinished);
    worst = std::max(worst, kExitInput);
  }
  return worst;
}

}  // namespace

int RunArchive(const Options& options) { return options.verify.empty() ? DecodeArchive(options) : Verify(options); }

}  // namespace trirotor::cli
