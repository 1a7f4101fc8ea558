// SPDX-License-Identifier: MIT
//
// utf8_path.h - std::filesystem paths from and to the UTF-8 names the tool
// holds. A path made from a std::string, and its .string(), go through the
// ANSI code page on Windows, which spoils every name beyond it; char8_t
// strings are UTF-8 on every system (on Linux, the name's bytes as they
// stand).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace trirotor::support {

inline std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string Utf8Name(const std::filesystem::path& path) {
  const std::u8string name = path.u8string();
  return std::string(name.begin(), name.end());
}

}  // namespace trirotor::support
