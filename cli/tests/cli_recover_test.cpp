// SPDX-License-Identifier: MIT
//
// cli_recover_test.cpp - trirotor recover run as a user runs it: keys
// planted at known places are found there, under the right code page and
// suffix; the count announced is the count tried; lucky wrong keys are
// never taken; nothing secret leaves by standard error or the session
// file; and a search stopped at random points of its progress and resumed
// tries each candidate exactly once. Beyond the search: what a found key
// leaves (on standard output only, as decode takes it back), that it
// outlives a failure after it, and the sessions: checked as hostile input,
// resumed only over unchanged inputs, never taken from another search, one
// run at a time.

#ifdef TRIROTOR_CLI

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/utf8.h"
#include "testing/run_tool.h"
#include "tests/test_util.h"

namespace trirotor::test {
namespace {

namespace fs = std::filesystem;

class CliRecover : public ToolTest {
 protected:
  // A message sealed under key and suffix, typed under `codePage`.
  std::string Sealed(const std::string& name, const std::u16string& key, const std::u16string& suffix,
                     int codePage = 1252, const std::string& plain = "the text of an old message\r\n") {
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
  // clang-format off
  const Case cases[] = {
      {"word alone", u"summer", u"", 1252, {"--wordlist", words}, 17, "line 17 of " + words},
      {"rule 2, suffix 2", u"Summer", u"abc", 1252, {"--wordlist", words, "--rules", rules, "--suffix-wordlist", suffixes}, (16 * 3 + 1) * 3 + 2, "line 17 of " + words + ", rule 2 (line 2) of " + rules + ", suffix from line 2 of " + suffixes},
      {"mask appended", u"summer42", u"", 1252, {"--wordlist", words, "--append-mask", "?d?d"}, 16 * 100 + 25, "line 17 of " + words + ", candidate 25 of mask ?d?d"},
      {"mask alone, fixed suffix", u"k9Z", u"fix", 1252, {"--mask", "k?d?u", "--suffix", "fix"}, 9 + 10 * 25 + 1, "candidate 260 of mask k?d?u"},
      {"code page 1251", u"\u043f\u0430\u0440\u043e\u043b\u044c", u"", 1251, {"--wordlist", cyrillic, "--codepages", "1252,1251,cp437"}, 4, "line 4 of " + cyrillic},
      {"without the early test", u"summer", u"", 1252, {"--wordlist", words, "--no-early-test"}, 17, "line 17 of " + words},
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::string message = Sealed("m.b64", c.key, c.suffix, c.codePage);
    std::vector<std::string> args = c.args;
    for (const char* more : {"--json", "--decode-to"}) args.push_back(more);
    args.push_back(Path("plain.txt").string());
    args.push_back("--session");
    args.push_back(Path("s.session").string());
    args.push_back(message);
    const Outcome run = Recover(args);
    ASSERT_EQ(run.status, 0) << c.name << "\n" << run.err;
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
// the rate and time left are there once there is a rate, and the last line,
// which even a search shorter than the interval has, is where it ended.
TEST_F(CliRecover, StatusLinesFollowTheSearch) {
  const std::string message = Sealed("m.b64", u"not among them", u"");
  const std::uint64_t total = 95ull * 95 * 95;  // ?a?a?a: several intervals of 0.1 s
  const Outcome run =
      Recover({"--mask", "?a?a?a", "--status-json", "0.1", "--session", Path("s.session").string(), message});
  EXPECT_EQ(run.status, 3) << run.err;
  std::vector<nlohmann::json> lines;
  std::size_t from = 0;
  for (std::size_t end; (end = run.err.find('\n', from)) != std::string::npos; from = end + 1) {
    const std::string line = run.err.substr(from, end - from);
    if (line.starts_with("{")) lines.push_back(nlohmann::json::parse(line));  // throws on a torn line
  }
  ASSERT_FALSE(lines.empty()) << run.err;  // the last, where the search ended, on any machine
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
  EXPECT_EQ(before, total) << "the last line is where the search ended\n" << run.err;
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
  // clang-format off
  const Case cases[] = {
      {Path("cut.b64").string(), cutWords, {}, 3, "1 candidate passed the early test but not the full decode"},
      {Path("whole.b64").string(), words, {"--no-early-test"}, 0, "1 candidate passed the frame check but not the full decode"},
  };
  // clang-format on
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

// A run of recover stopped as Ctrl-C stops it, once the search has asked
// `asked` times whether to stop (about asked * 64 candidates in): at a
// count, not a moment, so that neither a fast machine nor a loaded one
// moves the stop past the search's end.
Outcome StopAt(std::vector<std::string> args, std::uint64_t asked) {
  args.insert(args.begin(), "recover");
  return RunTool(TRIROTOR_CLI, {.args = args, .env = {{"TRIROTOR_TEST_INTERRUPT_AT", std::to_string(asked)}}});
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
    fs::remove(session);
    std::string log;
    std::uint64_t tried = 0;
    // Each run goes on for 20,000 to 70,000 candidates (a share of the
    // 400,000), 64 a time it asks whether to stop.
    const auto share = [&] { return (count / 20 + random() % (count / 8)) / 64; };
    Outcome run = StopAt(
        {"--wordlist", words, "--append-mask", "?d?d", "--session", session, "-j", "2", "--json", message}, share());
    log += run.err;
    int stops = 0;
    while (run.status == 130 && stops < 40) {
      ++stops;
      EXPECT_EQ(ReadFile(Path("r.session")).find("zq"), std::string::npos);
      const std::uint64_t now = nlohmann::json::parse(ReadFile(Path("r.session")))["standing"]["tried"];
      EXPECT_GT(now, tried) << "a stopped run saved no progress";
      tried = now;
      run = StopAt({"--restore", session, "-j", "2", "--json"}, share());
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

// A search cut into parts by --skip and --limit: each part's count is its
// own and the counts add up to the whole; the key is found in the part that
// holds its number, with that number, and the other parts say which
// numbers they tried; a part past the end, or of no candidate, is refused.
TEST_F(CliRecover, PartsBySkipAndLimit) {
  // "abm" is candidate 1 + 1 * 26 + 12 * 676 = 8,139 of ?l?l?l (the
  // leftmost position turns fastest).
  const std::string message = Sealed("m.b64", u"abm", u"");
  struct Part {
    const char* skip;
    const char* limit;
    std::uint64_t count;
    int status;
    const char* says;
  };
  // clang-format off
  const Part parts[] = {
      {"0", "5859", 5859, 3, "none of the 5,859 candidates opens the message (candidates 1 to 5,859 of 17,576)"},
      {"5859", "5859", 5859, 0, "found the key"},
      {"11718", "5859", 5858, 3, "none of the 5,858 candidates opens the message (candidates 11,719 to 17,576 of 17,576)"},
  };
  // clang-format on
  std::uint64_t sum = 0;
  for (const Part& p : parts) {
    SCOPED_TRACE(p.skip);
    const std::vector<std::string> part = {"--mask", "?l?l?l", "--skip", p.skip, "--limit", p.limit};
    std::vector<std::string> dry = part;
    dry.insert(dry.end(), {"--dry-run", message});
    const Outcome counted = Recover(dry);
    ASSERT_EQ(counted.status, 0) << counted.err;
    std::string shown = std::to_string(p.count);
    shown.insert(shown.size() - 3, ",");
    EXPECT_TRUE(counted.out.starts_with(shown + " candidates (candidates ")) << counted.out;
    sum += p.count;
    std::vector<std::string> run = part;
    run.insert(run.end(), {"--json", "--session", Path(std::string("p") + p.skip).string(), message});
    const Outcome searched = Recover(run);
    EXPECT_EQ(searched.status, p.status) << searched.err;
    EXPECT_NE(searched.err.find(p.says), std::string::npos) << searched.err;
    if (p.status == 0) {
      EXPECT_EQ(nlohmann::json::parse(searched.out)["candidate"], 8139) << searched.out;
    }
  }
  EXPECT_EQ(sum, 26u * 26 * 26);
  const std::vector<std::vector<std::string>> refused = {{"--skip", "17576"}, {"--skip", "99999999"}, {"--limit", "0"}};
  for (const std::vector<std::string>& bad : refused) {
    std::vector<std::string> args = {"--mask", "?l?l?l", "--session", Path("bad").string(), message};
    args.insert(args.begin(), bad.begin(), bad.end());
    const Outcome run = Recover(args);
    EXPECT_EQ(run.status, 1) << bad[0] << " " << bad[1] << "\n" << run.err;
    EXPECT_TRUE(run.err.find("passes the end of the search") != std::string::npos ||
                run.err.find("tries no candidate") != std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(Path("bad")));
  }
}

// A part's session resumes that part: stopped on its progress and restored,
// it tries the part's numbers alone and finds the key planted near its end
// at its number, having tried no number below the part.
TEST_F(CliRecover, APartResumesItself) {
  // "wzmq" is candidate 23 + 25 * 26 + 12 * 676 + 16 * 17576 = 290,001.
  const std::string message = Sealed("m.b64", u"wzmq", u"");
  const std::string session = Path("part.session").string();
  // Each run stops some 40,000 candidates in (625 asks of 64).
  Outcome run = StopAt({"--mask", "?l?l?l?l", "--skip", "100000", "--limit", "200000", "--session", session, "-j", "2",
                        "--json", message},
                       625);
  int stops = 0;
  while (run.status == 130 && stops < 20) {
    ++stops;
    const nlohmann::json saved = nlohmann::json::parse(ReadFile(Path("part.session")));
    EXPECT_EQ(saved["search"]["skip"], 100000);
    EXPECT_EQ(saved["search"]["limit"], 200000);
    EXPECT_GE(saved["standing"]["frontier"].get<std::uint64_t>(), 100000u);
    const std::uint64_t tried = saved["standing"]["tried"];
    EXPECT_LT(tried, 200000u);
    run = StopAt({"--restore", session, "-j", "2", "--json"}, 625);
  }
  EXPECT_GE(stops, 1) << "the part ended before its first stop";
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out)["candidate"], 290001) << run.out;
}

// A session file is replaced only when it is one; a session is resumed only
// against the message and suffix it was made for.
TEST_F(CliRecover, SessionFilesAreGuarded) {
  const std::string message = Sealed("m.b64", u"absent", u"");
  const std::string words = Words("w.txt", 20);
  const std::string mine = File("notes.txt", "my own notes\n");
  const Outcome guarded = Recover({"--wordlist", words, "--session", mine, message});
  EXPECT_EQ(guarded.status, 1) << guarded.err;  // refused before the search, not found out after it
  EXPECT_EQ(ReadFile(mine), "my own notes\n");
  EXPECT_NE(guarded.err.find("is not a session of trirotor recover; it is left as it is"), std::string::npos)
      << guarded.err;
  const std::string session = Path("m.session").string();
  ASSERT_EQ(Recover({"--wordlist", words, "--session", session, message}).status, 3);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string messageNow;
    int status;
    std::string says;
  };
  // clang-format off
  const Case cases[] = {
      {"not a session", {"--restore", mine}, "", 2, "is not a session file of this trirotor"},
      {"a suffix it has not", {"--restore", session, "--suffix", "x"}, "", 1, "searches under no fixed suffix"},
      {"the message changed", {"--restore", session}, "QUJDREVGR0g=", 2, "is no longer the message this session searches"},
      {"resumed at its end", {"--restore", session}, "", 3, "none of the 20 candidates opens the message"},
  };
  // clang-format on
  const std::string original = ReadFile(message);
  for (const Case& c : cases) {
    WriteFile(message, c.messageNow.empty() ? original : c.messageNow);
    const Outcome run = Recover(c.args);
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.name << "\n" << run.err;
  }
}

/// What recover guards: its outputs, its sessions, its secrets ///

// A run as RunTool cannot make it: standard output a file, /dev/full or
// closed; a folder of its own; standard input a pipe held open until the
// test lets go of it.
struct Child {
  pid_t pid = -1;
  int input = -1;  // the write end of its standard input, or -1
};

enum class Out { kFile, kFull, kClosed };

Child Start(const std::vector<std::string>& args, Out out, const fs::path& dir, const std::string& cwd = "",
            bool holdInput = false) {
  int pipe[2] = {-1, -1};
  if (holdInput && ::pipe2(pipe, O_CLOEXEC) != 0) return {};
  const std::string outPath = (dir / "run.out").string(), errPath = (dir / "run.err").string();
  std::vector<std::string> all = {TRIROTOR_CLI, "recover"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    // Opened before any is closed, so that none takes the number of another.
    const int in = holdInput ? pipe[0] : ::open("/dev/null", O_RDONLY);
    const int written = ::open(out == Out::kFull ? "/dev/full" : outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(written, 1);
    ::dup2(err, 2);
    if (out == Out::kClosed) ::close(1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (holdInput) ::close(pipe[0]);
  return {pid, holdInput ? pipe[1] : -1};
}

// Lets go of its input, waits for its end; its status and what it wrote.
Outcome Finish(Child& child, const fs::path& dir) {
  if (child.input >= 0) ::close(child.input);
  int status = 0;
  Outcome outcome;
  if (child.pid > 0 && ::waitpid(child.pid, &status, 0) == child.pid) {
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  }
  outcome.out = fs::exists(dir / "run.out") ? ReadFile(dir / "run.out") : "";
  outcome.err = ReadFile(dir / "run.err");
  fs::remove(dir / "run.out");
  return outcome;
}

Outcome RunIn(const std::vector<std::string>& args, const fs::path& dir, Out out = Out::kFile,
              const std::string& cwd = "") {
  Child child = Start(args, out, dir, cwd);
  return Finish(child, dir);
}

std::string Grouped(std::uint64_t n) {
  std::string shown = std::to_string(n);
  for (int at = static_cast<int>(shown.size()) - 3; at > 0; at -= 3) shown.insert(static_cast<std::size_t>(at), ",");
  return shown;
}

// Candidate number (from 1) of a key of lowercase letters under ?l?l..:
// the leftmost position turns fastest, as hashcat's masks do.
std::uint64_t LowercaseNumber(const std::string& key) {
  std::uint64_t index = 0;
  for (std::size_t i = key.size(); i-- > 0;) index = index * 26 + static_cast<std::uint64_t>(key[i] - 'a');
  return index + 1;
}

// Nothing is searched when the options cannot make a sound search or the
// text could not be kept: each is refused before the work, no session is
// made, and the key (which the search would find) is not printed.
TEST_F(CliRecover, RefusedBeforeTheSearch) {
  const std::string message = Sealed("m.b64", u"k7", u"");
  const std::string words = Words("w.txt", 5, "k7", 3);
  fs::create_directory(Path("folder"));
  fs::create_symlink(message, Path("link.b64"));
  const std::string badRules = Path("bad.rule").string();
  WriteFile(badRules, ":\nM\n");  // M (memorize) is a function recover does not take
  const std::string session = Path("s.session").string();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  // clang-format off
  const Case cases[] = {
      {"an empty mask", {"--mask", ""}, 1, "--mask: an empty mask makes no candidate"},
      {"an empty appended mask", {"--wordlist", words, "--append-mask="}, 1, "--append-mask: an empty mask"},
      {"an empty suffix mask", {"--mask", "?l?d", "--suffix-mask", ""}, 1, "--suffix-mask: an empty mask"},
      {"--increment-min past the mask", {"--mask", "?l?d", "--increment", "--increment-min", "3"}, 1, "is not a place in the mask, which has 2 positions"},
      {"--increment-min 0", {"--mask", "?l?d", "--increment", "--increment-min", "0"}, 1, "--increment-min 0 is not a place"},
      {"--increment-min without --increment", {"--mask", "?l?d", "--increment-min", "2"}, 1, "--increment-min requires --increment"},
      {"--increment without a mask", {"--wordlist", words, "--increment"}, 1, "--increment works on a mask"},
      {"--decode-to the message", {"--mask", "?l?d", "--decode-to", message}, 1, "is the message"},
      {"--decode-to a link to the message", {"--mask", "?l?d", "--decode-to", Path("link.b64").string()}, 1, "is the message"},
      {"--decode-to the word list", {"--wordlist", words, "--decode-to", words}, 1, "is the word list"},
      {"--decode-to the session", {"--mask", "?l?d", "--decode-to", session}, 1, "is the session file"},
      {"--decode-to an empty name", {"--mask", "?l?d", "--decode-to="}, 1, "an empty name names no file"},
      {"--decode-to in a missing folder", {"--mask", "?l?d", "--decode-to", Path("none/plain.txt").string()}, 2, "cannot write"},
      {"--decode-to a folder", {"--mask", "?l?d", "--decode-to", Path("folder").string()}, 2, "is a directory"},
      {"--status-json 0", {"--mask", "?l?d", "--status-json", "0"}, 1, "--status-json: must be a number of seconds above 0, not 0"},
      {"a suffix file that is standard input, as the words are", {"--wordlist", "-", "--suffix-file", "-"}, 1, "reads standard input, which carries the word list"},
      {"two fixed suffixes", {"--mask", "?l?d", "--suffix", "a", "--suffix-env", "HOME"}, 1, "excludes"},
      // A file that cannot be read is status 2 whichever option names it;
      // what a file holds that makes no search is the user's to fix, 1.
      {"a missing word list", {"--wordlist", Path("none.txt").string()}, 2, "cannot read the word list"},
      {"a missing rule file", {"--wordlist", words, "--rules", Path("none.rule").string()}, 2, "cannot read the rule file"},
      {"a rule file that is a folder", {"--wordlist", words, "--rules", Path("folder").string()}, 2, "cannot read the rule file"},
      {"a missing suffix list", {"--mask", "?l?d", "--suffix-wordlist", Path("none.txt").string()}, 2, "cannot read the word list"},
      {"a rule file with a bad rule", {"--wordlist", words, "--rules", badRules}, 1, "line 2: unsupported rule function 'M'"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"recover"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"--session", session, message});
    const Outcome run = RunTool(TRIROTOR_CLI, {.args = args, .input = "k7\n"});
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_LT(run.err.size(), 400u) << "one line or two, not a page";
    EXPECT_FALSE(fs::exists(session));
    EXPECT_FALSE(fs::exists(session + ".lock"));
  }
  EXPECT_EQ(ReadFile(message).size(), ReadFile(Path("link.b64")).size());  // the message is whole
}

// What a found key leaves behind: the key on standard output as decode
// takes it back (a suffix after a TAB, a legacy word's text under the page
// that opened the message), where it stood only with --json, and a session
// marked finished with no place in it. Standard error names neither.
TEST_F(CliRecover, WhatAFoundKeyLeaves) {
  struct Case {
    const char* name;
    std::u16string key, suffix;
    int codePage;
    std::string words;  // the word list's bytes; "" for a mask alone
    std::vector<std::string> args;
    std::string out;  // standard output, without --json
    std::string from;
    bool decodeTakesIt = true;  // decode has no $HEX[...] keys
  };
  const std::string place = Grouped(LowercaseNumber("kqza"));
  // clang-format off
  const Case cases[] = {
      {"a mask alone", u"kqza", u"", 1252, "", {"--mask", "?l?l?l?l"}, "kqza\n", "candidate " + place + " of mask ?l?l?l?l"},
      {"a suffix from a list", u"summer", u"!x", 1252, "spring\nsummer\n", {"--suffix-mask", "?s?l"}, "summer\t!x\n", ""},
      {"a Latin-1 word", u"ab\u00e9", u"", 1252, "zz\nab\xe9\n", {}, "ab\xc3\xa9\n", ""},
      {"a word of code page 1250", u"z\u0105", u"", 1250, "z\xb9\n", {"--codepages", "1250"}, "z\xc4\x85\n", ""},
      {"a word with a control character", u"k\u0001", u"", 1252, "$HEX[6b01]\n", {}, "$HEX[6b01]\n", "", false},
      {"--increment", u"42", u"", 1252, "", {"--mask", "?d?d?d", "--increment"}, "42\n", "candidate 25 of ?d?d, the first 2 of the 3 positions of mask ?d?d?d"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = Sealed("m.b64", c.key, c.suffix, c.codePage);
    std::vector<std::string> args = c.args;
    if (!c.words.empty()) args.insert(args.end(), {"--wordlist", File("w.txt", c.words)});
    const std::string session = Path("found.session").string();
    args.insert(args.end(), {"--session", session, message});
    const Outcome run = Recover(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_NE(run.err.find("found the key under code page " + std::to_string(c.codePage)), std::string::npos)
        << run.err;
    for (const std::string& secret : {place, std::to_string(LowercaseNumber("kqza")), std::string("line "),
                                      std::string("of mask"), std::string("candidate ")}) {
      EXPECT_EQ(run.err.find(secret), std::string::npos) << secret << " in " << run.err;
    }
    const nlohmann::json kept = nlohmann::json::parse(ReadFile(session));
    EXPECT_EQ(kept.at("finished"), "found");
    EXPECT_FALSE(kept.contains("standing")) << kept.dump();
    // The line is what decode takes: a key, or a key ring line with its suffix.
    const std::string ring = File("ring.txt", run.out);
    const Outcome decoded = RunTool(
        TRIROTOR_CLI, {.args = {"decode", "--keyring", ring, "--codepage", std::to_string(c.codePage), message}});
    if (c.decodeTakesIt) {
      EXPECT_EQ(decoded.status, 0) << decoded.err;
    }
    // Where it stood comes out only when asked.
    fs::remove(session);
    args.push_back("--json");
    const Outcome json = Recover(args);
    ASSERT_EQ(json.status, 0) << json.err;
    const nlohmann::json found = nlohmann::json::parse(json.out);
    if (!c.from.empty()) {
      EXPECT_EQ(found.at("from"), c.from);
    }
    const std::string key = c.out.substr(0, c.out.find_first_of("\t\n"));
    EXPECT_EQ(found.at("key"), key);
    fs::remove(session);
  }
}

// The key is out before anything that may fail after it, and a key that
// could not be written is not lost: its session stands where the run began.
TEST_F(CliRecover, TheKeyOutlivesWhatFailsAfterIt) {
  const std::string message = Sealed("m.b64", u"kqza", u"");
  const std::string session = Path("k.session").string();
  enum class After { kNone, kStanding, kFinished };
  struct Case {
    const char* name;
    Out out;
    std::vector<std::string> more;
    int status;
    std::string printed, says;
    After session;
  };
  // clang-format off
  const Case cases[] = {
      {"standard output full", Out::kFull, {}, 2, "", "cannot write the key found to standard output", After::kStanding},
      {"standard output closed", Out::kClosed, {}, 2, "", "standard output is closed", After::kNone},
      {"the text cannot be written", Out::kFile, {"--decode-to", "/dev/full"}, 2, "kqza\n", "cannot write /dev/full", After::kFinished},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(session);
    std::vector<std::string> args = {"--mask", "?l?l?l?l", "-q", "--session", session, message};
    args.insert(args.end(), c.more.begin(), c.more.end());
    const Outcome run = RunIn(args, dir_, c.out);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, c.printed);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(fs::exists(session), c.session != After::kNone);
    if (c.session == After::kNone) continue;
    const nlohmann::json kept = nlohmann::json::parse(ReadFile(session));
    EXPECT_EQ(kept.contains("standing"), c.session == After::kStanding) << kept.dump();
    if (c.session == After::kStanding) {  // where this run began: the winner's place would tell the key
      EXPECT_EQ(kept["standing"]["frontier"], 0) << kept.dump();
      EXPECT_TRUE(kept["standing"].value("done_above", nlohmann::json::array()).empty()) << kept.dump();
    }
    // Restored, a standing session finds the key again; a finished one says so.
    const Outcome again = RunIn({"--restore", session, "-q"}, dir_);
    EXPECT_EQ(again.status, c.session == After::kStanding ? 0 : 2) << again.err;
    EXPECT_EQ(again.out, c.session == After::kStanding ? "kqza\n" : "");
    const Outcome twice = RunIn({"--restore", session, "-q"}, dir_);
    EXPECT_EQ(twice.status, 2) << twice.err;
    EXPECT_NE(twice.err.find("this search has already found its key"), std::string::npos) << twice.err;
  }
  for (const std::string& name : Listing(dir_)) EXPECT_EQ(name.find(".lock"), std::string::npos) << name;
}

// A session is read as hostile input, and resumed only over the files it
// was made with: a damaged field, a code page this system lacks, a place
// past the search, or a word list, rule file, suffix list or message that
// changed since, is refused with the reason (status 2), and the session is
// left as it is.
TEST_F(CliRecover, SessionsFitTheirSearchOrAreRefused) {
  using nlohmann::json;
  const std::string words = Words("w.txt", 20), wordsText = ReadFile(words);
  const std::string rules = File("r.rule", ":\nu\n"), suffixes = File("s.txt", "a\nb\n");
  const std::string message = Sealed("m.b64", u"absent", u""), messageText = ReadFile(message);
  const std::string session = Path("m.session").string();
  ASSERT_EQ(
      Recover({"--wordlist", words, "--rules", rules, "--suffix-wordlist", suffixes, "--session", session, message})
          .status,
      3);
  const std::string saved = ReadFile(session);
  // Word 10 ("w11", line 11) starts after "w1\n" .. "w10\n".
  const auto midway = [](json& j) {
    j["standing"]["frontier"] = 40, j["standing"]["frontier_offset"] = 31, j["standing"]["frontier_lines"] = 10,
    j["standing"].erase("complete");
  };
  const auto older = [&](json& j) {
    midway(j);
    j["trirotor_recover_session"] = 1;
    j["message_bytes"] = j["sources"]["message"]["bytes"];
    j.erase("sources");
  };
  const auto runs = [](std::uint64_t frontier, json ranges) {
    return [=](json& j) {
      j["standing"]["frontier"] = frontier, j["standing"]["done_above"] = ranges, j["standing"].erase("complete");
    };
  };
  struct Case {
    const char* name;
    std::function<void(json&)> edit;
    std::function<void()> change;
    int status;
    std::string says;
  };
  const std::function<void(json&)> asSaved = [](json&) {};
  const std::function<void()> nothing = [] {};
  // clang-format off
  const Case cases[] = {
      {"as saved", asSaved, nothing, 3, "none of the 80 candidates opens the message"},
      {"two lines of the list swapped", asSaved, [&] { WriteFile(words, "w1\nw2\nw4\nw3\n" + wordsText.substr(12)); }, 2, "has changed since the session was saved (the same size, other bytes)"},
      {"a word added to the list", asSaved, [&] { WriteFile(words, wordsText + "w21\n"); }, 2, "the word list " + words + " has changed since the session was saved (71 bytes then, 75 now)"},
      {"a rule edited", asSaved, [&] { WriteFile(rules, ":\nl\n"); }, 2, "the rule file " + rules + " has changed"},
      {"a suffix edited", asSaved, [&] { WriteFile(suffixes, "a\nc\n"); }, 2, "the suffix list " + suffixes + " has changed"},
      {"the message sealed anew", asSaved, [&] { Sealed("m.b64", u"absent", u"", 1252, "the text of an old messagX\r\n"); }, 2, "is no longer the message this session searches (the same size, other bytes)"},
      {"a code page this system lacks", [](json& j) { j["search"]["codepages"].push_back(9999); }, nothing, 2, "code page 9999, which this system does not support"},
      {"a negative frontier", [](json& j) { j["standing"]["frontier"] = -5; }, nothing, 2, "\"frontier\" is not a whole number"},
      {"a frontier past 2^64", [](json& j) { j["standing"]["frontier"] = 1e20; }, nothing, 2, "\"frontier\" is not a whole number"},
      {"a frontier past the total", [](json& j) { j["standing"]["frontier"] = 81; }, nothing, 2, "stands past its total"},
      {"a run past the total", runs(10, {{70, 90}}), nothing, 2, "stands past its total"},
      {"another total", [](json& j) { j["total"] = 18446744073709551611ull; }, nothing, 2, "it counts 18,446,744,073,709,551,611 candidates, the search makes 80"},
      {"another search: a mask appended", [](json& j) { j["search"]["mask"] = "?d", j["search"]["mask_place"] = "append"; }, nothing, 2, "does not fit its search: it counts 80 candidates, the search makes 800"},
      {"runs that overlap", runs(10, {{20, 30}, {25, 40}}), nothing, 2, "runs that overlap"},
      {"a run below the frontier", runs(10, {{5, 8}}), nothing, 2, "not above the frontier"},
      {"a version to come", [](json& j) { j["trirotor_recover_session"] = 3; }, nothing, 2, "of a version this trirotor does not know (3)"},
      {"--increment-min past its mask", [](json& j) { j["search"]["mask"] = "?d", j["search"]["mask_place"] = "append", j["search"]["increment"] = true, j["search"]["increment_min"] = 5; }, nothing, 2, "cannot be made: --increment-min 5 is not a place in the mask"},
      {"a mask in no place", [](json& j) { j["search"]["mask_place"] = "sideways"; }, nothing, 2, "\"mask_place\" is not one of"},
      {"more lines than bytes", [](json& j) { j["standing"]["frontier_lines"] = 100; }, nothing, 2, "\"frontier_lines\" is more than its offset has room for"},
      {"a place past the word list", [&](json& j) { midway(j), j["standing"]["frontier_offset"] = 100000, j["standing"]["frontier_lines"] = 10; }, nothing, 2, "its frontier lies past the end of the word list"},
      {"sources that disagree with the search", [](json& j) { j["sources"].erase("rules"); }, nothing, 2, "\"sources\" and the search disagree on \"rules\""},
      {"a search that found its key", [](json& j) { j.erase("standing"), j["finished"] = "found"; }, nothing, 2, "this search has already found its key"},
      {"not JSON", [](json& j) { j = "{"; }, nothing, 2, "is not a session file of this trirotor"},
      {"an older version, midway", older, nothing, 3, "none of the 80 candidates opens the message"},
      {"a suffix check, as sessions held before", [](json& j) { j["search"]["suffix_check"] = 1234567; }, nothing, 3, "none of the 80 candidates opens the message"},
      {"an older version, the list edited before its place", older, [&] { WriteFile(words, "w1\nw22\n" + wordsText.substr(6, 41) + "w5\n" + wordsText.substr(51)); }, 2, "the word list " + words + " has changed since the session was saved"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json j = json::parse(saved);
    c.edit(j);
    const std::string text = j.is_string() ? j.get<std::string>() : j.dump(1);
    WriteFile(session, text);
    c.change();
    const Outcome run = Recover({"--restore", session, "-q"});
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    if (c.status == 2) {
      EXPECT_EQ(ReadFile(session), text) << "a refused session is left as it is";
    }
    WriteFile(words, wordsText);
    WriteFile(rules, ":\nu\n");
    WriteFile(suffixes, "a\nb\n");
    WriteFile(message, messageText);
  }
}

// A new search takes a session file only when it holds nothing of worth:
// the default names of two messages called alike, another search's
// session, this search stopped, a file that is no session, and a lock file
// that is not ours are refused and left as they are.
TEST_F(CliRecover, ANewSearchTakesNoOtherSession) {
  fs::create_directory(Path("a"));
  fs::create_directory(Path("b"));
  const std::string words = Words("w.txt", 10);
  const std::string rules = File("r.rule", ":\nu\n");
  platform::SetCodePage(1252);
  File("a/letter.b64", EncodeBytes(Bytes("a letter\r\n"), u"absent", u"", Header(), 0));
  File("b/letter.b64", EncodeBytes(Bytes("another letter\r\n"), u"absent", u"", Header(), 0));
  const std::string session = Path("letter.b64.recover").string();
  const std::vector<std::string> a = {"--wordlist", words, "-q", "a/letter.b64"};
  ASSERT_EQ(RunIn(a, dir_, Out::kFile, dir_.string()).status, 3);
  ASSERT_TRUE(fs::exists(session)) << "the default session is named after the message, in this folder";
  const std::string exhausted = ReadFile(session);
  nlohmann::json stopped = nlohmann::json::parse(exhausted);
  stopped["standing"]["frontier"] = 4, stopped["standing"].erase("complete");
  nlohmann::json found = nlohmann::json::parse(exhausted);
  found.erase("standing"), found["finished"] = "found";
  struct Case {
    const char* name;
    std::string there;  // the session file's text before the run; "" for none
    std::vector<std::string> args;
    int status;
    std::string says;
    std::string lock = "";  // a lock file's text before the run, when there is one
  };
  // clang-format off
  const Case cases[] = {
      {"a message of the same name elsewhere", exhausted, {"--wordlist", words, "b/letter.b64"}, 1, "holds the session of another search (of the message " + Path("a/letter.b64").string()},
      {"the same message with rules", exhausted, {"--wordlist", words, "--rules", rules, "a/letter.b64"}, 1, "another search (of this message, with other candidates or options)"},
      {"this search, stopped", stopped.dump(), a, 1, "holds this very search, stopped: go on with it with trirotor recover --restore"},
      {"a file that is no session", "my notes\n", a, 1, "is not a session of trirotor recover; it is left as it is"},
      {"a lock file that is not ours", exhausted, a, 2, "is in the way of the session's lock", "my notes\n"},
      {"this search, every candidate tried", exhausted, a, 3, "none of the 10 candidates opens the message"},
      {"this search, its key found", found.dump(), a, 3, "none of the 10 candidates opens the message"},
      {"no session yet", "", a, 3, "none of the 10 candidates opens the message"},
      {"a lock left by a run the system killed", "", a, 3, "none of the 10 candidates opens the message", "trirotor recover lock\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(session);
    if (!c.there.empty()) WriteFile(session, c.there);
    if (!c.lock.empty()) WriteFile(session + ".lock", c.lock);
    const Outcome run = RunIn(c.args, dir_, Out::kFile, dir_.string());
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    if (c.status != 3) {
      EXPECT_EQ(ReadFile(session), c.there) << "a session refused is left as it is";
    }
    EXPECT_EQ(fs::exists(session + ".lock"), c.status == 2) << "only a lock that is not ours stays";
    if (c.status == 2) {
      EXPECT_EQ(ReadFile(session + ".lock"), c.lock);
    }
    fs::remove(session + ".lock");
  }
}

// Two runs on one session: the second is refused while the first works
// (it holds the session's lock), whether it is a new search or a restore,
// and goes ahead once the first has ended. The first is held inside its
// search by a word list on a pipe the test keeps open.
TEST_F(CliRecover, OneRunASessionAtATime) {
  const std::string message = Sealed("m.b64", u"absent", u"");
  const std::string session = Path("held.session").string();
  const std::vector<std::string> search = {"--wordlist", "-", "-q", "--session", session, message};
  Child first = Start(search, Out::kFile, dir_, "", true);
  ASSERT_GT(first.pid, 0);
  ASSERT_EQ(::write(first.input, "w1\nw2\n", 6), 6);
  // The session is saved once the lock is held and before the first word
  // is read. (A guard, not a timing: a run that never saves fails the test
  // after a minute instead of hanging it.)
  for (int round = 0; round < 6000 && !fs::exists(session); ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(fs::exists(session));
  const fs::path second = Path("second");
  fs::create_directory(second);
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {{"a new search", search}, {"a restore", {"--restore", session, "-q"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome refused = RunIn(c.args, second);
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_NE(refused.err.find(session + " is in use by another trirotor recover"), std::string::npos) << refused.err;
  }
  const Outcome ended = Finish(first, dir_);
  EXPECT_EQ(ended.status, 3) << ended.err;
  EXPECT_FALSE(fs::exists(session + ".lock"));
  const Outcome after = RunIn(search, second);
  EXPECT_EQ(after.status, 3) << after.err;
}

// A fixed suffix from a file or a variable, kept out of the process list;
// a session under one takes it again from any of them.
TEST_F(CliRecover, FixedSuffixesFromEverySource) {
  const std::string found = Sealed("found.b64", u"k7", u"s\u00e9cret");
  const std::string absent = Sealed("absent.b64", u"absent", u"s\u00e9cret");
  const std::string secret = "s\u00e9cret";
  const std::string file = File("suffix.txt", "\xef\xbb\xbf" + secret + "\r\n");  // as an editor saves it
  const std::string session = Path("f.session").string();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out, says;
  };
  const std::vector<std::string> mask = {"--mask", "k?d", "-q", "--session", session};
  const auto with = [&](std::vector<std::string> more, const std::string& message) {
    std::vector<std::string> args = mask;
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(message);
    return args;
  };
  const std::string line = "k7\t" + secret + "\n";
  // clang-format off
  const Case cases[] = {
      {"--suffix", with({"--suffix", secret}, found), 0, line, ""},
      {"--suffix-file", with({"--suffix-file", file}, found), 0, line, ""},
      {"--suffix-env", with({"--suffix-env", "RECOVER_TEST_SUFFIX"}, found), 0, line, ""},
      {"an unset variable", with({"--suffix-env", "RECOVER_TEST_UNSET"}, found), 2, "", "the variable RECOVER_TEST_UNSET is not set"},
      {"a session to restore", with({"--suffix-file", file}, absent), 3, "", ""},
      {"restored without its suffix", {"--restore", session}, 1, "", "searches under a fixed suffix, which it does not store: give it again"},
      {"restored with its suffix from a variable", {"--restore", session, "--suffix-env", "RECOVER_TEST_SUFFIX"}, 3, "", ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.args.front() != "--restore") fs::remove(session);
    std::vector<std::string> args = {"recover"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome run = RunTool(TRIROTOR_CLI, {.args = args, .env = {{"RECOVER_TEST_SUFFIX", secret}}});
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    if (fs::exists(session)) {
      EXPECT_EQ(ReadFile(session).find("cret"), std::string::npos) << "the suffix is never stored";
    }
  }
  const Outcome help = Recover({"--help"});
  EXPECT_NE(help.out.find("process list: prefer --suffix-file or --suffix-env"), std::string::npos) << help.out;
}

// A session holds nothing made from its fixed suffix, not even a check
// (a short suffix is found from a check offline): the same search under two
// suffixes saves the very same session, and a restored search runs under
// the suffix it is given.
TEST_F(CliRecover, ASessionHoldsNothingOfItsSuffix) {
  using nlohmann::json;
  const std::string message = Sealed("m.b64", u"k7", u"right");
  const std::string session = Path("m.session").string();
  const auto search = [&](std::vector<std::string> more) {
    std::vector<std::string> args = {"--mask", "k?d", "-q", "--session", session};
    args.insert(args.end(), more.begin(), more.end());
    args.push_back(message);
    return Recover(args);
  };
  ASSERT_EQ(search({"--suffix", "wrong"}).status, 3);
  const std::string underWrong = ReadFile(session);
  ASSERT_EQ(search({"--suffix", "wr0ng!"}).status, 3);
  EXPECT_EQ(ReadFile(session), underWrong) << "two suffixes, one session";
  EXPECT_EQ(underWrong.find("suffix_check"), std::string::npos);
  // Stopped before its first candidate, then restored under the right suffix.
  json j = json::parse(underWrong);
  j["standing"]["frontier"] = 0, j["standing"].erase("complete");
  WriteFile(session, j.dump(1));
  const Outcome restored = Recover({"--restore", session, "-q", "--suffix", "right"});
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(restored.out, "k7\tright\n");
}

// Counts, times and errors in plain words: one candidate is one, a
// century is not "about", a bad interval is one short line; the top help
// names recover's.
TEST_F(CliRecover, CountsAndTimesInPlainWords) {
  const std::string message = Sealed("m.b64", u"absent", u"");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string says, never;
  };
  // clang-format off
  const Case cases[] = {
      {"one candidate, counted", {"--mask", "k", "--dry-run"}, 0, "1 candidate; ", "candidates"},
      {"one candidate, tried", {"--mask", "k"}, 3, "the one candidate does not open the message", "1 candidates"},
      {"more than a century", {"--mask", "?b?b?b?b?b?b?b?a", "--dry-run"}, 0, "; more than 100 years on ", "about more"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--session", Path("c.session").string(), message});
    const Outcome run = Recover(args);
    EXPECT_EQ(run.status, c.status) << run.err;
    const std::string said = run.out + run.err;
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(said.find(c.never), std::string::npos) << said;
    fs::remove(Path("c.session"));
  }
  const Outcome top = RunTool(TRIROTOR_CLI, {.args = {"--help"}});
  EXPECT_NE(top.out.find("'trirotor recover --help'"), std::string::npos) << top.out;
}

}  // namespace
}  // namespace trirotor::test

#endif  // TRIROTOR_CLI
