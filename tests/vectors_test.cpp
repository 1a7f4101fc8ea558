// SPDX-License-Identifier: MIT
//
// vectors_test.cpp - every conformance vector, made by an independent
// implementation of the decoder, run through DecodeText. A missing vector
// file fails the run rather than skipping it.

#include <algorithm>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/utf8.h"
#include "tests/test_util.h"

namespace trirotor::test {
namespace {

struct Vector {
  std::string name;
  nlohmann::json data;
};

void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }

// The vector files are UTF-8; they hold only valid text.
std::u16string FromUtf8(const std::string& s) {
  std::u16string out;
  std::size_t bad = 0;
  EXPECT_TRUE(support::DecodeUtf8(s, out, bad)) << "invalid UTF-8 at byte " << bad;
  return out;
}

std::vector<Vector> LoadVectors() {
  std::ifstream in(TRIROTOR_TEST_DATA "/vectors.jsonl");
  std::vector<Vector> vectors;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    nlohmann::json j = nlohmann::json::parse(line);
    vectors.push_back({j["name"].get<std::string>(), std::move(j)});
  }
  return vectors;
}

// The stages of decoding that may raise a run-time error for a case of this
// kind: a key fails in the key schedule, a container in its decoder; what
// else fails may fail in any stage.
std::vector<std::string> RaisingStages(std::string_view name) {
  struct Kind {
    std::string_view prefix;
    const char* stage;
  };
  // clang-format off
  const Kind kinds[] = {
      {"key-", "InitCipher()"},
      {"container-", "HuffmanDecode()"},
      {"header-", "HuffmanDecode()"},
      {"leaves-", "HuffmanDecode()"},
      {"tree-", "HuffmanDecode()"},
      {"nothing-decoded-", "HuffmanDecode()"},
  };
  // clang-format on
  for (const Kind& kind : kinds) {
    if (name.starts_with(kind.prefix)) return {kind.stage};
  }
  return {"DecodeText()", "DecodeBase64()", "InitCipher()", "DecryptBuffer()", "HuffmanDecode()"};
}

class Vectors : public EngineTest, public ::testing::WithParamInterface<Vector> {};

TEST(VectorFile, IsPresentAndComplete) { EXPECT_GE(LoadVectors().size(), 155u); }

TEST_P(Vectors, DecodeAsTheIndependentImplementationDoes) {
  const nlohmann::json& v = GetParam().data;
  platform::SetEventHook(nullptr);
  const std::u16string message = FromUtf8(v["message"]);
  const std::u16string key = FromUtf8(v["key"]);
  const std::u16string suffix = FromUtf8(v["suffix"]);
  if (v["expect"] == "text") {
    const std::u16string plain = DecodeText(message, key, suffix);
    EXPECT_EQ(Hex(Bytes(plain)), v["plain_hex"].get<std::string>());
    EXPECT_EQ(LastError, v["last_error"].get<int>());
    if (!v["progress"].is_null()) {
      EXPECT_EQ(Progress, v["progress"].get<int>());
    }
    return;
  }
  try {
    DecodeText(message, key, suffix);
    FAIL() << "no error raised";
  } catch (const EngineError& e) {
    if (!v["error_number"].is_null()) {
      EXPECT_EQ(e.number(), v["error_number"].get<std::int32_t>());
    }
    // What the vector fixes is compared as it stands; what it leaves open
    // (a run-time error's source and description) is still held to what
    // any run-time error carries: the host's words for its number, and the
    // decoding stage that raised it.
    if (!v["error_description"].is_null()) {
      EXPECT_EQ(e.description(), v["error_description"].get<std::string>());
    } else {
      EXPECT_FALSE(platform::RuntimeErrorDescription(e.number()).empty()) << "not a run-time error: " << e.number();
      EXPECT_EQ(e.description(), platform::RuntimeErrorDescription(e.number()));
    }
    if (!v["error_source"].is_null()) {
      EXPECT_EQ(e.source(), v["error_source"].get<std::string>());
    } else {
      const std::vector<std::string> stages = RaisingStages(GetParam().name);
      EXPECT_NE(std::find(stages.begin(), stages.end(), e.source()), stages.end()) << "raised in " << e.source();
    }
  }
  EXPECT_EQ(platform::MousePointer(), platform::kPointerDefault);
}

INSTANTIATE_TEST_SUITE_P(Public, Vectors, ::testing::ValuesIn(LoadVectors()),
                         [](const ::testing::TestParamInfo<Vector>& info) {
                           std::string name;
                           for (char c : info.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
}  // namespace trirotor::test
