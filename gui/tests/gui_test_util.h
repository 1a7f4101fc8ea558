// SPDX-License-Identifier: MIT
//
// gui_test_util.h - messages built for the window's tests.
//
// Besides messages from the encoder, the tests need ones the encoder never
// makes (a bad checksum, an unknown container version). Those are sealed here
// by hand: a frame around the given container, encrypted byte by byte with
// the engine's keystream and ciphertext feedback, then base64.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string_view>

#include "engine/internal.h"

namespace trirotor::gui::testing {

inline std::u16string_view View(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

inline QString FromU16(const std::u16string& text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

inline QString SealContainer(const QByteArray& container, const QString& key) {
  QByteArray frame;
  frame.append(char(16));                      // header length L
  frame.append(QByteArray(13, char(0x2A)));    // filler
  frame.append(char(0x5A)).append(char(0xA5));  // check pair
  frame.append(container);                     // payload
  frame.append(char(0x5A)).append(char(0xA5));  // trailer repeats the check pair
  internal::InitCipher(View(key), u"");
  std::uint8_t previous = 0;  // the first byte is fed back from 0
  for (char& byte : frame) {
    const auto cipher = static_cast<std::uint8_t>(static_cast<std::uint8_t>(byte) ^ internal::NextKeyByte(previous));
    byte = static_cast<char>(cipher);
    previous = cipher;
  }
  return QString::fromLatin1(frame.toBase64());
}

}  // namespace trirotor::gui::testing
