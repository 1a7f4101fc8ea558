// SPDX-License-Identifier: MIT
//
// cli_test.cpp - the trirotor tool as scripts see it: exit statuses, what
// lands on standard output and standard error, key sources, output files
// that are replaced only on success, refused input, batch ordering and
// error lines, and Ctrl-C. Each test runs the built tool in a child process
// on messages made here with the library's encoder.

#ifdef TRIROTOR_CLI

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/internal.h"
#include "engine/trirotor.h"
#include "tests/test_util.h"

namespace trirotor {
using namespace internal;
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;  // the exit status, or 1000 + the signal that ended it
  std::string out, err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Narrow(std::u16string_view ascii) { return std::string(ascii.begin(), ascii.end()); }

constexpr FrameHeader kHeader = {0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 0x5C, 0xC5};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trirotor-cli-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    platform::SetCodePage(1252);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Path(const std::string& name) const { return dir_ / name; }
  std::string File(const std::string& name, std::string_view bytes) const {
    WriteFile(Path(name), bytes);
    return Path(name).string();
  }

  // Runs the tool with `args`, standard input from `input`, and `env` added.
  Outcome Run(const std::vector<std::string>& args, std::string_view input = {},
              const std::vector<std::pair<std::string, std::string>>& env = {}) const {
    const fs::path in = Path(".stdin"), out = Path(".stdout"), err = Path(".stderr");
    WriteFile(in, input);
    const pid_t child = ::fork();
    if (child == 0) {
      ::dup2(::open(in.c_str(), O_RDONLY), 0);
      ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(TRIROTOR_CLI)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(TRIROTOR_CLI, argv.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    Outcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    outcome.out = ReadFile(out);
    outcome.err = ReadFile(err);
    fs::remove(in);
    fs::remove(out);
    fs::remove(err);
    return outcome;
  }

  // Names in the work folder, so that tests see stray temporary files.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

// A message whose container the test builds itself.
std::string Sealed(const ByteBuffer& container, std::u16string_view key) {
  return Narrow(test::SealContainer(container, key)) + "\n";
}

ByteBuffer WithBadChecksum(const std::string& plain) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(plain.data());
  std::array<std::uint64_t, 256> counts{};
  for (char ch : plain) ++counts[static_cast<std::uint8_t>(ch)];
  ByteBuffer container = CompressContainer(bytes, plain.size(), HuffmanCodeLengths(counts));
  container[4] ^= 0xFF;  // the checksum byte
  return container;
}

const ByteBuffer kUnknownVersion = test::ByteWriter().Str("HE5\r").Str("anything").bytes();

/// Exit statuses ///

TEST_F(CliTest, DecodeExitStatusesAndStreams) {
  const std::string message = Narrow(EncodeText(u"Gr\u00fc\u00dfe \u20ac", u"k", u"")) + "\n";
  struct Case {
    const char* name;
    std::string message;
    std::vector<std::string> extra;
    int status;
    std::string out;
    std::string errHas;
  };
  const Case cases[] = {
      {"plain text as UTF-8", message, {}, 0, "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac", ""},
      {"plain bytes with --raw", message, {"--raw"}, 0, "Gr\xfc\xdf" "e \x80", ""},
      {"wrong key", Narrow(EncodeText(u"x", u"other", u"")), {}, 3, "", "Failed decoding the text (Error 33)"},
      {"checksum mismatch", Sealed(WithBadChecksum("checksum, checksum, checksum"), u"k"), {}, 4,
       "checksum, checksum, checksum", "Compression checksum error (Error 5)"},
      {"engine error", Sealed(kUnknownVersion, u"k"), {}, 5, "",
       "\nerror -2147221504 in HuffmanDecode(): The data either was not compressed with HE3 or is corrupt"},
      {"under four characters", "abc", {}, 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"decode", "--key", "k", File("m.b64", c.message)};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Outcome got = Run(args);
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.out);
    // The engine's line starts a line of its own, for scripts to find.
    EXPECT_NE(("\n" + got.err).find(c.errHas), std::string::npos) << got.err;
    if (c.errHas.empty()) {
      EXPECT_EQ(got.err, "");
    }
  }
}

TEST_F(CliTest, UsageErrorsAreStatusOne) {
  const std::string message = File("m.b64", Narrow(EncodeText(u"x", u"k", u"")));
  struct Case { const char* name; std::vector<std::string> args; };
  const Case cases[] = {
      {"no command", {}},
      {"unknown command", {"open", message}},
      {"unknown option", {"decode", "--key", "k", "--fast", message}},
      {"two key sources", {"decode", "--key", "k", "--key-env", "HOME", message}},
      {"jobs without --jsonl", {"decode", "--key", "k", "-j", "2", message}},
      {"multi-byte code page", {"decode", "--key", "k", "--codepage", "65001", message}},
      {"unknown code page", {"decode", "--key", "k", "--codepage", "99999", message}},
      {"negative wrap", {"encode", "--key", "k", "--wrap", "-1", message}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = Run(c.args);
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "");
    EXPECT_NE(got.err.find("trirotor: "), std::string::npos) << got.err;
  }
  EXPECT_EQ(Run({"--help"}).status, 0);
  const Outcome help = Run({"decode", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("130"), std::string::npos);  // the exit statuses are documented
  EXPECT_NE(Run({"--version"}).out.find("trirotor "), std::string::npos);
}

/// Keys ///

TEST_F(CliTest, KeySources) {
  const std::string message = File("m.b64", Narrow(EncodeText(u"opened", u"Schl\u00fcssel", u"xyz")));
  const std::string key = "Schl\xc3\xbcssel";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
    int status;
    const char* errHas;
  };
  const Case cases[] = {
      {"key file with LF", {"--key-file", File("k1", key + "\n"), "--suffix", "xyz"}, {}, 0, ""},
      {"key file with CRLF", {"--key-file", File("k2", key + "\r\n"), "--suffix", "xyz"}, {}, 0, ""},
      {"key file without line end", {"--key-file", File("k3", key), "--suffix", "xyz"}, {}, 0, ""},
      {"only one line end is dropped", {"--key-file", File("k4", key + "\n\n"), "--suffix", "xyz"}, {}, 3, ""},
      {"variable", {"--key-env", "TRIROTOR_TEST_KEY", "--suffix", "xyz"}, {{"TRIROTOR_TEST_KEY", key}}, 0, ""},
      {"argument", {"--key", key, "--suffix-file", File("s1", "xyz\n")}, {}, 0, ""},
      {"suffix missing", {"--key", key}, {}, 3, ""},
      {"empty key file", {"--key-file", File("k5", "")}, {}, 2, "empty"},
      {"key file of a line end", {"--key-file", File("k6", "\n")}, {}, 2, "empty"},
      {"missing key file", {"--key-file", Path("none").string()}, {}, 2, "none"},
      {"unset variable", {"--key-env", "TRIROTOR_TEST_UNSET"}, {}, 2, "TRIROTOR_TEST_UNSET"},
      {"empty argument", {"--key", ""}, {}, 2, "empty"},
      {"invalid UTF-8", {"--key-file", File("k7", "Schl\xfcssel")}, {}, 2, "UTF-8"},
      {"no key and no terminal", {}, {}, 2, "no key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"decode", message};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome got = Run(args, "", c.env);
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.status == 0 ? "opened" : "");
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
  }
}

/// Output files ///

TEST_F(CliTest, OutputFileIsReplacedOnlyOnSuccess) {
  const std::string good = File("good.b64", Narrow(EncodeText(u"new content", u"k", u"")));
  const std::string wrongKey = File("wrong.b64", Narrow(EncodeText(u"x", u"other", u"")));
  const std::string broken = File("broken.b64", Sealed(kUnknownVersion, u"k"));
  struct Case { const char* name; std::string message; int status; std::string after; };
  const Case cases[] = {{"frame fails", wrongKey, 3, "keep me"},
                        {"engine error", broken, 5, "keep me"},
                        {"unreadable message", Path("absent.b64").string(), 2, "keep me"},
                        {"success", good, 0, "new content"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = File("out.txt", "keep me");
    ::chmod(target.c_str(), 0640);
    const std::vector<std::string> before = Listing();
    const Outcome got = Run({"decode", "--key", "k", "-o", target, c.message});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(ReadFile(target), c.after);
    EXPECT_EQ(Listing(), before);  // no temporary file left behind
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
  }
  const Outcome noDir = Run({"decode", "--key", "k", "-o", Path("no/such/dir/out.txt").string(), good});
  EXPECT_EQ(noDir.status, 2);
  // A failed run creates no file where there was none.
  EXPECT_EQ(Run({"decode", "--key", "k", "-o", Path("fresh.txt").string(), wrongKey}).status, 3);
  EXPECT_FALSE(fs::exists(Path("fresh.txt")));
}

/// Encoding ///

TEST_F(CliTest, EncodeRefusesTextItWouldLose) {
  struct Case { const char* name; std::string text; std::vector<std::string> extra; const char* errHas; };
  const Case cases[] = {
      {"character outside the page", "ab\ncd\xc4\x80" "e", {}, "line 2, column 3: U+0100"},
      {"invalid UTF-8", "abc\xff", {}, "line 1, column 4"},
      {"outside another page", "\xc3\xbc", {"--codepage", "1251"}, "U+00FC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"encode", "--key", "k", "-o", Path("m.b64").string(), File("t.txt", c.text)};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Outcome got = Run(args);
    EXPECT_EQ(got.status, 2);
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
    EXPECT_FALSE(fs::exists(Path("m.b64")));
  }
}

TEST_F(CliTest, EncodeThenDecodeGivesTheTextBack) {
  std::string longText;
  for (int i = 0; i < 400; ++i) longText += "Line " + std::to_string(i) + ": na\xc3\xafve caf\xc3\xa9 \xe2\x82\xac\r\n";
  std::string manySlices, manyCyrillic;
  for (int i = 0; i < 20000; ++i) manySlices += "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac" + std::to_string(i % 7);
  for (int i = 0; i < 20000; ++i) manyCyrillic += "\xd0\x96\xd0\xb8" + std::to_string(i % 10);
  struct Case { const char* name; std::string text; std::vector<std::string> options; std::size_t longest; };
  const Case cases[] = {
      {"default wrap", longText, {}, 76},
      {"narrow wrap", "short note\n", {"--wrap", "10"}, 10},
      {"one line", longText, {"--wrap", "0"}, std::string::npos},
      {"suffix and Cyrillic page", "\xd0\x96\xd0\xb8\xd0\xb7\xd0\xbd\xd1\x8c", {"--suffix", "s", "--codepage", "1251"},
       76},
      {"empty text", "", {}, 76},
      {"raw bytes", std::string("\x00\x01\xfe\xff", 4), {"--raw"}, 76},
      // UTF-8 output is made in slices of the plain bytes: characters of one,
      // two and three UTF-8 bytes fall across every slice boundary.
      {"many slices", manySlices, {}, 76},
      {"many slices, Cyrillic page", manyCyrillic, {"--codepage", "1251"}, 76},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> encode{"encode", "--key", "k"};
    encode.insert(encode.end(), c.options.begin(), c.options.end());
    const Outcome sealed = Run(encode, c.text);
    ASSERT_EQ(sealed.status, 0) << sealed.err;
    std::istringstream lines(sealed.out);
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
      if (c.longest != std::string::npos) {
        EXPECT_LE(line.size(), c.longest);
      }
    }
    if (c.longest == std::string::npos) {
      EXPECT_EQ(count, 1u);
    }

    std::vector<std::string> decode{"decode", "--key", "k", File("m.b64", sealed.out)};
    for (const std::string& o : c.options) {
      if (o != "--wrap" && o != "0" && o != "10") decode.push_back(o);
    }
    const Outcome opened = Run(decode);
    EXPECT_EQ(opened.status, 0) << opened.err;
    EXPECT_EQ(opened.out, c.text);

    decode[3] = "-";  // the same message from standard input
    const Outcome piped = Run(decode, sealed.out);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, c.text);
  }
}

/// Shipped examples ///

TEST_F(CliTest, ShippedExamplesDecodeToTheirTexts) {
  const fs::path examples = fs::path(TRIROTOR_SOURCE_DIR) / "examples";
  for (const char* name : {"hello", "long", "suffixed"}) {
    SCOPED_TRACE(name);
    const fs::path base = examples / name;
    std::vector<std::string> args{"decode", "--key-file", base.string() + ".key", base.string() + ".b64"};
    if (fs::exists(base.string() + ".suffix")) {
      args.insert(args.end(), {"--suffix-file", base.string() + ".suffix"});
    }
    const Outcome got = Run(args);
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, ReadFile(base.string() + ".txt"));
  }
}

/// Batch mode ///

using Json = nlohmann::json;

std::vector<Json> Lines(const std::string& text) {
  std::vector<Json> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(Json::parse(line));
  return out;
}

TEST_F(CliTest, BatchKeepsInputOrderOnManyThreads) {
  std::string input;
  constexpr int kRecords = 700;
  for (int i = 0; i < kRecords; ++i) {
    // Sizes vary so that later records often finish first.
    const std::u16string text = test::Text(std::string(static_cast<std::size_t>((i * 7919) % 3000), 'a' + i % 26));
    input += Json{{"id", i}, {"message", Narrow(EncodeText(text, u"key" + std::u16string(1, u'a' + i % 5), u""))},
                  {"key", "key" + std::string(1, static_cast<char>('a' + i % 5))}}
                 .dump() +
             "\n";
  }
  const Outcome got = Run({"decode", "--jsonl", "-j", "3"}, input);
  ASSERT_EQ(got.status, 0) << got.err;
  const std::vector<Json> lines = Lines(got.out);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kRecords));
  for (int i = 0; i < kRecords; ++i) {
    ASSERT_EQ(lines[i]["id"], i);
    EXPECT_EQ(lines[i]["text"].get<std::string>(),
              std::string(static_cast<std::size_t>((i * 7919) % 3000), static_cast<char>('a' + i % 26)));
  }
  EXPECT_NE(got.err.find("700 records, 0 failed"), std::string::npos) << got.err;
}

TEST_F(CliTest, BatchAnswersEveryLine) {
  const std::string good = Narrow(EncodeText(u"fine", u"k", u"s"));
  struct Case { const char* name; std::string line; Json expected; };
  const Case cases[] = {
      {"text", Json{{"id", "a"}, {"message", good}}.dump(), {{"id", "a"}, {"text", "fine"}}},
      {"record's own key and suffix", Json{{"id", 2}, {"message", good}, {"key", "k"}, {"suffix", "s"}}.dump(),
       {{"id", 2}, {"text", "fine"}}},
      {"wrong key", Json{{"id", 3}, {"message", good}, {"key", "x"}}.dump(),
       {{"id", 3}, {"last_error", 33}, {"error", "Failed decoding the text (Error 33)"}}},
      {"checksum", Json{{"id", 4}, {"message", Sealed(WithBadChecksum("sum sum sum sum sum sum"), u"k")},
                        {"suffix", ""}}.dump(),
       {{"id", 4}, {"text", "sum sum sum sum sum sum"}, {"last_error", 5}}},
      {"engine error", Json{{"id", 5}, {"message", Sealed(kUnknownVersion, u"k")}, {"suffix", ""}}.dump(),
       {{"id", 5},
        {"error",
         {{"number", -2147221504},
          {"source", "HuffmanDecode()"},
          {"description",
           "The data either was not compressed with HE3 or is corrupt (identification string not found)"}}}}},
      {"not JSON", "{\"id\": 6,", {{"id", nullptr}, {"line", 6}, {"error", "line 6: not valid JSON"}}},
      {"blank", "", {{"id", nullptr}, {"line", 7}, {"error", "line 7: not valid JSON"}}},
      {"no message", R"({"id": 8, "text": "x"})", {{"id", 8}, {"line", 8}, {"error", "line 8: no \"message\" string"}}},
      {"key not a string", Json{{"id", 9}, {"message", good}, {"key", 1}}.dump(),
       {{"id", 9}, {"line", 9}, {"error", "line 9: \"key\" is not a string"}}},
      {"no id", Json{{"message", good}}.dump(), {{"id", nullptr}, {"line", 10}, {"error", "line 10: no \"id\""}}},
      {"empty key", Json{{"id", 11}, {"message", good}, {"key", ""}}.dump(),
       {{"id", 11}, {"line", 11}, {"error", "line 11: the key is empty"}}},
      // Deep enough to overflow the stack of a recursive JSON reader.
      {"nested too deep", std::string(200000, '[') + std::string(200000, ']'),
       {{"id", nullptr}, {"line", 12}, {"error", "line 12: nested more than 64 levels deep"}}},
      {"brackets inside a string", Json{{"id", 13}, {"message", std::string(100, '[')}}.dump(),
       {{"id", 13}, {"last_error", 33}, {"error", "Failed decoding the text (Error 33)"}}},
  };
  std::string input;
  for (const Case& c : cases) input += c.line + "\n";
  input.pop_back();  // the last line may lack its line end
  const Outcome got = Run({"decode", "--jsonl", "--key", "k", "--suffix", "s", "-j", "2"}, input);
  ASSERT_EQ(got.status, 0) << got.err;
  const std::vector<Json> lines = Lines(got.out);
  ASSERT_EQ(lines.size(), std::size(cases));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(lines[i], cases[i].expected);
  }
}

TEST_F(CliTest, BatchEncodeFeedsBatchDecode) {
  std::string input;
  for (int i = 0; i < 50; ++i) {
    input += Json{{"id", i}, {"text", "record " + std::to_string(i) + " \xe2\x82\xac"}, {"suffix", std::to_string(i)}}
                 .dump() +
             "\n";
  }
  input += R"({"id": "lost", "text": "\u0100"})" "\n";
  const Outcome sealed = Run({"encode", "--jsonl", "--key", "k"}, input);
  ASSERT_EQ(sealed.status, 0) << sealed.err;
  std::vector<Json> messages = Lines(sealed.out);
  ASSERT_EQ(messages.size(), 51u);
  EXPECT_NE(messages[50]["error"].get<std::string>().find("U+0100"), std::string::npos);
  EXPECT_EQ(messages[0]["message"].get<std::string>().find('\n'), std::string::npos);  // one line each

  std::string again;
  for (int i = 0; i < 50; ++i) {
    messages[i]["suffix"] = std::to_string(i);
    again += messages[i].dump() + "\n";
  }
  const Outcome opened = Run({"decode", "--jsonl", "--key", "k"}, again);
  ASSERT_EQ(opened.status, 0) << opened.err;
  const std::vector<Json> texts = Lines(opened.out);
  ASSERT_EQ(texts.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(texts[i]["text"], "record " + std::to_string(i) + " \xe2\x82\xac");
}

/// Ctrl-C ///

TEST_F(CliTest, InterruptStopsTheDecodeAndWritesNothing) {
  // Big enough that the decode is still running when the signal lands: the
  // signal is sent once the first progress report shows the decode started.
  std::string plain(6u << 20, '\0');
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::string message = File("big.b64", Narrow(EncodeText(test::Text(plain), u"k", u"", kHeader, 0)));
  const std::string target = Path("out.bin").string();

  int errPipe[2];
  ASSERT_EQ(::pipe(errPipe), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(errPipe[1], 2);
    ::close(errPipe[0]);
    ::execl(TRIROTOR_CLI, TRIROTOR_CLI, "decode", "--raw", "--key", "k", "--progress", "-o", target.c_str(),
            message.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(errPipe[1]);
  std::string err;
  char buffer[4096];
  bool signalled = false;
  for (ssize_t got; (got = ::read(errPipe[0], buffer, sizeof buffer)) > 0;) {
    err.append(buffer, static_cast<std::size_t>(got));
    if (!signalled && err.find('%') != std::string::npos) {
      ::kill(child, SIGINT);
      signalled = true;
    }
  }
  ::close(errPipe[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(signalled) << err;
  ASSERT_TRUE(WIFEXITED(status)) << err;
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_NE(err.find("trirotor: aborted"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(Listing(), std::vector<std::string>{"big.b64"});
}

}  // namespace
}  // namespace trirotor

#endif  // TRIROTOR_CLI
