// SPDX-License-Identifier: MIT
//
// cli_stop_at_once_test.cpp - a signal while the engine encodes ends the
// tool at once: no later stage begins, nothing is written or left behind;
// and a signal ignored when the tool starts (nohup) never stops it.
//
// The tool is held inside the engine without any timing: its standard error
// is a pipe the test has filled, so the first stage line, which the engine's
// stage callback writes, blocks there until the test reads; the test reads
// only once the signal is taken. A tool that went on would write the later
// stage lines; one that stops at once writes only its last line.

#ifdef TRIROTOR_CLI

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace trirotor {
namespace {

namespace fs = std::filesystem;

using test::Listing;
using test::ReadFile;

// Whether `signo` is in any of the masks of `pid` whose /proc status lines
// start with one of `fields`: "SigCgt:" (it has its own handler yet),
// "SigPnd:" and "ShdPnd:" (sent but not yet taken).
bool InMask(pid_t pid, int signo, std::initializer_list<std::string_view> fields) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  bool found = false;
  for (std::string line; std::getline(status, line);) {
    for (const std::string_view field : fields) {
      if (line.starts_with(field)) found |= (std::stoull(line.substr(field.size()), nullptr, 16) >> (signo - 1)) & 1;
    }
  }
  return found;
}

// Whether `pid` waits in write(2) on descriptor 2.
bool WaitsWritingStandardError(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  std::string fd;
  return static_cast<bool>(in >> number >> fd) && number == SYS_write && fd == "0x2";
}

TEST(CliStopAtOnce, SignalWhileEncodingEndsTheToolAtOnce) {
  char pattern[] = "/tmp/trirotor-stop-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  std::ofstream(dir / "plain.txt") << "a text that the tool never gets to seal\n";
  const std::string target = (dir / "out.txt").string();
  struct Case {
    int signo;
    const char* line;
    bool toFile;  // -o out.txt, or standard output
  };
  // clang-format off
  const Case cases[] = {
      {SIGINT, "trirotor: aborted by SIGINT\n", false},
      {SIGTERM, "trirotor: aborted by SIGTERM\n", false},
      {SIGHUP, "trirotor: aborted by SIGHUP\n", false},
      {SIGINT, "trirotor: aborted by SIGINT\n", true},
      {SIGTERM, "trirotor: aborted by SIGTERM\n", true},
      {SIGHUP, "trirotor: aborted by SIGHUP\n", true},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.line) + (c.toFile ? " with -o" : " to standard output"));
    std::ofstream(target) << "keep me";
    const std::vector<std::string> before = Listing(dir);
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    // Fill the pipe: the tool's first line to standard error waits.
    ASSERT_EQ(::fcntl(err[1], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(4096, 'x');
    std::size_t filled = 0;
    for (ssize_t put; (put = ::write(err[1], filler.data(), filler.size())) > 0;)
      filled += static_cast<std::size_t>(put);
    ASSERT_EQ(::fcntl(err[1], F_SETFL, 0), 0);
    const std::string out = (dir / ".stdout").string();
    std::vector<std::string> args{"encode", "--raw", "--progress", "--key", "k", (dir / "plain.txt").string()};
    if (c.toFile) args.insert(args.end(), {"-o", target});
    const pid_t child = ::fork();
    if (child == 0) {
      ::dup2(::open("/dev/null", O_RDONLY), 0);
      ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(err[1], 2);
      ::close(err[0]);
      ::close(err[1]);
      std::vector<char*> argv{const_cast<char*>(TRIROTOR_CLI)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(TRIROTOR_CLI, argv.data());
      ::_exit(127);
    }
    ::close(err[1]);
    // The first line is the engine's "compressing": once the tool waits to
    // write it, the engine has begun and must not go on.
    // (A guard, not a timing: where /proc cannot show the wait, the test
    // fails after a minute instead of hanging the suite.)
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    bool exited = false, waiting = false;
    while (!(waiting = InMask(child, c.signo, {"SigCgt:"}) && WaitsWritingStandardError(child))) {
      int status = 0;
      if (::waitpid(child, &status, WNOHANG) == child) {
        exited = true;
        break;
      }
      if (std::chrono::steady_clock::now() > giveUp) break;
      std::this_thread::yield();
    }
    ASSERT_FALSE(exited) << "the tool ended before it wrote a stage line";
    if (!waiting) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
    ASSERT_TRUE(waiting) << "the tool was never seen waiting to write its first stage line";
    ::kill(child, c.signo);
    // Read nothing until the tool has taken the signal: a pipe with room
    // again would let the waiting line through first.
    while (InMask(child, c.signo, {"SigPnd:", "ShdPnd:"})) std::this_thread::yield();
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    ::close(err[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << got.substr(filled);
    EXPECT_EQ(WEXITSTATUS(status), 128 + c.signo);
    // The stage line in flight is dropped; none after it is begun.
    EXPECT_EQ(got.substr(std::min(filled, got.size())), c.line);
    EXPECT_EQ(ReadFile(out), "");
    fs::remove(out);
    EXPECT_EQ(ReadFile(target), "keep me");
    EXPECT_EQ(Listing(dir), before);  // no temporary file
  }
  fs::remove_all(dir);
}

// Whether a thread of `pid` waits for standard input: in read(2) on
// descriptor 0, or in poll(2), where a batch waits for its records.
bool WaitsForStandardInput(pid_t pid) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream in(task.path() / "syscall");
    long number = -1;
    std::string fd;
    if (in >> number >> fd && ((number == SYS_read && fd == "0x0") || number == SYS_poll || number == SYS_ppoll)) {
      return true;
    }
  }
  return false;
}

// A signal ignored when the tool starts stays ignored (nohup ignores
// SIGHUP; a shell ignores SIGINT for the jobs a script puts in the
// background): the run goes on to its end, for a decode, a batch and a
// recover alike. One that was not ignored still stops it. The tool is held
// by its standard input, a pipe the test fills only after the signal.
TEST(CliStopAtOnce, SignalsIgnoredAtStartStayIgnored) {
  char pattern[] = "/tmp/trirotor-nohup-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  platform::SetCodePage(1252);
  const std::string sealed = EncodeBytes(test::Bytes("a text\r\n"), u"k7", u"", FrameHeader{}, 0);
  std::ofstream(dir / "m.b64") << sealed;
  struct Command {
    const char* name;
    std::vector<std::string> args;
    std::string input;
  };
  // clang-format off
  const Command commands[] = {
      {"decode", {"decode", "--key", "k7", "-q"}, sealed},
      {"batch", {"decode", "--jsonl", "--key", "k7", "-q"}, "{\"id\":1,\"message\":\"" + sealed + "\"}\n"},
      {"recover", {"recover", "--wordlist", "-", "-q", "--session", (dir / "s").string(), (dir / "m.b64").string()}, "w\nk7\n"},
  };
  // clang-format on
  struct Case {
    int signo;
    bool ignored;
  };
  const Case cases[] = {{SIGHUP, true}, {SIGINT, true}, {SIGTERM, true}, {SIGHUP, false}};
  for (const Command& command : commands) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(command.name) + (c.ignored ? ", ignored: " : ", not ignored: ") +
                   std::to_string(c.signo));
      fs::remove(dir / "s");
      int input[2];
      ASSERT_EQ(::pipe(input), 0);
      const pid_t child = ::fork();
      if (child == 0) {
        if (c.ignored) ::signal(c.signo, SIG_IGN);
        ::dup2(input[0], 0);
        ::close(input[0]);
        ::close(input[1]);
        ::dup2(::open("/dev/null", O_WRONLY), 1);
        ::dup2(::open("/dev/null", O_WRONLY), 2);
        std::vector<char*> argv{const_cast<char*>(TRIROTOR_CLI)};
        for (const std::string& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(TRIROTOR_CLI, argv.data());
        ::_exit(127);
      }
      ::close(input[0]);
      // Once it waits for its input, its handlers are in place. (A guard,
      // not a timing: where /proc cannot show the wait, the test fails
      // after a minute instead of hanging the suite.)
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
      while (!WaitsForStandardInput(child) && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
      ASSERT_TRUE(WaitsForStandardInput(child));
      EXPECT_EQ(InMask(child, c.signo, {"SigIgn:"}), c.ignored);
      ::kill(child, c.signo);
      // An ignored signal is dropped as it is sent; one that is not is
      // taken before the input ends, or the end would be read first.
      while (InMask(child, c.signo, {"SigPnd:", "ShdPnd:"})) std::this_thread::yield();
      if (c.ignored) {
        EXPECT_EQ(::write(input[1], command.input.data(), command.input.size()),
                  static_cast<ssize_t>(command.input.size()));
      }
      ::close(input[1]);
      int status = 0;
      ::waitpid(child, &status, 0);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), c.ignored ? 0 : 128 + c.signo);
    }
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace trirotor

#endif  // TRIROTOR_CLI
