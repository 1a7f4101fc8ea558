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
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/internal.h"
#include "engine/trirotor.h"
#include "testing/run_tool.h"
#include "tests/test_util.h"

namespace trirotor {
using namespace internal;
namespace {

namespace fs = std::filesystem;

using test::Outcome;
using test::RunTool;
using test::Narrow;
using test::UnknownVersion;
using test::WithBadChecksum;
using test::ReadFile;
using test::WriteFile;

constexpr FrameHeader kHeader = {0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 0x5C, 0xC5};

class CliTest : public test::ToolTest {
 protected:
  // Names in the work folder, so that tests see stray temporary files.
  std::vector<std::string> Listing() const { return test::Listing(dir_); }
};

// A message whose container the test builds itself.
std::string Sealed(const ByteBuffer& container, std::u16string_view key) {
  return Narrow(test::SealContainer(container, key)) + "\n";
}

/// Exit statuses ///

TEST_F(CliTest, DecodeExitStatusesAndStreams) {
  const std::string message = Narrow(EncodeText(u"Gr\u00fc\u00dfe \u20ac", u"k", u"")) + "\n";
  struct Case {
    const char* name;
    std::string message;
    std::vector<std::string> extra;
    int status;
    std::string out;
    std::string errHas;  // lines that follow each other in this order
  };
  // clang-format off
  const Case cases[] = {
      {"plain text as UTF-8", message, {}, 0, "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac", ""},
      {"plain bytes with --raw", message, {"--raw"}, 0, "Gr\xfc\xdf" "e \x80", ""},
      // The engine's line first, for scripts; then what to do about it.
      {"wrong key", Narrow(EncodeText(u"x", u"other", u"")), {}, 3, "",
       "trirotor: Failed decoding the text (Error 33)\n"
       "trirotor: wrong key or key suffix, or the input is not a whole message\n"},
      {"checksum mismatch", Sealed(WithBadChecksum("checksum, checksum, checksum"), u"k"), {}, 4,
       "checksum, checksum, checksum", "Compression checksum error (Error 5)"},
      {"engine error", Sealed(UnknownVersion(), u"k"), {}, 5, "",
       "\nerror -2147221504 in HuffmanDecode(): The data either was not compressed with HE3 or is corrupt "
       "(identification string not found)\ntrirotor: the message is damaged\n"},
      // Under 4 characters the engine sees no message; the tool refuses it
      // rather than report success for an empty text. The count is in
      // characters as the engine sees them: four bytes, two characters.
      {"under four characters", "abc", {}, 3, "", "no message in the input"},
      {"empty input", "", {}, 3, "", "no message in the input"},
      {"two characters in four bytes", "\xc3\xa9\xc3\xa9", {}, 3, "", "no message in the input"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"decode", "--key", "k", File("m.b64", c.message)};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = args});
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
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* errHas;
  };
  const Case cases[] = {
      {"no command", {}, "the commands are 'decode', 'encode'"},
      {"unknown command", {"open", message}, "'open' is not a command; the commands are 'decode', 'encode'"},
      {"unknown option", {"decode", "--key", "k", "--fast", message}, "--fast"},
      {"two key sources", {"decode", "--key", "k", "--key-env", "HOME", message}, "excludes"},
      {"repeated option", {"decode", "--key", "k", "--key", "j", message}, "--key is given more than once"},
      {"jobs without --jsonl", {"decode", "--key", "k", "-j", "2", message}, "--jsonl"},
      {"multi-byte code page", {"decode", "--key", "k", "--codepage", "65001", message}, "65001"},
      {"unknown code page", {"decode", "--key", "k", "--codepage", "99999", message}, "99999"},
      // A short line, not CLI11's range of a double in 300 digits.
      {"negative wrap", {"encode", "--key", "k", "--wrap", "-3", message}, "--wrap: must be a whole number"},
      {"wrap not a number", {"encode", "--key", "k", "--wrap", "abc", message}, "--wrap: must be a whole number"},
      {"two messages, one output", {"decode", "--key", "k", message, message}, "--output-dir DIR or --check"},
      {"two texts", {"encode", "--key", "k", message, message}, "encode takes one FILE"},
      {"--check with -o", {"decode", "--key", "k", "--check", "-o", "x", message}, "excludes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = c.args});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "");
    EXPECT_NE(got.err.find("trirotor: "), std::string::npos) << got.err;
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
    EXPECT_LT(got.err.size(), 300u) << got.err;
  }
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"help"}}) {
    const Outcome help = RunTool(TRIROTOR_CLI, {.args = args});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("decode"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("encode"), std::string::npos) << help.out;
  }
  EXPECT_NE(RunTool(TRIROTOR_CLI, {.args = {"help", "encode"}}).out.find("--wrap"), std::string::npos);
  const Outcome help = RunTool(TRIROTOR_CLI, {.args = {"decode", "--help"}});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("130"), std::string::npos);  // the exit statuses are documented
  EXPECT_NE(RunTool(TRIROTOR_CLI, {.args = {"--version"}}).out.find("trirotor "), std::string::npos);
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
      // "--key=" is an empty key, not a key taken from the next argument.
      {"empty argument after =", {"--key=", "--suffix", "xyz"}, {}, 2, "empty"},
      {"invalid UTF-8", {"--key-file", File("k7", "Schl\xfcssel")}, {}, 2, "UTF-8"},
      {"no key and no terminal", {}, {}, 2, "no key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"decode", message};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = args, .env = c.env});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.status == 0 ? "opened" : "");
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
  }
}

// "--suffix=" seals under the empty suffix: the next argument stays an option.
TEST_F(CliTest, EmptyValueAfterEqualsIsEmpty) {
  const Outcome sealed = RunTool(TRIROTOR_CLI, {.args = {"encode", "--key=k", "--suffix=", "-q"}, .input = "note"});
  ASSERT_EQ(sealed.status, 0) << sealed.err;
  const std::string message = File("m.b64", sealed.out);
  EXPECT_EQ(RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", "--suffix", "", message}}).out, "note");
  EXPECT_EQ(RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", "--suffix=", "--", message}}).out, "note");
}

/// Output files ///

TEST_F(CliTest, OutputFileIsReplacedOnlyOnSuccess) {
  const std::string good = File("good.b64", Narrow(EncodeText(u"new content", u"k", u"")));
  const std::string wrongKey = File("wrong.b64", Narrow(EncodeText(u"x", u"other", u"")));
  const std::string broken = File("broken.b64", Sealed(UnknownVersion(), u"k"));
  const std::string badSum = File("sum.b64", Sealed(WithBadChecksum("checksum, checksum, checksum"), u"k"));
  const std::string empty = File("empty.b64", "");
  struct Case {
    const char* name;
    std::string message;
    int status;
    std::string after;
  };
  const Case cases[] = {{"frame fails", wrongKey, 3, "keep me"},
                        {"engine error", broken, 5, "keep me"},
                        {"unreadable message", Path("absent.b64").string(), 2, "keep me"},
                        {"no message at all", empty, 3, "keep me"},
                        // The text is written all the same, and the status says it is suspect.
                        {"checksum mismatch", badSum, 4, "checksum, checksum, checksum"},
                        {"success", good, 0, "new content"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = File("out.txt", "keep me");
    ::chmod(target.c_str(), 0640);
    const std::vector<std::string> before = Listing();
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", "-o", target, c.message}});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(ReadFile(target), c.after);
    EXPECT_EQ(Listing(), before);  // no temporary file left behind
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
  }
  const Outcome noDir =
      RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", "-o", Path("no/such/dir/out.txt").string(), good}});
  EXPECT_EQ(noDir.status, 2);
  // A failed run creates no file where there was none.
  EXPECT_EQ(
      RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", "-o", Path("fresh.txt").string(), wrongKey}}).status, 3);
  EXPECT_FALSE(fs::exists(Path("fresh.txt")));
}

// -o names more than regular files: links, devices, pipes, standard output.
TEST_F(CliTest, OutputGoesWhereThePathLeads) {
  const std::string message = File("m.b64", Narrow(EncodeText(u"opened", u"k", u"")));
  fs::create_directory(Path("sub"));
  fs::create_directory(Path("folder"));
  enum class Kind { kFile, kLink, kFifo, kCharDevice, kSocket, kNone };
  struct Case {
    const char* name;
    std::function<std::string()> make;  // returns the -o argument
    int status;
    std::string out;    // on standard output
    const char* where;  // the file that should hold "opened", or ""
    const char* kept;   // what must still be what it was: a path and its kind
    Kind kind;
    const char* errHas;
  };
  // clang-format off
  const Case cases[] = {
      {"link to a file", [&] {
         File("sub/real.txt", "old");
         ::chmod(Path("sub/real.txt").c_str(), 0640);
         fs::create_symlink("sub/real.txt", Path("link.txt"));
         return Path("link.txt").string();
       }, 0, "", "sub/real.txt", "link.txt", Kind::kLink, ""},
      {"link to a file not there yet", [&] {
         fs::create_symlink("sub/new.txt", Path("ahead.txt"));
         return Path("ahead.txt").string();
       }, 0, "", "sub/new.txt", "ahead.txt", Kind::kLink, ""},
      {"link to a link", [&] {
         File("sub/deep.txt", "old");
         fs::create_symlink("deep.txt", Path("sub/hop.txt"));
         fs::create_symlink("sub/hop.txt", Path("twice.txt"));
         return Path("twice.txt").string();
       }, 0, "", "sub/deep.txt", "sub/hop.txt", Kind::kLink, ""},
      {"FIFO", [&] {
         ::mkfifo(Path("fifo").c_str(), 0600);
         return Path("fifo").string();
       }, 0, "", "", "fifo", Kind::kFifo, ""},
      {"character device", [&] {
         // A null device of our own: a regression must not replace the real
         // one. Skipped without root, or where the folder is mounted nodev.
         if (::mknod(Path("null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) return std::string();
         const int fd = ::open(Path("null").c_str(), O_WRONLY);
         if (fd < 0) return std::string();
         ::close(fd);
         return Path("null").string();
       }, 0, "", "", "null", Kind::kCharDevice, ""},
      {"socket file", [&] {
         const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::snprintf(address.sun_path, sizeof address.sun_path, "%s", Path("sock").c_str());
         if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return std::string();
         ::close(fd);
         return Path("sock").string();
       }, 2, "", "", "sock", Kind::kSocket, "is a socket"},
      {"dash", [&] { return std::string("-"); }, 0, "opened", "", "", Kind::kNone, ""},
      {"standard output by name", [&] { return std::string("/dev/fd/1"); }, 0, "opened", "", "", Kind::kNone, ""},
      {"directory", [&] { return Path("folder").string(); }, 2, "", "", "folder", Kind::kNone, "is a directory"},
      {"missing folder", [&] { return Path("none/out.txt").string(); }, 2, "", "", "", Kind::kNone,
       "No such file or directory"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = c.make();
    if (target.empty()) continue;
    const std::vector<std::string> before = Listing();
    std::string fromFifo;
    std::thread reader;
    if (c.kind == Kind::kFifo) {
      reader = std::thread([&] { fromFifo = ReadFile(target); });
    }
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", "-o", target, message}});
    if (reader.joinable()) {
      // A tool that never opened the FIFO would leave the reader waiting.
      const int unblock = ::open(target.c_str(), O_WRONLY | O_NONBLOCK);
      if (unblock >= 0) ::close(unblock);
      reader.join();
    }
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.out);
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
    if (*c.where != '\0') {
      EXPECT_EQ(ReadFile(Path(c.where)), "opened");
    }
    if (c.kind == Kind::kFifo) {
      EXPECT_EQ(fromFifo, "opened");
    }
    struct stat info {};
    if (*c.kept != '\0') {
      ASSERT_EQ(::lstat(Path(c.kept).c_str(), &info), 0);
      const bool sameKind = c.kind == Kind::kLink         ? S_ISLNK(info.st_mode)
                            : c.kind == Kind::kFifo       ? S_ISFIFO(info.st_mode)
                            : c.kind == Kind::kCharDevice ? S_ISCHR(info.st_mode)
                            : c.kind == Kind::kSocket     ? S_ISSOCK(info.st_mode)
                                                          : S_ISDIR(info.st_mode);
      EXPECT_TRUE(sameKind);
    }
    if (std::string(c.name) == "link to a file") {
      ASSERT_EQ(::stat(Path("sub/real.txt").c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0640u);  // the real file's mode survives
    }
    // No temporary file left, here or beside a link's target.
    std::vector<std::string> after = Listing();
    EXPECT_EQ(after, before);
    for (const auto& entry : fs::directory_iterator(Path("sub"))) {
      EXPECT_EQ(entry.path().filename().string().find(".trirotor-"), std::string::npos);
    }
  }
}

/// Encoding ///

TEST_F(CliTest, EncodeRefusesTextItWouldLose) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> extra;
    const char* errHas;
  };
  // clang-format off
  const Case cases[] = {
      {"character outside the page", "ab\ncd\xc4\x80" "e", {}, "line 2, column 3: U+0100"},
      {"invalid UTF-8", "abc\xff", {}, "line 1, column 4"},
      {"outside another page", "\xc3\xbc", {"--codepage", "1251"}, "U+00FC"},
      // The text is converted in slices: positions count on across them.
      {"far into a long line", std::string(200000, 'a') + "\xc4\x80", {}, "line 1, column 200001: U+0100"},
      {"after many lines", std::string(100000, 'a') + "\n" + std::string(70000, '\xc3') + "\n\xc3\xa9\xc4\x80", {},
       "line 2, column 1"},
      {"lines across slices", std::string(70000, '\n') + "\xe2\x82\xac\xc4\x80", {}, "line 70001, column 2: U+0100"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"encode", "--key", "k", "-o", Path("m.b64").string(), File("t.txt", c.text)};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = args});
    EXPECT_EQ(got.status, 2);
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
    EXPECT_FALSE(fs::exists(Path("m.b64")));
  }
}

TEST_F(CliTest, EncodeThenDecodeGivesTheTextBack) {
  std::string longText;
  for (int i = 0; i < 400; ++i) longText += "Line " + std::to_string(i) + ": na\xc3\xafve caf\xc3\xa9 \xe2\x82\xac\r\n";
  std::string manySlices, manyCyrillic;
  for (int i = 0; i < 20000; ++i)
    manySlices +=
        "Gr\xc3\xbc\xc3\x9f"
        "e \xe2\x82\xac" +
        std::to_string(i % 7);
  for (int i = 0; i < 20000; ++i) manyCyrillic += "\xd0\x96\xd0\xb8" + std::to_string(i % 10);
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> options;
    std::size_t longest;
  };
  // clang-format off
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
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> encode{"encode", "--key", "k"};
    encode.insert(encode.end(), c.options.begin(), c.options.end());
    const Outcome sealed = RunTool(TRIROTOR_CLI, {.args = encode, .input = c.text});
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
    const Outcome opened = RunTool(TRIROTOR_CLI, {.args = decode});
    EXPECT_EQ(opened.status, 0) << opened.err;
    EXPECT_EQ(opened.out, c.text);

    decode[3] = "-";  // the same message from standard input, a file and a pipe
    for (const bool pipe : {false, true}) {
      const Outcome fromStdin = RunTool(TRIROTOR_CLI, {.args = decode, .input = sealed.out, .pipe = pipe});
      EXPECT_EQ(fromStdin.status, 0) << fromStdin.err;
      EXPECT_EQ(fromStdin.out, c.text);
    }
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
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = args});
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
    input += Json{{"id", i},
                  {"message", Narrow(EncodeText(text, u"key" + std::u16string(1, u'a' + i % 5), u""))},
                  {"key", "key" + std::string(1, static_cast<char>('a' + i % 5))}}
                 .dump() +
             "\n";
  }
  const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"decode", "--jsonl", "-j", "3"}, .input = input});
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

// What each batch line gets, exit statuses and encoding: tests/cli_batch_test.cpp.

/// Progress ///

// With --progress and standard error not a terminal, each stage ends its line at
// 100 %: decryption counts the message's own bytes (not half of them), a
// stored message ends at 100 % with no checking stage, and encode names the
// stages it runs.
TEST_F(CliTest, ProgressShowsEachStageToItsEnd) {
  // Random bytes do not compress, so they are stored; four letters do.
  std::mt19937 random(7);
  std::string noise(1u << 20, '\0'), letters(6u << 20, '\0');
  for (char& ch : noise) ch = static_cast<char>(random());
  for (char& ch : letters) ch = "acgt"[random() % 4];
  const std::string stored = File("stored.b64", Narrow(EncodeText(test::Text(noise), u"k", u"", kHeader, 76)));
  const std::string packed = File("packed.b64", Narrow(EncodeText(test::Text(letters), u"k", u"", kHeader, 76)));
  const auto mib = [](const std::string& path) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(fs::file_size(path)) / (1 << 20));
    return std::string(text);
  };
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> has;  // in this order
    const char* hasNot;
  };
  // clang-format off
  const Case cases[] = {
      {"stored message", {"decode", "--raw", stored},
       {"100%  decrypting " + mib(stored) + " of " + mib(stored)}, "checking"},
      {"compressed message", {"decode", packed},
       {"100%  decrypting " + mib(packed) + " of " + mib(packed), "100%  checking the text"}, "\n\n"},
      {"encode", {"encode", File("t.txt", "some text\n")},
       {"converting to code page 1252", "compressing", "encrypting", "writing base64", "writing", "done in"}, "%"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + 1, {"--key", "k", "--progress"});
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = args});
    EXPECT_EQ(got.status, 0) << got.err;
    std::size_t at = 0;
    for (const std::string& has : c.has) {
      at = got.err.find(has, at);
      ASSERT_NE(at, std::string::npos) << has << "\n" << got.err;
    }
    EXPECT_EQ(got.err.find(c.hasNot), std::string::npos) << got.err;
    EXPECT_TRUE(got.err.ends_with("\n")) << got.err;
  }
}

/// Many messages ///

TEST_F(CliTest, OutputDirAndCheckTakeEachMessageOnItsOwn) {
  const std::string a = File("a.b64", Narrow(EncodeText(u"text a", u"k", u"")));
  const std::string b = File("b.msg.b64", Narrow(EncodeText(u"text b", u"k", u"")));
  const std::string wrong = File("wrong.b64", Narrow(EncodeText(u"x", u"other", u"")));
  const std::string badSum = File("sum.b64", Sealed(WithBadChecksum("sum sum sum sum sum"), u"k"));
  const std::string broken = File("broken.b64", Sealed(UnknownVersion(), u"k"));
  const std::string missing = Path("missing.b64").string();
  fs::create_directory(Path("out"));
  fs::create_directory(Path("other"));
  const std::string twin = File("other/a.b64", "");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;                                                // the highest of the messages' own
    std::vector<std::pair<std::string, std::string>> written;  // file in out/ and its text
    std::vector<const char*> errHas;
  };
  // clang-format off
  const Case cases[] = {
      // One --output-dir run, the archive run's: its outcome lines and its
      // summary, whatever -j is.
      {"all open", {"--output-dir", "out", a, b}, 0, {{"a.txt", "text a"}, {"b.msg.txt", "text b"}},
       {"trirotor: 2 opened, 0 failed\n"}},
      {"all open on two workers", {"--output-dir", "out", "-j", "2", a, b}, 0,
       {{"a.txt", "text a"}, {"b.msg.txt", "text b"}}, {"trirotor: 2 opened, 0 failed\n"}},
      // One failure does not stop the rest, and leaves no file of its own.
      {"wrong key among good ones", {"--output-dir", "out", wrong, a}, 3, {{"a.txt", "text a"}},
       {"wrong.b64: Failed decoding the text (Error 33)", "trirotor: 1 opened, 1 failed (1 wrong key or suffix)\n"}},
      {"the same on two workers", {"--output-dir", "out", "-j", "2", wrong, a}, 3, {{"a.txt", "text a"}},
       {"wrong.b64: Failed decoding the text (Error 33)", "trirotor: 1 opened, 1 failed (1 wrong key or suffix)\n"}},
      {"worst status wins", {"--output-dir", "out", missing, broken, badSum, a}, 5,
       {{"sum.txt", "sum sum sum sum sum"}, {"a.txt", "text a"}},
       {"missing.b64: cannot open", "broken.b64: the message is damaged",
        "trirotor: 1 opened, 3 failed (1 damaged, 1 checksum mismatch, 1 unreadable)\n"}},
      {"one file still gets its summary", {"--output-dir", "out", a}, 0, {{"a.txt", "text a"}},
       {"trirotor: 1 opened, 0 failed\n"}},
      {"two messages for one file", {"--output-dir", "out", a, twin}, 1, {}, {"would both be written to"}},
      {"a missing folder is made", {"--output-dir", "nowhere", a}, 0, {}, {"did not exist: made it"}},
      {"check opens", {"--check", a, b}, 0, {}, {"2 files, 0 failed"}},
      {"check with the wrong key", {"--check", wrong}, 3, {}, {"Failed decoding the text (Error 33)"}},
      {"check a damaged text", {"--check", badSum}, 4, {}, {"Compression checksum error (Error 5)"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Path("out"));
    fs::create_directory(Path("out"));
    std::vector<std::string> args{"decode", "--key", "k"};
    for (const std::string& arg : c.args) args.push_back(arg == "out" || arg == "nowhere" ? Path(arg).string() : arg);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = args});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, "");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Path("out"))) names.push_back(entry.path().filename().string());
    EXPECT_EQ(names.size(), c.written.size());
    for (const auto& [name, text] : c.written) EXPECT_EQ(ReadFile(Path("out") / name), text) << name;
    for (const char* has : c.errHas) EXPECT_NE(got.err.find(has), std::string::npos) << has << "\n" << got.err;
  }
}

/// Signals ///

// Whether `pid` has its own handler for `signo` yet: before that, the signal
// would end it the default way, and a test that sent it would race.
bool Catches(pid_t pid, int signo) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigCgt:")) return (std::stoull(line.substr(7), nullptr, 16) >> (signo - 1)) & 1;
  }
  return false;
}

// A stop must come at any point and leave nothing behind. Each case holds
// the tool at a point the test controls, so none depends on timing: reading
// a message whose pipe the test keeps open, or writing to a standard output
// the test stops draining.
TEST_F(CliTest, SignalsStopTheRunAndLeaveNothing) {
  std::string plain(4u << 20, '\0');
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>('a' + (i * 2654435761u >> 13) % 26);
  const std::string message = Narrow(EncodeText(test::Text(plain), u"k", u"", kHeader, 0));
  enum class Hold { kReading, kWriting };
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int signo;
    Hold hold;
  };
  const std::string target = Path("out.txt").string();
  const Case cases[] = {
      {"SIGINT while reading", {"decode", "--key", "k", "-o", target}, SIGINT, Hold::kReading},
      {"SIGTERM while reading", {"decode", "--key", "k", "-o", target}, SIGTERM, Hold::kReading},
      {"SIGHUP while reading", {"decode", "--key", "k", "-o", target}, SIGHUP, Hold::kReading},
      {"SIGTERM while reading a text", {"encode", "--key", "k", "-o", target}, SIGTERM, Hold::kReading},
      {"SIGINT while writing", {"decode", "--key", "k"}, SIGINT, Hold::kWriting},
      {"SIGTERM while writing raw bytes", {"decode", "--raw", "--key", "k"}, SIGTERM, Hold::kWriting},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    File("out.txt", "keep me");
    const std::vector<std::string> before = Listing();
    int in[2], out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    const std::string err = Path(".stderr").string();
    const pid_t child = ::fork();
    if (child == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
      std::vector<char*> argv{const_cast<char*>(TRIROTOR_CLI)};
      for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(TRIROTOR_CLI, argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    std::string got;
    char buffer[4096];
    if (c.hold == Hold::kReading) {
      // The start of the message, and the pipe stays open: the tool waits
      // for more.
      ASSERT_EQ(::write(in[1], message.data(), 4096), 4096);
      while (!Catches(child, c.signo)) std::this_thread::yield();
      ::kill(child, c.signo);
    } else {
      ::signal(SIGPIPE, SIG_IGN);
      for (std::size_t at = 0; at < message.size();) {
        const ssize_t put = ::write(in[1], message.data() + at, message.size() - at);
        ASSERT_GT(put, 0);
        at += static_cast<std::size_t>(put);
      }
      ::close(in[1]);
      in[1] = -1;
      // Once the text starts to arrive, the tool is writing; the test reads
      // no more, so it cannot get far before the signal.
      const ssize_t first = ::read(out[0], buffer, sizeof buffer);
      ASSERT_GT(first, 0);
      got.append(buffer, static_cast<std::size_t>(first));
      ::kill(child, c.signo);
    }
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    if (in[1] >= 0) ::close(in[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::string errText = ReadFile(err);
    fs::remove(err);
    ASSERT_TRUE(WIFEXITED(status)) << errText;
    EXPECT_EQ(WEXITSTATUS(status), 128 + c.signo);
    EXPECT_NE(errText.find("trirotor: aborted by SIG"), std::string::npos) << errText;
    EXPECT_EQ(ReadFile(target), "keep me");
    EXPECT_EQ(Listing(), before);  // no temporary file
    // Standard output holds at most a beginning of the text: what was in
    // flight when the signal came, never the rest.
    EXPECT_LT(got.size(), plain.size() / 4);
    EXPECT_EQ(got, plain.substr(0, got.size()));
  }
}

}  // namespace
}  // namespace trirotor

#endif  // TRIROTOR_CLI
