// SPDX-License-Identifier: MIT
//
// recover_command.cpp - trirotor recover on the command line: its options,
// the fixed suffix read as keys are read, and the hooks that put the
// search's lines on standard error and the key found on standard output.
// The search itself is the recover library's (recover.h).

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/decode/hooks.h"
#include "cli/decode/keys.h"
#include "cli/status.h"
#include "cli/os/console.h"
#include "cli/os/files.h"
#include "cli/progress_line.h"
#include "cli/recover/candidates.h"
#include "cli/recover/recover.h"
#include "cli/recover/recover_command.h"
#include "engine/trirotor.h"
#include "support/utf8.h"

namespace trirotor::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDrawEvery = std::chrono::milliseconds(200);

}  // namespace

// The search's options and those of the command line alone.
struct RecoverCommand::CommandOptions {
  RecoverOptions search;
  std::optional<std::string> suffix, suffixFile, suffixEnv;
  bool json = false, quiet = false;
  double statusEvery = 0;
};

namespace {

using CommandOptions = RecoverCommand::CommandOptions;

// The fixed suffix the options give, as its UTF-8 bytes; nullopt for none.
// Read only once standard input is known to be free for it.
std::optional<std::string> FixedSuffix(const CommandOptions& o, const std::string& message,
                                       const std::optional<std::string>& wordlist) {
  if (o.suffix) return *o.suffix;
  if (o.suffixEnv) {
    std::string text = EnvironmentText(*o.suffixEnv);
    if (!IsUtf8(text)) throw Failure{kExitInput, "the variable " + *o.suffixEnv + " is not valid UTF-8"};
    return text;
  }
  if (!o.suffixFile) return std::nullopt;
  if (SameFileAsStandardInput(*o.suffixFile)) {
    const bool onInput = message == "-" || SameFileAsStandardInput(message);
    const bool words = wordlist && (*wordlist == "-" || SameFileAsStandardInput(*wordlist));
    if (onInput || words) {
      throw Failure{kExitUsage, "--suffix-file " + *o.suffixFile + " reads standard input, which carries the " +
                                    (onInput ? "message" : "word list") + "; give the suffix another way"};
    }
  }
  return support::EncodeUtf8(ReadKeySource(*o.suffixFile, "the suffix file"));
}

// The output standard output is: a closed one would lose the key found.
void RefuseClosedStandardOutput() {
  if (StandardOutputClosed()) {
    throw Failure{kExitInput, "standard output is closed: the key found would have nowhere to go"};
  }
}

// Writes all of `text`; false, with errno set, when it cannot.
bool WriteAll(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const long n = WriteFd(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The progress hook: the bar on a terminal (the tool's one progress line,
// every 200 ms), the status lines asked for, each on standard error.
class ProgressLines {
 public:
  explicit ProgressLines(const CommandOptions& o) : quiet_(o.quiet), statusEvery_(o.statusEvery) {}
  ~ProgressLines() { Clear(); }
  // Takes the bar off the line, for a line of text.
  void Clear() {
    bar_.Wipe();
    bar_.Forget();
  }
  // A status line every --status-json seconds, and one where the search
  // ended, so that even a search shorter than the interval has one.
  void Show(const RecoverProgress& progress) {
    const Clock::time_point now = Clock::now();
    if (!quiet_ && !progress.last && bar_.terminal() && bar_.Due(now)) {
      bar_.Put("\r" + ProgressText(progress) + "\033[K", now);
    }
    if (statusEvery_ > 0 && (progress.last || now - lastStatus_ >= std::chrono::duration<double>(statusEvery_))) {
      (void)WriteAll(2, StatusJson(progress) + "\n");
      lastStatus_ = now;
    }
  }

 private:
  bool quiet_;
  double statusEvery_;
  ProgressLine bar_{false, kDrawEvery, kDrawEvery};  // drawn on a terminal only
  Clock::time_point lastStatus_ = Clock::now();
};

// The key found on standard output: a line decode --keyring takes, or with
// --json where it stood.
std::string KeyLine(const CommandOptions& o, const RecoverFound& found) {
  if (!o.json) return found.shownKey + (found.suffix.empty() ? "" : "\t" + found.shownSuffix) + "\n";
  return nlohmann::json{{"key", found.shownKey},
                        {"suffix", found.shownSuffix},
                        {"codepage", found.codePage},
                        {"candidate", found.number + 1},
                        {"from", found.from}}
             .dump() +
         "\n";
}

// Whether to stop: a signal came. The tests must stop a search at a count,
// not at a moment (a fast machine ends a search before a stop timed for a
// slow one), so TRIROTOR_TEST_INTERRUPT_AT=K records a SIGINT, as its
// handler does, the K-th time the search asks: it asks once a batch of 64
// candidates on each thread and as it hands out runs, so the stop lands
// some K * 64 candidates in, on any machine.
std::function<bool()> StopHook() {
  const char* at = std::getenv("TRIROTOR_TEST_INTERRUPT_AT");
  if (at == nullptr || *at == '\0') return Interrupted;
  const std::uint64_t k = std::strtoull(at, nullptr, 10);
  auto asked = std::make_shared<std::atomic<std::uint64_t>>(0);
  return [asked, k] {
    if (asked->fetch_add(1, std::memory_order_relaxed) + 1 == k) RecordStop(SIGINT);
    return Interrupted();
  };
}

int RunRecover(CommandOptions& o) {
  InstallInterruptHandler();
  RefuseClosedStandardOutput();
  o.search.fixedSuffix = [&o](const std::string& message, const std::optional<std::string>& wordlist) {
    return FixedSuffix(o, message, wordlist);
  };
  o.search.suffixFile = o.suffixFile;
  ProgressLines lines(o);
  RecoverHooks hooks;
  hooks.stop = StopHook();
  hooks.progress = [&lines](const RecoverProgress& progress) { lines.Show(progress); };
  hooks.tell = [&o, &lines](std::string_view line, bool chatter) {
    if (chatter && o.quiet) return;
    lines.Clear();
    Complain(line);
  };
  hooks.deliver = [&o, &lines](const RecoverFound& found) -> std::string {
    lines.Clear();  // the key's line is not to follow the bar's on a terminal
    if (WriteAll(1, KeyLine(o, found))) return "";
    return std::string("cannot write the key found to standard output: ") + std::strerror(errno);
  };
  const RecoverResult result = Recover(o.search, hooks);
  if (o.search.dryRun && !WriteAll(1, result.announcement + "\n")) {
    throw Failure{kExitInput, std::string("cannot write to standard output: ") + std::strerror(errno)};
  }
  return result.status;
}

constexpr const char* kRecoverFooter = R"TXT(
Candidates are the product of the word list (each rule applied to each
word, then the mask appended or prepended) and the suffixes, each tried
under each code page. The key found is printed on standard output, with a
TAB and the suffix when there is one (a line decode --keyring takes); a key
that is no UTF-8 as its text under the code page that opened the message.
No candidate, and not where the key stood, is ever written to standard
error or to the session file; --json alone tells where it stood. A session
that found its key is kept marked finished, with no place in it.

Exit status:
  0    the key was found
  1    bad usage (unknown option, bad rule, mask or code page, an empty
       mask or an --increment-min past it, a --decode-to that is an
       input, a --session FILE that is no session or holds another
       search or this one stopped, a missing or other fixed suffix)
  2    input or output problem: an unreadable message, word list, rule
       file, suffix list or session file; a damaged session or one that
       no longer fits its inputs (they changed); a session in use by
       another run or that already found its key; the key or text could
       not be written
  3    every candidate was tried and none opens the message
  128+N  stopped by signal N (130 Ctrl-C): the session file is saved;
       go on with trirotor recover --restore FILE)TXT";

// The suffix options, one kind at a time: a fixed suffix from the command
// line, a file or a variable, or a list or a mask to try.
std::vector<CLI::Option*> AddSuffixOptions(CLI::App& command, CommandOptions& o) {
  auto* suffix = command
                     .add_option("--suffix", o.suffix,
                                 "A fixed key suffix (default: empty). Other users of this machine can see it in "
                                 "the process list: prefer --suffix-file or --suffix-env")
                     ->option_text("TEXT");
  auto* suffixFile = command
                         .add_option("--suffix-file", o.suffixFile,
                                     "Read the fixed key suffix from FILE (read as decode's --key-file reads; - for "
                                     "standard input when neither the message nor the word list is there)")
                         ->option_text("FILE");
  auto* suffixEnv =
      command.add_option("--suffix-env", o.suffixEnv, "Take the fixed key suffix from environment variable VAR")
          ->option_text("VAR");
  auto* suffixList =
      command.add_option("--suffix-wordlist", o.search.suffixWordlist, "Try each suffix of FILE, one a line")
          ->option_text("FILE");
  auto* suffixMask =
      command.add_option("--suffix-mask", o.search.suffixMask, "Try each suffix of MASK")->option_text("MASK");
  const std::vector<CLI::Option*> suffixes = {suffix, suffixFile, suffixEnv, suffixList, suffixMask};
  for (std::size_t a = 0; a < suffixes.size(); ++a) {
    for (std::size_t b = a + 1; b < suffixes.size(); ++b) suffixes[a]->excludes(suffixes[b]);
  }
  return suffixes;
}

// The command and its options, which fill `o`.
CLI::App* AddRecoverOptions(CLI::App& app, CommandOptions& o) {
  RecoverOptions& r = o.search;
  CLI::App* recover = app.add_subcommand(
      "recover", "Search for a forgotten key among candidates from word lists, rules and masks, on every core");
  recover->add_option("MESSAGE", r.message, "The message whose key is forgotten");
  recover
      ->add_option("--wordlist", r.wordlist,
                   "Candidate words, one a line (UTF-8; $HEX[...] lines; a leading byte-order mark dropped; - for "
                   "standard input)")
      ->option_text("FILE");
  recover->add_option("--rules", r.rules, "Apply each rule of FILE (hashcat's rule syntax) to each word")
      ->option_text("FILE");
  auto* mask =
      recover->add_option("--mask", r.mask, "Candidates from a mask alone (?l ?u ?d ?s ?a ?h ?H ?b ?1-?4, ?? for ?)")
          ->option_text("MASK");
  auto* append = recover->add_option("--append-mask", r.appendMask, "Each word followed by each candidate of MASK")
                     ->option_text("MASK");
  auto* prepend = recover->add_option("--prepend-mask", r.prependMask, "Each candidate of MASK followed by each word")
                      ->option_text("MASK");
  mask->excludes(append)->excludes(prepend)->excludes("--wordlist");
  append->excludes(prepend);
  std::vector<CLI::Option*> sets;
  for (int k = 0; k < 4; ++k) {
    sets.push_back(recover
                       ->add_option("-" + std::to_string(k + 1) + ",--custom-charset" + std::to_string(k + 1),
                                    r.custom[static_cast<std::size_t>(k)],
                                    "The set ?" + std::to_string(k + 1) + " stands for in masks")
                       ->option_text("SET"));
  }
  auto* increment =
      recover->add_flag("--increment", r.increment, "Masks from their first position on, one longer each time");
  auto* incrementMin = recover
                           ->add_option("--increment-min", r.incrementMin,
                                        "Start --increment at the mask's first N positions (1 to the mask's length)")
                           ->option_text("N")
                           ->needs(increment);
  const std::vector<CLI::Option*> suffixes = AddSuffixOptions(*recover, o);
  recover
      ->add_option("--codepages", r.codePages,
                   "Try each key under these code pages, by number or name, comma-separated, "
                   "or all (default: 1252)")
      ->option_text("LIST|all");
  recover->add_option("-j,--jobs", r.jobs, "Threads (default: one per core)")
      ->option_text("N")
      ->check(CLI::Range(1, 1024));
  recover->add_flag("--json", o.json,
                    "Print the key found as one JSON object: key, suffix, codepage, candidate and from (where it "
                    "stood, which nothing else tells)");
  recover
      ->add_option("--decode-to", r.decodeTo,
                   "Also write the plain text to FILE (UTF-8), after the key; FILE is checked before the search, "
                   "and refused when it is one of the search's inputs")
      ->option_text("FILE");
  auto* skip = recover
                   ->add_option("--skip", r.skip,
                                "Skip the first N candidates (numbered as docs/recover.md tells): one part of a "
                                "search split over machines")
                   ->option_text("N");
  auto* limit = recover->add_option("--limit", r.limit, "Try at most N candidates (after --skip's)")->option_text("N");
  recover->add_flag("--dry-run", r.dryRun, "Print the number of candidates and the time they take, and stop");
  recover->add_flag("--no-early-test", r.noEarlyTest,
                    "Test each key by the whole frame: for a message whose payload has no container identification");
  recover
      ->add_option("--status-json", o.statusEvery,
                   "Every SECONDS, one JSON status line on standard error, and one at the end")
      ->option_text("SECONDS")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            // CLI11's own check would list the whole range of a double.
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            const bool number = !value.empty() && end == value.c_str() + value.size() && seconds == seconds;
            return number && seconds > 0 && seconds <= 1e6 ? "" : "must be a number of seconds above 0, not " + value;
          },
          "SECONDS"));
  auto* session = recover
                      ->add_option("--session", r.session,
                                   "Keep where the search stands in FILE (default: MESSAGE's name + .recover, in "
                                   "this folder); a FILE that holds another search, or this one stopped, is refused")
                      ->option_text("FILE");
  auto* restore =
      recover->add_option("--restore", r.restore, "Go on with the search FILE holds, exactly where it stopped")
          ->option_text("FILE");
  for (CLI::Option* made :
       {session, mask, append, prepend, suffixes[3], suffixes[4], increment, incrementMin, skip, limit}) {
    restore->excludes(made);
  }
  for (CLI::Option* set : sets) restore->excludes(set);
  for (const char* name : {"--wordlist", "--rules", "--codepages", "--no-early-test", "MESSAGE"})
    restore->excludes(name);
  recover->add_flag("-q,--quiet", o.quiet, "No announcement, progress bar or summary line");
  recover->footer(kRecoverFooter);
  return recover;
}

}  // namespace

RecoverCommand::RecoverCommand(CLI::App& app)
    : options_(std::make_unique<CommandOptions>()), app_(AddRecoverOptions(app, *options_)) {}

RecoverCommand::~RecoverCommand() = default;

int RecoverCommand::Run() {
  try {
    return RunRecover(*options_);
  } catch (const Failure& failure) {
    if (failure.status == kExitAborted && Interrupted()) {
      Complain("aborted by " + SignalName(InterruptSignal()));
      return 128 + InterruptSignal();
    }
    Complain(failure.message);
    return failure.status;
  } catch (const EngineError& error) {
    Complain("error " + std::to_string(error.number()) + " in " + error.source() + ": " + error.description());
    return kExitEngine;
  } catch (const std::bad_alloc&) {
    Complain("out of memory");
    return kExitEngine;
  }
}

}  // namespace trirotor::cli
