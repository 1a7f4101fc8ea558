// SPDX-License-Identifier: MIT
//
// shown_name_test.cpp - names from outside as messages show them
// (support/shown_name.h): every reader and front end uses this one escaper,
// so a name or comment holding a line end or a terminal control must come
// out as one quoted line, and a printable one as it stands.

#include <string>

#include <gtest/gtest.h>

#include "support/shown_name.h"

namespace trirotor::support {
namespace {

TEST(ShownName, OneLineWhateverTheName) {
  struct Case {
    const char* why;
    std::string name;
    std::string shown;
  };
  const Case cases[] = {
      {"plain", "notes/m.b64", "notes/m.b64"},
      {"printable UTF-8 stays", "d\xC3\xA9j\xC3\xA0 \xF0\x9F\x94\x91.txt", "d\xC3\xA9j\xC3\xA0 \xF0\x9F\x94\x91.txt"},
      {"a quote alone is printable", "a\"b", "a\"b"},
      {"a line end forges no line", "a\nb", "\"a\\nb\""},
      {"TAB and CR", "a\tb\r", "\"a\\tb\\r\""},
      {"quotes and backslashes once quoting", "\"\\\n", "\"\\\"\\\\\\n\""},
      {"an escape sequence", "\x1B[2J", "\"\\x1B[2J\""},
      {"DEL", "a\x7F", "\"a\\x7F\""},
      {"a C1 control in UTF-8", "a\xC2\x9B", "\"a\\xC2\\x9B\""},
      {"a bidirectional override", std::string("a\xE2\x80\xAE") + "b", "\"a\\xE2\\x80\\xAEb\""},
      {"the line separator", "a\xE2\x80\xA8", "\"a\\xE2\\x80\\xA8\""},
      {"a byte that is no UTF-8", std::string("a\xFF") + "b", "\"a\\xFFb\""},
      {"a character cut short at the end", "a\xE2\x80", "\"a\\xE2\\x80\""},
      {"an overlong form", "\xC0\xAF", "\"\\xC0\\xAF\""},
      {"printable characters beside a bad byte stay", "\xC3\xA9\xFF", "\"\xC3\xA9\\xFF\""},
  };
  for (const Case& c : cases) EXPECT_EQ(ShownName(c.name), c.shown) << c.why;
}

}  // namespace
}  // namespace trirotor::support
