// SPDX-License-Identifier: MIT
//
// file_loading.cpp - a file into the input pane, with its encoding guessed.

#include "gui/file_loading.h"

#include <QByteArray>
#include <QFile>
#include <QLocale>
#include <QObject>

#include "engine/trirotor.h"
#include "gui/file_text.h"

namespace trirotor::gui {
namespace {

constexpr qint64 kReadChunk = 1 << 20;

LoadedFile Failed(const QString& error) {
  LoadedFile loaded;
  loaded.error = error;
  return loaded;
}

}  // namespace

LoadedFile LoadTextFile(const QString& path, qint64 maxBytes) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    return Failed(QObject::tr("Cannot open %1: %2").arg(path, file.errorString()));
  }
  const QString tooLarge =
      QObject::tr("%1 is too large: the window takes files up to %2.").arg(path, QLocale().formattedDataSize(maxBytes));
  if (file.size() > maxBytes) return Failed(tooLarge);
  // Read in chunks and stop at the limit, whatever size the file claimed.
  QByteArray bytes;
  while (true) {
    const QByteArray chunk = file.read(kReadChunk);
    if (chunk.isEmpty()) break;
    if (bytes.size() + chunk.size() > maxBytes) return Failed(tooLarge);
    bytes.append(chunk);
  }
  if (file.error() != QFileDevice::NoError) {
    return Failed(QObject::tr("Cannot read %1: %2").arg(path, file.errorString()));
  }
  // The rules are the Windows window's too (gui/file_text.h).
  const FileText text = TextOfFileBytes(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  LoadedFile loaded;
  loaded.ok = true;
  loaded.text = QString(reinterpret_cast<const QChar*>(text.text.data()), static_cast<qsizetype>(text.text.size()));
  loaded.how = text.utf8 ? QObject::tr("UTF-8") : QObject::tr("bytes of code page %1").arg(platform::CodePage());
  return loaded;
}

}  // namespace trirotor::gui
