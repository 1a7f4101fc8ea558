// SPDX-License-Identifier: MIT
//
// cli_archive_test.cpp - decode --output-dir over folders: a generated tree
// of about a thousand messages of every kind against the outputs and report
// lines it must give (the report checked against its schema and against
// sha256sum), which files a walk takes, runs stopped at random points and
// resumed, the key ring's line in the report, and --verify.

#ifdef TRIROTOR_CLI

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
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
using Json = nlohmann::json;
using test::Narrow;
using test::Outcome;
using test::ReadFile;
using test::RunTool;
using test::WriteFile;

constexpr FrameHeader kHeader = {0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 0x5C, 0xC5};
const std::string kSchema = std::string(TRIROTOR_SOURCE_DIR) + "/docs/report.schema.json";

std::string Sealed(const std::string& text, std::u16string_view key) {
  return Narrow(EncodeText(test::Text(text), key, u"", kHeader, 76)) + "\n";
}

std::vector<Json> ReportLines(const fs::path& report) {
  std::vector<Json> lines;
  std::istringstream in(ReadFile(report));
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  return lines;
}

// Every regular file under `dir` with its bytes: temporary files left
// behind would show here too.
std::map<std::string, std::string> Tree(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), dir).string()] = ReadFile(entry.path());
  }
  return files;
}

class CliArchiveTest : public test::ToolTest {
 protected:
  Outcome Decode(std::vector<std::string> args) {
    args.insert(args.begin(), {"decode", "--key", "k"});
    return RunTool(TRIROTOR_CLI, {.args = args});
  }
  std::string In(const std::string& relative) {
    fs::create_directories(Path("in/" + relative).parent_path());
    return Path("in/" + relative).string();
  }
};

/// The tree ///

// What each kind of file in the tree must become.
struct Kind {
  const char* name;
  int count;
  const char* outcome;
  int status;
  std::function<std::string(int)> path;      // under in/
  std::function<std::string(int)> contents;  // "" for a file the row makes itself
  std::function<std::string(int)> text;      // what its output holds; nullptr: no output
};

// `good` messages that open among the rest.
std::vector<Kind> TreeKinds(int good = 900) {
  const auto name = [](std::string pattern) {
    return [pattern](int i) {
      std::string p = pattern;
      for (const auto& [mark, value] : {std::pair<std::string, int>{"{i}", i}, {"{y}", i % 10}, {"{m}", i % 3}}) {
        for (std::size_t at; (at = p.find(mark)) != std::string::npos;) p.replace(at, mark.size(), std::to_string(value));
      }
      return p;
    };
  };
  const auto goodText = [](int i) { return "text " + std::to_string(i) + " of the archive\n"; };
  return {
      {"good", good, "opened", 0, name("{y}/m{m}/good{i}.b64"), [=](int i) { return Sealed(goodText(i), u"k"); }, goodText},
      {"wrong key", 30, "wrong key or suffix", 3, name("{y}/wrong{i}.b64"),
       [](int i) { return Sealed("other " + std::to_string(i), u"other"); }, nullptr},
      {"damaged", 20, "damaged", 5, name("damaged/d{i}.b64"),
       [](int) { return Narrow(test::SealContainer(test::UnknownVersion(), u"k")); }, nullptr},
      {"checksum", 10, "checksum mismatch", 4, name("sums/s{i}.b64"),
       [](int) { return Narrow(test::SealContainer(test::WithBadChecksum("sum sum sum sum sum"), u"k")); },
       [](int) { return std::string("sum sum sum sum sum"); }},
      // Cut at its middle: the frame's trailer is gone.
      {"cut", 10, "wrong key or suffix", 3, name("cut/c{i}.b64"),
       [=](int i) {
         const std::string whole = Sealed(goodText(i) + std::string(200, 'x'), u"k");
         return whole.substr(0, whole.size() / 2);
       },
       nullptr},
      {"binary", 5, "not a message", 3, name("junk/j{i}.bin"),
       [](int i) {
         std::mt19937 random(static_cast<std::uint32_t>(test::Seed() + static_cast<std::uint64_t>(i)));
         std::string bytes(300, '\0');
         for (std::size_t b = 0; b < bytes.size(); b += 2) bytes[b] = static_cast<char>(random());
         return bytes;
       },
       nullptr},
      {"no base64 group", 5, "not a message", 3, name("junk/note{i}.txt"), [](int) { return std::string("-- == --\n"); },
       nullptr},
      {"a link to nothing", 1, "unreadable", 2, name("dangling.b64"), nullptr, nullptr},
      // As root a file closed to everyone still reads: the link above is
      // the unreadable file there.
      {"closed to us", ::geteuid() == 0 ? 0 : 1, "unreadable", 2, name("closed.b64"), nullptr, nullptr},
      {"a link back up", 1, "skipped", 0, name("0/loop"), nullptr, nullptr},
      {"a FIFO", 1, "skipped", 0, name("1/pipe.b64"), nullptr, nullptr},
  };
}

// The tree's files; the special ones made by their row's name.
void MakeTree(CliArchiveTest& test, const std::vector<Kind>& kinds,
              const std::function<std::string(const std::string&)>& in) {
  for (const Kind& kind : kinds) {
    for (int i = 0; i < kind.count; ++i) {
      const std::string path = in(kind.path(i));
      const std::string what = kind.name;
      if (kind.contents) {
        WriteFile(path, kind.contents(i));
      } else if (what == "a link to nothing") {
        fs::create_symlink("nowhere.b64", path);
      } else if (what == "a link back up") {
        fs::create_directory_symlink("..", path);
      } else if (what == "closed to us") {
        WriteFile(path, Sealed("closed", u"k"));
        fs::permissions(path, fs::perms::none);
      } else if (what == "a FIFO") {
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
      }
    }
  }
  (void)test;
}

// sha256sum's digests of the files, by path.
std::map<std::string, std::string> Sha256Sums(const std::vector<std::string>& files) {
  std::map<std::string, std::string> sums;
  const Outcome got = RunTool("/usr/bin/sha256sum", {.args = files});
  std::istringstream in(got.out);
  for (std::string sum, path; in >> sum >> path;) sums[path] = sum;
  return sums;
}

// Each line of the report against docs/report.schema.json; "" when all hold.
std::string SchemaBreaches(const fs::path& report) {
  const char* check = R"PY(
import json, sys, jsonschema
schema = json.load(open(sys.argv[1]))
jsonschema.Draft7Validator.check_schema(schema)
validator = jsonschema.Draft7Validator(schema)
for number, line in enumerate(open(sys.argv[2]), 1):
    for error in validator.iter_errors(json.loads(line)):
        print(f"line {number}: {error.message}")
)PY";
  const Outcome got = RunTool("/usr/bin/python3", {.args = {"-c", check, kSchema, report.string()}});
  return got.status == 0 ? got.out : "python3 failed: " + got.err;
}

TEST_F(CliArchiveTest, TreeGivesItsOutputsAndReportLines) {
  const std::vector<Kind> kinds = TreeKinds();
  MakeTree(*this, kinds, [&](const std::string& relative) { return In(relative); });
  fs::create_directory(Path("out"));
  const Outcome got = Decode({"-r", "--follow-symlinks", "-j", "2", "--output-dir", Path("out").string(), "--report",
                              Path("report.jsonl").string(), Path("in").string()});
  EXPECT_EQ(got.status, 5) << got.err;  // the worst: a damaged message

  const std::vector<Json> lines = ReportLines(Path("report.jsonl"));
  ASSERT_FALSE(lines.empty());
  std::map<std::string, Json> byPath;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["kind"], "input");
    EXPECT_EQ(lines[i]["inputIndex"], i);  // input order
    EXPECT_EQ(lines[i]["inputRoot"], Path("in").string());
    EXPECT_TRUE(byPath.emplace(lines[i]["path"].get<std::string>(), lines[i]).second) << lines[i]["path"];
  }
  std::map<std::string, std::string> expectedOut;
  std::vector<std::string> hashed;
  std::size_t inputs = 0;
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    for (int i = 0; i < kind.count; ++i) {
      ++inputs;
      const std::string path = kind.path(i);
      ASSERT_EQ(byPath.count(path), 1u) << path;
      const Json& line = byPath[path];
      EXPECT_EQ(line["eventOutcome"], kind.outcome) << path << ": " << line.dump();
      EXPECT_EQ(line["exitStatus"], kind.status) << path;
      EXPECT_EQ(line.contains("outputSha256"), kind.text != nullptr) << path;
      if (kind.contents) hashed.push_back(Path("in/" + path).string());
      if (!kind.text) continue;
      const std::string output = path.substr(0, path.rfind('.')) + ".txt";
      EXPECT_EQ(line["outputPath"], output);
      EXPECT_EQ(line["outputSize"], kind.text(i).size());
      expectedOut[output] = kind.text(i);
      hashed.push_back(Path("out/" + output).string());
    }
  }
  EXPECT_EQ(byPath.size(), inputs);
  const int unreadable = ::geteuid() == 0 ? 1 : 2;
  EXPECT_EQ(Tree(Path("out")), expectedOut);  // every text, and nothing else

  // The recorded digests are those of the files, by another program.
  const std::map<std::string, std::string> sums = Sha256Sums(hashed);
  ASSERT_EQ(sums.size(), hashed.size());
  for (const auto& [path, line] : byPath) {
    if (line.contains("sha256")) {
      EXPECT_EQ(line["sha256"], sums.at(Path("in/" + path).string())) << path;
    }
    if (line.contains("outputSha256")) {
      EXPECT_EQ(line["outputSha256"], sums.at(Path("out/" + line["outputPath"].get<std::string>()).string())) << path;
    }
  }
  EXPECT_EQ(SchemaBreaches(Path("report.jsonl")), "");

  const Json& summary = lines.back();
  EXPECT_EQ(summary["kind"], "summary");
  EXPECT_EQ(summary["eventOutcome"], "completed");
  EXPECT_EQ(summary["files"], inputs);
  EXPECT_EQ(summary["outcomes"]["opened"], 900);
  EXPECT_EQ(summary["outcomes"]["wrong key or suffix"], 40);
  EXPECT_EQ(summary["exitStatus"], 5);
  EXPECT_NE(got.err.find("trirotor: 900 opened, " + std::to_string(unreadable + 70) +
                         " failed (40 wrong key or suffix, 20 damaged, 10 checksum mismatch, " +
                         std::to_string(unreadable) + " unreadable; 10 not a message, 2 skipped)\n"),
            std::string::npos)
      << got.err;
  EXPECT_NE(got.err.find("0/loop: a link back to a folder above it (a loop)"), std::string::npos) << got.err;
}

/// Which files a walk takes ///

TEST_F(CliArchiveTest, WalkTakesWhatTheRulesSay) {
  for (const char* name : {"a.b64", "b.msg", "n.txt", "sub/c.b64", "sub/deep/d.b64", "skip/e.b64"}) {
    WriteFile(In(name), Sealed(name, u"k"));
  }
  fs::create_directory_symlink("sub", Path("in/link"));
  WriteFile(In("../other/a.b64"), Sealed("twin", u"k"));
  WriteFile(Path("old.jsonl"), "");
  fs::create_directory_symlink("out", Path("outlink"));
  const std::string in = Path("in").string(), out = Path("out").string();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> taken;  // in report order; a trailing '!' for skipped
    const char* errHas;
  };
  const Case cases[] = {
      {"a folder without -r gives its own files", {in}, 0, {"a.b64", "b.msg", "n.txt"}, "3 opened, 0 failed"},
      {"-r goes down; a linked folder is not entered",
       {"-r", in},
       0,
       {"a.b64", "b.msg", "link!", "n.txt", "skip/e.b64", "sub/c.b64", "sub/deep/d.b64"},
       "a link to a folder, not followed without --follow-symlinks"},
      {"--follow-symlinks enters it once",
       {"-r", "--follow-symlinks", in},
       0,
       {"a.b64", "b.msg", "link/c.b64", "link/deep/d.b64", "n.txt", "skip/e.b64", "sub!"},
       "a folder already walked by another way"},
      {"--include by name", {"-r", "--include", "*.b64", in}, 0, {"a.b64", "link!", "skip/e.b64", "sub/c.b64", "sub/deep/d.b64"}, ""},
      {"--include by path", {"-r", "--include", "sub/*", in}, 0, {"link!", "sub/c.b64"}, ""},
      {"--exclude a folder by name", {"-r", "--exclude", "skip", "--exclude", "link", in}, 0, {"a.b64", "b.msg", "n.txt", "sub/c.b64", "sub/deep/d.b64"}, ""},
      {"--exclude by path prunes below", {"-r", "--exclude", "sub/*", "--exclude", "link", in}, 0, {"a.b64", "b.msg", "n.txt", "skip/e.b64"}, ""},
      {"two inputs for one output", {in, Path("other").string()}, 1, {}, "would both be written to"},
      {"an output that is an input", {"--output-dir", in, in}, 1, {}, "is one of the inputs: refusing to write over it"},
      {"a report that exists", {"--report", Path("old.jsonl").string(), in}, 1, {}, "exists: give --resume"},
      {"an output that is the report by another way", {"--report", Path("outlink/a.txt").string(), in}, 1, {}, "would be written over by"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(out);
    fs::create_directory(out);
    fs::remove(Path("r.jsonl"));
    std::vector<std::string> args = c.args;
    if (std::find(args.begin(), args.end(), "--output-dir") == args.end()) args.insert(args.begin(), {"--output-dir", out});
    if (std::find(args.begin(), args.end(), "--report") == args.end()) {
      args.insert(args.begin(), {"--report", Path("r.jsonl").string()});
    }
    const Outcome got = Decode(args);
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
    if (c.status == 1) {
      // Refused before any work: nothing written, no report begun.
      EXPECT_TRUE(fs::is_empty(out));
      EXPECT_FALSE(fs::exists(Path("r.jsonl")));
      continue;
    }
    std::vector<std::string> taken;
    for (const Json& line : ReportLines(Path("r.jsonl"))) {
      if (line["kind"] == "input") taken.push_back(line["path"].get<std::string>() + (line["eventOutcome"] == "skipped" ? "!" : ""));
    }
    EXPECT_EQ(taken, c.taken);
  }
}

/// Resuming ///

// A run stopped at a random point of its progress by SIGINT or SIGKILL,
// then resumed, ends with the outputs of a run never stopped and each input
// once in the report. The stop comes once the report holds a random number
// of lines, not after a time, so a loaded machine cannot move it.
TEST_F(CliArchiveTest, ResumeAfterAStopEqualsAWholeRun) {
  const std::vector<Kind> kinds = TreeKinds(200);
  MakeTree(*this, kinds, [&](const std::string& relative) { return In(relative); });
  const std::vector<std::string> rest = {"-r", "-j", "2", "--quiet", Path("in").string()};
  const auto run = [&](const std::string& out, const std::string& report, bool resume) {
    std::vector<std::string> args = {"decode", "--key", "k", "--output-dir", out, "--report", report};
    if (resume) args.push_back("--resume");
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  };
  fs::create_directory(Path("whole"));
  const Outcome whole = RunTool(TRIROTOR_CLI, {.args = run(Path("whole").string(), Path("whole.jsonl").string(), false)});
  ASSERT_EQ(whole.status, 5) << whole.err;
  const std::map<std::string, std::string> expected = Tree(Path("whole"));
  std::size_t inputs = 0;
  for (const Kind& kind : kinds) inputs += static_cast<std::size_t>(kind.count);

  std::mt19937_64 random(test::Seed());
  const int signals[] = {SIGINT, SIGKILL, SIGINT, SIGKILL};
  int interrupted = 0;
  for (std::size_t round = 0; round < std::size(signals); ++round) {
    const int signo = signals[round];
    const std::size_t after = 1 + random() % (inputs - 1);  // report lines
    SCOPED_TRACE(std::string(signo == SIGINT ? "SIGINT" : "SIGKILL") + " after " + std::to_string(after) + " lines");
    const std::string out = Path("out" + std::to_string(round)).string();
    const std::string report = Path("r" + std::to_string(round) + ".jsonl").string();
    fs::create_directory(out);
    std::vector<std::string> args = run(out, report, false);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::dup2(::open("/dev/null", O_WRONLY), 2);
      std::vector<char*> argv{const_cast<char*>(TRIROTOR_CLI)};
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(TRIROTOR_CLI, argv.data());
      ::_exit(127);
    }
    // Lines are whole when they land (one write each), so counting ends
    // of lines counts lines; the run may also end first.
    const auto linesSoFar = [&] {
      const std::string text = fs::exists(report) ? ReadFile(report) : "";
      return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    };
    const auto ended = [&] {
      siginfo_t info{};
      return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
    };
    while (linesSoFar() < after && !ended()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(pid, signo);
    int wstatus = 0;
    ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
    // Stopped (130 after its own handler, or by the signal), or done first.
    const int stopped = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus);
    EXPECT_TRUE(stopped == 5 || stopped == 130 || stopped == 1000 + signo) << stopped;

    if (stopped == 130) {
      // Its own stop: the lines done, a summary that says so, no temporary
      // file. (A stop while the folders are still being read has begun no
      // report.)
      if (fs::exists(report)) {
        const std::vector<Json> before = ReportLines(report);
        ASSERT_FALSE(before.empty());
        EXPECT_EQ(before.back()["eventOutcome"], "interrupted");
      }
      for (const auto& [name, bytes] : Tree(out)) EXPECT_EQ(name.find(".trirotor-"), std::string::npos) << name;
    }
    // What a kill between a temporary file's making and its rename leaves.
    fs::create_directories(fs::path(out) / "0/m0");
    WriteFile(fs::path(out) / "0/m0/.good0.txt.trirotor-Zz9Yx8", "half a te");
    const Outcome resumed = RunTool(TRIROTOR_CLI, {.args = run(out, report, true)});
    EXPECT_EQ(resumed.status, 5) << resumed.err;
    EXPECT_EQ(Tree(out), expected);  // no half-written or temporary file either
    std::map<std::string, int> seen;
    const std::vector<Json> lines = ReportLines(report);
    for (const Json& line : lines) {
      if (line["kind"] == "input") ++seen[line["path"].get<std::string>()];
    }
    EXPECT_EQ(seen.size(), inputs);
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](const auto& entry) { return entry.second == 1; }));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["kind"], "summary");
    EXPECT_EQ(lines.back()["eventOutcome"], "completed");
    EXPECT_EQ(lines.back()["outcomes"]["opened"], 200);
    interrupted += stopped != 5 ? 1 : 0;
  }
  EXPECT_GT(interrupted, 0) << "no round stopped the run before its end";
}

/// Progress and the summary line ///

TEST_F(CliArchiveTest, ProgressAndSummaryOnStandardError) {
  for (int i = 0; i < 3; ++i) WriteFile(In("m" + std::to_string(i) + ".b64"), Sealed("text", u"k"));
  WriteFile(In("w.b64"), Sealed("text", u"other"));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> has;  // in this order
    std::vector<std::string> hasNot;
  };
  const std::string summary = "trirotor: 3 opened, 1 failed (1 wrong key or suffix)\n";
  const Case cases[] = {
      {"--progress, not a terminal: a line a second, and the last",
       {"--progress"},
       {"w.b64: Failed decoding the text (Error 33)", "] 4/4 files  ", "of ", " 1 failed\n", summary},
       {"\r", "\033"}},
      {"by default off a terminal: no bar", {}, {"w.b64: Failed", summary}, {"files  "}},
      {"--quiet: the failure only", {"--quiet"}, {"w.b64: Failed"}, {"files  ", "opened"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Path("out"));
    fs::create_directory(Path("out"));
    std::vector<std::string> args = {"-j", "1", "--output-dir", Path("out").string(), Path("in").string()};
    args.insert(args.begin(), c.args.begin(), c.args.end());
    const Outcome got = Decode(args);
    EXPECT_EQ(got.status, 3) << got.err;
    std::size_t at = 0;
    for (const std::string& has : c.has) {
      at = got.err.find(has, at);
      ASSERT_NE(at, std::string::npos) << has << "\n"
                                       << got.err;
    }
    for (const std::string& hasNot : c.hasNot) EXPECT_EQ(got.err.find(hasNot), std::string::npos) << hasNot;
  }
}

/// The key ring ///

TEST_F(CliArchiveTest, KeyRingLineIsRecordedNeverTheKey) {
  WriteFile(In("a.b64"), Sealed("first", u"Sesame-Key-77"));
  WriteFile(In("b.b64"), Sealed("second", u"Older-Key-12"));
  WriteFile(In("c.b64"), Sealed("third", u"Nobody-Has-It"));
  WriteFile(Path("ring"), "# current\nSesame-Key-77\n\n# old\nOlder-Key-12\n");
  fs::create_directory(Path("out"));
  const Outcome got = RunTool(TRIROTOR_CLI, {.args = {"decode", "--keyring", Path("ring").string(), "--output-dir",
                                                      Path("out").string(), "--report", Path("r.jsonl").string(),
                                                      Path("in").string()}});
  EXPECT_EQ(got.status, 3) << got.err;
  const std::vector<Json> lines = ReportLines(Path("r.jsonl"));
  ASSERT_EQ(lines.size(), 4u);
  struct Want {
    const char* outcome;
    int line;  // 0: none
    const char* comment;
  };
  const Want want[] = {{"opened", 2, "current"}, {"opened", 5, "old"}, {"wrong key or suffix", 0, ""}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(lines[i]["eventOutcome"], want[i].outcome);
    EXPECT_EQ(lines[i].value("keyringLine", 0), want[i].line);
    EXPECT_EQ(lines[i].value("keyringComment", std::string()), want[i].comment);
  }
  EXPECT_EQ(ReadFile(Path("out/b.txt")), "second");
  const std::string text = ReadFile(Path("r.jsonl")) + got.err;
  for (const char* key : {"Sesame", "Older-Key", "Nobody-Has"}) EXPECT_EQ(text.find(key), std::string::npos) << key;
  EXPECT_EQ(SchemaBreaches(Path("r.jsonl")), "");
}

/// Verifying ///

TEST_F(CliArchiveTest, VerifyFindsChangedAndMissingOutputs) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;  // given the scratch folder
    int status;
    std::vector<std::string> listed;  // standard output's lines, in report order
  };
  const Case cases[] = {
      {"untouched", [](const fs::path&) {}, 0, {}},
      {"a changed output", [](const fs::path& t) { WriteFile((t / "out/x/b.txt"), "bee"); }, 4, {"changed: out/x/b.txt"}},
      {"a missing output", [](const fs::path& t) { fs::remove((t / "out/a.txt")); }, 2, {"missing: out/a.txt"}},
      {"both: the worst status",
       [](const fs::path& t) {
         fs::remove((t / "out/a.txt"));
         WriteFile((t / "out/x/b.txt"), "bee");
       },
       4,
       {"missing: out/a.txt", "changed: out/x/b.txt"}},
      {"an input that now decodes to another text",
       [](const fs::path& t) { WriteFile((t / "in/x/b.b64"), Sealed("another b", u"k")); },
       4,
       {"differs: in/x/b.b64"}},
      {"an input gone", [](const fs::path& t) { fs::remove((t / "in/a.b64")); }, 2, {"unreadable: in/a.b64"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Path("in"));
    fs::remove_all(Path("out"));
    fs::remove(Path("r.jsonl"));
    WriteFile(In("a.b64"), Sealed("a", u"k"));
    WriteFile(In("x/b.b64"), Sealed("b", u"k"));
    WriteFile(In("x/wrong.b64"), Sealed("w", u"other"));  // no output: nothing to verify
    fs::create_directory(Path("out"));
    ASSERT_EQ(Decode({"-r", "--output-dir", Path("out").string(), "--report", Path("r.jsonl").string(), Path("in").string()})
                  .status,
              3);
    c.change(dir_);
    const std::map<std::string, std::string> changed = Tree(Path("out"));
    const Outcome got = Decode({"--verify", Path("r.jsonl").string()});
    EXPECT_EQ(got.status, c.status) << got.out << got.err;
    // "changed: /tmp/.../out/x/b.txt (SHA-256 ...)" begins "changed: out/x/b.txt".
    std::vector<std::string> listed;
    std::istringstream out(got.out);
    for (std::string line; std::getline(out, line);) {
      const std::size_t at = line.find(dir_.string() + "/");
      if (at != std::string::npos) line.erase(at, dir_.string().size() + 1);
      listed.push_back(line);
    }
    ASSERT_EQ(listed.size(), c.listed.size()) << got.out;
    for (std::size_t i = 0; i < listed.size(); ++i) EXPECT_TRUE(listed[i].starts_with(c.listed[i])) << listed[i];
    EXPECT_EQ(Tree(Path("out")), changed);  // verify writes nothing
  }
}

}  // namespace
}  // namespace trirotor

#endif  // TRIROTOR_CLI
