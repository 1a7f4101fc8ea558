// SPDX-License-Identifier: MIT
//
// gui_test_util.h - messages built for the window's tests.
//
// Besides messages from the encoder, the tests need ones the encoder never
// makes (a bad checksum, an unknown container version): testing/
// test_support.h seals those, as it does for the engine's own tests.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string_view>

#include "testing/test_support.h"

namespace trirotor::gui::testing {

inline std::u16string_view View(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

inline QString FromU16(const std::u16string& text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

// A message around a container the encoder never makes (a bad checksum, an
// unknown version), sealed by the tests' one hand-written sealer.
inline QString SealContainer(const QByteArray& container, const QString& key) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(container.constData());
  return FromU16(test::SealContainer(ByteBuffer(bytes, bytes + container.size()), View(key)));
}

}  // namespace trirotor::gui::testing
