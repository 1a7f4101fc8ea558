// SPDX-License-Identifier: MIT
//
// fuzz_regressions_test.cpp - inputs the fuzzers saved, replayed in the
// ordinary test build.
//
// Every seed and every reproducer under fuzz/corpus/<target>/ and
// fuzz/regressions/<target>/ is read exactly as its fuzz target reads it
// (testing/fuzz_input.h) and must give a result or an EngineError with one of
// the engine's documented numbers, after which the engine must still decode
// a known message on the same thread. This runs them without clang or
// libFuzzer, and under the sanitizer test run it guards against the
// out-of-bounds reads and writes the fuzzers look for.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "engine/internal.h"
#include "testing/fuzz_input.h"
#include "tests/test_util.h"

namespace trirotor::test {
namespace {

namespace fs = std::filesystem;

const std::set<std::int32_t> kDocumentedErrors = {kErrInvalidCall, kErrOverflow,       kErrOutOfMemory,
                                                  kErrSubscript,   kErrDivisionByZero, kErrUnknownVersion};

struct SavedInput {
  std::string name;
  ByteBuffer bytes;
};

// The saved inputs of one target: its seed corpus and its reproducers.
std::vector<SavedInput> LoadSavedInputs(const std::string& target) {
  std::vector<SavedInput> inputs;
  for (const char* area : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(TRIROTOR_SOURCE_DIR) / "fuzz" / area / target;
    if (!fs::is_directory(dir)) continue;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
      std::ifstream file(entry.path(), std::ios::binary);
      inputs.push_back({std::string(area) + "/" + entry.path().filename().string(),
                        ByteBuffer(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>())});
    }
  }
  std::sort(inputs.begin(), inputs.end(), [](const SavedInput& a, const SavedInput& b) { return a.name < b.name; });
  return inputs;
}

// A message sealed once by the encoder under a fixed header; decoding it
// after a failure shows that the engine is still usable.
const std::u16string kKnownPlain = u"known text, known text, known text";
std::u16string KnownMessage() {
  FrameHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i * 29 + 3);
  return EncodeText(kKnownPlain, u"known key", u"", header);
}

void ExpectEngineUsable(const std::u16string& knownMessage) {
  platform::SetEventHook(nullptr);
  platform::SetCodePage(1252);
  LastError = 0;
  try {
    EXPECT_EQ(DecodeText(knownMessage, u"known key", u""), kKnownPlain);
  } catch (const EngineError& e) {
    ADD_FAILURE() << "the known message raised " << e.number();
  }
  EXPECT_EQ(LastError, 0);
  EXPECT_EQ(platform::MousePointer(), platform::kPointerDefault);
}

using FuzzRegressions = EngineTest;

TEST_F(FuzzRegressions, SavedMessagesGiveTextOrADocumentedError) {
  const std::vector<SavedInput> inputs = LoadSavedInputs("fuzz_decode_text");
  ASSERT_GE(inputs.size(), 20u) << "the seed corpus of fuzz_decode_text is missing";
  const std::u16string knownMessage = KnownMessage();
  const platform::EventHook countingHook = platform::GetEventHook();  // the fixture's
  for (const SavedInput& saved : inputs) {
    SCOPED_TRACE(saved.name);
    const fuzz::MessageInput input = fuzz::ReadMessageInput(saved.bytes.data(), saved.bytes.size());
    // Flag bit 7 belongs to the differential target; this one reads the
    // same bytes as the message.
    const std::u16string message =
        (input.flags & 128) != 0 ? std::u16string(input.rawContainer.begin(), input.rawContainer.end()) : input.message;
    platform::SetCodePage(input.codePage);
    Log() = HookLog{};
    Log().abortAtPause = input.abortAtPause;
    platform::SetEventHook(countingHook);
    LastError = 0;
    try {
      const std::u16string result = DecodeText(message, input.key, input.suffix);
      EXPECT_TRUE(LastError == 0 || LastError == kErrChecksum || LastError == kErrFrameCheck) << LastError;
      if (LastError == kErrFrameCheck) {
        EXPECT_TRUE(result.empty());
      }
    } catch (const EngineError& e) {
      EXPECT_EQ(kDocumentedErrors.count(e.number()), 1u) << "undocumented error " << e.number();
    }
    EXPECT_EQ(platform::MousePointer(), platform::kPointerDefault);
    ExpectEngineUsable(knownMessage);
  }
}

TEST_F(FuzzRegressions, SavedContainersGiveBytesOrADocumentedError) {
  const std::vector<SavedInput> inputs = LoadSavedInputs("fuzz_huffman_decode");
  ASSERT_GE(inputs.size(), 20u) << "the seed corpus of fuzz_huffman_decode is missing";
  const std::u16string knownMessage = KnownMessage();
  const platform::EventHook countingHook = platform::GetEventHook();
  for (const SavedInput& saved : inputs) {
    SCOPED_TRACE(saved.name);
    const fuzz::ContainerInput input = fuzz::ReadContainerInput(saved.bytes.data(), saved.bytes.size());
    Log() = HookLog{};
    Log().abortAtPause = input.abortAtPause;
    platform::SetEventHook(countingHook);
    LastError = 0;
    AbortFlag = 0;
    ByteBuffer data = input.container;
    try {
      HuffmanDecode(data, input.length);
      EXPECT_TRUE(LastError == 0 || LastError == kErrChecksum) << LastError;
      // Every plain byte takes at least one bit of the container.
      EXPECT_LE(data.size(), input.container.size() * 8);
      if (AbortFlag == -1) {
        EXPECT_EQ(data, input.container);
      }
    } catch (const EngineError& e) {
      EXPECT_EQ(kDocumentedErrors.count(e.number()), 1u) << "undocumented error " << e.number();
    }
    ExpectEngineUsable(knownMessage);
  }
}

}  // namespace
}  // namespace trirotor::test
