// SPDX-License-Identifier: MIT
//
// codepage_windows_test.cpp - our tables of the ten ANSI pages against the
// system's own conversions, Windows builds only: every byte through
// MultiByteToWideChar, and every UTF-16 unit through WideCharToMultiByte
// with no flags (so each best-fit entry, each page character and each
// character in neither goes through both).

#include <windows.h>

#include <sstream>

#include "tests/test_util.h"

namespace trirotor::test {
namespace {

using WindowsConversions = EngineTest;

TEST_F(WindowsConversions, TheTenAnsiPagesConvertAsTheSystemDoes) {
  struct Case {
    int page;
    char16_t lookAlike;    // a character the page lacks but best-fits
    std::uint8_t itsByte;  // and the byte it becomes
  };
  // clang-format off
  const Case cases[] = {
      {874, u'\uFF21', 'A'},
      {1250, u'\u00C0', 'A'},
      {1251, u'\uFF21', 'A'},
      {1252, u'\u0141', 'L'},
      {1253, u'\uFF21', 'A'},
      {1254, u'\u0100', 'A'},
      {1255, u'\uFF21', 'A'},
      {1256, u'\uFF21', 'A'},
      {1257, u'\uFF21', 'A'},
      {1258, u'\uFF21', 'A'},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    platform::SetCodePage(c.page);
    const UINT page = static_cast<UINT>(c.page);
    int byteMismatches = 0, unitMismatches = 0, bestFits = 0, inNeither = 0;
    std::ostringstream first;
    for (int b = 0; b < 256; ++b) {
      const char in = static_cast<char>(b);
      wchar_t out[4] = {};
      const int n = MultiByteToWideChar(page, 0, &in, 1, out, 4);
      const std::uint8_t byte = static_cast<std::uint8_t>(b);
      const std::u16string ours = platform::BytesToText(&byte, 1);
      if (n != 1 || ours.size() != 1 || static_cast<char16_t>(out[0]) != ours[0]) {
        if (byteMismatches++ < 4) first << " byte " << b << ": system U+" << std::hex << int(out[0]) << std::dec;
      }
    }
    for (int unit = 1; unit <= 0xFFFF; ++unit) {
      const wchar_t in = static_cast<wchar_t>(unit);
      char out[4] = {};
      const int n = WideCharToMultiByte(page, 0, &in, 1, out, 4, nullptr, nullptr);
      const char16_t ch = static_cast<char16_t>(unit);
      const std::uint8_t ours = platform::AnsiCode(ch);
      if (platform::IsBestFit(ch)) ++bestFits;
      if (!platform::IsRepresentable(ch) && !platform::IsBestFit(ch)) ++inNeither;
      if (n != 1 || static_cast<std::uint8_t>(out[0]) != ours) {
        if (unitMismatches++ < 4) {
          first << " U+" << std::hex << unit << ": system " << int(static_cast<std::uint8_t>(out[0])) << " ours "
                << int(ours) << std::dec;
        }
      }
    }
    EXPECT_EQ(byteMismatches, 0) << first.str();
    EXPECT_EQ(unitMismatches, 0) << first.str();
    // The sweep met all three kinds of character, so none went unchecked.
    EXPECT_GT(bestFits, 0);
    EXPECT_GT(inNeither, 0);
    EXPECT_EQ(platform::AnsiCode(c.lookAlike), c.itsByte);
    EXPECT_TRUE(platform::IsBestFit(c.lookAlike));
    EXPECT_EQ(platform::AnsiCode(u'\u4E2D'), '?');  // a Han character: in neither, '?'
  }
}

}  // namespace
}  // namespace trirotor::test
