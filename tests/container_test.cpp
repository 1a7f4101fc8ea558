// SPDX-License-Identifier: MIT
//
// container_test.cpp - stored and Huffman-coded containers: the layouts, the
// codes that are not prefix-free, and every way a container can be short,
// malformed or hostile.

#include "engine/internal.h"

#include "tests/test_util.h"

namespace trirotor::test {
namespace {

// The documented three-symbol container: A = 0, B = 10, C = 11 (bits from the
// root), data "ABC".
ByteBuffer Abc(std::int32_t plainLength = 3, std::uint8_t checksum = 0x40) {
  return ByteWriter()
      .Str("HE3\r")                      // identification
      .U8(checksum)                      // 41 ^ 42 ^ 43
      .I32(plainLength)                  // plain length
      .I16(3)                            // three entries
      .U8s({0x41, 1, 0x42, 2, 0x43, 2})  // A:1 bit, B:2, C:2
      .U8(0x1A)                          // code bits 0 | 1,0 | 1,1 from bit 0
      .U8(0x1A)                          // data: A(0) B(1,0) C(1,1)
      .bytes();
}

std::string Decode(ByteBuffer container) {
  HuffmanDecode(container, static_cast<std::int32_t>(container.size()));
  return std::string(container.begin(), container.end());
}

std::int32_t ErrorOf(ByteBuffer container) {
  try {
    HuffmanDecode(container, static_cast<std::int32_t>(container.size()));
  } catch (const EngineError& e) {
    return e.number();
  }
  return 0;
}

// A container whose codes are all one-bit "0" for byte 'A' (one code) and
// whose data are plainLength zero bits.
ByteBuffer RunOfA(std::int32_t plainLength) {
  return ByteWriter()
      .Str("HE3\r")
      .U8(plainLength % 2 ? 0x41 : 0)  // XOR of plainLength 'A's
      .I32(plainLength)
      .I16(1)
      .U8s({0x41, 1})                  // 'A' has the 1-bit code 0
      .U8(0x00)                        // its code bit
      .Fill((plainLength + 7) / 8, 0)  // data
      .bytes();
}

using Container = EngineTest;
using ContainerCorruption = EngineTest;

TEST_F(Container, DecodesTheDocumentedLayouts) {
  struct Case {
    const char* name;
    ByteBuffer container;
    std::string plain;
    std::int16_t lastError;
  };
  ByteBuffer noIdentLf = Abc();
  noIdentLf[3] = 0x0A;
  ByteBuffer lowerCase = Abc();
  lowerCase[0] = 'h';
  lowerCase[1] = 'e';
  // clang-format off
  const Case cases[] = {
      {"stored", Bytes("HE0\rabc"), "abc", 0},
      {"stored, empty", Bytes("HE0\r"), "", 0},
      {"compressed", Abc(), "ABC", 0},
      {"checksum differs", Abc(3, 0x00), "ABC", kErrChecksum},
      {"padding decodes before the length is reached", Abc(4), "ABCA", kErrChecksum},
      {"plain length 0 is the empty text", Abc(0), "", 0},
      {"line feed for carriage return: still read as compressed", noIdentLf, "ABC", 0},
      {"no identification: still read as compressed", lowerCase, "ABC", 0},
      {"code bits filling a byte exactly",
       ByteWriter()
           .Str("HE3\r").U8(0x04).I32(4).I16(4)
           .U8s({0x41, 2, 0x42, 2, 0x43, 2, 0x44, 2})  // A 00, B 01, C 10, D 11
           .U8(0xD8)                                   // their bits, filling the byte
           .U8(0x27)                                   // data D C B A
           .bytes(),
       "DCBA", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LastError = 0;
    EXPECT_EQ(Decode(c.container), c.plain);
    EXPECT_EQ(LastError, c.lastError);
  }
}

TEST_F(Container, LaterEntriesAndZeroLengthsDecideTheCodes) {
  // 'A' first gets 1 bit, then 2 bits (0,1); 'B' gets 1 bit (0), then 0 bits
  // (no code at all). Data 0,1 must decode as 'A' through the 2-bit code.
  const ByteBuffer container = ByteWriter()
                                   .Str("HE3\r")
                                   .U8(0x41)
                                   .I32(1)
                                   .I16(4)
                                   .U8s({0x41, 1, 0x42, 1, 0x41, 2, 0x42, 0})
                                   .U8(0x02)  // A: bit 0 = 0, bit 1 = 1
                                   .U8(0x02)  // data 0, 1
                                   .bytes();
  EXPECT_EQ(Decode(container), "A");
  EXPECT_EQ(LastError, 0);
}

TEST_F(Container, CodesThatAreNotPrefixFree) {
  struct Case {
    const char* name;
    ByteBuffer container;
    std::string plain;
  };
  // clang-format off
  const Case cases[] = {
      // Equal codes: the higher byte value wins.
      {"equal codes", ByteWriter().Str("HE3\r").U8('B').I32(1).I16(2).U8s({'A', 1, 'B', 1}).U8(0x00).U8(0x00).bytes(), "B"},
      // 'A' = 0 ends at a node that 'B' = 0,1 passes through: 0,1 gives A then
      // restarts at the root with 1, which is 'C'.
      {"a code ends where a longer one passes",
       ByteWriter().Str("HE3\r").U8('A' ^ 'C').I32(2).I16(3).U8s({'A', 1, 'B', 2, 'C', 1})
           .U8(0x0A)  // A:0 | B:0,1 | C:1  -> bits 0,0,1,1
           .U8(0x02)  // data 0,1
           .bytes(),
       "AC"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Decode(c.container), c.plain);
    EXPECT_EQ(LastError, 0);
  }
}

TEST_F(Container, CompleteEightBitCodeBuilds) {
  ByteWriter w;
  w.Str("HE3\r").U8(0).I32(256).I16(256);
  for (int v = 0; v < 256; ++v) w.U8s({static_cast<std::uint8_t>(v), 8});
  // Code of v: its bits from the most significant, so that the tree is full.
  // Each code fills one byte, read from bit 0: the byte is v bit-reversed.
  auto reversed = [](int v) {
    int r = 0;
    for (int i = 0; i < 8; ++i) r |= ((v >> (7 - i)) & 1) << i;
    return static_cast<std::uint8_t>(r);
  };
  for (int v = 0; v < 256; ++v) w.U8(reversed(v));
  for (int v = 0; v < 256; ++v) w.U8(reversed(255 - v));  // data: 255 down to 0
  std::string expected;
  for (int v = 255; v >= 0; --v) expected += static_cast<char>(v);
  EXPECT_EQ(Decode(w.bytes()), expected);
  EXPECT_EQ(LastError, 0);
}

TEST_F(Container, ChecksumPassProgressAndPauses) {
  struct Case {
    std::int32_t plainLength;
    std::vector<std::int16_t> seenAtPauses;
    std::int16_t final;
  };
  const Case cases[] = {
      {10000, {7}, 50},
      {10001, {7, 50}, 100},
      {25000, {7, 50, 70}, 90},
      {40000, {7, 50, 62, 75}, 88},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plainLength);
    Log() = HookLog{};
    Progress = 7;
    const std::string plain = Decode(RunOfA(c.plainLength));
    EXPECT_EQ(plain, std::string(c.plainLength, 'A'));
    EXPECT_EQ(Log().progressAtPause, c.seenAtPauses);  // data under 10000 bytes: no loop pause
    EXPECT_EQ(Progress, c.final);
  }
}

TEST_F(Container, StoredContainerNeverPauses) {
  Progress = 33;
  EXPECT_EQ(Decode(Bytes("HE0\r" + std::string(30000, 'x'))), std::string(30000, 'x'));
  EXPECT_EQ(Log().pauses, 0);
  EXPECT_EQ(Progress, 33);
}

TEST_F(Container, AbortReturnsTheContainerAsGiven) {
  const ByteBuffer container = RunOfA(100000);  // 12500 data bytes: one loop pause
  for (int pause : {0, 1, 2}) {                 // the loop's, then the checksum pass's
    SCOPED_TRACE(pause);
    Log() = HookLog{};
    Log().abortAtPause = pause;
    AbortFlag = 0;
    ByteBuffer data = container;
    HuffmanDecode(data, static_cast<std::int32_t>(data.size()));
    EXPECT_EQ(data, container);
    EXPECT_EQ(LastError, 0);
  }
}

TEST_F(ContainerCorruption, RaisesSubscriptErrors) {
  ByteBuffer tooLong = Abc(5);
  struct Case {
    const char* name;
    ByteBuffer container;
  };
  // clang-format off
  const Case cases[] = {
      {"empty", {}},
      {"three bytes", Bytes("HE3")},
      {"cut in the checksum", Bytes("HE3\r")},
      {"cut in the plain length", ByteWriter().Str("HE3\r").U8(0).U8s({3, 0, 0}).bytes()},
      {"cut in the entry count", ByteWriter().Str("HE3\r").U8(0).I32(3).U8(3).bytes()},
      {"cut in the code table", ByteWriter().Str("HE3\r").U8(0).I32(3).I16(3).U8s({0x41, 1, 0x42}).bytes()},
      {"no byte after the table", ByteWriter().Str("HE3\r").U8(0).I32(3).I16(1).U8s({0x41, 1}).bytes()},
      {"code bits end on a byte boundary with nothing after",
       ByteWriter().Str("HE3\r").U8(4).I32(4).I16(4).U8s({0x41, 2, 0x42, 2, 0x43, 2, 0x44, 2}).U8(0xD8).bytes()},
      {"bits leave the tree", ByteWriter().Str("HE3\r").U8(0).I32(2).I16(1).U8s({0x41, 1}).U8(0x00).U8(0x02).bytes()},
      {"not one byte decoded", ByteWriter().Str("HE3\r").U8(0).I32(2).I16(1).U8s({0x41, 9}).U8(0x00).U8(0).U8(0).bytes()},
      {"tree outgrows its table",
       ByteWriter().Str("HE3\r").U8(0).I32(1).I16(3)
           .U8s({0, 255, 1, 255, 2, 255})  // 0: 255 zeros, 1: 255 ones, 2: 1 then zeros
           .Fill(32, 0x00).Fill(32, 0xFF).U8(0x01).Fill(40, 0)
           .bytes()},
      {"a negative entry count starts the code bits inside the header",
       ByteWriter().Str("HE3\r").U8(0).I32(1).I16(-3).Fill(8, 0).bytes()},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ErrorOf(c.container), kErrSubscript);
  }
}

TEST_F(ContainerCorruption, NothingDecodedStillRecordsTheChecksum) {
  // The checksum pass runs over no byte: a stored checksum other than 0 is a
  // mismatch, recorded before the error is raised.
  const ByteBuffer container = ByteWriter().Str("HE3\r").U8(0x41).I32(2).I16(1).U8s({0x41, 9}).U8(0).U8(0).bytes();
  EXPECT_EQ(ErrorOf(container), kErrSubscript);
  EXPECT_EQ(LastError, kErrChecksum);
}

TEST_F(ContainerCorruption, UnknownVersion) {
  for (char version : {'5', '1', '2', '\0'}) {
    SCOPED_TRACE(version);
    ByteBuffer data = Bytes(std::string("HE") + version + "\r" + "anything at all");
    try {
      HuffmanDecode(data, static_cast<std::int32_t>(data.size()));
      FAIL() << "no error";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.number(), -2147221504);
      EXPECT_EQ(e.source(), "HuffmanDecode()");
      EXPECT_EQ(e.description(),
                "The data either was not compressed with HE3 or is corrupt (identification string not found)");
    }
  }
  // Without the carriage return the version is not looked at.
  EXPECT_EQ(ErrorOf(Bytes("HE5\nanything at all")), kErrSubscript);
}

TEST_F(ContainerCorruption, HostilePlainLengths) {
  // A negative length cannot be allocated.
  EXPECT_EQ(ErrorOf(Abc(-1)), kErrOutOfMemory);
  EXPECT_EQ(ErrorOf(Abc(INT32_MIN)), kErrOutOfMemory);
  // A huge length is cut to what the data bits can hold: the bytes run out.
  EXPECT_EQ(Decode(Abc(INT32_MAX)), "ABCAAA");  // 8 data bits: A, B, C and three 0s of padding
  EXPECT_EQ(LastError, kErrChecksum);
}

TEST_F(Container, TextFormRoundTripsEveryByte) {
  std::string plain;
  for (int v = 0; v < 256; ++v) plain += static_cast<char>(v);
  const std::u16string text = HuffmanDecodeText(Text("HE0\r" + plain));
  EXPECT_EQ(Bytes(text), Bytes(plain));
}

}  // namespace
}  // namespace trirotor::test
