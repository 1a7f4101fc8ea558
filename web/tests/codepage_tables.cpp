// SPDX-License-Identifier: MIT
//
// codepage_tables.cpp - prints the characters the native build gives the
// bytes 0 to 255 in each code page named, one JSON object per line:
//   {"page":1252,"chars":[0,1,...,8364,...]}
// or {"page":N,"error":"refused"} for a page the build refuses. With no page
// named, every page the build offers. The browser tests hold the
// WebAssembly build to these.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/trirotor.h"

int main(int argc, char** argv) {
  std::vector<int> pages;
  for (int i = 1; i < argc; ++i) pages.push_back(std::atoi(argv[i]));
  if (pages.empty()) {
    for (const auto& info : trirotor::platform::SupportedCodePages()) pages.push_back(info.number);
  }
  for (const int page : pages) {
    std::string line = "{\"page\":" + std::to_string(page);
    try {
      trirotor::platform::SetCodePage(page);
      std::uint8_t bytes[256];
      for (int b = 0; b < 256; ++b) bytes[b] = static_cast<std::uint8_t>(b);
      const std::u16string chars = trirotor::platform::BytesToText(bytes, 256);
      line += ",\"chars\":[";
      for (std::size_t b = 0; b < chars.size(); ++b) {
        if (b > 0) line += ',';
        line += std::to_string(static_cast<unsigned>(chars[b]));
      }
      line += "]}";
    } catch (const std::invalid_argument&) {
      line += ",\"error\":\"refused\"}";
    }
    std::puts(line.c_str());
  }
  return 0;
}
