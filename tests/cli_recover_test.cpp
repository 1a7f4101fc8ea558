// SPDX-License-Identifier: MIT
//
// cli_recover_test.cpp - trirotor recover run as a user runs it: keys
// planted at known places are found there, under the right code page and
// suffix; the count announced is the count tried; lucky wrong keys are
// never taken; nothing secret leaves by standard error or the session
// file; and a search stopped at random points of its progress and resumed tries each
// candidate exactly once.

#ifdef TRIROTOR_CLI

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/utf8.h"
#include "testing/run_tool.h"
#include "tests/test_util.h"

extern char** environ;

namespace trirotor::test {
namespace {

namespace fs = std::filesystem;

class CliRecover : public ToolTest {
 protected:
  // A message sealed under key and suffix, typed under `codePage`.
  std::string Sealed(const std::string& name, const std::u16string& key, const std::u16string& suffix, int codePage = 1252,
                     const std::string& plain = "the text of an old message\r\n") {
    platform::SetCodePage(codePage);
    const std::string message = EncodeBytes(Bytes(plain), key, suffix, Header(), 0);
    platform::SetCodePage(1252);
    return File(name, message);
  }
  static FrameHeader Header() {
    FrameHeader header{};
    for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(37 * i + 11);
    return header;
  }
  // n words, "w1" .. "wn", with `planted` put in at line `at` (from 1) when given.
  std::string Words(const std::string& name, int n, const std::string& planted = "", int at = 0) {
    std::string text;
    for (int i = 1; i <= n; ++i) text += (i == at ? planted : "w" + std::to_string(i)) + "\n";
    return File(name, text);
  }
  Outcome Recover(std::vector<std::string> args) {
    args.insert(args.begin(), "recover");
    return RunTool(TRIROTOR_CLI, {.args = args});
  }
};

// Found where it was planted: the candidate's number, its code page, its
// suffix and where it came from, as one JSON object; the text decoded.
TEST_F(CliRecover, PlantedKeysAreFoundWhereTheyStand) {
  const std::string rules = File("r.rule", ":\nc\n$1\n");
  const std::string suffixes = File("s.txt", "x\nabc\nyy\n");
  struct Case {
    const char* name;
    std::u16string key, suffix;
    int codePage;
    std::vector<std::string> args;
    std::uint64_t number;  // 1-based
    std::string from;
  };
  const std::string words = Words("w.txt", 40, "summer", 17);
  const std::string cyrillic = Words("cyr.txt", 10, "\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c", 4);  // пароль
  const Case cases[] = {
      {"word alone", u"summer", u"", 1252, {"--wordlist", words}, 17, "line 17 of " + words},
      {"rule 2, suffix 2", u"Summer", u"abc", 1252, {"--wordlist", words, "--rules", rules, "--suffix-wordlist", suffixes}, (16 * 3 + 1) * 3 + 2, "line 17 of " + words + ", rule 2 (line 2) of " + rules + ", suffix from line 2 of " + suffixes},
      {"mask appended", u"summer42", u"", 1252, {"--wordlist", words, "--append-mask", "?d?d"}, 16 * 100 + 25, "line 17 of " + words + ", candidate 25 of mask ?d?d"},
      {"mask alone, fixed suffix", u"k9Z", u"fix", 1252, {"--mask", "k?d?u", "--suffix", "fix"}, 9 + 10 * 25 + 1, "candidate 260 of mask k?d?u"},
      {"code page 1251", u"\u043f\u0430\u0440\u043e\u043b\u044c", u"", 1251, {"--wordlist", cyrillic, "--codepages", "1252,1251,cp437"}, 4, "line 4 of " + cyrillic},
      {"without the early test", u"summer", u"", 1252, {"--wordlist", words, "--no-early-test"}, 17, "line 17 of " + words},
  };
  for (const Case& c : cases) {
    const std::string message = Sealed("m.b64", c.key, c.suffix, c.codePage);
    std::vector<std::string> args = c.args;
    for (const char* more : {"--json", "--decode-to"}) args.push_back(more);
    args.push_back(Path("plain.txt").string());
    args.push_back("--session");
    args.push_back(Path("s.session").string());
    args.push_back(message);
    const Outcome run = Recover(args);
    ASSERT_EQ(run.status, 0) << c.name << "\n"
                             << run.err;
    const nlohmann::json found = nlohmann::json::parse(run.out);
    EXPECT_EQ(found.at("key"), support::EncodeUtf8(c.key)) << c.name;
    EXPECT_EQ(found.at("suffix"), support::EncodeUtf8(c.suffix)) << c.name;
    EXPECT_EQ(found.at("codepage"), c.codePage) << c.name;
    EXPECT_EQ(found.at("candidate"), c.number) << c.name;
    EXPECT_EQ(found.at("from"), c.from) << c.name;
    EXPECT_EQ(ReadFile(Path("plain.txt")), "the text of an old message\r\n") << c.name;
    fs::remove(Path("s.session"));
  }
}

// The count announced is the count tried, and the status says none opened.
TEST_F(CliRecover, TheCountAnnouncedIsTheCountTried) {
  const std::string message = Sealed("m.b64", u"not among them", u"");
  const std::string words = Words("w.txt", 30);
  const std::string rules = File("r.rule", ":\nu\n$!\n^x\n");
  struct Case {
    std::vector<std::string> args;
    std::uint64_t count;
  };
  const Case cases[] = {
      {{"--wordlist", words}, 30},
      {{"--wordlist", words, "--rules", rules}, 120},
      {{"--wordlist", words, "--prepend-mask", "?d?l"}, 30 * 260},
      {{"--mask", "?d?d?d", "--increment"}, 1110},
      {{"--mask", "?d?d?d", "--increment", "--increment-min", "2", "--suffix-mask", "?h"}, 1100 * 16},
      {{"--wordlist", words, "--rules", rules, "--suffix-wordlist", words, "--codepages", "1252,1250"}, 120 * 30},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--session", Path("c.session").string(), message});
    const Outcome run = Recover(args);
    std::string shown = std::to_string(c.count);
    for (int at = static_cast<int>(shown.size()) - 3; at > 0; at -= 3) shown.insert(static_cast<std::size_t>(at), ",");
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find(shown + " candidates; "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("none of the " + shown + " candidates opens the message"), std::string::npos) << run.err;
    args.push_back("--dry-run");
    const Outcome dry = Recover(args);
    EXPECT_EQ(dry.status, 0);
    EXPECT_TRUE(dry.out.starts_with(shown + " candidates; ")) << dry.out;
    fs::remove(Path("c.session"));
  }
}

// --status-json: a line an interval, each a whole JSON object a script can
// read while the search runs: the count grows and never passes the total,
// and the rate and time left are there once there is a rate.
TEST_F(CliRecover, StatusLinesFollowTheSearch) {
  const std::string message = Sealed("m.b64", u"not among them", u"");
  const std::uint64_t total = 95ull * 95 * 95;  // ?a?a?a: several intervals of 0.1 s
  const Outcome run = Recover({"--mask", "?a?a?a", "--status-json", "0.1", "--session", Path("s.session").string(),
                               message});
  EXPECT_EQ(run.status, 3) << run.err;
  std::vector<nlohmann::json> lines;
  std::size_t from = 0;
  for (std::size_t end; (end = run.err.find('\n', from)) != std::string::npos; from = end + 1) {
    const std::string line = run.err.substr(from, end - from);
    if (line.starts_with("{")) lines.push_back(nlohmann::json::parse(line));  // throws on a torn line
  }
  ASSERT_FALSE(lines.empty()) << run.err;  // two or more here; one on a machine many times as fast
  std::uint64_t before = 0;
  for (const nlohmann::json& line : lines) {
    ASSERT_TRUE(line.at("tried").is_number_unsigned()) << line;
    const std::uint64_t tried = line["tried"];
    EXPECT_GE(tried, before) << line;
    EXPECT_LE(tried, total) << line;
    EXPECT_EQ(line.at("total"), total) << line;
    EXPECT_EQ(line.at("early_passed_full_failed"), 0) << line;
    if (line.at("per_second").get<std::uint64_t>() > 0 && tried < total) {
      EXPECT_TRUE(line.contains("seconds_left")) << line;
    }
    before = tried;
  }
  EXPECT_GT(before, 0u) << run.err;
}

// Wrong keys that pass a first test are counted, never taken: the right
// key of a message cut short passes the early test (its header and
// container are whole) but not the frame check; a lucky key found by a
// seeded search passes the frame check but not the container.
TEST_F(CliRecover, LuckyKeysAreNotTaken) {
  const std::string plain(300, 'a');
  const std::string sealed = EncodeBytes(Bytes(plain), u"right", u"", Header(), 0);
  File("cut.b64", sealed.substr(0, sealed.size() - 8));
  const ByteBuffer frame = DecodeBase64Bytes(Text(sealed));
  std::string lucky;
  for (int i = 0; i < 2000000 && lucky.empty(); ++i) {
    const std::string key = "lucky " + std::to_string(i);
    ByteBuffer work = frame;
    InitCipher(Text(key), u"");
    DecryptBuffer(work);
    if (CheckFrame(work.data(), work.size())) lucky = key;
  }
  ASSERT_FALSE(lucky.empty());
  File("whole.b64", sealed);
  const std::string words = File("w.txt", "a\n" + lucky + "\nright\nb\n");
  const std::string cutWords = File("cw.txt", "a\nright\nb\n");
  struct Case {
    std::string message, words;
    std::vector<std::string> more;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {Path("cut.b64").string(), cutWords, {}, 3, "1 candidate passed the early test but not the full decode"},
      {Path("whole.b64").string(), words, {"--no-early-test"}, 0, "1 candidate passed the frame check but not the full decode"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--wordlist", c.words, "-j", "1", "--session", Path("l.session").string()};
    args.insert(args.end(), c.more.begin(), c.more.end());
    args.push_back(c.message);
    const Outcome run = Recover(args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.out, c.status == 0 ? "right\n" : "");
    fs::remove(Path("l.session"));
  }
}

// A run of recover whose --status-json lines the test reads as they come.
struct Watched {
  int status = -1;  // the exit status, or 1000 + the signal that ended it
  std::string err;  // all it wrote to standard error
  std::string out;  // all it wrote to standard output
  bool stopped = false;
};

// Starts recover with --status-json and stops it with SIGINT once its
// status lines show `more` candidates tried beyond `from`: a stop on the
// search's progress, not on the clock, so a loaded machine only slows it.
Watched StopAfterProgress(std::vector<std::string> args, std::uint64_t from, std::uint64_t more,
                          const std::string& outPath) {
  std::vector<std::string> all = {TRIROTOR_CLI, "recover", "--status-json", "0.1"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int err[2];
  Watched w;
  if (::pipe(err) != 0) return w;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(err[0]);
    return w;
  }
  std::string pending;
  char buffer[4096];
  for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) {
    w.err.append(buffer, static_cast<std::size_t>(n));
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; !w.stopped && (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      const nlohmann::json line = nlohmann::json::parse(pending.substr(0, end), nullptr, false);
      if (line.is_object() && line.value("tried", std::uint64_t{0}) >= from + more) {
        ::kill(pid, SIGINT);
        w.stopped = true;
      }
    }
  }
  ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  w.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  w.out = ReadFile(outPath);
  return w;
}

// Stopped at random points of its progress and resumed, the search tries
// every candidate once: the total tried at the end is the count, and a key
// planted last is found at its number. Standard error and the session
// never hold a word. Each run goes on for a share of the whole before its
// stop, so the rounds are bounded by count, however slow the machine.
TEST_F(CliRecover, StoppedAndResumedTriesEachCandidateOnce) {
  std::mt19937 random(20261208);
  const std::uint64_t count = 4000 * 100;
  // Words a search would print if it leaked: each holds "zq".
  std::string text;
  for (int i = 1; i <= 4000; ++i) text += "zq" + std::to_string(i * 7919 % 100000) + "\n";
  const std::string words = File("w.txt", text);
  const std::string lastWord = "zq" + std::to_string(4000 * 7919 % 100000);
  for (const bool planted : {false, true}) {
    const std::string message = Sealed("m.b64", planted ? Text(lastWord + "99") : u"absent", u"");
    const std::string session = Path("r.session").string();
    const std::string out = Path("out.txt").string();
    fs::remove(session);
    std::string log;
    std::uint64_t tried = 0;
    Watched run = StopAfterProgress(
        {"--wordlist", words, "--append-mask", "?d?d", "--session", session, "-j", "2", "--json", message}, 0,
        count / 20 + random() % (count / 8), out);
    log += run.err;
    int stops = 0;
    while (run.status == 130 && stops < 40) {
      ++stops;
      EXPECT_TRUE(run.stopped) << run.err;
      EXPECT_EQ(ReadFile(Path("r.session")).find("zq"), std::string::npos);
      const std::uint64_t now = nlohmann::json::parse(ReadFile(Path("r.session")))["standing"]["tried"];
      EXPECT_GT(now, tried) << "a stopped run saved no progress";
      tried = now;
      run = StopAfterProgress({"--restore", session, "-j", "2", "--json"}, tried, count / 20 + random() % (count / 8),
                              out);
      log += run.err;
    }
    EXPECT_GE(stops, 2) << "the search ended before its second stop: make it longer";
    EXPECT_EQ(log.find("zq"), std::string::npos) << log;
    std::string shown = std::to_string(count);
    shown.insert(shown.size() - 3, ",");
    if (planted) {
      EXPECT_EQ(run.status, 0) << log;
      const nlohmann::json found = nlohmann::json::parse(run.out);
      EXPECT_EQ(found["candidate"], count) << run.out;
    } else {
      EXPECT_EQ(run.status, 3) << log;
      EXPECT_NE(log.find("none of the " + shown + " candidates opens the message"), std::string::npos) << log;
    }
  }
}

// A session file is replaced only when it is one; a session is resumed only
// against the message and suffix it was made for.
TEST_F(CliRecover, SessionFilesAreGuarded) {
  const std::string message = Sealed("m.b64", u"absent", u"");
  const std::string words = Words("w.txt", 20);
  const std::string mine = File("notes.txt", "my own notes\n");
  const Outcome guarded = Recover({"--wordlist", words, "--session", mine, message});
  EXPECT_EQ(guarded.status, 3) << guarded.err;
  EXPECT_EQ(ReadFile(mine), "my own notes\n");
  EXPECT_NE(guarded.err.find("is not a session of trirotor recover; it is left as it is"), std::string::npos) << guarded.err;
  const std::string session = Path("m.session").string();
  ASSERT_EQ(Recover({"--wordlist", words, "--session", session, message}).status, 3);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string messageNow;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"not a session", {"--restore", mine}, "", 2, "is not a session file of this trirotor"},
      {"a suffix it has not", {"--restore", session, "--suffix", "x"}, "", 1, "searches under no fixed suffix"},
      {"the message changed", {"--restore", session}, "QUJDREVGR0g=", 2, "is no longer the message this session searches"},
      {"resumed at its end", {"--restore", session}, "", 3, "none of the 20 candidates opens the message"},
  };
  const std::string original = ReadFile(message);
  for (const Case& c : cases) {
    WriteFile(message, c.messageNow.empty() ? original : c.messageNow);
    const Outcome run = Recover(c.args);
    EXPECT_EQ(run.status, c.status) << c.name << "\n"
                                    << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.name << "\n"
                                                       << run.err;
  }
}

}  // namespace
}  // namespace trirotor::test

#endif  // TRIROTOR_CLI
