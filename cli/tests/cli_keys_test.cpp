// SPDX-License-Identifier: MIT
//
// cli_keys_test.cpp - keys and code pages as the built tool takes them: key
// characters the code page cannot hold, key files (byte-order mark, line
// ends, "-"), code page names and refusals, and the key asked for on the
// terminal while the message comes through a pipe.

#ifdef TRIROTOR_CLI

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// Whether this machine can give a child a pseudo-terminal.
bool HavePseudoTerminals() {
  int probe = -1;
  const pid_t child = ::forkpty(&probe, nullptr, nullptr, nullptr);
  if (child == 0) ::_exit(0);
  if (child < 0) return false;
  ::waitpid(child, nullptr, 0);
  ::close(probe);
  return true;
}

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
  // clang-format off
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
  // clang-format on
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
  // clang-format off
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
  // clang-format on
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
  if (!HavePseudoTerminals()) GTEST_SKIP() << "no pseudo-terminals here";

  const std::string message = Narrow(EncodeText(u"through the pipe", u"tty key", u"", kHeader)) + "\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    bool pipe;  // standard input a pipe, else a regular file ("< FILE")
    std::vector<std::string> answers;
    int status;
    std::string out;  // a part of standard output
    std::string err;
  };
  // clang-format off
  const Case cases[] = {
      {"decode asks once", {"decode"}, message, true, {"tty key\n"}, 0, "through the pipe", ""},
      {"Ctrl-D ends the line", {"decode"}, message, true, {"tty key\x04"}, 0, "through the pipe", ""},
      {"encode asks twice", {"encode", "--wrap", "0"}, "sealed", true, {"two\n", "two\n"}, 0, "", ""},
      {"encode refuses two keys that differ", {"encode"}, "sealed", true, {"one\n", "two\n"}, 2, "", "differ"},
      {"decode asks when the message is a file on standard input", {"decode"}, message, false, {"tty key\n"}, 0,
       "through the pipe", ""},
      {"encode asks twice when the text is a file on standard input", {"encode", "--wrap", "0"}, "sealed", false,
       {"two\n", "two\n"}, 0, "", ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(
        TRIROTOR_CLI, {.args = c.args, .input = c.input, .pipe = c.pipe, .terminal = true, .answers = c.answers});
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

// Whether a thread of `pid` sleeps in opening a FIFO that has no writer:
// the kernel names that wait in wchan, or, where it shows no names, the
// thread sleeps inside openat(2).
bool WaitsOpeningAFifo(pid_t pid) {
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const fs::directory_entry& task : fs::directory_iterator(tasks, error)) {
    if (ReadFile(task.path() / "wchan") == "wait_for_partner") return true;
    std::ifstream syscall(task.path() / "syscall");
    std::ifstream stat(task.path() / "stat");
    long number = -1;
    std::string line;
    std::getline(stat, line);
    const std::size_t close = line.rfind(')');  // the name may hold spaces
    if (syscall >> number && number == SYS_openat && close != std::string::npos && line.size() > close + 2 &&
        line[close + 2] == 'S') {
      return true;
    }
  }
  return false;
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
  // Up to a minute for the tool to start and reach the open; a tool that
  // ends first, or never shows the wait, fails the test.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  bool waiting = false;
  int status = 0;
  while (!waiting && std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(child, &status, WNOHANG) == child) {
      FAIL() << "the tool ended before it waited for the FIFO's writer, status " << status;
    }
    waiting = WaitsOpeningAFifo(child);
    if (!waiting) ::usleep(1000);
  }
  if (!waiting) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    FAIL() << "the tool never showed as waiting for the FIFO's writer";
  }
  ::kill(child, SIGINT);
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
  // clang-format off
  const Case cases[] = {
      {"a typed key opens what its look-alike bytes sealed", {"decode", "--key", "\xc5\x81\xc3\xb3" "d\xc5\xba-2004"}, sealed, 0, "opened",
       "trirotor: warning: U+0141 '\xc5\x81' is not in code page 1252; it was taken as 'L', as Windows does\n"
       "trirotor: warning: U+017A '\xc5\xba' is not in code page 1252; it was taken as 'z', as Windows does\n"},
      {"under a page that holds it, the key is itself", {"decode", "--key", "\xc5\x81\xc3\xb3" "d\xc5\xba-2004", "--codepage", "1250"}, sealed, 3, "", "Error 33"},
      {"an emoji is two units, each a '?'", {"decode", "--key", "a\xf0\x9f\x98\x80"}, emojiSealed, 0, "old", "U+1F600 '\xf0\x9f\x98\x80' has no place in code page 1252 and was taken as '?" "?'"},
      {"encode refuses a look-alike in the key, naming it", {"encode", "--key", "\xc5\x82" "ock"}, "text", 2, "",
       "character 1 of the key: U+0142 '\xc5\x82' has no place in code page 1252 and would be sealed as its look-alike 'l', as Windows does"},
      {"encode refuses a look-alike in the text, naming it", {"encode", "--key", "k"}, "ab\n\xc5\x82", 2, "", "line 2, column 1: U+0142 '\xc5\x82' has no place in code page 1252 and would become 'l'"},
      {"fullwidth base64 counts as its digits", {"decode", "--key", "k"}, fullwidth, 0, "opened", ""},
      {"inspect says which characters were read by best fit", {"inspect"}, fullwidth, 0, "read by best fit", ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = c.args, .input = c.input, .pipe = true});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_NE(got.out.find(c.out), std::string::npos) << got.out;
    if (c.out.empty()) {
      EXPECT_EQ(got.out, "");
    }
    EXPECT_NE(got.err.find(c.err), std::string::npos) << got.err;
  }
}


namespace {

// A stop that comes as the prompt appears must end the run, not leave it in
// a read that waits for a line. The fault is a race, so each signal is sent
// the moment "Key: " shows, many times over.
TEST_F(CliKeys, AStopAsThePromptAppearsIsNeverLost) {
  if (!HavePseudoTerminals()) GTEST_SKIP() << "no pseudo-terminals here";

  const std::string message = File("m.b64", Narrow(EncodeText(u"x", u"k", u"", kHeader)) + "\n");
  struct Case {
    const char* name;
    int signo;
    bool typed;  // Ctrl-C on the terminal, else kill(2)
    int status;
  };
  const Case cases[] = {
      {"Ctrl-C typed", SIGINT, true, 130},
      {"SIGTERM", SIGTERM, false, 143},
      {"SIGHUP", SIGHUP, false, 129},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int lost = 0, wrong = 0, prompted = 0;
    for (int round = 0; round < 20 && lost == 0; ++round) {
      int master = -1;
      const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
      if (child == 0) {
        (void)::dup(0);  // the terminal stays open past the redirections
        ::dup2(::open(message.c_str(), O_RDONLY), 0);
        ::dup2(::open("/dev/null", O_WRONLY), 1);
        ::dup2(::open("/dev/null", O_WRONLY), 2);
        ::execl(TRIROTOR_CLI, TRIROTOR_CLI, "decode", nullptr);
        ::_exit(127);
      }
      ASSERT_GT(child, 0);
      std::string shown;
      for (int waited = 0; shown.find("Key: ") == std::string::npos && waited < 300; ++waited) {
        pollfd in{master, POLLIN, 0};
        if (::poll(&in, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        shown.append(buffer, static_cast<std::size_t>(got));
      }
      if (shown.find("Key: ") != std::string::npos) ++prompted;
      if (c.typed) {
        ASSERT_EQ(::write(master, "\x03", 1), 1);
      } else {
        ::kill(child, c.signo);
      }
      int status = 0;
      pid_t ended = 0;
      for (int i = 0; i < 3000 && ended == 0; ++i) {
        ended = ::waitpid(child, &status, WNOHANG);
        if (ended == 0) ::usleep(1000);
      }
      if (ended == 0) {
        ++lost;
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
      } else if (!WIFEXITED(status) || WEXITSTATUS(status) != c.status) {
        ++wrong;
      }
      ::close(master);
    }
    EXPECT_EQ(lost, 0) << "the tool kept waiting for a key after the signal";
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(prompted, 0) << "the key was never asked for";
  }
}

// Standard input as a key, suffix or ring file, whatever name it goes by,
// is refused while the message comes from there too: the message would be
// taken as the key.
TEST_F(CliKeys, StandardInputAsAKeySource) {
  const std::string key = "stdin key";
  const std::string message = Narrow(EncodeText(u"opened", u"stdin key", u"", kHeader)) + "\n";
  const std::string messageFile = File("m.b64", message);
  const std::string records = "{\"id\":1,\"message\":\"" + message.substr(0, message.size() - 1) + "\"}\n";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    bool pipe;
    int status;
    std::string out;
    std::string err;  // a part of standard error
  };
  // clang-format off
  const Case cases[] = {
      {"/dev/stdin as the key file", {"decode", "--key-file", "/dev/stdin"}, message, true, 1, "",
       "--key-file /dev/stdin is the same file as standard input, which carries the message"},
      {"/dev/fd/0 as the key file", {"decode", "--key-file", "/dev/fd/0"}, message, true, 1, "", "carries the message"},
      {"/dev/stdin when standard input is a file", {"decode", "--key-file", "/dev/stdin"}, message, false, 1, "",
       "carries the message"},
      {"/dev/stdin as the suffix file of encode", {"encode", "--key", "k", "--suffix-file", "/dev/stdin"}, "text",
       true, 1, "", "carries the text"},
      {"the message named /dev/stdin, the key -", {"decode", "--key-file", "-", "/dev/stdin"}, message, true, 1, "",
       "--key-file - reads standard input"},
      {"one of several messages on standard input", {"decode", "--check", "--key-file", "/dev/stdin", messageFile, "-"},
       message, true, 1, "", "carries the message"},
      {"records on standard input", {"decode", "--jsonl", "--key-file", "/dev/fd/0"}, records, true, 1, "",
       "carries the records"},
      {"key file and suffix file both standard input", {"decode", "--key-file", "/dev/stdin", "--suffix-file", "-", messageFile},
       key, true, 1, "", "cannot both read standard input"},
      {"/dev/stdin is a key file when the message is named", {"decode", "--key-file", "/dev/stdin", messageFile},
       key + "\n", true, 0, "opened", ""},
      {"so is /dev/fd/0, with standard input a file", {"decode", "--key-file", "/dev/fd/0", messageFile}, key, false, 0,
       "opened", ""},
      {"the key ring from standard input", {"decode", "--keyring", "-", messageFile}, "# c\nwrong\n" + key + "\n", true,
       0, "opened", "opened with line 3 of the key ring\n"},
      {"--keyring - with the message on standard input", {"decode", "--keyring", "-"}, message, true, 1, "",
       "--keyring - reads standard input, which carries the message"},
      {"--keyring /dev/stdin with the message on standard input", {"inspect", "--keyring", "/dev/stdin"}, message,
       false, 1, "", "carries the message"},
      {"an empty key ring from standard input", {"decode", "--keyring", "-", messageFile}, "# nothing\n", true, 2, "",
       "the key ring from standard input holds no key"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = c.args, .input = c.input, .pipe = c.pipe});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.out);
    EXPECT_NE(got.err.find(c.err), std::string::npos) << got.err;
  }
}

// Key rings: what a line gives as key and suffix, and how the winner is named.
TEST_F(CliKeys, KeyRingLines) {
  const auto sealed = [&](const std::u16string& suffix) {
    return File("m.b64", Narrow(EncodeText(u"ring", u"right", suffix, kHeader)) + "\n");
  };
  struct Case {
    const char* name;
    std::string ring;
    std::u16string suffix;  // the message's
    int status;
    std::string err;  // standard error, whole
  };
  const Case cases[] = {
      {"the suffix follows the TAB", "right\tS\n", u"S", 0, "trirotor: opened with line 1 of the key ring\n"},
      {"the TAB is not part of the suffix", "right\tS\n", u"\tS", 3,
       "trirotor: the one key of the key ring does not open the message\n"},
      {"a TAB and nothing: an empty suffix", "right\t\r\n", u"", 0, "trirotor: opened with line 1 of the key ring\n"},
      {"CRLF is not part of the suffix", "right\tS\r\nmore\r\n", u"S", 0,
       "trirotor: opened with line 1 of the key ring\n"},
      {"only the first TAB parts key and suffix", "right\t\tS\n", u"\tS", 0,
       "trirotor: opened with line 1 of the key ring\n"},
      {"blank lines and comments before the winner count",
       "\xEF\xBB\xBF# first\n\n# of the tests\r\nwrong\n\n#  mine\n\nright\tS\n", u"S", 0,
       "trirotor: opened with line 8 of the key ring (mine)\n"},
      {"a key line takes the comment with it", "# theirs\nwrong\nright\n", u"", 0,
       "trirotor: opened with line 3 of the key ring\n"},
      {"a comment with a terminal control is shown escaped", "# \x1B[2Jmine\nright\n", u"", 0,
       "trirotor: opened with line 2 of the key ring (\"\\x1B[2Jmine\")\n"},
      {"none of several", "a\nb\n", u"", 3, "trirotor: none of the 2 keys of the key ring opens the message\n"},
      {"an empty key", "right\n\tS\n", u"", 2, "trirotor: line 2 of the key ring has an empty key\n"},
      {"an overlong '/' in a ring", "right\nk\xC0\xAF\n", u"", 2, "not valid UTF-8 (byte 8)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = sealed(c.suffix);
    const std::string ring = File("ring", c.ring);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"decode", "--keyring", ring, message}, .pipe = true});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(got.out, c.status == 0 ? "ring" : "");
    if (c.err.starts_with("trirotor: ")) {
      EXPECT_EQ(got.err, c.err);
    } else {
      EXPECT_NE(got.err.find(c.err), std::string::npos) << got.err;
    }
  }
}

// Overlong forms, surrogates and code points past U+10FFFF are no UTF-8: a
// key file holding one is refused, never read as the character it mimics.
TEST_F(CliKeys, KeyFilesRefuseWhatIsNoUtf8) {
  const std::string message = File("m.b64", Narrow(EncodeText(u"x", u"k/", u"", kHeader)) + "\n");
  struct Case {
    const char* name;
    std::string bytes;  // after "k"
  };
  // The reader's own table (Utf8 below) has the rest.
  const Case cases[] = {
      {"'/' in two bytes", "\xC0\xAF"},
      {"'/' in three bytes", "\xE0\x80\xAF"},
      {"'/' in four bytes", "\xF0\x80\x80\xAF"},
      {"a surrogate", "\xED\xA0\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(
        TRIROTOR_CLI, {.args = {"decode", "--key-file", File("k", "k" + c.bytes + "\n"), message}, .pipe = true});
    EXPECT_EQ(got.status, 2) << got.err;
    EXPECT_EQ(got.out, "");
    EXPECT_NE(got.err.find("is not valid UTF-8 (byte 2)"), std::string::npos) << got.err;
  }
}

// Where encode says a bad byte stands: the column counts characters, also
// after multi-byte ones and across the slices the text is read in.
TEST_F(CliKeys, ColumnOfABadByteCountsCharacters) {
  std::string longLine;
  for (int i = 0; i < 70000; ++i) longLine += "\xC3\xA9";  // 140,000 bytes, past a 64 KiB slice
  struct Case {
    const char* name;
    std::string text;
    std::string place;
  };
  const Case cases[] = {
      {"ASCII before it", "ab\xff", "line 1, column 3:"},
      {"two-byte characters before it", "\xC3\xA9\xC3\xA9\xff", "line 1, column 3:"},
      {"three-byte characters on line 2", "x\n\xE6\x97\xA5\xE6\x9C\xAC\xff", "line 2, column 3:"},
      {"a four-byte character", "\xF0\x9F\x98\x80\xff", "line 1, column 2:"},
      {"multi-byte lines before", "\xC3\xA9\n\xC3\xA9\xC3\xA9\nab\xC0\xAF", "line 3, column 3:"},
      {"a long line of them", longLine + "\xff", "line 1, column 70001:"},
      {"a long line, then another", longLine + "\n\xC3\xA9\xff", "line 2, column 2:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"encode", "--key", "k"}, .input = c.text});
    EXPECT_EQ(got.status, 2) << got.err;
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "trirotor: " + c.place + " the text is not valid UTF-8 (use --raw for bytes)\n");
  }
}

// inspect counts a message's characters as decode does: after the file is
// read as text, in the engine's units (a character past U+FFFF is two).
TEST_F(CliKeys, InspectCountsAsDecodeCounts) {
  struct Case {
    const char* name;
    std::string input;
    std::size_t characters;
  };
  const Case cases[] = {
      {"two characters in four bytes", "\xC3\xA9\xC3\xA9", 2},
      {"three of them", "\xC3\xA9\xC3\xA9\xC3\xA9", 3},
      {"four of them", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 4},
      {"one emoji: two units", "\xF0\x9F\x98\x80", 2},
      {"two emoji: four units", "\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 4},
      {"bytes that are no UTF-8 count as they stand", "\xE9\xE9\xE9", 3},
      {"ASCII", "abcd", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome inspected = RunTool(TRIROTOR_CLI, {.args = {"inspect"}, .input = c.input});
    const std::string line = "characters            " + std::to_string(c.characters) + "\n";
    EXPECT_TRUE(inspected.out.starts_with(line)) << inspected.out;
    const Outcome decoded = RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k"}, .input = c.input});
    EXPECT_EQ(decoded.status, 3);
    EXPECT_EQ(inspected.status, c.characters < 4 ? 3 : 0);  // without a key, only a short message fails
    const bool tooShort = decoded.err.find("fewer than 4 characters") != std::string::npos;
    EXPECT_EQ(tooShort, c.characters < 4) << decoded.err;
  }
}

// What the tool says about its own use: help, values, counts.
TEST_F(CliKeys, UsageAndItsWords) {
  const std::string message = File("m.b64", Narrow(EncodeText(u"x", u"k", u"", kHeader)) + "\n");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;     // a part of standard output
    std::string notOut;  // never in standard output
    std::string err;     // a part of standard error
  };
  // clang-format off
  const Case cases[] = {
      {"help on no command", {"help", "bogus"}, 1, "", "Usage", "there is no help on 'bogus'"},
      {"help on two commands", {"help", "decode", "encode"}, 1, "", "Usage", "one command at most"},
      {"help on inspect", {"help", "inspect"}, 0, "Usage: trirotor inspect [OPTIONS] [FILE]\n", "", ""},
      {"encode takes one FILE", {"encode", "--help"}, 0, "Usage: trirotor encode [OPTIONS] [FILE]\n", "FILE...", ""},
      {"inspect's help is its own", {"inspect", "--help"}, 0, "--keyring FILE", "jsonl", ""},
      {"the main help names every command", {"--help"}, 0, "\n  inspect ", "", ""},
      {"and --list-codepages", {"--help"}, 0, "--list-codepages", "", ""},
      {"a second text file", {"encode", "--key", "k", "a", "b"}, 1, "", "", "encode takes one FILE"},
      {"a second message to inspect", {"inspect", "a", "b"}, 1, "", "", "inspect takes one FILE"},
      {"-j a word", {"decode", "--jsonl", "-j", "abc"}, 1, "", "", "--jobs: must be a whole number from 1 to 1024, not abc"},
      {"-j 0", {"decode", "--jsonl", "-j", "0"}, 1, "", "", "--jobs: must be a whole number from 1 to 1024, not 0"},
      {"-j too many", {"decode", "--jsonl", "-j", "1025"}, 1, "", "", "from 1 to 1024, not 1025"},
      {"-j far too many", {"decode", "--jsonl", "-j", "99999999999"}, 1, "", "", "from 1 to 1024, not 99999999999"},
      {"--wrap past its bound", {"encode", "--wrap", "1000000000"}, 1, "", "", "from 0 to 999999999"},
      {"one key, said as one", {"decode", "--keyring", File("ring1", "wrong\n"), message}, 3, "", "",
       "the one key of the key ring does not open the message"},
      {"inspect says the ring opened nothing", {"inspect", "--keyring", File("ring2", "a\nb\n"), message}, 3,
       "frame                 not read: no key of the key ring opens the message\n", "give a key",
       "none of the 2 keys"},
      {"inspect without a key", {"inspect", message}, 0, "frame                 not read: no key was given\n", "", ""},
      {"an empty key file name", {"decode", "--key-file", "", message}, 1, "", "", "an empty name names no file"},
      {"an empty suffix file name", {"decode", "--key", "k", "--suffix-file", "", message}, 1, "", "", "an empty name"},
      {"an empty key ring name", {"decode", "--keyring", "", message}, 1, "", "", "an empty name names no file"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = c.args, .pipe = true});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_NE(got.out.find(c.out), std::string::npos) << got.out;
    if (!c.notOut.empty()) {
      EXPECT_EQ(got.out.find(c.notOut), std::string::npos) << got.out;
    }
    EXPECT_NE(got.err.find(c.err), std::string::npos) << got.err;
    if (c.status == 0) {
      EXPECT_EQ(got.err, "");
    }
  }
}

// docs/cli.md shows the main help as the tool prints it.
TEST_F(CliKeys, TheDocumentedHelpIsTheHelp) {
  const std::string doc = ReadFile(fs::path(TRIROTOR_SOURCE_DIR) / "docs" / "cli.md");
  const std::string start = "$ trirotor --help\n";
  const std::size_t from = doc.find(start);
  ASSERT_NE(from, std::string::npos);
  const std::size_t to = doc.find("```", from);
  ASSERT_NE(to, std::string::npos);
  const Outcome help = RunTool(TRIROTOR_CLI, {.args = {"--help"}});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(doc.substr(from + start.size(), to - from - start.size()), help.out);
}

// Help, the version and the code page list are output like any other: one
// that cannot be written is a failure.
TEST_F(CliKeys, HelpThatCannotBeWrittenFails) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  for (const char* args : {"--help", "--version", "--list-codepages", "help decode", "decode --help"}) {
    SCOPED_TRACE(args);
    const Outcome got =
        RunTool("/bin/sh", {.args = {"-c", std::string("\"$0\" ") + args + " > /dev/full", TRIROTOR_CLI}});
    EXPECT_EQ(got.status, 2);
    EXPECT_NE(got.err.find("cannot write to standard output"), std::string::npos) << got.err;
  }
}

}  // namespace
}  // namespace trirotor

#endif  // TRIROTOR_CLI

// The strict UTF-8 reader every key, key file, ring and text goes through:
// what it refuses, and the offset it names.
#include "support/utf8.h"

#include <gtest/gtest.h>

namespace trirotor {
namespace {

TEST(Utf8, RefusesWhatIsNoUtf8AndNamesTheByte) {
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
    std::size_t bad;       // the offset named, when not valid
    std::u16string units;  // the result, when valid
  };
  const Case cases[] = {
      {"the smallest two-byte form", "a\xC2\x80", true, 0, u"a\u0080"},
      {"the smallest three-byte form", "\xE0\xA0\x80", true, 0, u"\u0800"},
      {"the last of the plane", "\xEF\xBF\xBF", true, 0, u"\uFFFF"},
      {"the smallest four-byte form", "\xF0\x90\x80\x80", true, 0, u"\U00010000"},
      {"the last code point", "\xF4\x8F\xBF\xBF", true, 0, u"\U0010FFFF"},
      {"NUL in two bytes", "ab\xC0\x80", false, 2, u""},
      {"'/' in two bytes", "\xC1\xAF", false, 0, u""},
      {"U+07FF in three bytes", "x\xE0\x9F\xBF", false, 1, u""},
      {"'/' in three bytes", "\xE0\x80\xAF", false, 0, u""},
      {"U+FFFF in four bytes", "\xF0\x8F\xBF\xBF", false, 0, u""},
      {"'/' in four bytes", "\xF0\x80\x80\xAF", false, 0, u""},
      {"a high surrogate", "\xC3\xA9\xED\xA0\x80", false, 2, u""},
      {"a low surrogate", "\xED\xBF\xBF", false, 0, u""},
      {"past U+10FFFF", "\xF4\x90\x80\x80", false, 0, u""},
      {"a lead byte no form has", "\xF5\x80\x80\x80", false, 0, u""},
      {"a lone continuation byte", "ok\x80", false, 2, u""},
      {"cut short at the end", "\xE2\x82", false, 0, u""},
      {"cut short before ASCII", "\xE2\x82z", false, 0, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string out;
    std::size_t bad = 12345;
    EXPECT_EQ(support::DecodeUtf8(c.bytes, out, bad), c.valid);
    if (c.valid) {
      EXPECT_EQ(out, c.units);
    } else {
      EXPECT_EQ(bad, c.bad);
    }
  }
}

}  // namespace
}  // namespace trirotor
