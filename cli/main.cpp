// SPDX-License-Identifier: MIT
//
// main.cpp - the trirotor command line: parse the arguments, then Run.
//
// Help goes to standard output with status 0; a usage error goes to standard
// error with status 1, which scripts tell apart from the run's own statuses.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <string>

#include "cli/cli.h"
#include "engine/trirotor.h"

namespace {

using trirotor::cli::Mode;
using trirotor::cli::Options;

constexpr const char* kDecodeFooter = R"TXT(
Exit status:
  0    the plain text was written (LastError 0)
  1    bad usage (unknown option, bad value, unsupported --codepage,
       --key-file - or --suffix-file - while the message is on standard input)
  2    input, output or key problem: unreadable file, no or empty key,
       invalid UTF-8 in a key
  3    the frame did not check out (LastError 33): wrong key or suffix,
       or not a message; nothing is written
  4    checksum mismatch (LastError 5): the text is written all the same
  5    the engine raised an error; one line on standard error:
       error NUMBER in SOURCE: DESCRIPTION
  130  aborted with Ctrl-C; nothing is written

With --jsonl every input line gets one output line, in input order:
  {"id":..,"text":..}  (+ "last_error":5 after a checksum mismatch)
  {"id":..,"last_error":33,"error":"Failed decoding the text (Error 33)"}
  {"id":..,"error":{"number":..,"source":..,"description":..}}
  {"id":..,"line":N,"error":"line N: ..."}  for a bad record
and the status is 0 once every line is answered.)TXT";

constexpr const char* kEncodeFooter = R"TXT(
Exit status: 0 written; 1 bad usage; 2 input, output or key problem (among
them a character the code page cannot hold, in the text with its line and
column, or in the key or suffix; keys asked for twice that differ); 5 the
engine raised an error; 130 aborted.

With --jsonl: {"id":..,"text":..,"key"?:..,"suffix"?:..} per line gives
{"id":..,"message":..} (one line of base64 unless --wrap is given).)TXT";

void AddSharedOptions(CLI::App& command, Options& options, bool decoding) {
  command.add_option("FILE", options.input,
                     decoding ? "The message to decode (default: standard input; - for standard input)"
                              : "The text to encode (default: standard input; - for standard input)");
  auto* keyFile = command.add_option("--key-file", options.keyFile,
                                     "Read the key from FILE (UTF-8; a leading byte-order mark and one trailing LF or CRLF are "
                                     "dropped; - for standard input when the message is not there)");
  keyFile->option_text("FILE");
  auto* keyEnv = command.add_option("--key-env", options.keyEnv, "Take the key from environment variable VAR");
  keyEnv->option_text("VAR");
  auto* keyText = command.add_option(
      "--key", options.keyText,
      "The key itself. Other users of this machine can see it in the process list: prefer --key-file or "
      "--key-env. Without any key option the key is asked for on the terminal, without echo (also when "
      "the message comes through a pipe; encode asks twice)");
  keyText->option_text("TEXT");
  keyFile->excludes(keyEnv)->excludes(keyText);
  keyEnv->excludes(keyText);

  auto* suffixText = command.add_option("--suffix", options.suffixText, "The key suffix (default: empty)");
  suffixText->option_text("TEXT");
  auto* suffixFile = command.add_option("--suffix-file", options.suffixFile,
                                        "Read the key suffix from FILE (read as --key-file reads)");
  suffixFile->option_text("FILE");
  suffixText->excludes(suffixFile);

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
  command.add_option("-o,--output", options.output,
                     "Write to FILE, replacing it only when the run succeeds (default: standard output)")
      ->option_text("FILE");
  auto* raw = command.add_flag("--raw", options.raw,
                               decoding ? "Write the plain bytes of the code page instead of UTF-8"
                                        : "Read the text as bytes of the code page instead of UTF-8");
  auto* progress = command.add_flag("--progress", options.progress,
                                    "Show the progress bar on standard error even when it is not a terminal");
  auto* quiet = command.add_flag("-q,--quiet", options.quiet, "Show no progress bar and no batch summary");
  progress->excludes(quiet);

  auto* jsonl = command.add_flag("--jsonl", options.jsonl,
                                 decoding ? "Batch mode: decode one JSON record per line (see below)"
                                          : "Batch mode: encode one JSON record per line (see below)");
  jsonl->excludes(raw);
  command.add_option("-j,--jobs", options.jobs, "Worker threads in batch mode (default: one per core)")
      ->option_text("N")
      ->check(CLI::Range(1u, 1024u))
      ->needs(jsonl);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"trirotor - decodes sealed text messages with their key, and seals new ones."};
  app.set_version_flag("--version", std::string("trirotor ") + TRIROTOR_VERSION);
  app.require_subcommand(1);
  app.footer("Run 'trirotor decode --help' or 'trirotor encode --help' for the options and exit statuses.");

  app.add_flag_callback(
      "--list-codepages",
      [] {
        for (const trirotor::platform::CodePageInfo& page : trirotor::platform::SupportedCodePages()) {
          std::printf("%-6d %-13.*s %.*s\n", page.number, static_cast<int>(page.name.size()), page.name.data(),
                      static_cast<int>(page.description.size()), page.description.data());
        }
        throw CLI::Success();
      },
      "List the code pages --codepage takes (number, name, script) and exit");

  Options options;
  CLI::App* decode = app.add_subcommand("decode", "Decode a message (base64) into its plain text");
  AddSharedOptions(*decode, options, true);
  decode->footer(kDecodeFooter);

  CLI::App* encode = app.add_subcommand("encode", "Encode a plain text into a new message");
  AddSharedOptions(*encode, options, false);
  encode->add_option("--wrap", options.wrap, "Base64 line length (default 76; 0: one line)")
      ->option_text("N")
      ->check(CLI::NonNegativeNumber);
  encode->footer(kEncodeFooter);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
    trirotor::cli::Complain(error.what());
    trirotor::cli::Complain("run 'trirotor --help' for the usage");
    return trirotor::cli::kExitUsage;
  }
  options.mode = decode->parsed() ? Mode::kDecode : Mode::kEncode;
  return trirotor::cli::Run(options);
}
