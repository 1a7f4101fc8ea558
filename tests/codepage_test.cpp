// SPDX-License-Identifier: MIT
//
// codepage_test.cpp - which code pages a host may select, the names people
// type for them, how a page's byte table is made, and a page per thread.

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <latch>
#include <set>
#include <string>
#include <thread>

#include "engine/encode.h"
#include "platform/codepage_tables.h"
#include "tests/test_util.h"

namespace trirotor::test {
namespace {

using CodePages = EngineTest;

TEST_F(CodePages, NamesPeopleTypeMeanTheirPage) {
  struct Case {
    const char* name;
    std::optional<int> page;
  };
  // clang-format off
  const Case cases[] = {
      {"1252", 1252},          {"cp1252", 1252},      {"CP1252", 1252},       {"windows-1252", 1252},
      {"Windows-1251", 1251},  {"WINDOWS1250", 1250}, {"ISO-8859-2", 28592},  {"iso-8859-1", 28591},
      {"iso8859-15", 28605},   {"ISO_8859-13", 28603}, {"CP437", 437},        {"ibm850", 850},
      {"koi8-r", 20866},       {"KOI8-U", 21866},     {"500", 500},           {"", std::nullopt},
      {"cp", std::nullopt},    {"windows-", std::nullopt}, {"utf-8", std::nullopt},
      {"1252x", std::nullopt}, {"-1252", std::nullopt}, {"0", std::nullopt},  {"123456", std::nullopt},
      {"iso-8859-12", std::nullopt}, {"cp 1252", std::nullopt},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::ParseCodePageName(c.name), c.page);
  }
}

TEST_F(CodePages, TheListHoldsWhatTheSetterTakesByTheNamesItShows) {
  const auto& pages = platform::SupportedCodePages();
  std::set<int> numbers;
  ByteBuffer all(256);
  for (int b = 0; b < 256; ++b) all[b] = static_cast<std::uint8_t>(b);
  for (const platform::CodePageInfo& page : pages) {
    SCOPED_TRACE(page.number);
    EXPECT_TRUE(numbers.empty() || page.number > *numbers.rbegin()) << "not in number order";
    numbers.insert(page.number);
    EXPECT_EQ(platform::ParseCodePageName(page.name), page.number) << page.name;
    EXPECT_FALSE(page.description.empty());
    platform::SetCodePage(page.number);
    EXPECT_EQ(platform::TextToBytes(platform::BytesToText(all)), all);
    EXPECT_EQ(platform::BytesToText(Bytes("AZaz09+/=")), u"AZaz09+/=");
  }
  for (int expected : {437, 850, 866, 874, 1250, 1251, 1252, 1258, 28591, 28592, 28605}) {
    EXPECT_EQ(numbers.count(expected), 1u) << expected;
  }
  for (int refused : {500, 864, 875, 1026, 65001}) EXPECT_EQ(numbers.count(refused), 0u) << refused;
}

TEST_F(CodePages, PagesThatMoveAsciiAreRefused) {
  // Under these the base64 alphabet is not where the decoder looks for it,
  // so nothing sealed under them could be opened again.
  platform::SetCodePage(1250);
#if defined(_WIN32)
  // Windows' own 864 keeps '%' at 0x25; a system without a page refuses it
  // as unknown.
  for (int page : {500, 1026, 1047, 1140, 273, 875}) {
#else
  for (int page : {500, 1026, 1047, 1140, 273, 875, 864}) {
#endif
    SCOPED_TRACE(page);
    EXPECT_FALSE(platform::IsCodePageSupported(page));
    try {
      platform::SetCodePage(page);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      const bool unknownHere = std::strstr(e.what(), "the system has no code page") != nullptr;
      EXPECT_TRUE(std::strstr(e.what(), "not ASCII-compatible") != nullptr || unknownHere) << e.what();
    }
    EXPECT_EQ(platform::CodePage(), 1250);
  }
}

TEST_F(CodePages, AssignedBytesKeepTheirCharactersBeforeStandIns) {
  // Each page leaves a byte unassigned whose stand-in U+00xx is a real
  // character of the same page at a later byte.
  struct Case {
    int page;
    std::uint8_t realByte;
    char16_t real;
    std::uint8_t unassignedByte;
  };
#if defined(_WIN32)  // 864 and 875 as the system's iconv has them; Windows' tables differ
  const Case cases[] = {{857, 0xE5, u'\u00D5', 0xD5}, {857, 0x95, u'\u00F2', 0xF2}, {28598, 0xAA, u'\u00D7', 0xD7}};
#else
  const Case cases[] = {{864, 0xDB, u'\u00A6', 0xA6},
                        {857, 0xE5, u'\u00D5', 0xD5},
                        {857, 0x95, u'\u00F2', 0xF2},
                        {875, 0x91, u'\u006A', 0x6A},
                        {28598, 0xAA, u'\u00D7', 0xD7}};
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.page << " byte " << int{c.realByte});
    const auto characters = internal::CodePageCharacters(c.page);
    EXPECT_EQ(characters[c.realByte], c.real);
    EXPECT_EQ(characters[c.unassignedByte], 0xF700 + c.unassignedByte);
    EXPECT_EQ(std::set<char16_t>(characters.begin(), characters.end()).size(), 256u) << "two bytes share one";
  }
  // The pages a host may select round-trip every byte, and text sealed under
  // them opens to itself.
  ByteBuffer all(256);
  for (int b = 0; b < 256; ++b) all[b] = static_cast<std::uint8_t>(b);
  for (int page : {857, 28598}) {
    SCOPED_TRACE(page);
    platform::SetCodePage(page);
    const std::u16string text = platform::BytesToText(all);
    EXPECT_EQ(platform::TextToBytes(text), all);
    EXPECT_EQ(DecodeText(EncodeText(text, u"key", u"", FrameHeader{}), u"key", u""), text);
  }
  // Hosts may not select these two (their printable bytes are not all
  // ASCII), but their tables follow the same rule.
  for (int page : {864, 875}) {
    SCOPED_TRACE(page);
    internal::SetAnySingleByteCodePage(page);
    EXPECT_EQ(platform::TextToBytes(platform::BytesToText(all)), all);
  }
}

// Microsoft's file for a page, read here on its own: the byte of each
// MBTABLE record and the unit of each WCTABLE record.
struct MicrosoftTable {
  std::map<int, char16_t> toWide;
  std::map<char16_t, int> fromWide;
};

MicrosoftTable ReadMicrosoftTable(int page) {
  std::ifstream file(
      std::string(TRIROTOR_SOURCE_DIR) + "/platform/windows-codepages/bestfit" + std::to_string(page) + ".txt",
      std::ios::binary);
  MicrosoftTable table;
  std::string line, section;
  while (std::getline(file, line)) {
    std::istringstream fields(line.substr(0, line.find(';')));
    std::string first, second;
    if (!(fields >> first)) continue;
    if (first == "ENDCODEPAGE") break;
    if (first == "MBTABLE" || first == "WCTABLE" || first == "CODEPAGE" || first == "CPINFO") {
      section = first;
      continue;
    }
    fields >> second;
    const int from = std::stoi(first, nullptr, 16), to = std::stoi(second, nullptr, 16);
    if (section == "MBTABLE") table.toWide[from] = static_cast<char16_t>(to);
    if (section == "WCTABLE") table.fromWide[static_cast<char16_t>(from)] = to;
  }
  return table;
}

TEST_F(CodePages, WindowsPagesConvertAsMicrosoftsTablesSay) {
  for (int page : {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258}) {
    SCOPED_TRACE(page);
    const MicrosoftTable table = ReadMicrosoftTable(page);
    ASSERT_EQ(table.toWide.size(), 256u);
    ASSERT_GT(table.fromWide.size(), 256u);
    platform::SetCodePage(page);
    int wrong = 0;
    for (const auto& [byte, unit] : table.toWide) {
      const auto b = static_cast<std::uint8_t>(byte);
      if (platform::BytesToText(&b, 1) != std::u16string(1, unit)) ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "bytes whose character is not MBTABLE's";
    wrong = 0;
    for (const auto& [unit, byte] : table.fromWide) {
      const std::u16string one(1, unit);
      if (platform::TextToBytes(one) != ByteBuffer{static_cast<std::uint8_t>(byte)}) ++wrong;
      if (platform::IsRepresentable(unit) != (table.toWide.at(byte) == unit)) ++wrong;
      if (platform::IsBestFit(unit) == (table.toWide.at(byte) == unit)) ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "WCTABLE entries converted otherwise";
    // Units in neither table, surrogate halves among them, are '?'.
    wrong = 0;
    for (char32_t unit = 1; unit < 0x10000; unit += 61) {
      const auto u = static_cast<char16_t>(unit);
      if (table.fromWide.count(u) != 0) continue;
      if (platform::TextToBytes(std::u16string(1, u)) != ByteBuffer{'?'} || platform::IsBestFit(u)) ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "units in neither table not taken as '?'";
  }
  // Each unit converts on its own: a pair is two '?'.
  platform::SetCodePage(1252);
  EXPECT_EQ(platform::TextToBytes(u"\U0001F600\uFF21"), Bytes("??A"));
}

TEST_F(CodePages, EachThreadDecodesUnderItsOwnPage) {
  // The same bytes are Cyrillic under 1251 and Latin under 1252: two threads
  // decoding at once must each get their own page's text.
  ByteBuffer bytes;
  for (int b = 0xC0; b <= 0xFF; ++b) bytes.push_back(static_cast<std::uint8_t>(b));
  for (int i = 0; i < 10; ++i) bytes.insert(bytes.end(), bytes.begin(), bytes.begin() + 64);
  platform::SetCodePage(1251);
  const std::u16string cyrillic = platform::BytesToText(bytes);
  const std::u16string message = EncodeText(cyrillic, u"key", u"", FrameHeader{});
  platform::SetCodePage(1252);
  const std::u16string latin = platform::BytesToText(bytes);
  ASSERT_NE(cyrillic, latin);

  std::latch start(3);
  int wrongUnder1251 = 0, wrongUnder1252 = 0, wrongUnderDefault = 0;
  const auto decodeUnder = [&](int page, const std::u16string& expected, int& wrong) {
    if (page != 0) platform::SetCodePage(page);
    start.arrive_and_wait();
    for (int round = 0; round < 300; ++round) {
      if (DecodeText(message, u"key", u"") != expected) ++wrong;
    }
  };
  platform::SetCodePage(1251);  // this thread's page reaches no other thread
  std::thread a(decodeUnder, 1251, std::cref(cyrillic), std::ref(wrongUnder1251));
  std::thread b(decodeUnder, 1252, std::cref(latin), std::ref(wrongUnder1252));
  std::thread c(decodeUnder, 0, std::cref(latin), std::ref(wrongUnderDefault));
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(wrongUnder1251, 0);
  EXPECT_EQ(wrongUnder1252, 0);
  EXPECT_EQ(wrongUnderDefault, 0) << "a thread that set no page must use 1252";
  EXPECT_EQ(platform::CodePage(), 1251);
}

TEST_F(CodePages, TheScanPlacesTheCharacterForAUser) {
  struct Case {
    const char* name;
    std::u16string text;
    const char* what;
    std::optional<std::string> message;
  };
  // clang-format off
  const Case cases[] = {
      {"all held", u"Gr\u00FC\u00DFe \u20AC\nline", "", std::nullopt},
      {"second line", u"ab\ncd\u0100e", "", "line 2, column 3: U+0100 '\u0100' has no place in code page 1252"},
      {"a surrogate pair", u"x\U0001F600", "", "line 1, column 2: U+1F600 '\U0001F600' has no place in code page 1252"},
      {"second line, after euro signs", u"x\u20AC\n\u20ACy\u65E5", "", "line 2, column 3: U+65E5 '\u65E5' has no place in code page 1252"},
      {"a key", u"abc\u65E5", "the key", "character 4 of the key: U+65E5 '\u65E5' has no place in code page 1252"},
      {"a control character", u"a\u0080", "the suffix", "character 2 of the suffix: U+0080 has no place in code page 1252"},
      {"a lone surrogate", u"ab\xDC00", "", "line 1, column 3: U+DC00 has no place in code page 1252"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto found = platform::FindUnrepresentableCharacter(c.text, c.what);
    ASSERT_EQ(found.has_value(), c.message.has_value());
    if (found) {
      EXPECT_EQ(found->message, *c.message);
    }
  }
  platform::SetCodePage(1251);
  const auto found = platform::FindUnrepresentableCharacter(u"\u0416\u00FC");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->index, 1u);
  EXPECT_EQ(found->codePoint, U'\u00FC');
  EXPECT_EQ(found->message, "line 1, column 2: U+00FC '\u00FC' has no place in code page 1251");
}

}  // namespace
}  // namespace trirotor::test
