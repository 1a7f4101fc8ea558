// SPDX-License-Identifier: MIT
//
// cli_archive_test.cpp - decode --output-dir over folders: a generated tree
// of about a thousand messages of every kind against the outputs and report
// lines it must give (the report checked against its schema and against
// sha256sum), which files a walk takes, runs stopped at random points and
// resumed, the key ring's line in the report, and --verify.

#ifdef TRIROTOR_CLI

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/sha256.h"
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
        for (std::size_t at; (at = p.find(mark)) != std::string::npos;)
          p.replace(at, mark.size(), std::to_string(value));
      }
      return p;
    };
  };
  const auto goodText = [](int i) { return "text " + std::to_string(i) + " of the archive\n"; };
  return {
      {"good", good, "opened", 0, name("{y}/m{m}/good{i}.b64"), [=](int i) { return Sealed(goodText(i), u"k"); },
       goodText},
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
      {"no base64 group", 5, "not a message", 3, name("junk/note{i}.txt"),
       [](int) { return std::string("-- == --\n"); }, nullptr},
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
  // clang-format off
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
      {"an output that is an input", {"--output-dir", in, in + "/n.txt"}, 1, {}, "is one of the inputs: refusing to write over it"},
      {"an output folder that is the input folder", {"--output-dir", in, in}, 1, {}, "is the input folder"},
      {"a report that exists", {"--report", Path("old.jsonl").string(), in}, 1, {}, "exists: give --resume"},
      {"an output that is the report by another way", {"--report", Path("outlink/a.txt").string(), in}, 1, {}, "would be written over by"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(out);
    fs::create_directory(out);
    fs::remove(Path("r.jsonl"));
    std::vector<std::string> args = c.args;
    if (std::find(args.begin(), args.end(), "--output-dir") == args.end())
      args.insert(args.begin(), {"--output-dir", out});
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
      if (line["kind"] == "input")
        taken.push_back(line["path"].get<std::string>() + (line["eventOutcome"] == "skipped" ? "!" : ""));
    }
    EXPECT_EQ(taken, c.taken);
  }
}

/// Where the texts and the report go ///

// The text with the scratch folder's name left out of it:
// "changed: /tmp/.../out/x/b.txt" becomes "changed: out/x/b.txt".
std::string Unrooted(std::string text, const fs::path& dir) {
  const std::string root = dir.string() + "/";
  for (std::size_t at; (at = text.find(root)) != std::string::npos;) text.erase(at, root.size());
  return text;
}

// Every line of standard output, with the scratch folder's name left out.
std::vector<std::string> Listed(const std::string& out, const fs::path& dir) {
  std::vector<std::string> listed;
  std::istringstream in(Unrooted(out, dir));
  for (std::string line; std::getline(in, line);) listed.push_back(line);
  return listed;
}

// Every entry under `dir`, links not followed: its kind, and a file's bytes.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const fs::file_type type = entry.symlink_status().type();
    std::string what = std::to_string(static_cast<int>(type));
    if (type == fs::file_type::regular) what += ":" + ReadFile(entry.path());
    entries[fs::relative(entry.path(), dir).string()] = what;
  }
  return entries;
}

// A socket file at `path`, as a server leaves it.
void MakeSocket(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
}

TEST_F(CliArchiveTest, RefusedBeforeAnyWorkWhateverTheJobs) {
  struct Case {
    const char* name;
    std::vector<std::string> messages;          // under in/
    std::function<void(const fs::path&)> make;  // anything else, given the scratch folder
    std::vector<std::string> args;              // "--output-dir out" and "--report r.jsonl" unless given
    int status;
    const char* errHas;  // the scratch folder's name left out
  };
  const auto none = [](const fs::path&) {};
  // clang-format off
  const Case cases[] = {
      {"a file and a folder that need one name", {"x.b64", "x.txt/m.b64"}, none, {}, 1, "in/x.b64 would be written to out/x.txt, which in/x.txt/m.b64 needs as a folder"},
      {"a folder, then a file that needs its name", {"m.txt/x.b64", "m.zz"}, none, {}, 1, "in/m.zz would be written to out/m.txt, which in/m.txt/x.b64 needs as a folder"},
      {"a text's name over 255 bytes", {std::string(253, 'n') + ".b"}, none, {}, 1, "257 bytes, over the 255 a name may have"},
      {"--output-dir a file", {"a.b64"}, [](const fs::path& t) { WriteFile(t / "out", "a file"); }, {}, 2, "--output-dir out is a file, not a folder"},
      {"--output-dir a link to nothing", {"a.b64"}, [](const fs::path& t) { fs::create_symlink("nowhere", t / "out"); }, {}, 2, "--output-dir out is a link to nothing, not a folder"},
      {"--report a folder", {"a.b64"}, [](const fs::path& t) { fs::create_directory(t / "r.jsonl"); }, {}, 2, "--report r.jsonl is a folder: name a file for the report"},
      {"--report a link to nothing", {"a.b64"}, [](const fs::path& t) { fs::create_symlink("gone", t / "r.jsonl"); }, {}, 2, "--report r.jsonl is a link to nothing"},
      {"--report a socket", {"a.b64"}, [](const fs::path& t) { MakeSocket(t / "r.jsonl"); }, {}, 2, "--report r.jsonl is a socket"},
      {"--report in a folder not there", {"a.b64"}, none, {"--report", Path("no/r.jsonl").string()}, 2, "--report: cannot write no/r.jsonl"},
      {"--resume with --report -", {"a.b64"}, none, {"--report", "-", "--resume"}, 1, "--resume goes on with a report kept in a file; --report - is standard output"},
  };
  // clang-format on
  for (const Case& c : cases) {
    for (const char* jobs : {"1", "2"}) {
      SCOPED_TRACE(std::string(c.name) + ", -j " + jobs);
      fs::remove_all(Path("in"));
      for (const std::string& message : c.messages) WriteFile(In(message), Sealed(message, u"k"));
      c.make(dir_);
      std::vector<std::string> args = c.args;
      if (std::find(args.begin(), args.end(), "--output-dir") == args.end())
        args.insert(args.end(), {"--output-dir", Path("out").string()});
      if (std::find(args.begin(), args.end(), "--report") == args.end())
        args.insert(args.end(), {"--report", Path("r.jsonl").string()});
      args.insert(args.end(), {"-r", "-j", jobs, Path("in").string()});
      const std::map<std::string, std::string> before = Snapshot(dir_);
      const Outcome got = Decode(args);
      EXPECT_EQ(got.status, c.status) << got.err;
      EXPECT_NE(Unrooted(got.err, dir_).find(c.errHas), std::string::npos) << got.err;
      EXPECT_EQ(got.out, "");
      EXPECT_EQ(Snapshot(dir_), before);  // nothing made, nothing written
      for (const char* made : {"out", "r.jsonl"}) fs::remove_all(Path(made));
    }
  }
}

TEST_F(CliArchiveTest, TextsAndReportGoWhereTheirNamesSay) {
  WriteFile(In("a.b64"), Sealed("a", u"k"));
  WriteFile(In("x/b.b64"), Sealed("b", u"k"));
  struct Case {
    const char* name;
    std::string report;  // --report
    const char* texts;   // --output-dir, under the scratch folder
    bool reportOnStandardOutput;
    const char* errHas;
  };
  const Case cases[] = {
      {"an --output-dir not there yet is made, and said", Path("r.jsonl").string(), "new/texts", false,
       "--output-dir new/texts did not exist: made it\ntrirotor: 2 opened, 0 failed\n"},
      {"--report - is standard output", "-", "o2", true, "2 opened"},
      {"--report /dev/stdout is standard output", "/dev/stdout", "o3", true, "2 opened"},
      {"--report /dev/null is written as a device", "/dev/null", "o4", false, "2 opened"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome got =
        Decode({"-r", "--output-dir", Path(c.texts).string(), "--report", c.report, Path("in").string()});
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_NE(Unrooted(got.err, dir_).find(c.errHas), std::string::npos) << got.err;
    EXPECT_EQ(Tree(Path(c.texts)), (std::map<std::string, std::string>{{"a.txt", "a"}, {"x/b.txt", "b"}}));
    if (!c.reportOnStandardOutput) {
      EXPECT_EQ(got.out, "");
      continue;
    }
    std::vector<Json> lines;
    std::istringstream out(got.out);
    for (std::string line; std::getline(out, line);) lines.push_back(Json::parse(line));
    ASSERT_EQ(lines.size(), 3u) << got.out;
    EXPECT_EQ(lines[1]["path"], "x/b.b64");
    EXPECT_EQ(lines[2]["eventOutcome"], "completed");
  }
  EXPECT_EQ(SchemaBreaches(Path("r.jsonl")), "");
  EXPECT_FALSE(fs::exists("-"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// Folders one in another under `top`, each named `name`, made by
// descriptors: their path outgrows what the system takes by name.
void MakeChain(const fs::path& top, const std::string& name, int depth, const std::string& messageAt, int atDepth,
               const std::string& message) {
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int level = 1; level <= depth; ++level) {
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0700), 0) << level;
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(fd = next, 0);
    if (level != atDepth) continue;
    const int file = ::openat(fd, messageAt.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(::write(file, message.data(), message.size()), static_cast<ssize_t>(message.size()));
    ::close(file);
  }
  ::close(fd);
}

// Removes what MakeChain made, deepest first, by descriptors.
void RemoveChain(int parent, const std::string& name) {
  const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) return;
  DIR* folder = ::fdopendir(fd);
  std::vector<std::pair<std::string, bool>> entries;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string child = entry->d_name;
    if (child != "." && child != "..") entries.emplace_back(child, entry->d_type == DT_DIR);
  }
  for (const auto& [child, isFolder] : entries) {
    if (isFolder) RemoveChain(fd, child);
    ::unlinkat(fd, child.c_str(), isFolder ? AT_REMOVEDIR : 0);
  }
  ::closedir(folder);
}

// Paths are handed to the system whole: past its limit a folder is not
// walked, and an output is refused before any work.
TEST_F(CliArchiveTest, PathsPastTheSystemsLimit) {
  const std::string name(250, 'd');
  WriteFile(In("a.b64"), Sealed("a", u"k"));
  MakeChain(Path("in"), name, 18, "m.b64", 14, Sealed("deep", u"k"));
  const Outcome walked =
      Decode({"-r", "--output-dir", Path("out").string(), "--report", Path("r.jsonl").string(), Path("in").string()});
  EXPECT_EQ(walked.status, 2) << walked.err;  // the folder past the limit is unreadable
  std::map<std::string, std::string> outcomes;
  for (const Json& line : ReportLines(Path("r.jsonl"))) {
    if (line["kind"] == "input")
      outcomes[line["path"]] = line["eventOutcome"].get<std::string>() + ": " + line.value("eventOutcomeDetail", "");
  }
  std::string deep;
  for (int level = 0; level < 14; ++level) deep += name + "/";
  EXPECT_EQ(outcomes["a.b64"], "opened: ");
  EXPECT_EQ(outcomes[deep + "m.b64"], "opened: ");
  EXPECT_EQ(outcomes.size(), 3u);
  const std::string past =
      "unreadable: cannot open it: its path is longer than the 4095 bytes the system takes (PATH_MAX)";
  EXPECT_EQ(std::count_if(outcomes.begin(), outcomes.end(), [&](const auto& o) { return o.second.starts_with(past); }),
            1);

  // Texts under a longer folder would outgrow the limit: refused.
  const fs::path longOut = Path("long") / std::string(250, 'o') / std::string(250, 'o') / std::string(250, 'o');
  const Outcome refused = Decode({"-r", "--output-dir", longOut.string(), Path("in").string()});
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_NE(refused.err.find("over the 4095 the system takes: choose a shorter --output-dir"), std::string::npos)
      << refused.err;
  EXPECT_FALSE(fs::exists(Path("long")));

  const int scratch = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  for (const char* top : {"in", "out"}) RemoveChain(scratch, top);
  ::close(scratch);
}

/// Resuming ///

// Starts the tool with `args` and standard error on `errFd`; standard input
// and output are /dev/null.
pid_t Start(std::vector<std::string> args, int errFd) {
  // Made before the fork: the child only calls what is safe there.
  std::vector<char*> argv{const_cast<char*>(TRIROTOR_CLI)};
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::dup2(::open("/dev/null", O_RDONLY), 0);
  ::dup2(::open("/dev/null", O_WRONLY), 1);
  ::dup2(errFd, 2);
  ::execv(TRIROTOR_CLI, argv.data());
  ::_exit(127);
}

// Whether `pid` waits in write(2) on its standard error.
bool WaitsWritingStandardError(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  std::string fd;
  return static_cast<bool>(in >> number >> fd) && number == SYS_write && fd == "0x2";
}

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
  const Outcome whole =
      RunTool(TRIROTOR_CLI, {.args = run(Path("whole").string(), Path("whole.jsonl").string(), false)});
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
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = Start(args, quiet);
    ::close(quiet);
    ASSERT_GE(pid, 0);
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
      // file; a stop while the folders are still being read too.
      ASSERT_TRUE(fs::exists(report));
      const std::vector<Json> before = ReportLines(report);
      ASSERT_FALSE(before.empty());
      EXPECT_EQ(before.back()["eventOutcome"], "interrupted");
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

TEST_F(CliArchiveTest, ResumeGoesOnWithItsOwnRunOnly) {
  const std::string in = Path("in").string(), out = Path("out").string(), report = Path("r.jsonl").string();
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;  // after the first run, given the scratch folder
    std::vector<std::string> args;                // the resumed run's, beside --report r.jsonl --resume
    int status;
    const char* errHas;                 // the scratch folder's name left out
    std::vector<std::string> recorded;  // the inputs of the report after it; none: the report as it was
    std::size_t kept, notWalked;
  };
  const auto none = [](const fs::path&) {};
  const std::vector<std::string> all = {"a.b64", "s.b64", "sub/b.b64"};
  // clang-format off
  const Case cases[] = {
      // The kept failure keeps the run's status.
      {"the same run, nothing new", none, {"-r", "--output-dir", out, in}, 4, "2 opened, 1 failed (1 checksum mismatch; 3 kept from the report)", all, 3, 0},
      {"a mistyped input folder", none, {"-r", "--output-dir", out, in + "n"}, 2, "the input inn cannot be opened (No such file or directory); the report is left as it was", {}, 0, 0},
      {"a narrower input folder", none, {"-r", "--output-dir", out, in + "/sub"}, 1, "records inputs found under in, which is not among this run's (in/sub)", {}, 0, 0},
      {"a wider input folder", none, {"-r", "--output-dir", out, in + "/.."}, 1, "which is not among this run's", {}, 0, 0},
      {"another --output-dir", none, {"-r", "--output-dir", Path("out2").string(), in}, 1, "give its --output-dir", {}, 0, 0},
      {"another --codepage", none, {"-r", "--codepage", "437", "--output-dir", out, in}, 1, "made with --codepage 1252, texts in UTF-8, and this run would give --codepage 437", {}, 0, 0},
      {"--raw", none, {"-r", "--raw", "--output-dir", out, in}, 1, "texts in code page bytes: one tree would hold", {}, 0, 0},
      // A line of an input not walked again is kept as it stands.
      {"a file left out this time", none, {"-r", "--exclude", "s.b64", "--output-dir", out, in}, 4, "(1 checksum mismatch; 2 kept from the report; 1 not walked this time, their lines kept)", all, 2, 1},
      {"an input gone since", [](const fs::path& t) { fs::remove(t / "in/sub/b.b64"); }, {"-r", "--output-dir", out, in}, 4, "1 not walked this time", all, 2, 1},
      {"an input folder added", [](const fs::path& t) {
         fs::create_directory(t / "in2");
         WriteFile(t / "in2/c.b64", Sealed("c", u"k"));
       },
       {"-r", "--output-dir", out, in, Path("in2").string()},
       4,
       "3 opened",
       {"a.b64", "c.b64", "s.b64", "sub/b.b64"},
       3,
       0},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* made : {"in", "in2", "out", "r.jsonl"}) fs::remove_all(Path(made));
    WriteFile(In("a.b64"), Sealed("a", u"k"));
    WriteFile(In("sub/b.b64"), Sealed("b", u"k"));
    WriteFile(In("s.b64"), Narrow(test::SealContainer(test::WithBadChecksum("sum sum sum sum"), u"k")));
    ASSERT_EQ(Decode({"-r", "--output-dir", out, "--report", report, in}).status, 4);
    const std::string before = ReadFile(report);
    c.change(dir_);
    std::vector<std::string> args = {"--report", report, "--resume"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome got = Decode(args);
    EXPECT_EQ(got.status, c.status) << got.err;
    EXPECT_NE(Unrooted(got.err, dir_).find(c.errHas), std::string::npos) << got.err;
    if (c.recorded.empty()) {
      EXPECT_EQ(ReadFile(report), before);
      continue;
    }
    std::vector<std::string> recorded;
    const std::vector<Json> lines = ReportLines(report);
    for (const Json& line : lines) {
      if (line["kind"] == "input") recorded.push_back(line["path"]);
    }
    std::sort(recorded.begin(), recorded.end());
    EXPECT_EQ(recorded, c.recorded);  // each once
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["kind"], "summary");
    EXPECT_EQ(lines.back()["exitStatus"], c.status);
    EXPECT_EQ(lines.back()["outcomes"]["checksum mismatch"], 1);
    EXPECT_EQ(lines.back()["kept"], c.kept);
    EXPECT_EQ(lines.back()["notWalked"], c.notWalked);
    EXPECT_EQ(SchemaBreaches(report), "");
  }
}

// Stopped while the folders are read, without any timing: standard error
// is a pipe the test has filled, so the walk's first progress line, drawn
// once the first folder is read, waits there until the test has sent the
// signal; the walk stops at the next folder.
TEST_F(CliArchiveTest, StoppedWhileTheFoldersAreReadLeavesItsReport) {
  const std::string in = Path("in").string(), out = Path("out").string(), report = Path("r.jsonl").string();
  WriteFile(In("a.b64"), Sealed("a", u"k"));
  WriteFile(In("sub/b.b64"), Sealed("b", u"k"));
  WriteFile(In("z.b64"), Sealed("z", u"k"));
  for (const bool resume : {false, true}) {
    SCOPED_TRACE(resume ? "a report a --resume goes on with stays as it was" : "a new report says it was stopped");
    for (const char* made : {"out", "r.jsonl"}) fs::remove_all(Path(made));
    if (resume) {
      ASSERT_EQ(Decode({"-r", "--output-dir", out, "--report", report, in}).status, 0);
    }
    const std::string before = resume ? ReadFile(report) : "";
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    ASSERT_EQ(::fcntl(err[1], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(4096, 'x');
    while (::write(err[1], filler.data(), filler.size()) > 0) {}
    ASSERT_EQ(::fcntl(err[1], F_SETFL, 0), 0);
    std::vector<std::string> args = {"decode",       "--key", "k",        "-r",   "--progress",
                                     "--output-dir", out,     "--report", report, in};
    if (resume) args.push_back("--resume");
    const pid_t pid = Start(args, err[1]);
    ::close(err[1]);
    // A guard, not a timing: where /proc cannot show the wait, the test
    // fails after a minute instead of hanging the suite.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    bool waiting = false;
    while (!(waiting = WaitsWritingStandardError(pid)) && std::chrono::steady_clock::now() < giveUp &&
           ::waitpid(pid, nullptr, WNOHANG) == 0) {
      std::this_thread::yield();
    }
    ::kill(pid, waiting ? SIGINT : SIGKILL);
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(waiting) << "the tool was never seen writing its first line";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    // The progress line the signal cut short is dropped, or went out whole
    // if the test made room first.
    got.erase(0, got.find_first_not_of('x'));
    if (got.starts_with("reading")) got.erase(0, std::string_view("reading the folders: 0 files found\n").size());
    EXPECT_EQ(got, "trirotor: aborted by SIGINT\n");
    if (resume) {
      EXPECT_EQ(ReadFile(report), before);
      continue;
    }
    EXPECT_FALSE(fs::exists(out));
    const std::vector<Json> lines = ReportLines(report);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["kind"], "summary");
    EXPECT_EQ(lines[0]["eventOutcome"], "interrupted");
    EXPECT_EQ(lines[0]["files"], 1);  // a.b64, found before sub/ was to be read
    EXPECT_EQ(lines[0]["exitStatus"], 130);
    EXPECT_EQ(SchemaBreaches(report), "");
  }
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
      ASSERT_NE(at, std::string::npos) << has << "\n" << got.err;
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
  const Outcome got = RunTool(
      TRIROTOR_CLI, {.args = {"decode", "--keyring", Path("ring").string(), "--output-dir", Path("out").string(),
                              "--report", Path("r.jsonl").string(), Path("in").string()}});
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

/// Names that are not UTF-8 ///

TEST_F(CliArchiveTest, NamesThatAreNotUtf8StayApart) {
  struct Case {
    const char* name;
    std::string path;  // under in/
    bool bytes;        // recorded with its bytes beside the readable name
  };
  const Case cases[] = {
      {"Latin-1 u-umlaut", "M\xFCller.b64", true},
      {"Latin-1 o-umlaut: the same name but for that byte", "M\xF6ller.b64", true},
      {"UTF-8 u-umlaut, as it stands", "M\xC3\xBCller.b64", false},
      {"in a Latin-1 folder", "\xE9t\xE9/x.b64", true},
  };
  for (const Case& c : cases) WriteFile(In(c.path), Sealed(c.name, u"k"));
  const std::vector<std::string> run = {"-r",       "--output-dir",           Path("out").string(),
                                        "--report", Path("r.jsonl").string(), Path("in").string()};
  ASSERT_EQ(Decode(run).status, 0);
  std::map<std::string, Json> byBytes;
  for (const Json& line : ReportLines(Path("r.jsonl"))) {
    if (line["kind"] == "input")
      byBytes[line.value("pathBytes", test::Hex(test::Bytes(line["path"].get<std::string>())))] = line;
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string hex = test::Hex(test::Bytes(c.path));
    ASSERT_EQ(byBytes.count(hex), 1u);
    const Json& line = byBytes[hex];
    EXPECT_EQ(line.contains("pathBytes"), c.bytes);
    EXPECT_EQ(line.contains("outputPathBytes"), c.bytes);
    const std::string output = c.path.substr(0, c.path.size() - 3) + "txt";
    EXPECT_EQ(ReadFile(Path("out/" + output)), c.name);
    if (c.bytes) {
      EXPECT_EQ(line["outputPathBytes"], test::Hex(test::Bytes(output)));
    }
  }
  EXPECT_EQ(SchemaBreaches(Path("r.jsonl")), "");

  // --resume and --verify find each by its own name.
  std::vector<std::string> resume = run;
  resume.push_back("--resume");
  const Outcome resumed = Decode(resume);
  EXPECT_EQ(resumed.status, 0);
  EXPECT_NE(resumed.err.find("(4 kept from the report)"), std::string::npos) << resumed.err;
  WriteFile(Path("out/M\xFCller.txt"), "changed");
  const Outcome verified = Decode({"--verify", Path("r.jsonl").string()});
  EXPECT_EQ(verified.status, 4);
  EXPECT_EQ(Listed(verified.out, dir_).size(), 1u) << verified.out;
  EXPECT_TRUE(Unrooted(verified.out, dir_).starts_with("changed: \"out/M\\xFCller.txt\" (SHA-256 ")) << verified.out;
  EXPECT_NE(verified.err.find("3 verified, 1 changed"), std::string::npos) << verified.err;

  // A report from before names kept their bytes cannot tell the two Latin-1
  // names apart: a --resume does their inputs again, and holds each once.
  std::string old;
  for (Json line : ReportLines(Path("r.jsonl"))) {
    for (const char* field : {"inputRootBytes", "pathBytes", "outputRootBytes", "outputPathBytes"}) line.erase(field);
    old += line.dump() + "\n";
  }
  WriteFile(Path("r.jsonl"), old);
  const Outcome again = Decode(resume);
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.err.find("(1 kept from the report)"), std::string::npos) << again.err;
  std::set<std::string> paths;
  std::size_t inputs = 0;
  for (const Json& line : ReportLines(Path("r.jsonl"))) {
    if (line["kind"] != "input") continue;
    ++inputs;
    paths.insert(line.value("pathBytes", line["path"].get<std::string>()));
  }
  EXPECT_EQ(inputs, 4u);
  EXPECT_EQ(paths.size(), 4u);
  EXPECT_EQ(ReadFile(Path("out/M\xFCller.txt")), cases[0].name);
}

/// Verifying ///

// Whether `line` holds the pieces of `want` between its "..." in order, the
// first at its start.
bool Holds(const std::string& line, const std::string& want) {
  std::size_t at = 0, from = 0;
  for (std::size_t cut = 0; cut != std::string::npos; from = cut + 3) {
    cut = want.find("...", from);
    const std::string piece = want.substr(from, cut == std::string::npos ? cut : cut - from);
    const std::size_t found = line.find(piece, at);
    if (found == std::string::npos || (from == 0 && found != 0)) return false;
    at = found + piece.size();
  }
  return true;
}

// The report with the line of `path` changed by `edit`.
void EditReportLine(const fs::path& report, const std::string& path, const std::function<void(Json&)>& edit) {
  std::string text;
  for (Json line : ReportLines(report)) {
    if (line.value("path", "") == path) edit(line);
    text += line.dump() + "\n";
  }
  WriteFile(report, text);
}

TEST_F(CliArchiveTest, VerifyFindsWhatIsNotAsRecorded) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> change;  // given the scratch folder
    std::vector<std::string> args;                // beside --verify REPORT
    int status;
    std::vector<std::string> listed;  // standard output's lines, in report order, as Holds reads them
    const char* errHas;
  };
  const auto keep = [](const fs::path&) {};
  const auto cut = [](std::size_t bytes) {
    return [bytes](const fs::path& t) {
      const std::string report = ReadFile(t / "r.jsonl");
      WriteFile(t / "r.jsonl", report.substr(0, bytes == 0 ? 0 : report.size() - bytes));
    };
  };
  // clang-format off
  const Case cases[] = {
      {"untouched", keep, {}, 0, {}, "2 verified, 0 changed"},
      {"a changed output", [](const fs::path& t) { WriteFile(t / "out/x/b.txt", "bee"); }, {}, 4, {"changed: out/x/b.txt"}, ""},
      {"a missing output", [](const fs::path& t) { fs::remove(t / "out/a.txt"); }, {}, 2, {"missing: out/a.txt"}, ""},
      {"both: the worst status",
       [](const fs::path& t) {
         fs::remove(t / "out/a.txt");
         WriteFile(t / "out/x/b.txt", "bee");
       },
       {},
       4,
       {"missing: out/a.txt", "changed: out/x/b.txt"},
       ""},
      // The source's digest is compared first, and a new source is told
      // apart from a text that differs.
      {"a source replaced",
       [](const fs::path& t) { WriteFile(t / "in/x/b.b64", Sealed("another b", u"k")); },
       {},
       4,
       {"source changed: in/x/b.b64 (SHA-256 ..., recorded ...); it decodes to a text of SHA-256 "},
       "1 sources changed, 0 decode differently"},
      {"a source with other line ends, the same text",
       [](const fs::path& t) { WriteFile(t / "in/x/b.b64", Sealed("b", u"k").insert(Sealed("b", u"k").size() - 1, "\r")); },
       {},
       4,
       {"source changed: in/x/b.b64...; it decodes to the recorded text all the same"},
       ""},
      {"an output and its recorded digest both replaced",
       [](const fs::path& t) {
         WriteFile(t / "out/a.txt", "zzz");
         EditReportLine(t / "r.jsonl", "a.b64", [](Json& line) { line["outputSha256"] = cli::Sha256Hex("zzz"); });
       },
       {},
       4,
       {"differs: in/a.b64 decodes to a text of SHA-256 " + cli::Sha256Hex("a") + ", recorded " + cli::Sha256Hex("zzz")},
       ""},
      {"an input gone", [](const fs::path& t) { fs::remove(t / "in/a.b64"); }, {}, 2, {"unreadable: in/a.b64"}, ""},
      // No summary line: what the report holds is checked, yet not verified.
      {"a report cut short", cut(20), {}, 2, {}, "is not verified: its last line is cut short"},
      {"a report without its summary line",
       [](const fs::path& t) {
         const std::string report = ReadFile(t / "r.jsonl");
         WriteFile(t / "r.jsonl", report.substr(0, report.rfind('\n', report.size() - 2) + 1));
       },
       {},
       2,
       {},
       "is not verified: it has no summary line"},
      {"an empty report", cut(0), {}, 2, {}, "is not verified: it is empty"},
      // The report says how each text was made: what would shape it is refused.
      {"-o", keep, {"-o", "x.txt"}, 1, {}, "excludes"},
      {"--raw", keep, {"--raw"}, 1, {}, "excludes"},
      {"--codepage", keep, {"--codepage", "437"}, 1, {}, "excludes"},
      {"--salvage", keep, {"--salvage"}, 1, {}, "excludes"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Path("in"));
    fs::remove_all(Path("out"));
    fs::remove(Path("r.jsonl"));
    WriteFile(In("a.b64"), Sealed("a", u"k"));
    WriteFile(In("x/b.b64"), Sealed("b", u"k"));
    WriteFile(In("x/wrong.b64"), Sealed("w", u"other"));  // no output: nothing to verify
    ASSERT_EQ(
        Decode({"-r", "--output-dir", Path("out").string(), "--report", Path("r.jsonl").string(), Path("in").string()})
            .status,
        3);
    c.change(dir_);
    const std::map<std::string, std::string> changed = Tree(Path("out"));
    std::vector<std::string> args = {"--verify", Path("r.jsonl").string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome got = Decode(args);
    EXPECT_EQ(got.status, c.status) << got.out << got.err;
    const std::vector<std::string> listed = Listed(got.out, dir_);
    EXPECT_EQ(listed.size(), c.listed.size()) << got.out;
    for (std::size_t i = 0; i < std::min(listed.size(), c.listed.size()); ++i) {
      EXPECT_TRUE(Holds(listed[i], c.listed[i])) << listed[i];
    }
    EXPECT_NE(got.err.find(c.errHas), std::string::npos) << got.err;
    EXPECT_EQ(Tree(Path("out")), changed);  // verify writes nothing
    EXPECT_FALSE(fs::exists("x.txt"));
  }
}

}  // namespace
}  // namespace trirotor

#endif  // TRIROTOR_CLI
