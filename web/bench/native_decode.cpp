// SPDX-License-Identifier: MIT
//
// native_decode.cpp - the native engine's decode speed on one message, for
// comparison with the WebAssembly engine on the same message (web/bench/).
//
//   trirotor_web_native_bench MESSAGE KEY [SUFFIX] [ROUNDS]
//
// Prints one JSON line: {"bytes":N,"seconds":[...]} with the wall time of
// each DecodeBytes call, the message read into memory beforehand.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/trirotor.h"

namespace {
std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::u16string Latin(const std::string& text) { return std::u16string(text.begin(), text.end()); }
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s MESSAGE KEY [SUFFIX] [ROUNDS]\n", argv[0]);
    return 1;
  }
  const std::string message = ReadFile(argv[1]);
  const std::u16string key = Latin(argv[2]);
  const std::u16string suffix = Latin(argc > 3 ? argv[3] : "");
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
  std::string times;
  for (int r = 0; r < rounds; ++r) {
    trirotor::ByteBuffer bytes(message.begin(), message.end());
    const auto start = std::chrono::steady_clock::now();
    const trirotor::ByteBuffer plain = trirotor::DecodeBytes(std::move(bytes), key, suffix);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (plain.empty() || trirotor::LastError != 0) {
      std::fprintf(stderr, "the message did not decode (LastError %d)\n", trirotor::LastError);
      return 3;
    }
    if (!times.empty()) times += ',';
    times += std::to_string(took.count());
  }
  std::printf("{\"bytes\":%zu,\"seconds\":[%s]}\n", message.size(), times.c_str());
  return 0;
}
