// SPDX-License-Identifier: MIT
//
// encoder_thread.cpp - the encoder on a thread of its own.

#include "gui/encoder_thread.h"

#include <QEventLoop>
#include <QMetaObject>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace trirotor::gui {

EncodeOutcome EncodeBesideWindow(Encoder encoder, std::u16string_view plain, std::u16string_view key,
                                 std::u16string_view keySuffix) {
  EncodeOutcome outcome;
  const int codePage = platform::CodePage();
  const auto encode = [&] {
    try {
      platform::SetCodePage(codePage);  // the window's page, which a new thread does not inherit
      outcome.message = encoder(plain, key, keySuffix);
    } catch (const EngineError& error) {
      outcome.engineError = error;
    } catch (const std::bad_alloc&) {
      outcome.failure = QStringLiteral("Out of memory: the text is too large to encode here.");
    } catch (const std::exception& error) {
      outcome.failure = QString::fromLocal8Bit(error.what());
    }
  };
  QEventLoop waiting;
  std::thread worker;
  try {
    worker = std::thread([&] {
      encode();
      QMetaObject::invokeMethod(&waiting, &QEventLoop::quit, Qt::QueuedConnection);
    });
  } catch (const std::system_error&) {
    // No thread to be had: encode here, with the window waiting.
  }
  if (worker.joinable()) {
    waiting.exec();  // also returns early if the application quits
    worker.join();
  } else {
    encode();
  }
  return outcome;
}

}  // namespace trirotor::gui
