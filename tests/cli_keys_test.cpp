// SPDX-License-Identifier: MIT
//
// cli_keys_test.cpp - keys and code pages as the built tool takes them: key
// characters the code page cannot hold, key files (byte-order mark, line
// ends, "-"), code page names and refusals, and the key asked for on the
// terminal while the message comes through a pipe.

#ifdef TRIROTOR_CLI

#include <fcntl.h>
#include <signal.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/encode.h"
#include "testing/run_tool.h"
#include "tests/test_util.h"

namespace trirotor {
namespace {

namespace fs = std::filesystem;

using test::Outcome;
using test::RunTool;
using test::Narrow;
using test::ReadFile;

constexpr FrameHeader kHeader = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0x3C, 0xC3};

class CliKeys : public test::ToolTest {};

TEST_F(CliKeys, KeysAndKeyFiles) {
  const std::string message = Narrow(EncodeText(u"opened", u"Schl\u00fcssel", u"xyz", kHeader)) + "\n";
  const std::string messageFile = File("m.b64", message);
  // Sealed before the encoder refused such keys: three '?' for a key of
  // three characters 1252 cannot hold. Such messages must still open.
  const std::string oldMessage = Narrow(EncodeText(u"old", u"???", u"", kHeader));
  const std::string key = "Schl\xc3\xbcssel";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;
    std::string err;  // a part of standard error
  };
  const Case cases[] = {
      {"key file with a byte-order mark", {"decode", "--key-file", File("k1", "\xEF\xBB\xBF" + key + "\r\n"), "--suffix", "xyz"}, message, 0, "opened", ""},
      {"suffix file with a byte-order mark", {"decode", "--key", key, "--suffix-file", File("s1", "\xEF\xBB\xBFxyz\n")}, message, 0, "opened", ""},
      {"a mark inside is kept", {"decode", "--key-file", File("k2", key + "\xEF\xBB\xBF")}, message, 3, "", "Error 33"},
      {"bad UTF-8 after a mark is counted from the file's start", {"decode", "--key-file", File("k3", "\xEF\xBB\xBF" "ab\xff")}, message, 2, "", "byte 6"},
      {"key file past 1 MiB", {"decode", "--key-file", File("k4", std::string((1 << 20) + 1, 'k'))}, message, 2, "", "MiB"},
      {"key file is a directory", {"decode", "--key-file", dir_.string()}, message, 2, "", "directory"},
      {"key file - with the message on standard input", {"decode", "--key-file", "-", "--suffix", "xyz"}, message, 1, "", "standard input"},
      {"suffix file - with the text on standard input", {"encode", "--key", "k", "--suffix-file", "-"}, "text", 1, "", "standard input"},
      {"key file - with the message named", {"decode", "--key-file", "-", "--suffix", "xyz", messageFile}, key + "\n", 0, "opened", ""},
      {"both files -", {"decode", "--key-file", "-", "--suffix-file", "-", messageFile}, key, 1, "", "both"},
      {"encode refuses a key the page cannot hold", {"encode", "--key", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"}, "text", 2, "", "character 1 of the key: U+65E5"},
      {"encode refuses such a suffix", {"encode", "--key", "k", "--suffix", "ab\xc3\xbc", "--codepage", "1251"}, "text", 2, "", "character 3 of the suffix: U+00FC"},
      {"encode refuses such a key file", {"encode", "--key-file", File("k5", "\xce\xb1\xce\xb2\n")}, "text", 2, "", "U+03B1"},
      {"decode keeps the '?' rule and warns", {"decode", "--key", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"}, oldMessage, 0, "old", "warning: U+65E5 '\xe6\x97\xa5' has no place in code page 1252 and was taken as '?'\ntrirotor: warning: U+672C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = c.args, .input = c.input, .pipe = true});
    EXPECT_TRUE(got.inputWhole);
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.out);
    EXPECT_NE(got.err.find(c.err), std::string::npos) << got.err;
    if (c.status == 0 && c.err.empty()) {
      EXPECT_EQ(got.err, "");
    }
  }
}

TEST_F(CliKeys, CodePagesByNameAndRefusals) {
  platform::SetCodePage(1251);
  const std::string cyrillic = Narrow(EncodeText(u"\u0416\u0438\u0437\u043d\u044c", u"k", u"", kHeader)) + "\n";
  platform::SetCodePage(28592);
  const std::string latin2 = Narrow(EncodeText(u"\u0141\u00f3d\u017a", u"k", u"", kHeader)) + "\n";
  platform::SetCodePage(1252);
  struct Case {
    std::string page;
    std::string input;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"cp1251", cyrillic, 0, "\xd0\x96\xd0\xb8\xd0\xb7\xd0\xbd\xd1\x8c", ""},
      {"Windows-1251", cyrillic, 0, "\xd0\x96\xd0\xb8\xd0\xb7\xd0\xbd\xd1\x8c", ""},
      {"ISO-8859-2", latin2, 0, "\xc5\x81\xc3\xb3" "d\xc5\xba", ""},
      {"iso8859-2", latin2, 0, "\xc5\x81\xc3\xb3" "d\xc5\xba", ""},
      {"500", cyrillic, 1, "", "not ASCII-compatible"},
      {"cp875", cyrillic, 1, "", "not ASCII-compatible"},
      {"IBM1047", cyrillic, 1, "", "not ASCII-compatible"},
      {"65001", cyrillic, 1, "", "multi-byte"},
      {"latin-one", cyrillic, 1, "", "names no code page"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    const Outcome got =
        RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", "--codepage", c.page}, .input = c.input, .pipe = true});
    EXPECT_TRUE(got.inputWhole);
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.out);
    EXPECT_NE(got.err.find(c.err), std::string::npos) << got.err;
  }
  // Batch workers are threads of their own; each must take the page too.
  std::string records;
  for (int i = 0; i < 8; ++i) {
    std::string line = cyrillic;
    line.pop_back();
    records += "{\"id\":" + std::to_string(i) + ",\"message\":\"" + line + "\"}\n";
  }
  const Outcome batch =
      RunTool(TRIROTOR_CLI, {.args = {"decode", "--jsonl", "-j", "2", "-q", "--key", "k", "--codepage", "cp1251"},
                             .input = records,
                             .pipe = true});
  EXPECT_TRUE(batch.inputWhole);
  EXPECT_EQ(batch.status, 0) << batch.err;
  std::string expected;
  for (int i = 0; i < 8; ++i) {
    expected += "{\"id\":" + std::to_string(i) + ",\"text\":\"\xd0\x96\xd0\xb8\xd0\xb7\xd0\xbd\xd1\x8c\"}\n";
  }
  EXPECT_EQ(batch.out, expected);

  const Outcome list = RunTool(TRIROTOR_CLI, {.args = {"--list-codepages"}, .pipe = true});
  EXPECT_EQ(list.status, 0) << list.err;
  for (const char* line : {"\n1252   windows-1252", "\n437    CP437", "\n28592  ISO-8859-2"}) {
    EXPECT_NE(("\n" + list.out).find(line), std::string::npos) << line;
  }
  EXPECT_EQ(list.out.find("500 "), std::string::npos);
}

TEST_F(CliKeys, AsksOnTheTerminalWhileTheMessageComesThroughAPipe) {
  int probe = -1;
  const pid_t ok = ::forkpty(&probe, nullptr, nullptr, nullptr);
  if (ok == 0) ::_exit(0);
  if (ok < 0) GTEST_SKIP() << "no pseudo-terminals here";
  ::waitpid(ok, nullptr, 0);
  ::close(probe);

  const std::string message = Narrow(EncodeText(u"through the pipe", u"tty key", u"", kHeader)) + "\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::vector<std::string> answers;
    int status;
    std::string out;  // a part of standard output
    std::string err;
  };
  const Case cases[] = {
      {"decode asks once", {"decode"}, message, {"tty key\n"}, 0, "through the pipe", ""},
      {"Ctrl-D ends the line", {"decode"}, message, {"tty key\x04"}, 0, "through the pipe", ""},
      {"encode asks twice", {"encode", "--wrap", "0"}, "sealed", {"two\n", "two\n"}, 0, "", ""},
      {"encode refuses two keys that differ", {"encode"}, "sealed", {"one\n", "two\n"}, 2, "", "differ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(
        TRIROTOR_CLI, {.args = c.args, .input = c.input, .pipe = true, .terminal = true, .answers = c.answers});
    EXPECT_TRUE(got.inputWhole);
    EXPECT_EQ(got.answered, c.answers.size()) << "no prompt; the terminal showed: " << got.terminal;
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_NE(got.out.find(c.out), std::string::npos) << got.out;
    EXPECT_NE(got.err.find(c.err), std::string::npos) << got.err;
    EXPECT_NE(got.terminal.find("Key: "), std::string::npos) << got.terminal;
    if (c.answers.size() == 2) {
      EXPECT_NE(got.terminal.find("Key again: "), std::string::npos) << got.terminal;
    }
    if (c.args[0] == "encode" && c.status == 0) {
      EXPECT_EQ(DecodeText(std::u16string(got.out.begin(), got.out.end() - 1), u"two", u""), u"sealed");
    }
  }
}

// A key file that is a FIFO with no writer blocks in open(); Ctrl-C must
// still stop the tool. The signal is sent once the kernel shows the tool
// waiting there, so the test does not depend on how long start-up takes.
TEST_F(CliKeys, CtrlCStopsAKeyFileThatNeverOpens) {
  const std::string fifo = (dir_ / "key.fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string message = File("m.b64", Narrow(EncodeText(u"x", u"k", u"", kHeader)));
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(::open("/dev/null", O_RDWR), 0);
    ::dup2(::open("/dev/null", O_RDWR), 2);
    ::execl(TRIROTOR_CLI, TRIROTOR_CLI, "decode", "--key-file", fifo.c_str(), message.c_str(), nullptr);
    ::_exit(127);
  }
  const std::string wchan = "/proc/" + std::to_string(child) + "/wchan";
  bool waiting = false;
  for (int i = 0; i < 30000 && !waiting; ++i) {
    waiting = ReadFile(wchan) == "wait_for_partner";
    if (!waiting) ::usleep(1000);
  }
  if (!waiting) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    GTEST_SKIP() << "the tool never showed as waiting for the FIFO's writer";
  }
  ::kill(child, SIGINT);
  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 30000 && ended == 0; ++i) {
    ended = ::waitpid(child, &status, WNOHANG);
    if (ended == 0) ::usleep(1000);
  }
  if (ended == 0) {  // still retrying the open: the fault this test is for
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "Ctrl-C did not stop the tool";
  }
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 130);
}

}  // namespace
// Windows writes a look-alike for a character its page lacks, and the
// legacy program keyed its messages with those bytes.
TEST_F(CliKeys, WindowsLookAlikes) {
  const std::string sealed = Narrow(EncodeText(u"opened", u"L\u00f3dz-2004", u"", kHeader)) + "\n";
  const std::string emojiSealed = Narrow(EncodeText(u"old", u"a??", u"", kHeader));
  // The same message with every base64 character written fullwidth, as an
  // input method may paste it: U+FF01 + (c - '!').
  std::string fullwidth;
  for (const char c : Narrow(EncodeText(u"opened", u"k", u"", kHeader))) {
    const char32_t wide = 0xFF01 + static_cast<unsigned char>(c) - '!';
    fullwidth += {static_cast<char>(0xE0 | (wide >> 12)), static_cast<char>(0x80 | ((wide >> 6) & 0x3F)),
                  static_cast<char>(0x80 | (wide & 0x3F))};
  }
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;
    std::string err;  // a part of standard error
  };
  const Case cases[] = {
      {"a typed key opens what its look-alike bytes sealed", {"decode", "--key", "\xc5\x81\xc3\xb3" "d\xc5\xba-2004"}, sealed, 0, "opened",
       "trirotor: warning: U+0141 '\xc5\x81' is not in code page 1252; it was taken as 'L', as Windows does\n"
       "trirotor: warning: U+017A '\xc5\xba' is not in code page 1252; it was taken as 'z', as Windows does\n"},
      {"under a page that holds it, the key is itself", {"decode", "--key", "\xc5\x81\xc3\xb3" "d\xc5\xba-2004", "--codepage", "1250"}, sealed, 3, "", "Error 33"},
      {"an emoji is two units, each a '?'", {"decode", "--key", "a\xf0\x9f\x98\x80"}, emojiSealed, 0, "old", "U+1F600 '\xf0\x9f\x98\x80' has no place in code page 1252 and was taken as '??'"},
      {"encode refuses a look-alike in the key, naming it", {"encode", "--key", "\xc5\x82" "ock"}, "text", 2, "",
       "character 1 of the key: U+0142 '\xc5\x82' has no place in code page 1252 and would be sealed as its look-alike 'l', as Windows does"},
      {"encode refuses a look-alike in the text, naming it", {"encode", "--key", "k"}, "ab\n\xc5\x82", 2, "", "line 2, column 1: U+0142 '\xc5\x82' has no place in code page 1252 and would become 'l'"},
      {"fullwidth base64 counts as its digits", {"decode", "--key", "k"}, fullwidth, 0, "opened", ""},
      {"inspect says which characters were read by best fit", {"inspect"}, fullwidth, 0, "read by best fit", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = c.args, .input = c.input, .pipe = true});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_NE(got.out.find(c.out), std::string::npos) << got.out;
    if (c.out.empty()) EXPECT_EQ(got.out, "");
    EXPECT_NE(got.err.find(c.err), std::string::npos) << got.err;
  }
}

}  // namespace trirotor

#endif  // TRIROTOR_CLI
