// SPDX-License-Identifier: MIT
//
// platform_test.cpp - the host layer: code pages that map every byte to one
// character and back, the pointer and event hooks, and error raising.

#include "platform/platform.h"

#include <cstring>

#include "tests/test_util.h"

namespace trirotor::test {
namespace {

using Platform = EngineTest;

TEST_F(Platform, Windows1252) {
  struct Case {
    std::uint8_t byte;
    char16_t ch;
  };
  const Case cases[] = {{0x41, u'A'},      {0x80, u'\u20AC'}, {0x81, u'\u0081'}, {0x8D, u'\u008D'},
                        {0x8F, u'\u008F'}, {0x90, u'\u0090'}, {0x9D, u'\u009D'}, {0x9F, u'\u0178'},
                        {0xA0, u'\u00A0'}, {0xFF, u'\u00FF'}, {0x00, u'\0'}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.byte);
    EXPECT_EQ(platform::BytesToText(&c.byte, 1), std::u16string(1, c.ch));
    EXPECT_EQ(platform::AnsiCode(c.ch), c.byte);
  }
  // Characters the page lacks: Windows' look-alike where it has one, as
  // Windows' own conversion writes them, else '?'.
  const Case lookAlikes[] = {{'l', u'\u0142'}, {'L', u'\u0141'}, {'A', u'\u0100'}, {'-', u'\u2010'},
                             {'8', u'\u221E'}, {'A', u'\uFF21'}, {'0', u'\uFF10'}, {'=', u'\uFF1D'},
                             {'?', u'\uFF1F'}, {'?', u'\u4E2D'}, {'?', u'\u0080'}, {'?', char16_t{0xD800}}};
  for (const Case& c : lookAlikes) {
    SCOPED_TRACE(static_cast<int>(c.ch));
    EXPECT_EQ(platform::AnsiCode(c.ch), c.byte);
    EXPECT_FALSE(platform::IsRepresentable(c.ch));
    EXPECT_EQ(platform::IsBestFit(c.ch), c.ch == u'\uFF1F' || c.byte != '?');
  }
  EXPECT_TRUE(platform::IsRepresentable(u'?'));
}

TEST_F(Platform, EverySupportedPageMapsEachByteToOneCharacterAndBack) {
  ByteBuffer all(256);
  for (int b = 0; b < 256; ++b) all[b] = static_cast<std::uint8_t>(b);
  for (int page : {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 28591}) {
    SCOPED_TRACE(page);
    ASSERT_TRUE(platform::IsCodePageSupported(page));
    platform::SetCodePage(page);
    EXPECT_EQ(platform::CodePage(), page);
    const std::u16string text = platform::BytesToText(all);
    EXPECT_EQ(platform::TextToBytes(text), all);
  }
  platform::SetCodePage(1251);
  EXPECT_EQ(platform::BytesToText(Bytes("\xC0")), u"\u0410");  // Cyrillic A
  platform::SetCodePage(28591);
  EXPECT_EQ(platform::BytesToText(Bytes("\x80")), u"\u0080");
}

TEST_F(Platform, RefusesPagesItCannotUse) {
  platform::SetCodePage(1250);
  struct Case {
    int page;
    const char* says;
  };
  const Case cases[] = {
      {932, "multi-byte"}, {65001, "multi-byte"}, {936, "multi-byte"}, {99999, "unknown"}, {0, "unknown"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    EXPECT_FALSE(platform::IsCodePageSupported(c.page));
    try {
      platform::SetCodePage(c.page);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::strstr(e.what(), c.says), nullptr) << e.what();
    }
    EXPECT_EQ(platform::CodePage(), 1250);
  }
}

TEST_F(Platform, PointerIsForwardedAndRemembered) {
  platform::SetMousePointer(11);
  platform::SetMousePointer(0);
  platform::SetMousePointer(11);
  EXPECT_EQ(Log().pointers, (std::vector<int>{11, 0, 11}));
  EXPECT_EQ(platform::MousePointer(), 11);
  platform::SetPointerHook(nullptr);
  platform::SetMousePointer(0);  // no hook: only remembered
  EXPECT_EQ(platform::MousePointer(), 0);
}

TEST_F(Platform, EventsReachOnlyTheInstalledHook) {
  platform::ProcessEvents();
  EXPECT_EQ(Log().pauses, 1);
  platform::SetEventHook(nullptr);
  platform::ProcessEvents();
  EXPECT_EQ(Log().pauses, 1);
}

TEST_F(Platform, RuntimeErrorsCarryTheHostsNumbersAndWords) {
  const std::pair<std::int32_t, const char*> cases[] = {{5, "Invalid procedure call or argument"},
                                                        {6, "Overflow"},
                                                        {7, "Out of memory"},
                                                        {9, "Subscript out of range"},
                                                        {11, "Division by zero"}};
  for (const auto& [number, words] : cases) {
    SCOPED_TRACE(number);
    // Raising must end the call: a return is a failure, as is any other kind
    // of exception (it would escape the test and fail it).
    try {
      platform::RaiseRuntimeError(number, "Here()");
      ADD_FAILURE() << "RaiseRuntimeError returned";
    } catch (const std::runtime_error& e) {
      const auto* error = dynamic_cast<const EngineError*>(&e);
      ASSERT_NE(error, nullptr) << "not an EngineError: " << e.what();
      EXPECT_EQ(error->number(), number);
      EXPECT_EQ(error->source(), "Here()");
      EXPECT_EQ(error->description(), words);
      EXPECT_STREQ(e.what(), words);
    }
  }
}

TEST_F(Platform, BlockCopyToleratesOverlap) {
  ByteBuffer b = Bytes("0123456789");
  platform::BlockCopy(b.data(), b.data() + 2, 8);
  EXPECT_EQ(std::string(b.begin(), b.end()), "2345678989");
  platform::BlockCopy(b.data() + 1, b.data(), 5);
  EXPECT_EQ(std::string(b.begin(), b.end()), "2234568989");
}

// Recorded codes and raised numbers share one table and overlap at 5: each
// kind must find only its own text.
TEST_F(Platform, ErrorTextsKeepRecordedCodesApartFromRaisedNumbers) {
  struct Case {
    std::int32_t number;
    std::string_view recorded;  // ErrorMessage
    std::string_view raised;    // RuntimeErrorDescription
  };
  const Case cases[] = {
      {5, "Compression checksum error (Error 5)", "Invalid procedure call or argument"},
      {33, "Failed decoding the text (Error 33)", ""},
      {9, "", "Subscript out of range"},
      {0, "", ""},
      {-2147221504, "", ""},  // the unknown-version error carries its own description
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    if (c.number >= INT16_MIN && c.number <= INT16_MAX) {
      EXPECT_EQ(ErrorMessage(static_cast<std::int16_t>(c.number)), c.recorded);
    }
    EXPECT_EQ(platform::RuntimeErrorDescription(c.number), c.raised);
  }
}

}  // namespace
}  // namespace trirotor::test
