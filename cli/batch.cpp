// SPDX-License-Identifier: MIT
//
// batch.cpp - JSON lines in, JSON lines out, on all cores, in input order.
//
// A reader thread cuts the input into chunks of lines; workers, each with
// its own engine (the engine's state is per thread) and its own record
// answerer (records/records.cpp), turn every line into one output line; the main
// thread writes the chunks back in input order, each as soon as it and all
// before it are done, so the order never depends on which worker is faster.
//
// Latency: the reader hands over the lines it has as soon as reading on
// would block, so a program that writes one record and waits for its answer
// gets it at once; a full pipe still fills whole chunks.
// Memory: the lines read and not yet written stay within a fixed budget
// whatever the number of workers: until answered each counts as what
// answering it may hold at once (its line, the engine's copies, the answer
// as it grows), then as its answer; a single line bigger than the budget
// goes through alone. Large buffers go back to the system when freed, not
// into the freeing thread's allocator arena, where each worker would keep
// the largest it ever had.
// The reader polls with a timeout rather than blocking in read(2), so it sees
// Ctrl-C (whichever thread the signal lands on) and a stop after a failed
// write within a fraction of a second.

#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cli/batch.h"
#include "cli/decode/hooks.h"
#include "cli/decode/keyring.h"
#include "cli/decode/keys.h"
#include "cli/decode/options.h"
#include "cli/run.h"
#include "cli/status.h"
#include "cli/file_io.h"
#include "records/records.h"
#include "engine/trirotor.h"
#include "support/utf8.h"

namespace trirotor::cli {

using records::kMaxRecordBytes;
using records::LineOutcome;
using records::RecordAnswerer;

namespace {

constexpr std::size_t kChunkLines = 256;
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
// Written chunks hand their output strings back for the next chunks, so
// that a worker does not grow a fresh one through the allocator and into
// fresh pages each time; one spare per worker, none larger than this, and
// all of them together no larger than the total.
constexpr std::size_t kSpareOutputBytes = std::size_t{4} << 20;
constexpr std::size_t kSpareOutputTotalBytes = std::size_t{16} << 20;
// Bytes of lines in flight: read and not yet written.
constexpr std::size_t kBudgetBytes = std::size_t{64} << 20;
// What answering a line may hold at its peak, in multiples of the line:
// decoding holds the line, the engine's copy of the message, the plain text
// and the answer; encoding the line, the text in UTF-16, the engine's
// bytes, the message in UTF-16 and the answer.
constexpr std::size_t kDecodeWorkPerByte = 4;
constexpr std::size_t kEncodeWorkPerByte = 8;
// Allocations from this size up are mapped on their own and unmapped when
// freed.
constexpr int kMappedFromBytes = 1 << 20;
constexpr int kPollMilliseconds = 200;
// The same status as a single message that does not decode.
constexpr int kExitSomeFailed = kExitFrame;

struct Line {
  std::uint64_t number = 0;  // from 1
  std::string text;
  bool tooLong = false;
};

struct Chunk {
  std::vector<Line> lines;
  std::size_t inputBytes = 0;
  std::size_t charge = 0;  // what it counts in the budget until answered
  std::string output;      // one line per record, each ending in "\n"
  std::uint64_t records = 0;
  std::uint64_t failures = 0;
  bool done = false;
};

// Whether a read from `fd` would return at once.
bool Readable(int fd) { return WaitReadable(fd, 0); }

class Batch {
 public:
  Batch(const Options& options, const KeyPair& keys, const std::vector<RingEntry>* ring)
      : options_(options), keys_(keys), ring_(ring) {}

  int Run();

 private:
  void ReadLines(int fd);
  void Work();
  void Push(std::shared_ptr<Chunk> chunk);

  const Options& options_;
  const KeyPair& keys_;
  const std::vector<RingEntry>* ring_;  // decode --keyring: for records without a key
  std::size_t maxChunks_ = 4;
  std::size_t maxSpares_ = 1;
  std::size_t workPerByte_ = 1;

  std::mutex mutex_;
  std::condition_variable workReady_;           // a chunk to process, or the end
  std::condition_variable chunkDone_;           // the oldest chunk may be ready to write
  std::condition_variable spaceFree_;           // the reader may read on
  std::deque<std::shared_ptr<Chunk>> pending_;  // read, not yet taken by a worker
  std::deque<std::shared_ptr<Chunk>> inOrder_;  // read, not yet written
  std::vector<std::string> spareOutputs_;       // empty, with room
  std::size_t spareBytes_ = 0;                  // their capacity
  std::size_t bytesInFlight_ = 0;
  bool readerDone_ = false;
  bool stopping_ = false;
  std::optional<Failure> readFailure_;
};

void Batch::Push(std::shared_ptr<Chunk> chunk) {
  chunk->charge = chunk->inputBytes * workPerByte_;
  std::unique_lock lock(mutex_);
  spaceFree_.wait(lock, [&] {
    const bool fits = bytesInFlight_ == 0 || bytesInFlight_ + chunk->charge <= kBudgetBytes;
    return (fits && inOrder_.size() < maxChunks_) || stopping_;
  });
  if (stopping_) return;
  bytesInFlight_ += chunk->charge;
  pending_.push_back(chunk);
  inOrder_.push_back(std::move(chunk));
  workReady_.notify_one();
}

void Batch::ReadLines(int fd) {
  auto chunk = std::make_shared<Chunk>();
  Line current;
  std::uint64_t number = 0;
  const auto handOver = [&] {
    Push(std::move(chunk));
    chunk = std::make_shared<Chunk>();
  };
  const auto endLine = [&] {
    current.number = ++number;
    chunk->inputBytes += current.text.size();
    chunk->lines.push_back(std::move(current));
    current = Line{};
    if (chunk->lines.size() >= kChunkLines || chunk->inputBytes >= kChunkBytes) handOver();
  };
  try {
    std::vector<char> buffer(std::size_t{1} << 16);
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
      }
      StopIfAsked();
      // Reading on would wait for the writer: answer what has come so far.
      if (!chunk->lines.empty() && !Readable(fd)) handOver();
      if (!WaitReadable(fd, kPollMilliseconds)) continue;
      const std::size_t got = ReadSome(fd, buffer.data(), buffer.size(), "the records");
      if (got == 0) break;
      std::string_view data(buffer.data(), got);
      while (!data.empty()) {
        const std::size_t end = data.find('\n');
        const std::string_view piece = data.substr(0, end);
        if (current.text.size() + piece.size() > kMaxRecordBytes) {
          current.tooLong = true;            // keep counting the line, drop its bytes
          std::string().swap(current.text);  // assigning "" would keep the room
        } else if (!current.tooLong) {
          current.text.append(piece);
        }
        if (end == std::string_view::npos) break;
        data.remove_prefix(end + 1);
        endLine();
      }
    }
    if (!current.text.empty() || current.tooLong) endLine();  // a last line without "\n"
  } catch (const Failure& failure) {
    std::lock_guard lock(mutex_);
    readFailure_ = failure;
  }
  if (!chunk->lines.empty()) Push(std::move(chunk));
  std::lock_guard lock(mutex_);
  readerDone_ = true;
  workReady_.notify_all();
  chunkDone_.notify_all();
}

void Batch::Work() {
  InstallAbortHook();                        // this thread's own engine: its own hook
  platform::SetCodePage(options_.codePage);  // the page is per thread: the one the main thread chose
  RecordAnswerer answerer(options_.mode == Mode::kEncode ? records::Mode::kEncode : records::Mode::kDecode, keys_,
                          options_.wrap.value_or(0), ring_);
  for (;;) {
    std::shared_ptr<Chunk> chunk;
    std::string output;
    {
      std::unique_lock lock(mutex_);
      workReady_.wait(lock, [&] { return !pending_.empty() || readerDone_ || stopping_; });
      if (stopping_ || pending_.empty()) return;
      chunk = pending_.front();
      pending_.pop_front();
      if (!spareOutputs_.empty()) {
        output = std::move(spareOutputs_.back());
        spareOutputs_.pop_back();
        spareBytes_ -= output.capacity();
      }
    }
    std::uint64_t records = 0, failures = 0;
    for (Line& line : chunk->lines) {
      if (Interrupted()) break;
      const LineOutcome outcome =
          line.tooLong ? answerer.AnswerTooLong(line.number, output) : answerer.Answer(line.text, line.number, output);
      std::string().swap(line.text);  // its room back now, not with the chunk's
      if (outcome == LineOutcome::kBlank) continue;
      ++records;
      if (outcome == LineOutcome::kFailed) ++failures;
    }
    std::lock_guard lock(mutex_);
    bytesInFlight_ = bytesInFlight_ - chunk->charge + output.size();
    chunk->output = std::move(output);
    chunk->records = records;
    chunk->failures = failures;
    chunk->lines = {};
    chunk->done = true;
    chunkDone_.notify_all();
  }
}

int Batch::Run() {
  unsigned jobs = options_.jobs;
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  maxChunks_ = 2 * static_cast<std::size_t>(jobs) + 2;
  maxSpares_ = jobs;
  workPerByte_ = options_.mode == Mode::kDecode ? kDecodeWorkPerByte : kEncodeWorkPerByte;
#if defined(__GLIBC__)
  // Otherwise the threshold rises to the size of each large buffer freed,
  // and every worker's arena keeps buffers that size from then on.
  ::mallopt(M_MMAP_THRESHOLD, kMappedFromBytes);
#endif

  const bool fromStdin = options_.input.empty() || options_.input == "-";
  Descriptor input = fromStdin ? Descriptor::Standard(0) : OpenToRead(options_.input);
  if (!input.valid()) throw Failure{kExitInput, "cannot open " + options_.input + ": " + std::strerror(errno)};
  const int fd = input.get();
  Output out(options_.output, Output::Stop::kWholeLines);  // a stop ends the line it cuts

  std::thread reader([&] { ReadLines(fd); });
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < jobs; ++i) workers.emplace_back([&] { Work(); });

  std::uint64_t records = 0, failures = 0;
  std::optional<Failure> writeFailure;
  for (;;) {
    std::shared_ptr<Chunk> chunk;
    {
      std::unique_lock lock(mutex_);
      chunkDone_.wait_for(lock, std::chrono::milliseconds(kPollMilliseconds), [&] {
        return (!inOrder_.empty() && inOrder_.front()->done) || (readerDone_ && inOrder_.empty());
      });
      if (Interrupted()) break;
      if (inOrder_.empty()) {
        if (readerDone_) break;
        continue;
      }
      if (!inOrder_.front()->done) continue;
      chunk = inOrder_.front();
      inOrder_.pop_front();
    }
    try {
      out.Write(chunk->output);
    } catch (const Failure& failure) {
      writeFailure = failure;
      break;
    }
    records += chunk->records;
    failures += chunk->failures;
    {
      std::lock_guard lock(mutex_);
      bytesInFlight_ -= chunk->output.size();
      const std::size_t room = chunk->output.capacity();
      if (spareOutputs_.size() < maxSpares_ && room <= kSpareOutputBytes &&
          spareBytes_ + room <= kSpareOutputTotalBytes) {
        chunk->output.clear();
        spareOutputs_.push_back(std::move(chunk->output));
        spareBytes_ += room;
      }
      spaceFree_.notify_one();
    }
  }
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    workReady_.notify_all();
    spaceFree_.notify_all();
  }
  reader.join();
  for (std::thread& worker : workers) worker.join();
  input.Close();

  StopIfAsked();
  if (writeFailure) throw *writeFailure;
  if (readFailure_) throw *readFailure_;
  out.Commit();

  if (!options_.quiet) Complain(Counted(records, "record", "records") + ", " + std::to_string(failures) + " failed");
  return failures == 0 ? kExitOk : kExitSomeFailed;
}

}  // namespace

int RunBatch(const Options& options, const KeyPair& keys) {
  std::vector<RingEntry> ring;
  if (options.keyRing) ring = ReadKeyRing(*options.keyRing);
  Batch batch(options, keys, options.keyRing ? &ring : nullptr);
  return batch.Run();
}

}  // namespace trirotor::cli
