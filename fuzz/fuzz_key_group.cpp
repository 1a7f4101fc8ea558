// SPDX-License-Identifier: MIT
//
// fuzz_key_group.cpp - KeyGroupTrial against KeyTrial::MayOpen, candidate by
// candidate, and each lane of a group against InitCipher.
//
// A lane that reads or writes another lane's entries, a remainder wrong on
// a rare sum, a row patched in the wrong lane, or an early test cut short
// for one lane while the others go on: each shows up only for some keys,
// frames and group sizes, which the fuzzer varies. Every answer must be
// MayOpen's, every error the one MayOpen raises first, and every lane's
// rotors InitCipher's.
//
// Input layout, every field read as testing/fuzz_input.h reads (zeros and
// empty texts past the end):
//   U8   flags: bit 0 seals the frame under the first candidate, so that it
//        may pass; bit 1 makes keys and suffixes arbitrary UTF-16; bits 2-3
//        choose the code page (1252, 1251, 437, 874); bit 4 gives every key
//        the first one's length (groups of one length make their drive for
//        that length alone)
//   U8   candidates, 1 + value mod 64
//   U16  frame length, value mod 600, then the frame's bytes
//   per candidate: U8 key characters, then that many, repeated to U16 mod
//        700 characters (none: an empty key); U8 suffix characters (255: a
//        suffix of 32768), then that many

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/internal.h"
#include "fuzz/fuzz_support.h"

using namespace trirotor;
using namespace trirotor::internal;
using namespace trirotor::fuzz;

namespace {

struct Input {
  bool seal = false;
  int codePage = 1252;
  ByteBuffer frame;
  std::vector<std::u16string> keys, suffixes;
};

Input ReadInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  Input input;
  const std::uint8_t flags = in.U8();
  input.seal = (flags & 1) != 0;
  const bool wide = (flags & 2) != 0;
  constexpr std::array<int, 4> kPages = {1252, 1251, 437, 874};
  input.codePage = kPages[(flags >> 2) & 3];
  const bool oneLength = (flags & 16) != 0;
  const std::size_t count = 1 + in.U8() % KeyGroupTrial::kMaxCandidates;
  const std::u16string frame = in.Text(in.U16() % 600, false);
  input.frame.assign(frame.begin(), frame.end());
  for (std::size_t i = 0; i < count; ++i) {
    const std::u16string pattern = in.Text(in.U8(), wide);
    const std::size_t read = in.U16() % 700;
    const std::size_t length = oneLength && i > 0 ? input.keys[0].size() : read;
    std::u16string key;
    while (!pattern.empty() && key.size() < length) key += pattern;
    input.keys.push_back(pattern.empty() ? u"" : key.substr(0, std::max<std::size_t>(length, 1)));
    const std::uint8_t suffixLength = in.U8();
    input.suffixes.push_back(suffixLength == 255 ? std::u16string(32768, u's') : in.Text(suffixLength, wide));
  }
  return input;
}

// What MayOpen said: its answer, or the number and source of what it raised.
struct Said {
  bool mayOpen = false;
  std::int32_t error = 0;
  std::string source;
};

template <typename Call>
Said Hear(Call call, std::string_view where) {
  Said said;
  try {
    said.mayOpen = call();
  } catch (const EngineError& error) {
    RequireDocumentedError(error, where);
    said.error = error.number();
    said.source = error.source();
  }
  return said;
}

// The group's answer must be the bits of `expected`, or the error of the
// first of them that raised.
template <typename Call>
void RequireSame(const std::vector<Said>& expected, Call call, std::string_view where) {
  const Said* firstError = nullptr;
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (expected[i].error != 0 && firstError == nullptr) firstError = &expected[i];
    bits |= std::uint64_t{expected[i].mayOpen} << i;
  }
  std::uint64_t answer = 0;
  const Said said = Hear([&] { return (answer = call()) != 0; }, where);
  if (firstError != nullptr) {
    if (said.error != firstError->error || said.source != firstError->source) {
      Fail(std::string(where) + ": raised " + std::to_string(said.error) + " where MayOpen raised " +
           std::to_string(firstError->error));
    }
  } else if (said.error != 0 || answer != bits) {
    Fail(std::string(where) + ": answered " + std::to_string(answer) + " (error " + std::to_string(said.error) +
         ") where MayOpen answered " + std::to_string(bits));
  }
}

// Each lane of each group of sixteen against InitCipher, for candidates the
// schedule takes.
void RequireLanesAsInitCipher(const std::vector<ByteBuffer>& keys, const std::vector<ByteBuffer>& suffixes) {
  static KeyGroup group;
  for (std::size_t start = 0; start < keys.size(); start += kLaneCount) {
    const std::size_t count = std::min(kLaneCount, keys.size() - start);
    LaneKey lanes[kLaneCount];
    for (std::size_t k = 0; k < count; ++k) {
      const ByteBuffer& key = keys[start + k];
      const ByteBuffer& suffix = suffixes[start + k];
      if (key.empty() || suffix.size() > 32767) return;
      lanes[k] = {key.data(), key.size(), suffix.data(), suffix.size()};
    }
    ScheduleGroup(group, lanes, count);
    for (std::size_t k = 0; k < count; ++k) {
      CipherState lane;
      GroupCipherState(group, k, lane);
      InitCipher(platform::BytesToText(keys[start + k]), platform::BytesToText(suffixes[start + k]));
      if (!(lane == Cipher))
        Fail("lane " + std::to_string(k) + " of a group of " + std::to_string(count) +
             ": rotors differ from InitCipher's");
    }
  }
}

std::string_view View(const ByteBuffer& bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

bool RunInput(const std::uint8_t* data, std::size_t size) {
  // Inputs of odd length run the AVX2 lanes where the processor has them,
  // even ones the portable lanes, so that the corpus reaches both.
  UseLanePath(size % 2 == 1 ? LanePath::kAvx2 : LanePath::kPortable);
  Input input = ReadInput(data, size);
  platform::SetCodePage(input.codePage);
  ResourceBudget budget(size);
  const std::u16string& key = input.keys[0];
  if (input.seal && !key.empty() && input.suffixes[0].size() <= 32767) {
    InitCipher(key, input.suffixes[0]);
    EncryptBuffer(input.frame);
  }
  const std::string base64 = EncodeBase64(input.frame.data(), input.frame.size(), 0);
  const KeyTrial trial(ByteBuffer(base64.begin(), base64.end()));
  KeyGroupTrial group(trial);

  std::vector<Said> expected, expectedWithKey;
  std::vector<KeyGroupTrial::Candidate> texts;
  std::vector<ByteBuffer> keyBytes, suffixBytes;
  std::vector<std::u16string_view> suffixViews;
  for (std::size_t i = 0; i < input.keys.size(); ++i) {
    const std::u16string& k = input.keys[i];
    const std::u16string& s = input.suffixes[i];
    expected.push_back(Hear([&] { return trial.MayOpen(k, s); }, "MayOpen"));
    expectedWithKey.push_back(Hear([&] { return trial.MayOpen(key, s); }, "MayOpen"));
    texts.push_back({k, s});
    keyBytes.push_back(platform::TextToBytes(k));
    suffixBytes.push_back(platform::TextToBytes(s));
    suffixViews.push_back(s);
  }
  std::vector<KeyGroupTrial::ByteCandidate> bytes;
  for (std::size_t i = 0; i < keyBytes.size(); ++i) bytes.push_back({View(keyBytes[i]), View(suffixBytes[i])});

  RequireSame(
      expected, [&] { return group.MayOpen(std::span<const KeyGroupTrial::Candidate>(texts)); },
      "KeyGroupTrial::MayOpen");
  RequireSame(
      expected, [&] { return group.MayOpen(std::span<const KeyGroupTrial::ByteCandidate>(bytes)); },
      "KeyGroupTrial::MayOpen, bytes");
  // A suffix search on the first key; SetKey raises what MayOpen raises for it.
  RequireSame(
      expectedWithKey,
      [&] {
        group.SetKey(key);
        return group.MayOpenWithSuffixes(std::span<const std::u16string_view>(suffixViews));
      },
      "KeyGroupTrial::MayOpenWithSuffixes");
  RequireLanesAsInitCipher(keyBytes, suffixBytes);
  platform::SetCodePage(1252);
  RequireEngineUsable("the key group trial");
  return budget.Check("fuzz_key_group");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitFuzzSupport();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunOneInput(&RunInput, data, size);
  return 0;
}
