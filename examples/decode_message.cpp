// SPDX-License-Identifier: MIT
//
// decode_message.cpp - the smallest program that uses the engine: decodes
// one message file with a key file and prints the plain text (as UTF-8).
//
//   decode_message MESSAGE_FILE KEY_FILE [SUFFIX]

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "engine/trirotor.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace {

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(std::string("cannot read ") + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::u16string Widen(std::string bytes) {
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
  return trirotor::platform::BytesToText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {  // code-page text never holds surrogates
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  _setmode(_fileno(stdout), _O_BINARY);  // the text's own line ends, not CRLF for each LF
#endif
  if (argc < 3) {
    std::cerr << "usage: decode_message MESSAGE_FILE KEY_FILE [SUFFIX]\n";
    return 1;
  }
  try {
    const std::u16string message = Widen(ReadFile(argv[1]));
    const std::u16string key = Widen(ReadFile(argv[2]));
    const std::u16string suffix = argc > 3 ? Widen(argv[3]) : u"";

    const std::u16string plain = trirotor::DecodeText(message, key, suffix);
    if (trirotor::LastError != 0) std::cerr << trirotor::ErrorMessage(trirotor::LastError) << '\n';
    std::cout << ToUtf8(plain);
    return trirotor::LastError == 0 ? 0 : 3;
  } catch (const trirotor::EngineError& e) {
    std::cerr << "error " << e.number() << " in " << e.source() << ": " << e.description() << '\n';
    return 5;
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 2;
  }
}
