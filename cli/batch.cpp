// SPDX-License-Identifier: MIT
//
// batch.cpp - JSON lines in, JSON lines out, on all cores, in input order.
//
// A reader thread cuts the input into chunks of lines; workers, each with
// its own engine (the engine's state is per thread), turn every line into
// exactly one output line; the main thread writes the chunks back in input
// order. At most a few chunks per worker are in flight at once, so memory
// stays bounded however long the input is, and output starts at once.
// The reader polls with a timeout rather than blocking in read(2), so it sees
// Ctrl-C (whichever thread the signal lands on) and a stop after a failed
// write within a fraction of a second.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "cli/io.h"
#include "engine/trirotor.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

using namespace support;  // UTF-8 and the places of characters

using Json = nlohmann::ordered_json;  // keeps "id" first, as written

constexpr std::size_t kChunkLines = 256;
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxLineBytes = std::size_t{64} << 20;  // a message of ~48 MB
constexpr int kPollMilliseconds = 200;
constexpr int kMaxNesting = 64;

struct Line {
  std::uint64_t number = 0;  // from 1
  std::string text;
  bool tooLong = false;
};

struct Chunk {
  std::vector<Line> lines;
  std::string output;  // one line per input line, each ending in "\n"
  std::uint64_t failures = 0;
  bool done = false;
};

// One record's answer; `failed` unless it carries a clean text or message.
struct Answer {
  Json json;
  bool failed = true;
};

Answer InputError(const Json& id, std::uint64_t line, const std::string& what) {
  Answer answer;
  answer.json["id"] = id;
  answer.json["line"] = line;
  answer.json["error"] = "line " + std::to_string(line) + ": " + what;
  return answer;
}

Answer EngineFailure(const Json& id, const EngineError& error) {
  Answer answer;
  answer.json["id"] = id;
  answer.json["error"] = {{"number", error.number()}, {"source", error.source()}, {"description", error.description()}};
  return answer;
}

// Whether arrays and objects nest at most `limit` deep. The JSON library
// builds, copies and prints values recursively, so a line of a million '['
// would overflow the stack; records never nest more than a few levels.
bool NestsWithin(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

// The text of a string field, or nullopt with `problem` set.
std::optional<std::u16string> StringField(const Json& record, const char* name, std::string& problem) {
  const auto it = record.find(name);
  if (it == record.end()) return std::nullopt;
  if (!it->is_string()) {
    problem = std::string("\"") + name + "\" is not a string";
    return std::nullopt;
  }
  std::u16string text;
  std::size_t bad = 0;
  if (!DecodeUtf8(it->get_ref<const std::string&>(), text, bad)) {
    problem = std::string("\"") + name + "\" is not valid UTF-8";
    return std::nullopt;
  }
  return text;
}

class Batch {
 public:
  Batch(const Options& options, const KeyPair& keys) : options_(options), keys_(keys) {}

  int Run();

 private:
  void ReadLines(int fd);
  void Work();
  Answer Process(const Line& line);
  Answer Decode(const Json& id, std::uint64_t line, const std::u16string& message, const std::u16string& key,
                const std::u16string& suffix);
  Answer Encode(const Json& id, std::uint64_t line, const std::u16string& text, const std::u16string& key,
                const std::u16string& suffix);
  void Push(std::shared_ptr<Chunk> chunk);

  const Options& options_;
  const KeyPair& keys_;
  std::size_t maxInFlight_ = 4;

  std::mutex mutex_;
  std::condition_variable workReady_;   // a chunk to process, or the end
  std::condition_variable chunkDone_;   // the oldest chunk may be ready to write
  std::condition_variable spaceFree_;   // the reader may read on
  std::deque<std::shared_ptr<Chunk>> pending_;  // read, not yet taken by a worker
  std::deque<std::shared_ptr<Chunk>> inOrder_;  // read, not yet written
  bool readerDone_ = false;
  bool stopping_ = false;
  std::optional<Failure> readFailure_;
};

void Batch::Push(std::shared_ptr<Chunk> chunk) {
  std::unique_lock lock(mutex_);
  spaceFree_.wait(lock, [&] { return inOrder_.size() < maxInFlight_ || stopping_; });
  if (stopping_) return;
  pending_.push_back(chunk);
  inOrder_.push_back(std::move(chunk));
  workReady_.notify_one();
}

void Batch::ReadLines(int fd) {
  auto chunk = std::make_shared<Chunk>();
  std::size_t chunkBytes = 0;
  Line current;
  std::uint64_t number = 0;
  auto endLine = [&] {
    current.number = ++number;
    chunkBytes += current.text.size();
    chunk->lines.push_back(std::move(current));
    current = Line{};
    if (chunk->lines.size() >= kChunkLines || chunkBytes >= kChunkBytes) {
      Push(std::move(chunk));
      chunk = std::make_shared<Chunk>();
      chunkBytes = 0;
    }
  };
  try {
    std::vector<char> buffer(std::size_t{1} << 16);
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
      }
      if (Interrupted()) throw Failure{kExitAborted, "aborted"};
      pollfd ready{fd, POLLIN, 0};
      if (::poll(&ready, 1, kPollMilliseconds) == 0) continue;
      const std::size_t got = ReadSome(fd, buffer.data(), buffer.size(), "the records");
      if (got == 0) break;
      std::string_view data(buffer.data(), got);
      while (!data.empty()) {
        const std::size_t end = data.find('\n');
        const std::string_view piece = data.substr(0, end);
        if (current.text.size() + piece.size() > kMaxLineBytes) {
          current.tooLong = true;  // keep counting the line, drop its bytes
          current.text.clear();
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
  InstallAbortHook();  // this thread's own engine: its own hook
  platform::SetCodePage(options_.codePage);  // the code page is per thread; Run checked it
  for (;;) {
    std::shared_ptr<Chunk> chunk;
    {
      std::unique_lock lock(mutex_);
      workReady_.wait(lock, [&] { return !pending_.empty() || readerDone_ || stopping_; });
      if (stopping_ || pending_.empty()) return;
      chunk = pending_.front();
      pending_.pop_front();
    }
    std::string output;
    std::uint64_t failures = 0;
    for (const Line& line : chunk->lines) {
      if (Interrupted()) break;
      Answer answer;
      try {
        answer = Process(line);
      } catch (const std::bad_alloc&) {
        answer = EngineFailure(nullptr, EngineError(kErrOutOfMemory, "trirotor", "Out of memory"));
      }
      output += answer.json.dump(-1, ' ', false, Json::error_handler_t::replace);
      output += '\n';
      if (answer.failed) ++failures;
    }
    std::lock_guard lock(mutex_);
    chunk->output = std::move(output);
    chunk->failures = failures;
    chunk->lines = {};
    chunk->done = true;
    chunkDone_.notify_all();
  }
}

Answer Batch::Process(const Line& line) {
  if (line.tooLong) {
    return InputError(nullptr, line.number, "longer than " + std::to_string(kMaxLineBytes >> 20) + " MiB");
  }
  if (!NestsWithin(line.text, kMaxNesting)) {
    return InputError(nullptr, line.number, "nested more than " + std::to_string(kMaxNesting) + " levels deep");
  }
  const Json record = Json::parse(line.text, nullptr, false);
  if (record.is_discarded()) return InputError(nullptr, line.number, "not valid JSON");
  if (!record.is_object()) return InputError(nullptr, line.number, "not a JSON object");
  const auto id = record.find("id");
  if (id == record.end()) return InputError(nullptr, line.number, "no \"id\"");

  const bool decoding = options_.mode == Mode::kDecode;
  const char* field = decoding ? "message" : "text";
  std::string problem;
  const std::optional<std::u16string> input = StringField(record, field, problem);
  if (!input) return InputError(*id, line.number, problem.empty() ? "no \"" + std::string(field) + "\" string" : problem);
  std::optional<std::u16string> key = StringField(record, "key", problem);
  if (!problem.empty()) return InputError(*id, line.number, problem);
  if (!key) key = keys_.key;
  if (!key) return InputError(*id, line.number, "no \"key\", and no key option given");
  if (key->empty()) return InputError(*id, line.number, "the key is empty");
  std::optional<std::u16string> suffix = StringField(record, "suffix", problem);
  if (!problem.empty()) return InputError(*id, line.number, problem);

  const std::u16string& useSuffix = suffix ? *suffix : keys_.suffix;
  return decoding ? Decode(*id, line.number, *input, *key, useSuffix)
                  : Encode(*id, line.number, *input, *key, useSuffix);
}

Answer Batch::Decode(const Json& id, std::uint64_t, const std::u16string& message, const std::u16string& key,
                     const std::u16string& suffix) {
  Answer answer;
  LastError = 0;  // the engine never clears it; each record starts clean
  std::u16string plain;
  try {
    plain = DecodeText(message, key, suffix);
  } catch (const EngineError& error) {
    return EngineFailure(id, error);
  }
  answer.json["id"] = id;
  if (LastError == kErrFrameCheck) {
    answer.json["last_error"] = kErrFrameCheck;
    answer.json["error"] = ErrorMessage(kErrFrameCheck);
    return answer;
  }
  answer.json["text"] = EncodeUtf8(plain);
  if (LastError == kErrChecksum) {
    answer.json["last_error"] = kErrChecksum;
    return answer;
  }
  answer.failed = false;
  return answer;
}

Answer Batch::Encode(const Json& id, std::uint64_t line, const std::u16string& text, const std::u16string& key,
                     const std::u16string& suffix) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (platform::IsRepresentable(text[i])) continue;
    const TextPosition at = PositionOfUnit(text, i);
    return InputError(id, line,
                      "\"text\" line " + std::to_string(at.line) + ", column " + std::to_string(at.column) + ": " +
                          DescribeCharacter(text, i) + " has no place in code page " +
                          std::to_string(options_.codePage) + " and would be lost");
  }
  Answer answer;
  std::u16string message;
  try {
    message = EncodeText(text, key, suffix, options_.wrap.value_or(0));
  } catch (const EngineError& error) {
    return EngineFailure(id, error);
  }
  answer.json["id"] = id;
  answer.json["message"] = std::string(message.begin(), message.end());
  answer.failed = false;
  return answer;
}

int Batch::Run() {
  unsigned jobs = options_.jobs;
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  maxInFlight_ = 2 * static_cast<std::size_t>(jobs) + 2;

  const bool fromStdin = options_.input.empty() || options_.input == "-";
  int fd = 0;
  if (!fromStdin) {
    fd = ::open(options_.input.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Failure{kExitInput, "cannot open " + options_.input + ": " + std::strerror(errno)};
  }
  Output out(options_.output);

  const auto start = std::chrono::steady_clock::now();
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
      spaceFree_.notify_one();
    }
    try {
      out.Write(chunk->output);
    } catch (const Failure& failure) {
      writeFailure = failure;
      break;
    }
    records += std::count(chunk->output.begin(), chunk->output.end(), '\n');
    failures += chunk->failures;
  }
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    workReady_.notify_all();
    spaceFree_.notify_all();
  }
  reader.join();
  for (std::thread& worker : workers) worker.join();
  if (!fromStdin) ::close(fd);

  if (Interrupted()) throw Failure{kExitAborted, "aborted"};
  if (writeFailure) throw *writeFailure;
  if (readFailure_) throw *readFailure_;
  out.Commit();

  if (!options_.quiet) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char summary[160];
    std::snprintf(summary, sizeof summary, "%llu records, %llu failed, %.2f s, %.0f records/s",
                  static_cast<unsigned long long>(records), static_cast<unsigned long long>(failures), seconds,
                  seconds > 0 ? static_cast<double>(records) / seconds : 0.0);
    Complain(summary);
  }
  return kExitOk;
}

}  // namespace

int RunBatch(const Options& options, const KeyPair& keys) {
  Batch batch(options, keys);
  return batch.Run();
}

}  // namespace trirotor::cli
