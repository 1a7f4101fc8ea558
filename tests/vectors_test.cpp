// SPDX-License-Identifier: MIT
//
// vectors_test.cpp - every conformance vector, made by an independent
// implementation of the decoder, run through DecodeText. A missing vector
// file fails the run rather than skipping it.

#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/test_util.h"

namespace trirotor::test {
namespace {

struct Vector {
  std::string name;
  nlohmann::json data;
};

void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }

std::u16string FromUtf8(const std::string& s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    int extra;
    if (c < 0x80) { cp = c; extra = 0; }
    else if (c < 0xE0) { cp = c & 0x1F; extra = 1; }
    else if (c < 0xF0) { cp = c & 0x0F; extra = 2; }
    else { cp = c & 0x07; extra = 3; }
    for (int k = 1; k <= extra; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += 1 + extra;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
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

class Vectors : public EngineTest, public ::testing::WithParamInterface<Vector> {};

TEST(VectorFile, IsPresentAndComplete) { EXPECT_GE(LoadVectors().size(), 150u); }

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
    if (!v["error_source"].is_null()) {
      EXPECT_EQ(e.source(), v["error_source"].get<std::string>());
    }
    if (!v["error_description"].is_null()) {
      EXPECT_EQ(e.description(), v["error_description"].get<std::string>());
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
