// SPDX-License-Identifier: MIT
//
// main.cpp - the trirotor command line: parse the arguments, then Run.
//
// Help goes to standard output with status 0; a usage error goes to standard
// error with status 1, which scripts tell apart from the run's own statuses.

#include <CLI/CLI.hpp>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/decode/keys.h"
#include "cli/decode/options.h"
#include "cli/run.h"
#include "cli/status.h"
#include "cli/recover/recover_command.h"
#include "engine/trirotor.h"
#include "support/build_info.h"

namespace {

using trirotor::cli::Mode;
using trirotor::cli::Options;

constexpr const char* kDecodeFooter = R"TXT(
-o FILE: "-" is standard output; a link is followed and its target replaced
atomically; a device or FIFO (/dev/null, /dev/stdout) is written as it is;
a directory, and a file you could not write, are refused; so is (status 1)
an output that is one of the inputs, under any name or link. --output-dir
DIR writes DIR/NAME.txt for each FILE (NAME without its extension), each on
its own, and ends with "N opened, K failed (...)", whatever -j is; the
status is then the highest any file got.

Exit status:
  0    the plain text was written (LastError 0)
  1    bad usage (unknown option, bad value, unsupported --codepage; a
       --key-file, --suffix-file or --keyring that is standard input, as -
       or /dev/stdin, while the message is on standard input too)
  2    input, output or key problem: unreadable file, no or empty key,
       invalid UTF-8 in a key, -o names a directory
  3    the frame did not check out (LastError 33): wrong key or suffix,
       or not a whole message; or no message at all (under 4
       characters); nothing is written
  4    checksum mismatch (LastError 5): the text is written all the same;
       or --salvage wrote what a damaged message still holds, with a
       warning giving the bytes recovered against the announced length
  5    the engine raised an error; one line on standard error:
       error NUMBER in SOURCE: DESCRIPTION
  128+N  stopped by signal N (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP): no
       file is written; standard output may hold a beginning of the text

With --jsonl every record (one JSON object per line; blank lines are skipped
and get no answer) gets one output line, in input order, written as soon as
its record and those before it are answered:
  {"id":..,"text":..}  (+ "last_error":5 after a checksum mismatch)
  {"id":..,"last_error":33,"error":"Failed decoding the text (Error 33)"}
  {"id":..,"error":{"number":..,"source":..,"description":..}}
  {"id":..,"line":N,"error":"line N: ..."}  for a bad record
The id comes back exactly as written; "key": null and "suffix": null count as
absent. Status: 0 when every record got its text, 3 when at least one failed
(its line says why), 2 when input or output failed, 128+N after signal N;
then "N records, K failed" on standard error unless --quiet.)TXT";

constexpr const char* kEncodeFooter = R"TXT(
Exit status: 0 written; 1 bad usage; 2 input, output or key problem (among
them a character the code page cannot hold, in the text with its line and
column, or in the key or suffix; keys asked for twice that differ); 5 the
engine raised an error; 128+N stopped by signal N (130 Ctrl-C, 143
SIGTERM, 129 SIGHUP).

With --jsonl: {"id":..,"text":..,"key"?:..,"suffix"?:..} per line gives
{"id":..,"message":..} (one line of base64 unless --wrap is given); the
statuses and the summary are those of decode --jsonl.)TXT";

constexpr const char* kInspectFooter = R"TXT(
Without a key only the base64 layer is read; with --keyring, the frame and
container under the first line that opens the message. Never prints the plain text and
never writes a file. Exit status: the one decode would give (0 without a
key, 3 for under 4 characters); 1 bad usage; 2 input or key problem.)TXT";

constexpr int kMaxJobs = 1024;
constexpr int kMaxWrapDigits = 9;  // --wrap 999999999 at most: an int for the engine

constexpr const char* kCommands =
    "the commands are 'decode', 'encode', 'inspect', 'recover' and 'help' (run 'trirotor help' for more)";

// CLI11's wording, where it is not plain, in plain words.
// `command` names the command being parsed, "" for none.
std::string PlainWords(const CLI::ParseError& error, const std::string& command) {
  const std::string what = error.what();
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr && what.find("subcommand") != std::string::npos) {
    return std::string("a command is needed: ") + kCommands;
  }
  // "--key: At Most 1 required but received 2"
  const std::size_t colon = what.find(": At Most 1 required");
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && colon != std::string::npos) {
    if (what.starts_with("FILE:")) return command + " takes one FILE";
    return what.substr(0, colon) + " is given more than once; give it once";
  }
  return what;
}

// `status`, once what went to standard output is out; a full disk or a
// closed pipe there is a failure, not help given.
int Written(int status) {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return status;
  trirotor::cli::Complain(std::string("cannot write to standard output: ") + std::strerror(errno));
  return trirotor::cli::kExitInput;
}

// "--suffix=" gives the option an empty value. CLI11 would take the next
// argument as the value instead ("--suffix= -q" sealing under the suffix
// "-q"), so such an argument goes to CLI11 as the option and an empty
// argument, which it takes as given. Past "--" nothing is an option. The
// arguments come back last first, as CLI11's parse wants them.
std::vector<std::string> SplitEmptyValues(int argc, char** argv) {
  std::vector<std::string> split;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--") options = false;
    if (options && argument.size() > 3 && argument.starts_with("--") && argument.find('=') == argument.size() - 1) {
      argument.pop_back();
      split.push_back(std::move(argument));
      split.emplace_back();
      continue;
    }
    split.push_back(std::move(argument));
  }
  return {split.rbegin(), split.rend()};
}

// An empty name would stand for standard input or output, which a variable
// left unset ("-o $OUT") must not quietly become: it is refused.
CLI::Validator NamesAFile(const std::string& hint) {
  return CLI::Validator(
      [hint](std::string& value) { return value.empty() ? "an empty name names no file" + hint : std::string(); }, "");
}

// decode's options for whole folders (docs/archives.md).
void AddArchiveOptions(CLI::App& command, Options& options, CLI::Option* outputDir, CLI::Option* check,
                       CLI::Option* jsonl) {
  auto* recursive = command.add_flag("-r,--recursive", options.recursive,
                                     "With --output-dir: take every regular file under each folder FILE, mirrored "
                                     "under DIR (in/2003/a.b64 -> DIR/2003/a.txt); without it, a folder gives the "
                                     "files directly in it");
  auto* include = command.add_option("--include", options.include,
                                     "With --output-dir: take only files that match GLOB (a GLOB with a / matches "
                                     "the path under the folder, one without matches the name); may be repeated");
  include->option_text("GLOB")->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  auto* exclude = command.add_option("--exclude", options.exclude,
                                     "With --output-dir: leave out files and folders that match GLOB (as "
                                     "--include matches); may be repeated");
  exclude->option_text("GLOB")->allow_extra_args(false)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  auto* follow = command.add_flag("--follow-symlinks", options.followLinks,
                                  "Enter folders reached through symbolic links (loops are found and skipped)");
  auto* report = command.add_option("--report", options.report,
                                    "With --output-dir: write a JSON line per input and a summary line to FILE "
                                    "(fields in docs/archives.md; - for standard output); refused if FILE exists, "
                                    "unless --resume");
  report->option_text("FILE")->check(NamesAFile(""));
  auto* resume = command.add_flag("--resume", options.resume,
                                  "Go on with the run --report recorded, with its inputs, --output-dir, --codepage "
                                  "and --raw (refused otherwise): inputs whose output still has the recorded SHA-256 "
                                  "are kept, the rest are done again and appended");
  resume->needs(report);
  auto* verify = command.add_option("--verify", options.verify,
                                    "Check every input REPORT records an output for: the output and the input "
                                    "against their recorded SHA-256, then the input decoded again (under the "
                                    "recorded code page and text form) against the output's; write nothing, list "
                                    "what differs or is missing on standard output. A report without its summary "
                                    "line is not verified (status 2)");
  verify->option_text("REPORT")->check(NamesAFile(""));
  for (CLI::Option* option : {recursive, include, exclude, follow, report}) option->needs(outputDir);
  verify->excludes(outputDir)->excludes(check)->excludes(jsonl)->excludes(report);
  // What shapes a text: --verify takes it from the report.
  for (const char* name : {"-o", "--raw", "--codepage", "--salvage"}) verify->excludes(command.get_option(name));
}

/// Each command's options, in the order its help lists them ///

// The key and suffix options of decode, encode and inspect; `keyHelp` says
// what happens without any.
struct KeyOptions {
  CLI::Option *file, *env, *text, *suffixText, *suffixFile;
};

KeyOptions AddKeyOptions(CLI::App& command, Options& options, const std::string& keyHelp) {
  KeyOptions keys{};
  keys.file = command.add_option("--key-file", options.keyFile,
                                 "Read the key from FILE (UTF-8; a leading byte-order mark and one trailing LF or CRLF "
                                 "are dropped; - for standard input when the message is not there)");
  keys.file->option_text("FILE")->check(NamesAFile(" (- is standard input)"));
  keys.env = command.add_option("--key-env", options.keyEnv, "Take the key from environment variable VAR");
  keys.env->option_text("VAR");
  keys.text = command.add_option("--key", options.keyText,
                                 "The key itself. Other users of this machine can see it in the process list: prefer "
                                 "--key-file or --key-env. " +
                                     keyHelp);
  keys.text->option_text("TEXT");
  keys.file->excludes(keys.env)->excludes(keys.text);
  keys.env->excludes(keys.text);

  keys.suffixText = command.add_option("--suffix", options.suffixText, "The key suffix (default: empty)");
  keys.suffixText->option_text("TEXT");
  keys.suffixFile = command.add_option("--suffix-file", options.suffixFile,
                                       "Read the key suffix from FILE (read as --key-file reads)");
  keys.suffixFile->option_text("FILE")->check(NamesAFile(" (- is standard input)"));
  keys.suffixText->excludes(keys.suffixFile);
  return keys;
}

void AddCodePageOption(CLI::App& command, Options& options) {
  command
      .add_option_function<std::string>(
          "--codepage",
          [&options](const std::string& name) {
            const std::optional<int> page = trirotor::platform::ParseCodePageName(name);
            if (!page) throw CLI::ValidationError("--codepage", "'" + name + "' names no code page");
            options.codePage = *page;
          },
          "Single-byte, ASCII-compatible code page of the plain text, by number or name: 1252 (default), "
          "cp437, windows-1251, ISO-8859-2, ... ('trirotor --list-codepages' shows them all)")
      ->option_text("NAME");
}

// --keyring FILE; `what` says what the first line that opens the message
// is used for.
CLI::Option* AddKeyRingOption(CLI::App& command, Options& options, const KeyOptions& keys, const std::string& what) {
  return command
      .add_option("--keyring", options.keyRing,
                  "Try the keys of FILE, one a line (KEY or KEY<TAB>SUFFIX; # starts a comment line; - for "
                  "standard input when the message is not there), on every core, and " +
                      what)
      ->option_text("FILE")
      ->check(NamesAFile(" (- is standard input)"))
      ->excludes(keys.file)
      ->excludes(keys.env)
      ->excludes(keys.text)
      ->excludes(keys.suffixText)
      ->excludes(keys.suffixFile);
}

// Where decode's and encode's results go, and how the run shows itself.
struct OutputOptions {
  CLI::Option *output, *raw, *jsonl;
};

OutputOptions AddOutputOptions(CLI::App& command, Options& options, bool decoding) {
  OutputOptions out{};
  out.output = command.add_option(
      "-o,--output", options.output,
      "Write to FILE, replacing it only when the run succeeds (default: standard output; - for standard "
      "output). A link is followed; a device or FIFO such as /dev/null is written as it is");
  out.output->option_text("FILE");
  out.output->check(NamesAFile(" (- is standard output)"));
  out.raw = command.add_flag("--raw", options.raw,
                             decoding ? "Write the plain bytes of the code page instead of UTF-8"
                                      : "Read the text as bytes of the code page instead of UTF-8");
  auto* progress = command.add_flag("--progress", options.progress,
                                    "Show the progress bar on standard error even when it is not a terminal");
  auto* quiet =
      command.add_flag("-q,--quiet", options.quiet, "Show no progress bar, no encode stages and no summary line");
  progress->excludes(quiet);
  out.jsonl = command.add_flag("--jsonl", options.jsonl,
                               decoding ? "Batch mode: decode one JSON record per line (see below)"
                                        : "Batch mode: encode one JSON record per line (see below)");
  out.jsonl->excludes(out.raw);
  return out;
}

// decode's own: several messages, salvage, key rings, whole folders.
void AddDecodeOptions(CLI::App& command, Options& options, const KeyOptions& keys, const OutputOptions& out) {
  auto* outputDir = command.add_option("--output-dir", options.outputDir,
                                       "Decode each FILE to DIR/<its name without extension>.txt, each on its "
                                       "own; the status is the highest of them, a summary line ends the run. An "
                                       "archive run (docs/archives.md) makes DIR when it is missing");
  outputDir->option_text("DIR");
  outputDir->check(NamesAFile(" (. is this folder)"));
  auto* check = command.add_flag("--check", options.check,
                                 "Decode each FILE and write nothing: the status tells whether the key opens "
                                 "it (0) or not (3)");
  outputDir->excludes(out.output)->excludes(out.jsonl);
  check->excludes(out.output)->excludes(outputDir)->excludes(out.jsonl);
  auto* salvage = command.add_flag("--salvage", options.salvage,
                                   "When the frame does not check out but its header shows this key, write what the "
                                   "message still holds (a cut-short message, junk after its end); exit 4");
  salvage->excludes(out.jsonl)->excludes(check);
  AddKeyRingOption(command, options, keys,
                   "decode with the first that opens the message; its line is named on standard error, never the "
                   "key. With --jsonl, each record without a \"key\" of its own is tried against FILE, and its line "
                   "names the opening line (\"keyring_line\"); with --output-dir, each message is, and its report "
                   "line names the line")
      ->excludes(check)
      ->excludes(salvage);
  AddArchiveOptions(command, options, outputDir, check, out.jsonl);
}

void AddJobsOption(CLI::App& command, Options& options) {
  command
      .add_option("-j,--jobs", options.jobs,
                  "Worker threads for --jsonl, --output-dir and --verify, 1 to 1024 (default: one per core)")
      ->option_text("N")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            // CLI11's range check calls a word "not in range".
            const bool digits =
                !value.empty() && value.size() <= 4 && value.find_first_not_of("0123456789") == std::string::npos;
            const int n = digits ? std::stoi(value) : 0;
            return n >= 1 && n <= kMaxJobs
                       ? ""
                       : "must be a whole number from 1 to " + std::to_string(kMaxJobs) + ", not " + value;
          },
          "N"));
}

void AddWrapOption(CLI::App& command, Options& options) {
  command.add_option("--wrap", options.wrap, "Base64 line length, 0 to 999999999 (default 76; 0: one line)")
      ->option_text("N")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            // CLI11's own range check would print the range of a double.
            const bool digits = !value.empty() && value.size() <= kMaxWrapDigits &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            return digits ? "" : "must be a whole number of characters from 0 to 999999999 (0: one line), not " + value;
          },
          "N"));
}

/// The commands ///

constexpr const char* kAskedFor =
    "Without any key option the key is asked for on the terminal, without echo (also when the message comes through "
    "a pipe; encode asks twice)";

CLI::App* AddDecodeCommand(CLI::App& app, Options& options) {
  CLI::App* decode = app.add_subcommand("decode", "Decode a message (base64) into its plain text");
  decode->add_option("FILE", options.inputs,
                     "The message to decode (default: standard input; - for standard input); several with "
                     "--output-dir or --check");
  const KeyOptions keys = AddKeyOptions(*decode, options, kAskedFor);
  AddCodePageOption(*decode, options);
  const OutputOptions out = AddOutputOptions(*decode, options, true);
  AddDecodeOptions(*decode, options, keys, out);
  AddJobsOption(*decode, options);
  decode->footer(kDecodeFooter);
  return decode;
}

// Inspection takes a key but writes no text: the options that shape an
// output are not its.
CLI::App* AddInspectCommand(CLI::App& app, Options& options) {
  CLI::App* inspect = app.add_subcommand("inspect",
                                         "Report what each stage of decoding sees in a message "
                                         "(the base64 layer; with a key, the frame and container)");
  const KeyOptions keys = AddKeyOptions(
      *inspect, options, "Without any key option only the base64 layer is read; the key is never asked for");
  AddCodePageOption(*inspect, options);
  AddKeyRingOption(*inspect, options, keys,
                   "report under the first that opens the message; its line is named on standard error, never the "
                   "key");
  inspect->add_option("FILE", options.inputs, "The message (default: standard input; - for standard input)")
      ->expected(0, 1);
  inspect->add_flag("--json", options.json, "The same facts as one JSON object (field names in docs/salvage.md)");
  inspect->footer(kInspectFooter);
  return inspect;
}

CLI::App* AddEncodeCommand(CLI::App& app, Options& options) {
  CLI::App* encode = app.add_subcommand("encode", "Encode a plain text into a new message");
  encode->add_option("FILE", options.inputs, "The text to encode (default: standard input; - for standard input)")
      ->expected(0, 1);
  AddKeyOptions(*encode, options, kAskedFor);
  AddCodePageOption(*encode, options);
  AddOutputOptions(*encode, options, false);
  AddJobsOption(*encode, options);
  AddWrapOption(*encode, options);
  encode->footer(kEncodeFooter);
  return encode;
}

void AddProgramOptions(CLI::App& app) {
  // The version, the build and its optional parts (support/build_info.h).
  app.set_version_flag("--version", trirotor::support::VersionText("trirotor"));
  app.require_subcommand(1);
  app.allow_windows_style_options(false);  // "/x" is a file name on Windows too; subcommands inherit this
  app.footer(
      "Run 'trirotor decode --help', 'trirotor encode --help', 'trirotor inspect --help' or 'trirotor recover "
      "--help' for the options and exit statuses.");
  app.add_flag_callback(
      "--list-codepages",
      [] {
        for (const trirotor::platform::CodePageInfo& page : trirotor::platform::SupportedCodePages()) {
          std::printf("%-6d %-13.*s %.*s%s\n", page.number, static_cast<int>(page.name.size()), page.name.data(),
                      static_cast<int>(page.description.size()), page.description.data(),
                      page.windowsTables ? " (Windows' own tables, best fit included)" : "");
        }
        throw CLI::Success();
      },
      "List the code pages --codepage takes (number, name, script; which convert by Windows' own tables) and exit");
}

// The one table of commands: the name a command line gives, and its parser.
struct Command {
  const char* name;
  CLI::App* app;
};
using Commands = std::array<Command, 4>;

// decode, inspect and encode fill `options`; recover owns its own
// (cli/recover/recover_command.h). In the order --help lists them.
Commands AddCommands(CLI::App& app, Options& options, std::optional<trirotor::cli::RecoverCommand>& recover) {
  return {{{"decode", AddDecodeCommand(app, options)},
           {"inspect", AddInspectCommand(app, options)},
           {"encode", AddEncodeCommand(app, options)},
           {"recover", recover.emplace(app).App()}}};
}

const Command* Named(const Commands& commands, std::string_view name) {
  for (const Command& command : commands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// "trirotor help [COMMAND]", and a word that is no command, before CLI11
// sees them: it would only say that a subcommand is required. nullopt when
// CLI11 is to parse the line.
std::optional<int> AnswerFirstWord(CLI::App& app, const Commands& commands, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return std::nullopt;
  const std::string word = argv[1];
  if (word != "help") {
    if (Named(commands, word) != nullptr) return std::nullopt;
    trirotor::cli::Complain("'" + word + "' is not a command; " + kCommands);
    return trirotor::cli::kExitUsage;
  }
  const std::string topic = argc >= 3 ? argv[2] : "";
  const Command* about = Named(commands, topic);
  if (about == nullptr && !topic.empty()) {
    trirotor::cli::Complain("there is no help on '" + topic + "': " + kCommands);
    return trirotor::cli::kExitUsage;
  }
  if (argc > 3) {
    trirotor::cli::Complain("'help' takes one command at most: " + std::string(kCommands));
    return trirotor::cli::kExitUsage;
  }
  // A command's usage line names the program first, as "COMMAND --help" has it.
  std::fputs(about == nullptr ? app.help().c_str() : about->app->help("trirotor").c_str(), stdout);
  return Written(trirotor::cli::kExitOk);
}

// What a parsed decode, encode or inspect line may not combine; nullopt
// when it may run.
std::optional<std::string> RefusedCombination(const Options& options) {
  if (options.inputs.size() > 1 && options.outputDir.empty() && !options.check) {
    return "decode takes one FILE; give --output-dir DIR or --check for several";
  }
  if (options.jobs != 0 && !options.jsonl && options.outputDir.empty() && options.verify.empty()) {
    return "-j needs --jsonl, --output-dir or --verify";
  }
  if (!options.verify.empty() && !options.inputs.empty()) {
    return "--verify takes its inputs from the report: give no FILE";
  }
  return std::nullopt;
}

// The parsed line of decode, encode or inspect, run.
int RunParsed(const Commands& commands, Options& options) {
  options.mode = Named(commands, "decode")->app->parsed()    ? Mode::kDecode
                 : Named(commands, "inspect")->app->parsed() ? Mode::kInspect
                                                             : Mode::kEncode;
  if (const std::optional<std::string> refused = RefusedCombination(options)) {
    trirotor::cli::Complain(*refused);
    return trirotor::cli::kExitUsage;
  }
  if (!options.inputs.empty()) options.input = options.inputs.front();
  // Before anything is read: a key source that is standard input while the
  // message is there too would take the message as the key.
  try {
    trirotor::cli::RefuseSharedStandardInput(options);
  } catch (const trirotor::cli::Failure& failure) {
    trirotor::cli::Complain(failure.message);
    return failure.status;
  }
  return trirotor::cli::Run(options);
}

}  // namespace

#if defined(_WIN32)
// Windows gives the arguments as UTF-16: wmain takes them, and the shared
// entry gets them as UTF-8.
#include "cli/os/windows_side.h"
static int Main(int argc, char** argv);
int wmain(int argc, wchar_t** argv) { return trirotor::cli::RunWithUtf8Arguments(argc, argv, Main); }
static int Main(int argc, char** argv) {
#else
int main(int argc, char** argv) {
#endif
  CLI::App app{"trirotor - decodes sealed text messages with their key, and seals new ones.", "trirotor"};
  AddProgramOptions(app);
  Options options;
  std::optional<trirotor::cli::RecoverCommand> recover;
  const Commands commands = AddCommands(app, options, recover);
  if (const std::optional<int> answered = AnswerFirstWord(app, commands, argc, argv)) return *answered;
  try {
    app.parse(SplitEmptyValues(argc, argv));
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return Written(app.exit(error));  // --help, --version, --list-codepages
    trirotor::cli::Complain(PlainWords(error, Named(commands, "encode")->app->parsed() ? "encode" : "inspect"));
    trirotor::cli::Complain("run 'trirotor --help' for the usage");
    return trirotor::cli::kExitUsage;
  }
  if (recover->App()->parsed()) return Written(recover->Run());
  return RunParsed(commands, options);
}
