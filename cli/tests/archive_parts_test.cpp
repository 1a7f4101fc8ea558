// SPDX-License-Identifier: MIT
//
// archive_parts_test.cpp - the archive run's globs and digests, the same on
// every build: the globs held to the C library's fnmatch where there is one
// (and to the same table's answers where there is none), the digests to
// the published known answers.

#include <gtest/gtest.h>

#include <string>

#include "cli/archive/glob.h"
#include "cli/sha256.h"

#if !defined(_WIN32)
#include <fnmatch.h>
#endif

namespace {

using trirotor::cli::GlobMatch;

struct GlobCase {
  const char* pattern;
  const char* text;
  bool pathname;  // the pattern has a '/': matched against the whole path
  bool matches;
};

constexpr GlobCase kGlobCases[] = {
    {"*.b64", "a.b64", false, true},
    {"*.b64", "a.b64.txt", false, false},
    {"*", "", false, true},
    {"*", ".profile", false, true},  // a leading dot is nothing special
    {"?", "", false, false},
    {"a?c", "abc", false, true},
    {"a?c", "ac", false, false},
    {"?", "\xC3\xBC", false, false},  // bytes: "ü" is two
    {"??", "\xC3\xBC", false, true},
    {"*\xC3\xBC*", "gr\xC3\xBC\xC3\x9F\x65", false, true},
    {"a*b*c", "aXXbYYc", false, true},
    {"a*b*c", "aXXbYY", false, false},
    {"*a*a*a*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false, false},
    {"[abc]", "b", false, true},
    {"[abc]", "d", false, false},
    {"[a-c]x", "bx", false, true},
    {"[!a-c]x", "bx", false, false},
    {"[^a-c]x", "dx", false, true},
    {"[]a]", "]", false, true},
    {"[!]a]", "]", false, false},
    {"[!]a]", "b", false, true},
    {"[a-]", "-", false, true},
    {"[z-a]", "m", false, false},
    {"[\\]]", "]", false, true},
    {"[a\\-z]", "m", false, false},
    {"[a\\-z]", "-", false, true},
    {"[[:digit:]]7", "37", false, true},
    {"[[:digit:]]7", "x7", false, false},
    {"[![:alpha:]]", "5", false, true},
    {"[[:upper:][:punct:]]", "!", false, true},
    {"[[:nothing:]]", "n", false, false},
    {"[\x80-\xFF]", "\xC3", false, true},  // high bytes compare unsigned
    {"[\x80-\xFF]", "a", false, false},
    {"[ab", "[ab", false, true},  // an unclosed '[' is itself
    {"[ab", "a", false, false},
    {"*[[", "aA[[", false, true},
    {"[a[:nothing:]]", "a", false, true},  // read in order: 'a' comes first
    {"[b[:nothing:]a]", "a", false, false},
    {"[[.a.]-c]", "b", false, true},
    {"[[.ab.]]", "a", false, false},  // the C locale has no such symbol
    {"[[=a=]]", "a", false, true},
    {"[a-", "a", false, false},
    {"[a-", "[a-", false, false},
    {"\\*", "*", false, true},
    {"\\*", "a", false, false},
    {"a\\", "a\\", false, false},  // a '\' that ends the pattern matches nothing
    {"\\[a]", "[a]", false, true},
    {"2003/*.b64", "2003/a.b64", true, true},
    {"2003/*.b64", "2003/x/a.b64", true, false},  // '*' stops at '/'
    {"*/a.b64", "2003/a.b64", true, true},
    {"*", "2003/a.b64", true, false},
    {"*/*", "2003/a.b64", true, true},
    {"2003?a.b64", "2003/a.b64", true, false},
    {"2003[/]a.b64", "2003/a.b64", true, false},
    {"2003[!a]a.b64", "2003/a.b64", true, false},
    {"*/x*", "a/b/xc", true, false},
    {"*/*x", "a/bx/cx", true, false},
    {"*/*/*x", "a/bx/cx", true, true},
    {"a*/b", "a/x/b", true, false},
    {"2003\\/a", "2003/a", true, true},
    {"*\\/a", "2003/a", true, false},  // what follows a '*' is tried before the next '/' only
    {"*\\/a", "2003/a", false, true},
    {"2003*", "2003/a", false, true},  // without a '/', '*' takes it
};

TEST(ArchiveGlob, MatchesAsFnmatchDoes) {
  for (const GlobCase& c : kGlobCases) {
    SCOPED_TRACE(std::string(c.pattern) + " against " + c.text + (c.pathname ? " (path)" : ""));
    EXPECT_EQ(GlobMatch(c.pattern, c.text, c.pathname), c.matches);
#if !defined(_WIN32)
    EXPECT_EQ(::fnmatch(c.pattern, c.text, c.pathname ? FNM_PATHNAME : 0) == 0, c.matches) << "the table is wrong";
#endif
  }
}

TEST(ArchiveSha256, KnownAnswers) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  trirotor::cli::Sha256 reused;  // each digest starts it afresh
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 16));
    EXPECT_EQ(trirotor::cli::Sha256Hex(c.message), c.digest);
    // In uneven pieces, as an output is hashed while it is written.
    for (std::size_t at = 0, piece = 1; at < c.message.size(); at += piece, piece = piece * 3 + 1) {
      reused.Update(std::string_view(c.message).substr(at, piece));
    }
    EXPECT_EQ(reused.Hex(), c.digest);
  }
}

}  // namespace
