// SPDX-License-Identifier: MIT
//
// cli_output_test.cpp - what the tool does to the files it writes: an output
// that is one of the inputs, the rules for a file it replaces, temporary
// files after a stop, whole lines after a stop in batch mode, a salvage that
// recovers nothing, and how odd or empty file names are taken and shown.

#ifdef TRIROTOR_CLI

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/trirotor.h"
#include "testing/run_tool.h"
#include "tests/test_util.h"

namespace trirotor {
namespace {

namespace fs = std::filesystem;

using test::Narrow;
using test::Outcome;
using test::ReadFile;
using test::RunTool;

const fs::path kExamples = fs::path(TRIROTOR_SOURCE_DIR) / "examples";
constexpr uid_t kNobody = 65534;

// The tool in a child process whose streams the test holds itself: standard
// input a file or a pipe left open, standard output a file or a pipe.
struct Start {
  std::vector<std::string> args = {};
  std::string stdinFile = {};   // "": a pipe the test writes and closes
  std::string stdoutFile = {};  // "": a pipe the test reads
  bool appendStdout = false;
  bool unprivileged = false;  // as nobody, when the test runs as root
};

struct Running {
  pid_t pid = -1;
  int in = -1;   // the write end of its standard input pipe
  int out = -1;  // the read end of its standard output pipe
  fs::path err;  // its standard error
};

Running Spawn(const Start& start, const fs::path& err) {
  Running r;
  r.err = err;
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if (start.stdinFile.empty() && ::pipe(in) != 0) return r;
  if (start.stdoutFile.empty() && ::pipe(out) != 0) return r;
  r.pid = ::fork();
  if (r.pid == 0) {
    const int input = start.stdinFile.empty() ? in[0] : ::open(start.stdinFile.c_str(), O_RDONLY);
    const int output = start.stdoutFile.empty()
                           ? out[1]
                           : ::open(start.stdoutFile.c_str(), O_WRONLY | (start.appendStdout ? O_APPEND : O_TRUNC));
    ::dup2(input, 0);
    ::dup2(output, 1);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    for (int fd : {in[0], in[1], out[0], out[1]}) {
      if (fd >= 0) ::close(fd);
    }
    if (start.unprivileged && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      ::_exit(126);
    }
    std::vector<char*> argv{const_cast<char*>(TRIROTOR_CLI)};
    for (const std::string& a : start.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(TRIROTOR_CLI, argv.data());
    ::_exit(127);
  }
  if (in[0] >= 0) ::close(in[0]);
  if (out[1] >= 0) ::close(out[1]);
  r.in = in[1];
  r.out = out[0];
  return r;
}

struct Ended {
  int status = -1;  // the exit status, or 1000 + the signal that ended it
  std::string out, err;
};

// Closes its input, reads its output to the end and waits for it.
Ended Finish(Running& r) {
  Ended e;
  if (r.in >= 0) ::close(r.in);
  char buffer[1 << 16];
  if (r.out >= 0) {
    for (ssize_t n; (n = ::read(r.out, buffer, sizeof buffer)) > 0;) e.out.append(buffer, static_cast<std::size_t>(n));
    ::close(r.out);
  }
  int status = 0;
  ::waitpid(r.pid, &status, 0);
  e.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  e.err = ReadFile(r.err);
  fs::remove(r.err);
  return e;
}

class CliOutputTest : public test::ToolTest {
 protected:
  // Every name under the scratch folder, its own standard error file aside.
  std::vector<std::string> Tree() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      const std::string name = fs::relative(entry.path(), dir_).string();
      if (name != ".stderr") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  bool Temporaries() const {
    for (const std::string& name : Tree()) {
      if (name.find(".trirotor-") != std::string::npos) return true;
    }
    return false;
  }
  std::string Err() const { return Path(".stderr").string(); }
};

/// An output that is one of the inputs ///

TEST_F(CliOutputTest, AnOutputThatIsAnInputIsRefusedBeforeAnyWork) {
  const std::string message = Narrow(EncodeText(u"the text", u"k", u"", 0)) + "\n";
  const std::string cut = ReadFile(kExamples / "long.b64").substr(0, 116000);
  const std::string longKey = (kExamples / "long.key").string();
  struct Case {
    const char* name;
    std::function<Start()> start;
    const char* guarded;  // a file that must keep its bytes
    int status;
    const char* says = "refusing to write over it";  // with status 1
  };
  const std::string m = Path("m.b64").string();
  const auto decode = [](std::vector<std::string> more) {
    std::vector<std::string> args{"decode", "--key", "k", "-q"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  // clang-format off
  const Case cases[] = {
      {"the message itself", [&] { return Start{decode({"-o", m, m})}; }, "m.b64", 1},
      {"a symbolic link to the message", [&] {
         fs::create_symlink("m.b64", Path("link"));
         return Start{decode({"-o", Path("link").string(), m})};
       }, "m.b64", 1},
      {"a hard link of the message", [&] {
         fs::create_hard_link(Path("m.b64"), Path("twin.b64"));
         return Start{decode({"-o", m, Path("twin.b64").string()})};
       }, "m.b64", 1},
      {"another spelling of its path", [&] {
         return Start{decode({"-o", (dir_ / "sub" / ".." / "m.b64").string(), m})};
       }, "m.b64", 1},
      {"the text to encode", [&] {
         return Start{{"encode", "--key", "k", "-q", "-o", Path("p.txt").string(), Path("p.txt").string()}};
       }, "p.txt", 1},
      {"a damaged message under --salvage", [&] {
         return Start{{"decode", "-q", "--key-file", longKey, "--salvage", "-o", Path("cut.b64").string(),
                       Path("cut.b64").string()}};
       }, "cut.b64", 1},
      {"the message's own name under --output-dir", [&] {
         return Start{decode({"--output-dir", Path("out").string(), Path("out/msg.txt").string()})};
       }, "out/msg.txt", 1},
      {"another message's name under --output-dir", [&] {
         return Start{decode({"--output-dir", Path("out").string(), Path("a.b64").string(), Path("out/a.txt").string()})};
       }, "out/a.txt", 1, "would both be written to"},  // the two outputs are one file, seen first
      {"the message on standard input", [&] { return Start{decode({"-o", m}), m}; }, "m.b64", 1},
      {"the key file", [&] {
         return Start{{"decode", "-q", "--key-file", Path("k.key").string(), "-o", Path("k.key").string(), m}};
       }, "k.key", 1},
      {"the records of a batch", [&] {
         return Start{decode({"--jsonl", "-o", Path("rec.jsonl").string(), Path("rec.jsonl").string()})};
       }, "rec.jsonl", 1},
      {"standard output appended to the message", [&] { return Start{decode({m}), "", m, true}; }, "m.b64", 1},
      // What is compared is the file, not its name or its bytes.
      {"a copy of the message", [&] { return Start{decode({"-o", Path("copy.b64").string(), m})}; }, "m.b64", 0},
      {"the same name in another folder", [&] { return Start{decode({"-o", Path("sub/m.b64").string(), m})}; },
       "m.b64", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directories(Path("sub"));
    fs::create_directories(Path("out"));
    File("m.b64", message);
    File("copy.b64", message);
    File("sub/m.b64", "old");
    File("p.txt", "plain text\n");
    File("cut.b64", cut);
    File("k.key", "k\n");
    File("a.b64", message);
    File("out/msg.txt", message);
    File("out/a.txt", message);
    File("rec.jsonl", "{\"id\":1,\"message\":\"" + message.substr(0, message.size() - 1) + "\"}\n");
    const Start start = c.start();
    const std::string guarded = ReadFile(Path(c.guarded));
    const std::vector<std::string> before = Tree();
    Running running = Spawn(start, Err());
    const Ended got = Finish(running);
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_EQ(ReadFile(Path(c.guarded)), guarded);
    EXPECT_EQ(Tree(), before);  // nothing made, not even a temporary file
    if (c.status == 1) {
      EXPECT_NE(got.err.find(c.says), std::string::npos) << got.err;
      EXPECT_EQ(got.out, "");
    }
  }
}

/// The file -o replaces ///

// Run as an unprivileged user (nobody, when the tests run as root), as the
// shell's `>` refuses a write-protected file to such a user only.
TEST_F(CliOutputTest, ReplacingAFileKeepsItsRules) {
  const std::string message = File("m.b64", Narrow(EncodeText(u"opened", u"k", u"")));
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(dir_.c_str(), kNobody, kNobody), 0);
  }
  std::string twoByteName;
  while (twoByteName.size() < 254) twoByteName += "\xc3\xa9";
  twoByteName += "a";  // 255 bytes, the longest name a folder takes
  struct Case {
    const char* name;
    std::string target;
    mode_t modeBefore;  // 0: no file there
    int status;
    std::string after;  // the target's bytes
    mode_t modeAfter;
    const char* errHas;
  };
  const Case cases[] = {
      {"a write-protected file", "ro.txt", 0444, 2, "old", 0444, "cannot write"},
      {"a plain file keeps its mode", "plain.txt", 0640, 0, "opened", 0640, ""},
      {"a set-user-ID file", "suid.txt", 04755, 0, "opened", 0755, ""},
      {"a set-group-ID file", "sgid.txt", 02770, 0, "opened", 0770, ""},
      {"a name of 239 bytes", std::string(239, 'n'), 0600, 0, "opened", 0600, ""},
      {"a name of 255 bytes", std::string(255, 'n'), 0600, 0, "opened", 0600, ""},
      {"a new name of 255 bytes", std::string(255, 'f'), 0, 0, "opened", 0, ""},
      {"255 bytes of two-byte characters", twoByteName, 0600, 0, "opened", 0600, ""},
      {"a name longer than a folder takes", std::string(256, 'n'), 0, 2, "", 0, "File name too long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path target = Path(c.target);
    if (c.modeBefore != 0) {
      File(c.target, "old");
      if (root) {
        ASSERT_EQ(::chown(target.c_str(), kNobody, kNobody), 0);
      }
      ASSERT_EQ(::chmod(target.c_str(), c.modeBefore), 0);
    }
    std::vector<std::string> before = Tree();
    Running running =
        Spawn({{"decode", "-q", "--key", "k", "-o", target.string(), message}, "", "/dev/null", false, true}, Err());
    const Ended got = Finish(running);
    if (got.status == 126) GTEST_SKIP() << "cannot become an unprivileged user";
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
    EXPECT_FALSE(Temporaries());
    if (c.modeBefore == 0 && c.status != 0) {
      EXPECT_EQ(Tree(), before);
      continue;
    }
    EXPECT_EQ(ReadFile(target), c.after);
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    if (c.modeAfter != 0) {
      EXPECT_EQ(info.st_mode & 07777, c.modeAfter);
    }
    fs::remove(target);
  }
}

// -o replaces the name it is given: another hard link keeps the old text.
TEST_F(CliOutputTest, AHardLinkKeepsTheOldText) {
  const std::string message = File("m.b64", Narrow(EncodeText(u"opened", u"k", u"")));
  File("out.txt", "old");
  fs::create_hard_link(Path("out.txt"), Path("twin.txt"));
  const Outcome got =
      RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", "-o", Path("out.txt").string(), message}});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(ReadFile(Path("out.txt")), "opened");
  EXPECT_EQ(ReadFile(Path("twin.txt")), "old");
}

/// Stops ///

// A stop once the temporary file exists (a batch answers its first record
// and waits for the next) removes it and keeps the file it would replace.
TEST_F(CliOutputTest, AStopAfterTheFirstAnswerLeavesNoTemporaryFile) {
  const std::string message = Narrow(EncodeText(u"first", u"k", u"", 0));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string record;
    int signo;
  };
  const std::string target = Path("out.txt").string();
  // clang-format off
  const Case cases[] = {
      {"decode, SIGINT", {"decode", "--jsonl", "--key", "k", "-o", target}, "{\"id\":1,\"message\":\"" + message + "\"}\n",
       SIGINT},
      {"decode, SIGTERM", {"decode", "--jsonl", "--key", "k", "-o", target},
       "{\"id\":1,\"message\":\"" + message + "\"}\n", SIGTERM},
      {"decode, SIGHUP", {"decode", "--jsonl", "--key", "k", "-o", target},
       "{\"id\":1,\"message\":\"" + message + "\"}\n", SIGHUP},
      {"encode, SIGINT", {"encode", "--jsonl", "--key", "k", "-o", target}, "{\"id\":1,\"text\":\"first\"}\n", SIGINT},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    File("out.txt", "keep me");
    const std::vector<std::string> before = Tree();
    Running running = Spawn({c.args, "", "/dev/null"}, Err());
    ASSERT_EQ(::write(running.in, c.record.data(), c.record.size()), static_cast<ssize_t>(c.record.size()));
    // The answer makes the temporary file; the open pipe holds the run.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!Temporaries() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(Temporaries());
    ::kill(running.pid, c.signo);
    const Ended got = Finish(running);
    EXPECT_EQ(got.status, 128 + c.signo) << got.err;
    EXPECT_EQ(ReadFile(target), "keep me");
    EXPECT_EQ(Tree(), before);
  }
}

// A batch stopped while it writes a long answer ends that line first: a
// reader of lines gets whole JSON lines only.
TEST_F(CliOutputTest, AStoppedBatchEndsWithAWholeLine) {
  std::string plain(3u << 20, '\0');
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>('a' + (i * 2654435761u >> 13) % 26);
  const std::string message = Narrow(EncodeText(test::Text(plain), u"k", u"", 0));
  std::string records;
  for (int id = 1; id <= 3; ++id) records += "{\"id\":" + std::to_string(id) + ",\"message\":\"" + message + "\"}\n";
  const std::string input = File("records.jsonl", records);
  for (const int signo : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signo);
    Running running = Spawn({{"decode", "--jsonl", "-j", "1", "--key", "k"}, input}, Err());
    // The first bytes of the first answer, then no more for a while: the
    // tool is held inside that line when the signal comes.
    std::string head(4096, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
      const ssize_t n = ::read(running.out, head.data() + got, head.size() - got);
      ASSERT_GT(n, 0);
      got += static_cast<std::size_t>(n);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::kill(running.pid, signo);
    const Ended ended = Finish(running);
    EXPECT_EQ(ended.status, 128 + signo) << ended.err;
    const std::string out = head + ended.out;
    ASSERT_TRUE(out.ends_with("\n")) << out.size() << " bytes";
    std::size_t lines = 0;
    for (std::size_t at = 0; at < out.size(); ++lines) {
      const std::size_t end = out.find('\n', at);
      const nlohmann::json answer = nlohmann::json::parse(out.substr(at, end - at), nullptr, false);
      EXPECT_FALSE(answer.is_discarded());
      EXPECT_EQ(answer.value("text", std::string()), plain);
      at = end + 1;
    }
    EXPECT_GE(lines, 1u);
    EXPECT_LT(lines, 3u);  // stopped, not run to its end
  }
}

/// A salvage that recovers nothing ///

TEST_F(CliOutputTest, ASalvageOfNothingWritesNothing) {
  const std::string longMessage = ReadFile(kExamples / "long.b64");
  const std::string longKey = (kExamples / "long.key").string();
  struct Case {
    const char* name;
    std::size_t keep;  // characters of the message kept
    int status;
    bool written;
    const char* errHas;
  };
  const Case cases[] = {
      {"cut inside the container's header", 30, 3, false, "nothing to salvage: no byte of the text is left"},
      {"cut inside the code table", 48, 3, false, "no byte of the text is left (the code table is cut short)"},
      {"cut in half", 116000, 4, true, "salvaged "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string cut = File("cut.b64", longMessage.substr(0, c.keep));
    const std::string target = File("out.txt", "keep me");
    const Outcome got =
        RunTool(TRIROTOR_CLI, {.args = {"decode", "-q", "--key-file", longKey, "--salvage", "-o", target, cut}});
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
    EXPECT_EQ(got.err.find("-1"), std::string::npos) << got.err;  // no placeholder for a length
    EXPECT_EQ(ReadFile(target) != "keep me", c.written);
    const Outcome inspected = RunTool(TRIROTOR_CLI, {.args = {"inspect", "--key-file", longKey, cut}});
    EXPECT_EQ(inspected.status, 3);
    EXPECT_EQ(inspected.out.find("would recover nothing") != std::string::npos, !c.written) << inspected.out;
    EXPECT_EQ(inspected.out.find("-1"), std::string::npos) << inspected.out;
  }
}

/// File names ///

TEST_F(CliOutputTest, FileNamesAreShownOnOneLine) {
  struct Case {
    const char* name;
    std::string file;   // a message file that is not there
    std::string shown;  // how the message names it, after the folder
  };
  // clang-format off
  const Case cases[] = {
      {"a line end", "a\nb.b64", "a\\nb.b64\""},
      {"a carriage return and a tab", "a\r\tb", "a\\r\\tb\""},
      {"a terminal escape", "\x1b[2Jx", "\\x1B[2Jx\""},
      {"a quote and a backslash", "a\"\\\n", "a\\\"\\\\\\n\""},
      {"a C1 control in UTF-8", "a\xc2\x9b" "b", "a\\xC2\\x9Bb\""},
      {"a line separator", "a\xe2\x80\xa8" "b", "a\\xE2\\x80\\xA8b\""},
      {"invalid UTF-8 beside a printable character", "\xc3\xa9\xff", "\xc3\xa9\\xFF\""},
      {"printable UTF-8 stays as it is", "gr\xc3\xbc\xc3\x9f" "e.b64", "gr\xc3\xbc\xc3\x9f" "e.b64:"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"decode", "--key", "k", Path(c.file).string()}});
    EXPECT_EQ(got.status, 2);
    EXPECT_NE(got.err.find("/" + c.shown), std::string::npos) << got.err;
    EXPECT_EQ(std::count(got.err.begin(), got.err.end(), '\n'), 1) << got.err;
  }
}

// An empty name is no name: a variable left unset must not turn into
// standard input or output.
TEST_F(CliOutputTest, EmptyNamesAreRefused) {
  const std::string message = File("m.b64", Narrow(EncodeText(u"x", u"k", u"")));
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"-o", {"decode", "--key", "k", "-o", "", message}},
      {"--output-dir", {"decode", "--key", "k", "--output-dir", "", message}},
      {"decode FILE", {"decode", "--key", "k", ""}},
      {"encode FILE", {"encode", "--key", "k", ""}},
      {"encode -o", {"encode", "--key", "k", "-o", "", message}},
      {"inspect FILE", {"inspect", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got = RunTool(TRIROTOR_CLI, {.args = c.args, .input = "never read"});
    EXPECT_EQ(got.status, 1) << got.err;
    EXPECT_NE(got.err.find("an empty name names no file"), std::string::npos) << got.err;
    EXPECT_EQ(got.out, "");
  }
}

}  // namespace
}  // namespace trirotor

#endif  // TRIROTOR_CLI
