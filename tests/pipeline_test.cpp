// SPDX-License-Identifier: MIT
//
// pipeline_test.cpp - DecodeText from end to end: the length guard, the frame
// check and its edges, the status that outlives a call, the pointer sequence,
// abort, errors that must leave the engine usable, and one engine per thread.

#include "engine/internal.h"

#include <thread>

#include "tests/test_util.h"

namespace trirotor::test {
namespace {

const std::u16string kKey = u"pipeline key";

ByteBuffer Stored(std::string_view plain) { return ByteWriter().Str("HE0\r").Str(plain).bytes(); }

using Pipeline = EngineTest;

TEST_F(Pipeline, DecodesASealedMessage) {
  const std::u16string message = Seal(Frame(Stored("Meet at noon.")), kKey, u"sfx");
  EXPECT_EQ(DecodeText(message, kKey, u"sfx"), u"Meet at noon.");
  EXPECT_EQ(LastError, 0);
  EXPECT_EQ(Log().pointers, (std::vector<int>{11, 0, 0}));
  // Wrapped into lines and framed by junk, it decodes the same.
  std::u16string wrapped = u"-----\r\n";
  for (std::size_t i = 0; i < message.size(); i += 10) wrapped += message.substr(i, 10) + u"\r\n";
  EXPECT_EQ(DecodeText(wrapped + u"-----", kKey, u"sfx"), u"Meet at noon.");
}

TEST_F(Pipeline, ShortMessageTouchesNothing) {
  LastError = 33;
  AbortFlag = -1;
  Progress = 42;
  platform::SetMousePointer(99);
  Log().pointers.clear();
  EXPECT_TRUE(DecodeText(u"QUJ", kKey, u"").empty());
  EXPECT_EQ(LastError, 33);
  EXPECT_EQ(AbortFlag, -1);
  EXPECT_EQ(Progress, 42);
  EXPECT_EQ(platform::MousePointer(), 99);
  EXPECT_TRUE(Log().pointers.empty());
}

TEST_F(Pipeline, FrameCheck) {
  struct Case {
    const char* name;
    ByteBuffer frame;
    bool valid;
  };
  const Case cases[] = {
      {"header 16 with a payload", Frame(Stored("x")), true},
      {"2,x,2,x: the length byte starts the check pair", {2, 0x61, 2, 0x61}, true},
      {"2,x,2,y", {2, 0x61, 2, 0x62}, false},
      {"2,x,3,x", {2, 0x61, 3, 0x61}, false},
      {"L = n - 2 with matching trailer", {4, 7, 8, 9, 8, 9}, true},
      {"L = n - 1", {5, 7, 8, 9, 8, 9}, false},
      {"trailer swapped", {4, 7, 8, 9, 9, 8}, false},
      {"trailer swapped, equal pair", {4, 7, 8, 8, 8, 8}, true},
      {"one byte", {0}, false},
      {"L = 0", {0, 1, 2, 3}, false},
      {"L = 1", {1, 1, 1, 1}, false},
      {"empty", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckFrame(c.frame.data(), c.frame.size()).has_value(), c.valid);
  }
  const ByteBuffer frame = Frame(Stored("abc"));
  const auto span = CheckFrame(frame.data(), frame.size());
  ASSERT_TRUE(span);
  EXPECT_EQ(span->offset, 16u);
  EXPECT_EQ(span->length, 7u);
}

TEST_F(Pipeline, FailedFrameIsError33AndEmpty) {
  const std::u16string message = Seal(Frame(Stored("secret")), kKey);
  struct Case {
    const char* name;
    std::u16string message, key, suffix;
  };
  const Case cases[] = {
      {"wrong key", message, u"pipeline kez", u""},
      {"wrong suffix", message, kKey, u"x"},
      {"one decoded byte", u"QQ==", kKey, u""},
      {"no decoded byte", u"!!!!", kKey, u""},
      {"header length 0", Seal({0, 5, 6, 7}, kKey), kKey, u""},
      {"header length 1", Seal({1, 5, 1, 5}, kKey), kKey, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LastError = 0;
    Log().pointers.clear();
    EXPECT_TRUE(DecodeText(c.message, c.key, c.suffix).empty());
    EXPECT_EQ(LastError, kErrFrameCheck);
    EXPECT_EQ(Log().pointers, (std::vector<int>{11, 0, 0}));
  }
  EXPECT_EQ(ErrorMessage(kErrFrameCheck), "Failed decoding the text (Error 33)");
  EXPECT_EQ(ErrorMessage(kErrChecksum), "Compression checksum error (Error 5)");
}

TEST_F(Pipeline, StatusOutlivesTheCall) {
  const std::u16string good = Seal(Frame(Stored("ok")), kKey);
  DecodeText(good, u"wrong", u"");
  ASSERT_EQ(LastError, 33);
  EXPECT_EQ(DecodeText(good, kKey, u""), u"ok");
  EXPECT_EQ(LastError, 33);  // never cleared by the engine

  AbortFlag = 1;  // only -1 stops a decode; the next decode clears it
  EXPECT_EQ(DecodeText(good, kKey, u""), u"ok");
  EXPECT_EQ(AbortFlag, 0);
}

TEST_F(Pipeline, ErrorsLeaveTheDefaultPointerAndAUsableEngine) {
  const std::u16string good = Seal(Frame(Stored("still fine")), kKey);
  struct Case {
    const char* name;
    std::u16string message, key;
    std::int32_t number;
    std::vector<int> pointers;
  };
  const Case cases[] = {
      {"empty key: raised while busy", good, u"", kErrDivisionByZero, {11, 0}},
      {"empty payload", Seal({2, 0x61, 2, 0x61}, kKey), kKey, kErrSubscript, {11, 0}},
      {"unknown version", Seal(Frame(Bytes("HE7\rxyz")), kKey), kKey, kErrUnknownVersion, {11, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Log().pointers.clear();
    LastError = 0;
    try {
      DecodeText(c.message, c.key, u"");
      ADD_FAILURE() << "no error";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.number(), c.number);
    }
    EXPECT_EQ(Log().pointers, c.pointers);
    EXPECT_EQ(platform::MousePointer(), 0);
    EXPECT_EQ(LastError, 0);
    EXPECT_EQ(DecodeText(good, kKey, u""), u"still fine");
  }
}

TEST_F(Pipeline, ChecksumErrorStillReturnsTheText) {
  const ByteBuffer abcBadChecksum =
      ByteWriter().Str("HE3\r").U8(0x00).I32(3).I16(3).U8s({0x41, 1, 0x42, 2, 0x43, 2}).U8(0x1A).U8(0x1A).bytes();
  EXPECT_EQ(DecodeText(Seal(Frame(abcBadChecksum), kKey), kKey, u""), u"ABC");
  EXPECT_EQ(LastError, kErrChecksum);
}

// A handler that tries to start a second decode on the same thread.
std::u16string nestedMessage;
std::int32_t nestedError = 0;
void NestedDecode() {
  try {
    DecodeText(nestedMessage, kKey, u"");
  } catch (const EngineError& e) {
    nestedError = e.number();
  }
}

TEST_F(Pipeline, DecodeInsideADecodeIsRefused) {
  const std::string text(30000, 'n');
  nestedMessage = Seal(Frame(Stored(text)), kKey);
  nestedError = 0;
  platform::SetEventHook(&NestedDecode);
  EXPECT_EQ(DecodeText(nestedMessage, kKey, u""), Text(text));  // the running decode goes on untouched
  EXPECT_EQ(nestedError, kErrInvalidCall);
  EXPECT_EQ(LastError, 0);
}

TEST_F(Pipeline, AbortDuringDecryptionFailsTheFrame) {
  const std::u16string message = Seal(Frame(Stored(std::string(20000, 'a'))), kKey);
  Log().abortAtPause = 1;  // the pause after position 5000
  EXPECT_TRUE(DecodeText(message, kKey, u"").empty());
  EXPECT_EQ(LastError, kErrFrameCheck);
  EXPECT_EQ(AbortFlag, -1);
}

TEST_F(Pipeline, ThreadsEachOwnAnEngine) {
  const std::u16string good = Seal(Frame(Stored(std::string(50000, 'g'))), kKey);
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const bool wrong = (t + i) % 2 == 1;
        LastError = 0;
        const std::u16string plain = DecodeText(good, wrong ? u"nope" : kKey, u"");
        if (wrong ? (plain.empty() && LastError == 33) : (plain.size() == 50000 && LastError == 0)) ++ok[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok, (std::vector<int>{5, 5, 5, 5}));
  EXPECT_EQ(LastError, 0);  // this thread's status is its own
}

}  // namespace
}  // namespace trirotor::test
